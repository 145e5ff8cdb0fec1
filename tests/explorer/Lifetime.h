// One session lifetime of the explorer: everything a seed decides, as plain
// data, so that a failing lifetime can be printed, shrunk and replayed.
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
        HandOffDeleted,    // someone deletes the user's hand-off file
        GarbageProcId,     // the service writes a Proc ID that is no number
        LogHeld,           // another program holds today's log file for 300 ms
    };
    std::int64_t atMs = 0;
    Kind kind = Query;
    std::int64_t lParam = 0;
};

struct Lifetime {
    std::uint64_t seed = 0;
    Copy copy = Copy::Setup;
    bool secondCopy = false;       // another quorva.exe in the session
    bool xp = false;               // XP's rules, else Vista and later
    bool privilegeHeld = true;     // SeShutdownPrivilege in the token
    std::uint32_t threadCodePage = 1252, systemCodePage = 1252;
    std::wstring user = L"jsmith";
    bool serviceRunning = true;
    int reply = 0;                 // 0 Proc ID, 1 Err_Desc, 2 never
    std::int64_t answerDelayMs = 0;
    std::int64_t deployerRunMs = 10000;
    bool registryValues = true;
    bool restartSetting = false;   // "Shutdown Setting" 4
    bool postFolderDenied = false; // standard users may not write QVRTPostLogs
    bool reportNamesPending = false; // report names delete-pending (consumed while scanned)
    bool reusePids = false;
    int badLengthSnapshots = 0;
    bool terminalServices = false; // a terminal server: EWX_FORCE still asks every program    // the next snapshots fail with ERROR_BAD_LENGTH (processes coming and going)
    bool answeredTrueEnds = true;  // a request answered 1 is followed by WM_ENDSESSION TRUE
    std::uint32_t scriptWaitLimit = 0;  // HKLM\SOFTWARE\VORLAN "ScriptWaitLimit", seconds; 0: none
    std::vector<Event> events;
    std::vector<Fault> faults;
};

Lifetime Generate(std::uint64_t seed);
std::string Describe(const Lifetime& lifetime);

struct Outcome {
    std::vector<std::string> violations;  // empty: every invariant held
    std::vector<std::string> trace;       // what happened, in order
    std::map<std::string, std::uint64_t> injected;  // faults injected, by call
};

Outcome Run(const Lifetime& lifetime, bool keepTrace);

// A shorter lifetime that still fails with the first violation's kind.
Lifetime Shrink(const Lifetime& failing, const std::string& violation);

}  // namespace explorer
