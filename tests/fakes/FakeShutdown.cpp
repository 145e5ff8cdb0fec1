#include "tests/fakes/FakeShutdown.h"

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

bool FakeShutdown::SetShutdownPrivilege(platform::Handle token, bool enable) {
    bool failed = privilegeFails || token == 0;
    Note(enable ? "AdjustTokenPrivileges enable" : "AdjustTokenPrivileges disable", failed);
    if (failed) return false;
    privilegeEnabled = enable;
    return true;
}

bool FakeShutdown::AbortSystemShutdown() {
    Note("AbortSystemShutdown", abortFails);
    return !abortFails;
}

bool FakeShutdown::ExitWindowsEx(std::uint32_t flags, std::uint32_t reason) {
    exitWindowsFlags.push_back(flags);
    Note("ExitWindowsEx " + std::to_string(flags) + " " + std::to_string(reason), exitWindowsFails);
    return !exitWindowsFails;
}

}  // namespace fake
