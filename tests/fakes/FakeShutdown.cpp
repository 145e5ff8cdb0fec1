#include "tests/fakes/FakeShutdown.h"
#include "platform/Types.h"
#include "tests/fakes/RuleBook.h"

namespace fake {

void FakeShutdown::Note(const std::string& line, bool failed) {
    if (journal) journal->push_back(failed ? line + " failed" : line);
}

platform::Handle FakeShutdown::OpenProcessToken() {
    Note("OpenProcessToken", openTokenFails);
    if (openTokenFails) return 0;
    ++openTokens;
    platform::Handle h = nextToken_;
    nextToken_ += 4;
    return h;
}

void FakeShutdown::CloseToken(platform::Handle token) {
    if (token != 0 && openTokens > 0) --openTokens;
    Note("CloseToken", false);
}

bool FakeShutdown::SetShutdownPrivilege(platform::Handle token, bool enable, std::uint32_t* error) {
    const std::string line = enable ? "AdjustTokenPrivileges enable" : "AdjustTokenPrivileges disable";
    bool failed = privilegeFails || token == 0;
    Note(line, failed);
    if (failed) {
        if (error) *error = platform::err::InvalidHandle;
        return false;
    }
    if (!privilegeHeld) {
        if (enable) rules::Fired(rules::kNotAllAssigned);
        if (journal) journal->back() = line + " not all assigned";
        if (error) *error = platform::err::NotAllAssigned;
        return true;
    }
    if (error) *error = platform::err::Success;
    privilegeEnabled = enable;
    return true;
}

bool FakeShutdown::AbortSystemShutdown() {
    Note("AbortSystemShutdown", abortFails);
    return !abortFails;
}

bool FakeShutdown::ExitWindowsEx(std::uint32_t flags, std::uint32_t reason) {
    exitWindowsFlags.push_back(flags);
    // Only a logoff goes without the privilege enabled.
    const bool refused = exitWindowsFails || ((flags & (platform::EwxShutdown | platform::EwxReboot |
                                                        platform::EwxPowerOff)) != 0 &&
                                              !privilegeEnabled);
    if (refused && !exitWindowsFails) rules::Fired(rules::kExitWindowsRefused);
    Note("ExitWindowsEx " + std::to_string(flags) + " " + std::to_string(reason), refused);
    if (refused) return false;
    const bool forced = (flags & platform::EwxForce) != 0;
    if (truth) truth->SessionEnded(EndKindOfFlags(flags), forced, "ExitWindowsEx");
    if (forced && terminalServices) rules::Fired(rules::kForceIgnoredUnderTs);
    if ((!forced || terminalServices) && whoAsks) whoAsks(flags);
    return true;
}

}  // namespace fake
