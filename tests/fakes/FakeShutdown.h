// Shutdown and privileges of the simulated machine. Every call is journaled:
// "OpenProcessToken", "AdjustTokenPrivileges enable" / "disable",
// "CloseToken", "AbortSystemShutdown", "ExitWindowsEx <flags> <reason>"
// (decimal), each followed by " failed" when its hook makes it fail.
#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "platform/Shutdown.h"

namespace fake {

class FakeShutdown : public platform::IShutdown {
public:
    std::vector<std::string>* journal = nullptr;

    // ---- hooks ----
    bool openTokenFails = false;
    bool privilegeFails = false;
    bool abortFails = false;
    bool exitWindowsFails = false;

    // What was asked, for direct checks.
    std::vector<std::uint32_t> exitWindowsFlags;
    bool privilegeEnabled = false;
    std::size_t openTokens = 0;

    platform::Handle OpenProcessToken() override;
    void CloseToken(platform::Handle token) override;
    bool SetShutdownPrivilege(platform::Handle token, bool enable) override;
    bool AbortSystemShutdown() override;
    bool ExitWindowsEx(std::uint32_t flags, std::uint32_t reason) override;

private:
    void Note(const std::string& line, bool failed);
    platform::Handle nextToken_ = 0x2C0;
};

}  // namespace fake
