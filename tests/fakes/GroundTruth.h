// What really happened on the simulated machine, kept by the machine itself
// as it happens, not read back from the agent's log: the session ends
// carried out, by whom, of which kind, and whether forced. The requests the
// service took and answered, and the deployer processes it started and saw
// end, are ScriptedService::requests.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace fake {

enum class EndKind { Logoff, Shutdown, Restart, PowerOff };
const char* EndKindName(EndKind kind);
// The kind of an ExitWindowsEx call's flags.
EndKind EndKindOfFlags(std::uint32_t flags);

struct SessionEndDone {
    EndKind kind = EndKind::Logoff;
    bool forced = false;
    // "ExitWindowsEx" or "shutdown.exe" (the agent asked for it), "Windows"
    // (every program let it go), "user forced" (XP's "End Now", Vista's
    // "Shut down anyway").
    std::string how;
    std::int64_t atMs = 0;
    bool ByAgent() const { return how == "ExitWindowsEx" || how == "shutdown.exe"; }
};

struct GroundTruth {
    const std::int64_t* nowMs = nullptr;
    std::vector<SessionEndDone> sessionEnds;
    void SessionEnded(EndKind kind, bool forced, const std::string& how) {
        sessionEnds.push_back({kind, forced, how, nowMs ? *nowMs : 0});
    }
};

}  // namespace fake
