// A machine's history for the explorer: a seed decides, as plain data, the
// lifetimes of the agent's copies one after another on one simulated machine
// (the hand-off file, the log, the reports and the System event log carry
// over), so that a failing history can be printed, shrunk and replayed.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>
#include "tests/explorer/FaultyPlatform.h"

namespace explorer {

enum class Copy { Ordinary, Setup, System };

// What happens at a virtual time after the copy started.
struct Event {
    enum Kind {
        Query,             // Windows sends WM_QUERYENDSESSION with lParam
        EndSessionFalse,   // Windows sends WM_ENDSESSION FALSE (another program vetoed)
        ServiceDies,       // quorvahost.exe ends
        ServiceStarts,     // quorvahost.exe starts (late, or again)
        HandOffDeleted,    // someone deletes the user's hand-off file
        GarbageProcId,     // the service writes a Proc ID that is no number
        LogHeld,           // another program holds today's log file for 300 ms
        UserForces,        // "End Now" (XP) or "Shut down anyway" (Vista and later)
        BiasChanges,       // daylight saving time begins or ends
    };
    std::int64_t atMs = 0;
    Kind kind = Query;
    std::int64_t lParam = 0;
};

// What was in the hand-off file before the copy started.
enum class Planted { Nothing, OldAnswer, OldError, UnrelatedId, NonNumeric, Overlong };

// One copy of the agent, from its start to its end.
struct Lifetime {
    Copy copy = Copy::Setup;
    // 0: the same boot as the lifetime before, this many ms after its start;
    // else a new boot this many minutes after (negative: the clock was set back).
    std::int64_t sameBootAfterMs = 0;
    std::int64_t bootAfterMinutes = 0;
    bool serviceAtStart = true;    // quorvahost.exe runs when the copy starts
    int reply = 0;                 // 0 Proc ID, 1 Err_Desc, 2 never
    std::int64_t answerDelayMs = 0;
    std::int64_t deployerRunMs = 10000;
    bool restartIntended = false;  // the user's shutdowns are restarts
    // A second resident copy of the same user in the same session, really
    // run: started this long after the first, and asked first or second.
    bool secondCopy = false;
    std::int64_t secondCopyAfterMs = 0;
    bool secondAskedFirst = false;
    int reportNamesPending = 0;    // report names delete-pending in runs this long (a new boot's)
    int badLengthSnapshots = 0;    // the first snapshots fail with ERROR_BAD_LENGTH
    bool answeredTrueEnds = true;  // a request answered 1 is followed by WM_ENDSESSION TRUE
    Planted planted = Planted::Nothing;
    std::vector<Event> events;
    std::vector<Fault> faults;
};

struct Machine {
    std::uint64_t seed = 0;
    bool xp = false;               // XP's rules, else Vista and later
    bool privilegeHeld = true;     // SeShutdownPrivilege in the token
    std::uint32_t threadCodePage = 1252, systemCodePage = 1252;
    std::wstring user = L"jsmith";
    bool registryValues = true;
    bool restartSetting = false;   // "Shutdown Setting" 4: the user's last choice was a restart
    bool postFolderDenied = false; // standard users may not write QVRTPostLogs
    bool reusePids = false;
    bool terminalServices = false; // a terminal server: EWX_FORCE still asks every program
    std::uint32_t scriptWaitLimit = 0;  // HKLM\SOFTWARE\VORLAN "ScriptWaitLimit", seconds; 0: none
    std::int64_t firstBootMs = 0;  // UTC
    std::int32_t biasMinutes = 60;
    std::vector<Lifetime> lifetimes;
};

Machine Generate(std::uint64_t seed);
std::string Describe(const Machine& machine);

struct Outcome {
    std::vector<std::string> violations;  // empty: every invariant held
    std::vector<std::string> trace;       // what happened, in order
    std::map<std::string, std::uint64_t> injected;  // faults injected, by call
    std::map<std::string, std::uint64_t> excused;   // lifetimes an exception excused, by exception
};

Outcome Run(const Machine& machine, bool keepTrace);

// A shorter history that still fails with the first violation's kind.
Machine Shrink(const Machine& failing, const std::string& violation);

}  // namespace explorer
