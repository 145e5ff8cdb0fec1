// Shutdown and privileges of the simulated machine. Every call is journaled:
// "OpenProcessToken", "AdjustTokenPrivileges enable" / "disable",
// "CloseToken", "AbortSystemShutdown", "ExitWindowsEx <flags> <reason>"
// (decimal), each followed by " failed" when its hook makes it fail, and
// "AdjustTokenPrivileges enable not all assigned" when the token does not
// hold the privilege.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>
#include "platform/Shutdown.h"
#include "tests/fakes/GroundTruth.h"

namespace fake {

class FakeShutdown : public platform::IShutdown {
public:
    std::vector<std::string>* journal = nullptr;
    GroundTruth* truth = nullptr;  // a session end carried out is recorded here

    // ---- hooks ----
    bool openTokenFails = false;
    bool privilegeFails = false;
    // The token holds SeShutdownPrivilege. Without it (a standard user on a
    // server edition, or the "Shut down the system" right withheld)
    // AdjustTokenPrivileges succeeds with ERROR_NOT_ALL_ASSIGNED and changes
    // nothing, and ExitWindowsEx refuses a shutdown or restart with
    // ERROR_PRIVILEGE_NOT_HELD; a logoff needs no privilege.
    bool privilegeHeld = true;
    bool abortFails = false;
    bool exitWindowsFails = false;
    // Terminal Services is on ("ExitWindowsEx function", EWX_FORCE: "This
    // flag has no effect if terminal services is enabled. Otherwise, the
    // system does not send the WM_QUERYENDSESSION message."). A session end
    // that asks the programs calls whoAsks with the flags it was made with.
    bool terminalServices = false;
    std::function<void(std::uint32_t flags)> whoAsks;

    // What was asked, for direct checks.
    std::vector<std::uint32_t> exitWindowsFlags;
    bool privilegeEnabled = false;
    std::size_t openTokens = 0;

    platform::Handle OpenProcessToken() override;
    void CloseToken(platform::Handle token) override;
    bool SetShutdownPrivilege(platform::Handle token, bool enable, std::uint32_t* error) override;
    bool AbortSystemShutdown() override;
    bool ExitWindowsEx(std::uint32_t flags, std::uint32_t reason) override;

private:
    void Note(const std::string& line, bool failed);
    platform::Handle nextToken_ = 0x2C0;
};

}  // namespace fake
