// Whole-machine scenarios of a terminal server: the product installed on one
// simulated machine, the stand-in service watching every user's hand-off
// file, and one agent program (the real CQuorvaDlg start-up, and for resident
// copies a session end) per copy, all run on the FakeTerminalServer's one
// virtual clock. Used by the unit scenarios and by the storm benchmark.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/fakes/FakeTerminalServer.h"
#include "tests/fakes/ScriptedService.h"
#include "tests/fakes/StandardMachine.h"

namespace fake {

// One copy of the agent: whose, in which session, which role, and when it
// starts (after the scenario's start).
struct AgentCopy {
    std::wstring user;
    std::uint32_t session = 1;
    bool resident = false;  // started with "setup": stays for the session end
    std::int64_t startDelayMs = 0;
};

// `users` ordinary (or resident) copies of as many users, each in a session
// of its own, started within `spreadMs` of each other in a fixed scattered
// order. Users are named user0001, user0002, ...
std::vector<AgentCopy> StormCopies(std::size_t users, bool resident, std::int64_t spreadMs = 1000);
std::wstring StormUser(std::size_t index);

struct ScenarioOptions {
    // The service answers each request within 0 to this many milliseconds
    // (scattered in a fixed order).
    std::int64_t maxAnswerDelayMs = 5000;
    std::int64_t servicePollMs = 200;
    std::int64_t deployerRunMs = 10000;
    // Resident copies get a shutdown request (WM_QUERYENDSESSION, lParam 0)
    // this long after the scenario's start; negative: none.
    std::int64_t shutdownAtMs = -1;
    // A logoff request was classified before that shutdown, so the handling
    // finds the kind changed and ends the scripts through the task-kill file.
    bool logoffCameBefore = false;
};

// What each copy's program saw, by copy index.
struct CopyOutcome {
    int startUp = -1;  // OnInitDialog's answer
    int logFailed = 0;
    std::wstring logonProcId;       // m_szScriptProcId
    std::wstring sessionEndProcId;  // m_szScriptProcId2
    std::intptr_t queryAnswer = -1;  // -1: no session end was delivered
    bool ended = false;              // the agent ended itself
};

class TerminalServerScenario {
public:
    TerminalServerScenario(std::vector<AgentCopy> copies, ScenarioOptions options = {});

    // Runs every copy to its end, or abandons what still waits two virtual
    // days after the start.
    void Run();

    FakeTerminalServer server;
    StandardMachine info;
    std::unique_ptr<ScriptedService> service;
    const std::vector<AgentCopy> copies;
    const ScenarioOptions options;
    std::vector<CopyOutcome> outcomes;
    std::int64_t startMs = 0;

    // ---- what the machine holds afterwards ----
    // The texts of every file in the post folder, by file name.
    std::vector<std::pair<std::wstring, std::string>> Reports() const;
    // The names of the day's log files.
    std::vector<std::wstring> LogFiles() const;
    std::wstring HandOffFile(const std::wstring& user) const;
    std::wstring TaskKillFile() const { return info.scriptDataDir + L"quorvaShutTaskKill.ini"; }
};

}  // namespace fake
