// What the agent window does with WM_QUERYENDSESSION and WM_ENDSESSION
// before and around the handling: the kind of request, the close request of
// an installer, the missing service or deployer, the block reason.
#include <string>
#include <vector>

#include "tests/unit/test_session_fixture.h"

using platform::BOOL;
using platform::FALSE_;
using platform::TRUE_;

using namespace session_test;

namespace {

const std::wstring kReason = L"The application is executing system scripts.Please wait...";
const std::string kW1 = Line("WindowProc", "INFO", "SHUTDOWN RECIEVED");
const std::string kCloseLine =
    Line("WindowProc", "INFO", "Close request", "Restart Manager asked the application to close");

class SessionInterception : public SessionEndTest {};

// lParam is a bit mask: ENDSESSION_LOGOFF decides for a logoff whatever else
// is set, ENDSESSION_CLOSEAPP without it is an installer's close request,
// everything else is a shutdown or restart.
TEST_F(SessionInterception, FirstRequestIsClassifiedByItsBits) {
    enum class Kind { Shutdown, Logoff, Close };
    struct Case {
        std::uint64_t lParam;
        Kind kind;
    };
    const std::vector<Case> cases{
        {0x0, Kind::Shutdown},
        {0x40000000, Kind::Shutdown},
        {0x80000000, Kind::Logoff},
        {0x80000001, Kind::Logoff},
        {0xC0000000, Kind::Logoff},
        {0xC0000001, Kind::Logoff},
        // A 64-bit LPARAM that came through sign extension.
        {0xFFFFFFFF80000000ull, Kind::Logoff},
        {0x1, Kind::Close},
        {0x40000001, Kind::Close},
    };
    Install();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lParam);
        NewAgent();
        Mark();
        agent->ClassifyQueryEndSession(static_cast<std::intptr_t>(c.lParam));
        const CQuorvaDlg& a = *agent;
        switch (c.kind) {
        case Kind::Shutdown:
            EXPECT_EQ(Log(), (std::vector<std::string>{
                                 kW1, Line("WindowProc", "SHUTDOWN/RESTART RECIEVED FOR THE 1ST TIME", "Success")}));
            EXPECT_EQ(a.m_strEventArgs, L"shutdown<<>>jsmith");
            EXPECT_EQ(a.m_szEventName.str(), L"Shutdown");
            EXPECT_EQ(a.m_bFlagForShutDown, 1);
            EXPECT_EQ(a.m_bFlagForFirstShutDown, 1);
            EXPECT_EQ(a.m_bFlagForFirstTimeLogoff, 0);
            break;
        case Kind::Logoff:
            EXPECT_EQ(Log(), (std::vector<std::string>{
                                 kW1, Line("WindowProc", "LOGOFF RECIEVED  FOR THE 1ST TIME", "Success")}));
            EXPECT_EQ(a.m_strEventArgs, L"Logoff<<>>jsmith");
            EXPECT_EQ(a.m_szEventName.str(), L"Logoff");
            EXPECT_EQ(a.m_bFlagForShutDown, 0);
            EXPECT_EQ(a.m_bFlagForFirstTimeLogoff, 1);
            EXPECT_EQ(a.m_bFlagForFirstShutDown, 0);
            break;
        case Kind::Close:
            EXPECT_EQ(Log(), (std::vector<std::string>{kW1, kCloseLine}));
            EXPECT_EQ(a.m_strEventArgs, L"");
            EXPECT_EQ(a.m_szEventName.str(), L"");
            EXPECT_EQ(a.m_bFlagForFirstTimeLogoff + a.m_bFlagForFirstShutDown + a.m_bFlagForShutDown, 0);
            break;
        }
    }
}

TEST_F(SessionInterception, InstallerCloseRequestRunsNothingAndEndsTheAgentOnEndSession) {
    Install();
    EXPECT_EQ(Query(kCloseApp), 1);

    EXPECT_EQ(Log(), (std::vector<std::string>{kW1, kCloseLine}));
    EXPECT_TRUE(agent->m_bCloseRequested);
    // No block reason, no script, no cancel, nothing issued, still running.
    EXPECT_TRUE(Journal({"LoadLibrary", "ShutdownBlockReason", "CreateProcess", "ExitWindowsEx", "EndDialog",
                         "PostQuitMessage", "WritePrivateProfile"})
                    .empty());
    EXPECT_EQ(agent->m_uICountForOnce, 0u);

    EndSession(true);
    EXPECT_EQ(Journal({"EndDialog", "PostQuitMessage"}),
              (std::vector<std::string>{"EndDialog IDOK", "PostQuitMessage 0"}));
    EXPECT_TRUE(service->requests.empty());
    EXPECT_TRUE(NewReports().empty());
}

TEST_F(SessionInterception, CancelledCloseRequestKeepsTheAgentForTheRealSessionEnd) {
    Install();
    EXPECT_EQ(Query(kCloseApp), 1);
    EndSession(false);
    EXPECT_TRUE(Journal({"EndDialog", "PostQuitMessage"}).empty());
    EXPECT_FALSE(agent->m_bCloseRequested);

    // The logoff that follows is a first request with its script.
    Mark();
    EXPECT_EQ(Query(kLogoff), 0);
    EXPECT_EQ(service->requests.size(), 1u);
    EXPECT_EQ(m.JournalOf({"ExitWindowsEx"}), std::vector<std::string>{"ExitWindowsEx 4 0"});
}

TEST_F(SessionInterception, StoppedServiceEndsTheAgentAndLetsWindowsGoOn) {
    Install();
    m.processes.Exit(info.servicePid);
    EXPECT_EQ(Query(kShutdown), 1);

    EXPECT_EQ(Log(), (std::vector<std::string>{
                         kW1, Line("WindowProc", "SHUTDOWN/RESTART RECIEVED FOR THE 1ST TIME", "Success"),
                         Line("OnQueryEndSession", "INFO", "SUCCESS",
                              "Service not running. So exiting. Service Name: ", "quorvahost.exe"),
                         ReportLine()}));
    ASSERT_EQ(NewReports().size(), 1u);
    EXPECT_EQ(NewReports()[0].evnt, "EVTNT");
    EXPECT_EQ(NewReports()[0].status, "0");
    EXPECT_EQ(NewReports()[0].faildesc, "The service quorvahost.exe was not found running");
    EXPECT_EQ(Journal({"LoadLibrary", "ShutdownBlockReason", "FreeLibrary", "CreateProcess", "EndDialog",
                       "PostQuitMessage"}),
              (std::vector<std::string>{"LoadLibrary C:\\windows\\system32\\user32.dll", "ShutdownBlockReasonDestroy",
                                        "FreeLibrary", "EndDialog IDOK", "PostQuitMessage 0"}));
    EXPECT_EQ(m.shell.loadedLibraries, 0);
}

TEST_F(SessionInterception, MissingDeployerEndsTheAgentWithoutTouchingTheBlockReason) {
    Install();
    m.files.Remove(info.deployerPath);
    EXPECT_EQ(Query(kLogoff), 1);

    EXPECT_EQ(Log(), (std::vector<std::string>{
                         kW1, Line("WindowProc", "LOGOFF RECIEVED  FOR THE 1ST TIME", "Success"),
                         Line("OnQueryEndSession", "INFO", "SUCCESS", "quorvarun.exe was not found on the loaction",
                              kDeployer),
                         ReportLine()}));
    ASSERT_EQ(NewReports().size(), 1u);
    EXPECT_EQ(NewReports()[0].evnt, "EVTNT");
    EXPECT_EQ(NewReports()[0].status, "0");
    EXPECT_EQ(NewReports()[0].faildesc, "quorvarun.exe was not found on the location");
    EXPECT_EQ(Journal({"ShutdownBlockReason", "FreeLibrary", "EndDialog", "PostQuitMessage"}),
              (std::vector<std::string>{"FreeLibrary", "EndDialog IDOK", "PostQuitMessage 0"}));
}

TEST_F(SessionInterception, BlockReasonIsRegisteredWhileTheScriptRuns) {
    Install();
    std::optional<std::wstring> duringScript;
    m.clock.After(3000, [&] { duringScript = m.shell.blockReason; });
    EXPECT_EQ(Query(kLogoff), 0);
    EXPECT_EQ(duringScript, kReason);
    // WM_ENDSESSION takes it away again, also when the session goes on.
    EndSession(false);
    EXPECT_FALSE(m.shell.blockReason.has_value());
    EXPECT_EQ(m.shell.loadedLibraries, 0);
}

TEST_F(SessionInterception, WithoutBlockReasonFunctionsTheScriptStillRuns) {
    for (bool missing : {true, false}) {
        SCOPED_TRACE(missing ? "functions missing" : "create fails");
        Resident r;
        auto& machine = r.machine;
        machine.shell.blockReasonMissing = missing;
        machine.shell.blockReasonCreateFails = !missing;
        EXPECT_EQ(r.Query(kLogoff), 0);

        const auto entries = fake::ReadLog(machine).entries;
        ASSERT_GE(entries.size(), 5u);
        EXPECT_EQ(Line(entries[3].module, entries[3].type, entries[3].val1, entries[3].val2, entries[3].val3),
                  Line("OnQueryEndSession", "INFO", "FAIL", "ShutdownBlockCreate Not Found in User32.dll",
                       "The operating system id Below Vista"));
        EXPECT_EQ(entries[4].module, "OnEndQuerySession");
        EXPECT_EQ(r.service->requests.size(), 1u);
        EXPECT_EQ(machine.JournalOf({"ExitWindowsEx"}), std::vector<std::string>{"ExitWindowsEx 4 0"});
    }
}

TEST_F(SessionInterception, User32ThatCannotBeLoadedIsLoggedAndTheHandlingGoesOn) {
    Install();
    m.shell.user32LoadFails = true;
    m.processes.lastError = 126;
    // The state of a logoff request, without WindowProc's records, so that the
    // failure record is the one that opens the day's log.
    agent->m_strEventArgs = L"Logoff<<>>jsmith";
    agent->m_szEventName = L"Logoff";
    agent->m_bFlagForFirstTimeLogoff = 1;
    EXPECT_EQ(agent->OnQueryEndSession(kLogoff), 0);

    const auto log = Log();
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 6),
              (std::vector<std::string>{
                  Line("OnQueryEndSession", "ERR", "Failed to load dll", "User32.dll", "**********************"),
                  Line("OnQueryEndSession", "INFO", "SUCCESS",
                       "Calling Shutdown Block Create in case of Windows Vista,Windows 7,Windows Server 2008"),
                  Line("OnQueryEndSession", "INFO", "FAIL", "ShutdownBlockCreate Not Found in User32.dll",
                       "The operating system id Below Vista"),
                  Line("OnEndQuerySession", "INFO", "SHUTDOWN/LOGOFF/RESTART RECIEVED", "<**********************>",
                       "<***************************>"),
                  Line("OnEndQuerySession", "INFO", "SUCCESS", "Starting Thread to Handle WM_QUERYSHUTDOWN", "TRUE"),
                  Line("OnEndQuerySession", "INFO", "SUCCESS", "Starting Thread to Handle WM_QUERYSHUTDOWN", "126"),
              }));
    const auto header = fake::ReadLog(m).header;
    EXPECT_NE(std::find(header.begin(), header.end(), "#Version: 12.0.0.15"), header.end());
    EXPECT_TRUE(Journal({"FreeLibrary", "ShutdownBlockReason"}).empty());
    EXPECT_EQ(service->requests.size(), 1u);
    EXPECT_EQ(m.JournalOf({"ExitWindowsEx"}), std::vector<std::string>{"ExitWindowsEx 4 0"});

    // WM_ENDSESSION fails the same way and says so in its own words.
    Mark();
    EndSession(true);
    EXPECT_EQ(Log(), std::vector<std::string>{
                         Line("OnEndSession", "ERR", "Failed to load dll", "User32.dll", "**********************")});
}

TEST_F(SessionInterception, WithoutTheSystemDirectoryNothingIsLoadedOrStartedFromTheRoot) {
    Install();
    // GetSystemDirectoryW fails (or its result does not fit): "\\user32.dll"
    // and "\\shutdown.exe" would be looked for at the root of the drive.
    m.shell.systemDirectory = L"";
    EXPECT_EQ(Query(kShutdown), 0);

    const auto log = Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[2], Line("OnQueryEndSession", "ERR", "Failed to load dll", "User32.dll", "**********************"));
    EXPECT_TRUE(Journal({"LoadLibrary"}).empty());
    EXPECT_TRUE(m.processes.launched.empty()) << "neither \"/a\" nor the final command";
    EXPECT_EQ(m.eventLog.loads, 0) << "the restart check's message module neither";
    // The cancel falls back to AbortSystemShutdown; the session end is still issued.
    EXPECT_EQ(Journal({"AbortSystemShutdown", "ExitWindowsEx"}),
              (std::vector<std::string>{"AbortSystemShutdown", "ExitWindowsEx 13 0"}));
    EXPECT_EQ(LastLog(), Line("FunctionToForgetShutDown", "INFO", "exe stopped", "Shutting down"));
}

// Vista ends a program without a visible window that keeps a session end
// waiting for more than 5 seconds, unless it registered its block reason
// before it was asked. The start-up of a resident copy registers it; a
// copy that registered it only when asked (parameter false) is ended.
class VistaRule : public SessionEndTest, public ::testing::WithParamInterface<bool> {};

TEST_P(VistaRule, ReasonRegisteredAtStartUpKeepsTheAgentAliveWhileTheScriptRuns) {
    const bool startedUp = GetParam();
    fake::StandardOptions options;
    options.setup = true;
    Install(options);
    if (startedUp) {
        agent = std::make_unique<CQuorvaDlg>(m.os());
        ASSERT_EQ(agent->OnInitDialog(), TRUE_);
        EXPECT_EQ(m.shell.blockReason, std::optional<std::wstring>(kReason));
        EXPECT_EQ(Journal({"ShutdownBlockReason"}),
                  std::vector<std::string>{"ShutdownBlockReasonCreate " + fake::Utf8(kReason)});
        EXPECT_EQ(m.shell.loadedLibraries, 0);
    }
    Mark();
    const std::int64_t asked = m.clock.nowMs;
    m.shell.QueryEndSessionSent(m.clock);
    if (startedUp) {
        EXPECT_EQ(Query(kLogoff), FALSE_);
        m.shell.QueryEndSessionAnswered();
        EXPECT_FALSE(m.shell.endedForBlocking);
        EXPECT_EQ(m.JournalOf({"ExitWindowsEx"}), std::vector<std::string>{"ExitWindowsEx 4 0"});
        EXPECT_EQ(LastLog(), Line("FunctionToForgetShutDown", "INFO", "exe stopped", "Logging Off"));
    } else {
        EXPECT_THROW(Query(kLogoff), fake::ProcessEnded);
        EXPECT_TRUE(m.shell.endedForBlocking);
        EXPECT_EQ(m.clock.nowMs - asked, 5000) << "ended 5 s after the question, while the script runs";
        EXPECT_TRUE(m.JournalOf({"ExitWindowsEx"}).empty()) << "the script's session end is lost";
    }
}

INSTANTIATE_TEST_SUITE_P(EarlyOrLate, VistaRule, ::testing::Bool());

TEST_F(SessionInterception, EndSessionFalseThatLeavesTheAgentResidentRegistersTheReasonAgain) {
    Install();
    m.shell.blockReason = kReason;
    EndSession(false);
    EXPECT_EQ(Journal({"ShutdownBlockReason"}),
              (std::vector<std::string>{"ShutdownBlockReasonDestroy",
                                        "ShutdownBlockReasonCreate The application is executing system scripts.Please wait..."}));
    EXPECT_EQ(m.shell.blockReason, std::optional<std::wstring>(kReason));
    EXPECT_EQ(m.shell.loadedLibraries, 0);

    // Confirmed, or ended already: nothing to register for.
    for (bool ending : {true, false}) {
        NewAgent();
        if (!ending) agent->m_bEnded = true;
        Mark();
        EndSession(ending);
        EXPECT_TRUE(Journal({"ShutdownBlockReasonCreate"}).empty());
    }
}

TEST_F(SessionInterception, EndSessionRemovesTheBlockReasonExceptForTheSystemAccountsLogoff) {
    struct Case {
        const wchar_t* user;
        BOOL shutdownPending;
        bool removed;
    };
    Install();
    for (const Case c : {Case{L"jsmith", 0, true}, Case{L"jsmith", 1, true}, Case{L"SYSTEM", 1, true},
                         Case{L"SYSTEM", 0, false}, Case{L"system", 0, false}}) {
        SCOPED_TRACE(std::string(c.user, c.user + std::wcslen(c.user)) + (c.shutdownPending ? " shutdown" : " logoff"));
        NewAgent();
        agent->m_szUserName = c.user;
        agent->m_bFlagForShutDown = c.shutdownPending;
        m.shell.blockReason = kReason;
        Mark();
        EndSession(true);
        EXPECT_EQ(m.shell.blockReason.has_value(), !c.removed);
        EXPECT_EQ(Journal({"ShutdownBlockReasonDestroy"}).size(), c.removed ? 1u : 0u);
        EXPECT_EQ(Journal({"FreeLibrary"}).size(), 1u);
        // WM_ENDSESSION alone never ends a resident agent.
        EXPECT_TRUE(Journal({"EndDialog"}).empty());
    }
}

}  // namespace
