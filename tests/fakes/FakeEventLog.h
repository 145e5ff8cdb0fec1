// placeholder: replaced by the simulated System event log
#pragma once
#include "platform/EventLog.h"
namespace fake {
class FakeEventLog : public platform::IEventLog {
public:
    platform::Handle Open(const std::wstring&) override { return 0; }
    std::uint32_t Read(platform::Handle, std::uint32_t, std::uint32_t, std::uint8_t*, std::uint32_t, std::uint32_t*, std::uint32_t*) override { return 6; }
    void Close(platform::Handle) override {}
    platform::Handle LoadLibraryAsDataFile(const std::wstring&) override { return 0; }
    std::optional<std::wstring> FormatMessage(std::uint32_t, platform::Handle, std::uint32_t, const std::vector<std::wstring>*) override { return std::nullopt; }
};
}
