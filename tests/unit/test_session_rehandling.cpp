// A session end whose kind changed while its script ran, the task-kill
// requests to the service, and what the hand-off and the script wait make of
// files and processes that are not what they should be.
#include <string>
#include <vector>

#include "tests/unit/test_session_fixture.h"

using platform::TRUE_;

using namespace session_test;

namespace {

const std::string kTaskKill = "C:\\windows\\system32\\taskkill.exe";

std::string K(const std::string& val2, const std::string& val3) {
    return Line("FunctionToForgetShutDown", "INFO", "ShellExecute", val2, val3);
}

class SessionRehandling : public SessionEndTest {
protected:
    std::wstring TaskKillFile() const { return info.scriptDataDir + L"quorvaShutTaskKill.ini"; }

    // A logoff request came before the shutdown that now starts the first
    // handling: the check in the script wait finds the kind changed.
    void LogoffCameBefore() { agent->m_bFlagForFirstTimeLogoff = 1; }

    // The sleeps between the first and the last 50 ms wait are all 50 ms.
    std::size_t TaskKillWaits() {
        const auto sleeps = Sleeps();
        return static_cast<std::size_t>(std::count(sleeps.begin(), sleeps.end(), 50u));
    }
};

TEST_F(SessionRehandling, ChangeOfKindEndsTheScriptsAndRunsTheHandlingAgainNested) {
    Install();
    LogoffCameBefore();
    EXPECT_EQ(Query(kShutdown), 0);

    ASSERT_EQ(service->requests.size(), 2u);
    const std::string pid1 = std::to_string(DeployerPid(0)), pid2 = std::to_string(DeployerPid(1));
    std::vector<std::string> expected{
        Line("WindowProc", "INFO", "SHUTDOWN RECIEVED"),
        Line("WindowProc", "SHUTDOWN/RESTART RECIEVED FOR THE 1ST TIME", "Success"),
    };
    expected += FirstRequestAnswer();
    expected.push_back(R1());
    expected += Cancel();
    expected += HandOff("shutdown<<>>jsmith", pid1, 1);
    expected += Pass(pid1, CameFirst::Logoff);
    expected.push_back(Line("While", " M_BFLAGFORSHUTDOWN ", "Success"));
    // The logon script (none in a resident copy), then the first shutdown script.
    expected.push_back(K(kTaskKill, ""));
    expected.push_back(K(kTaskKill, pid1));
    // The nested handling, for the same pending shutdown.
    expected.push_back(R1());
    expected += Cancel();
    expected += HandOff("shutdown<<>>jsmith", pid2, 1);
    expected += Pass(pid2, CameFirst::Shutdown);
    expected += Pass(pid2, CameFirst::Shutdown);
    // The deepest level's final step, then the first level's.
    expected += Reissue("Shutting down");
    expected += Reissue("Shutting down");
    EXPECT_EQ(Log(), expected);

    EXPECT_EQ(service->killed, std::vector<std::uint32_t>{DeployerPid(0)});
    EXPECT_EQ(Journal({"WritePrivateProfileString [Task_To_Kill]"}),
              (std::vector<std::string>{"WritePrivateProfileString [Task_To_Kill] Proc_ID= " + kTaskKillIni,
                                        "WritePrivateProfileString [Task_To_Kill] Proc_ID=" + pid1 + " " +
                                            kTaskKillIni}));
    const std::string launchA = "CreateProcess \"" + kShutdownExe + "\" /a";
    const std::string launchS = "CreateProcess \"" + kShutdownExe + "\" -s -f -t 00";
    EXPECT_EQ(Issued(), (std::vector<std::string>{launchA, launchA, "ExitWindowsEx 13 0", launchS, "EndDialog IDOK",
                                                  "PostQuitMessage 0", "ExitWindowsEx 13 0", launchS,
                                                  "EndDialog IDOK", "PostQuitMessage 0"}));
    const CQuorvaDlg& a = *agent;
    EXPECT_EQ(a.m_uICountForOnce, 2u);
    EXPECT_EQ(a.m_bFlagForReissue, 0);
    EXPECT_EQ(a.m_bFlagForFirstTimeLogoff, 0);
    EXPECT_EQ(a.m_szScriptProcId2.str(), std::wstring(pid1.begin(), pid1.end()));
    EXPECT_EQ(a.m_szScriptProcId3.str(), std::wstring(pid2.begin(), pid2.end()));
    EXPECT_EQ(a.m_strScriptDataDir, TaskKillFile());
    EXPECT_FALSE(m.files.Exists(TaskKillFile()));
    const auto reports = NewReports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].evnt, "Shutdown");
    EXPECT_EQ(reports[1].evnt, "Shutdown");
    EXPECT_GE(TaskKillWaits(), 2u);
    // The nested level looks for a restart again, unconditionally.
    EXPECT_EQ(m.eventLog.opens, 10);
}

TEST_F(SessionRehandling, ShutdownThePrivilegeDoesNotAllowIsLeftToWindowsOnceForBothLevels) {
    Install();
    LogoffCameBefore();
    m.shutdown.privilegeHeld = false;
    EXPECT_EQ(Query(kShutdown), TRUE_) << "let go after both scripts ran";

    EXPECT_EQ(service->requests.size(), 2u);
    const auto log = Log();
    // The deepest level says why; the first level has nothing left to issue.
    EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()),
              (std::vector<std::string>{Line("FunctionToForgetShutDown", "INFO", "Script ended", "Exiting"),
                                        Line("FunctionToForgetShutDown", "ERROR", "SeShutdownPrivilege not held",
                                             "Session end left to Windows", "Shutting down")}));
    EXPECT_EQ(std::count(log.begin(), log.end(), Line("FunctionToForgetShutDown", "INFO", "Script ended", "Exiting")), 1);
    EXPECT_TRUE(m.JournalOf({"ExitWindowsEx"}).empty());
    EXPECT_EQ(Journal({"EndDialog"}).size(), 1u);
}

TEST_F(SessionRehandling, NestedHandlingRunsTheScriptOfTheKindNowPending) {
    // A logoff is pending after a counted shutdown whose flag was left set.
    Install();
    agent->m_bFlagForFirstShutDown = 1;
    agent->m_bFlagForFirstTimeLogoff = 0;
    agent->m_bFlagForShutDown = 0;
    agent->m_strEventArgs = L"Logoff<<>>jsmith";
    agent->m_szEventName = L"Logoff";
    agent->functionToForgetShutdown();

    // The check reads the shutdown flag and finds a logoff pending: C6.
    const auto log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), Line("While", "!M_BFLAGFORSHUTDOWN", "Success")), 1);
    ASSERT_EQ(service->requests.size(), 2u);
    EXPECT_EQ(service->requests[1].processArguments, L"Logoff<<>>jsmith");
    EXPECT_EQ(m.JournalOf({"ExitWindowsEx"}), (std::vector<std::string>{"ExitWindowsEx 4 0", "ExitWindowsEx 4 0"}));
    EXPECT_EQ(agent->m_bFlagForFirstShutDown, 0);
    // Only the nested level reads the event log for a logoff, and it cannot
    // make the logoff a restart.
    EXPECT_EQ(m.eventLog.opens, 5);
}

TEST_F(SessionRehandling, TaskKillFileLeftFromAnEarlierRunIsReplacedBeforeTheFirstRequest) {
    Install();
    LogoffCameBefore();
    m.files.PutFile(TaskKillFile(), "[Task_To_Kill]\r\nProc_ID=999\r\nReason=old\r\n");
    // The service leaves the old request alone; it takes the first new one.
    service->options.deleteTaskKillFile = false;
    std::wstring seenProcId = L"<unseen>", seenReason = L"<unseen>";
    m.clock.Every(50, [&] {
        if (!m.files.Exists(TaskKillFile())) return true;
        const auto id = m.files.GetString(L"Task_To_Kill", L"Proc_ID", L"<none>", 1024, TaskKillFile());
        if (id == L"999") return true;
        seenProcId = id;
        seenReason = m.files.GetString(L"Task_To_Kill", L"Reason", L"<none>", 1024, TaskKillFile());
        service->options.deleteTaskKillFile = true;
        return false;
    });
    EXPECT_EQ(Query(kShutdown), 0);

    EXPECT_EQ(seenProcId, L"");
    EXPECT_EQ(seenReason, L"<none>");
    std::vector<std::string> touching;
    for (std::size_t i = journalMark; i < m.journal.size(); ++i)
        if (m.journal[i].find("quorvaShutTaskKill.ini") != std::string::npos) touching.push_back(m.journal[i]);
    ASSERT_GE(touching.size(), 2u);
    EXPECT_EQ(touching[0], "DeleteFile " + kTaskKillIni);
    EXPECT_EQ(touching[1].rfind("WritePrivateProfileSection [Task_To_Kill]", 0), 0u) << touching[1];
    EXPECT_EQ(m.JournalOf({"ExitWindowsEx"}).size(), 2u);
}

TEST_F(SessionRehandling, ServiceThatNeverTakesTheTaskKillRequestIsWaitedForWithoutLimit) {
    Install();
    LogoffCameBefore();
    service->options.deleteTaskKillFile = false;
    // Half an hour of virtual time after the first request, the service wakes.
    constexpr std::int64_t kHalfHour = 30LL * 60 * 1000;
    std::int64_t firstRequestAt = -1;
    m.clock.Every(50, [&] {
        if (!m.files.Exists(TaskKillFile())) return true;
        firstRequestAt = m.clock.nowMs;
        m.clock.After(kHalfHour, [&] { service->options.deleteTaskKillFile = true; });
        return false;
    });
    EXPECT_EQ(Query(kShutdown), 0);

    ASSERT_GE(firstRequestAt, 0);
    EXPECT_GE(TaskKillWaits(), static_cast<std::size_t>(kHalfHour / 50));
    const auto log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), K(kTaskKill, "")), 1);
    EXPECT_EQ(service->requests.size(), 2u);
    EXPECT_EQ(m.JournalOf({"ExitWindowsEx"}).size(), 2u);
}

TEST_F(SessionRehandling, NestedLevelThatFindsTheKindChangedAsksOnlyForItsOwnScriptAndGoesDeeper) {
    // Not reachable through window messages (none is retrieved while a
    // handling runs); the nested re-handling must still hold if the flags
    // change under it.
    Install();
    LogoffCameBefore();
    m.clock.Every(100, [&] {
        if (agent->m_uICountForOnce != 2) return true;
        agent->m_bFlagForFirstTimeLogoff = 1;
        return false;
    });
    EXPECT_EQ(Query(kShutdown), 0);

    ASSERT_EQ(service->requests.size(), 3u);
    const std::string pid1 = std::to_string(DeployerPid(0)), pid2 = std::to_string(DeployerPid(1));
    std::vector<std::string> kills;
    for (const auto& line : Log())
        if (line.find("ShellExecute") != std::string::npos) kills.push_back(line);
    EXPECT_EQ(kills, (std::vector<std::string>{K(kTaskKill, ""), K(kTaskKill, pid1), K(pid2, "")}));
    EXPECT_EQ(service->killed, (std::vector<std::uint32_t>{DeployerPid(0), DeployerPid(1)}));
    EXPECT_EQ(agent->m_uICountForOnce, 3u);
    EXPECT_EQ(agent->m_bFlagForReissue, 0);
    // The task-kill path is not appended to a second time.
    EXPECT_EQ(agent->m_strScriptDataDir, TaskKillFile());
    EXPECT_EQ(m.JournalOf({"ExitWindowsEx"}).size(), 3u);
}

// A request Windows sends while the handling holds the window's thread waits
// in the queue: it is the next message the window handles, once the handler
// has answered. It is classified (one of the other kind records that it came
// after the first) and refused, and it starts nothing.
struct SecondRequestCase {
    const char* name;
    std::intptr_t first, second;
    std::vector<std::string> classified;
};

class SecondRequest : public SessionEndTest, public ::testing::WithParamInterface<SecondRequestCase> {};

TEST_P(SecondRequest, SentDuringTheScriptIsTheNextMessageAndIsRefused) {
    const SecondRequestCase c = GetParam();
    Install();
    bool queued = false;
    m.clock.Every(100, [&] {
        if (agent->m_uICountForOnce == 0) return true;  // not yet in the script wait
        queued = true;
        return false;
    });
    EXPECT_EQ(Query(c.first), 0);
    ASSERT_TRUE(queued);
    Mark();

    EXPECT_EQ(Query(c.second), 0);

    std::vector<std::string> expected{Line("WindowProc", "INFO", "SHUTDOWN RECIEVED")};
    expected += c.classified;
    expected += RepeatAnswer();
    EXPECT_EQ(Log(), expected);
    EXPECT_TRUE(Issued().empty());
    EXPECT_EQ(service->requests.size(), 1u);
    EXPECT_EQ(agent->m_uICountForOnce, 1u);
    const bool shutdown = c.second == kShutdown;
    EXPECT_EQ(agent->m_bFlagForShutDown, shutdown ? 1 : 0);
    EXPECT_EQ(agent->m_strEventArgs, shutdown ? L"shutdown<<>>jsmith" : L"Logoff<<>>jsmith");
    EXPECT_EQ(agent->m_bFlagForFirstTimeLogoff, c.first == kLogoff ? 1 : 0);
    EXPECT_EQ(agent->m_bFlagForFirstShutDown, c.first == kShutdown ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, SecondRequest,
    ::testing::Values(
        SecondRequestCase{"LogoffThenLogoff", kLogoff, kLogoff, {}},
        SecondRequestCase{"LogoffThenShutdown", kLogoff, kShutdown,
                          {Line("WindowProc", "SHUTDOWN/RESTART RECIEVED AFTER A LOGOFF WAS RECIEVED", "Success")}},
        SecondRequestCase{"ShutdownThenLogoff", kShutdown, kLogoff,
                          {Line("WindowProc", "LOGOFF RECIEVED AFTER A SHUTDOWN HAPPENED", "Success")}},
        SecondRequestCase{"ShutdownThenShutdown", kShutdown, kShutdown, {}}),
    [](const ::testing::TestParamInfo<SecondRequestCase>& info) { return std::string(info.param.name); });

// ---- hand-off and script wait against files and processes gone wrong ----

TEST_F(SessionRehandling, HandOffFileDeletedDuringTheWaitIsCreatedAgainAfterTheAnswer) {
    fake::ScriptedService::Options never;
    never.reply = fake::ScriptedService::Reply::Never;
    Install({}, never);
    std::uint32_t pid = 0;
    m.clock.After(2500, [&] { m.files.Remove(info.procDetailsIni); });
    m.clock.After(4500, [&] {
        pid = m.processes.Start(L"quorvarun.exe", 1);
        m.clock.After(3000, [&] { m.processes.Exit(pid); });
        m.files.WriteString(L"Process Details", L"Proc ID", std::to_wstring(pid), info.procDetailsIni);
    });
    EXPECT_EQ(Query(kLogoff), 0);

    const auto log = Log();
    const std::string waiting =
        Line("functionToForgetShutdown", "INFO", "Reading from INI for Logoff/Shutdown Script", "Proc ID Not Found",
             "Waiting");
    EXPECT_EQ(std::count(log.begin(), log.end(), waiting), 5);
    EXPECT_EQ(std::count(log.begin(), log.end(),
                         Line("functionToForgetShutdown", "INFO", "Reading from INI for Logoff/Shutdown Script",
                              "Proc ID found", std::to_string(pid))),
              1);
    EXPECT_TRUE(HandOffFileEmpty());
    EXPECT_EQ(m.JournalOf({"ExitWindowsEx"}), std::vector<std::string>{"ExitWindowsEx 4 0"});
}

TEST_F(SessionRehandling, HandOffFileThatCannotBeWrittenLetsTheSessionEndGoWithAReport) {
    Install();
    m.files.DenyWrite(info.procDetailsIni);
    EXPECT_EQ(Query(kLogoff), 1);

    // The old request's removal tried five times 50 ms apart, and nothing
    // written after it; the service never saw a request, so the report says
    // no script ran and nothing is issued.
    EXPECT_EQ(Sleeps(), std::vector<std::uint32_t>(4, 50));
    EXPECT_TRUE(service->requests.empty());
    const auto reports = NewReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].evnt, "Logoff");
    EXPECT_EQ(reports[0].status, "0");
    EXPECT_EQ(reports[0].faildesc, "The request could not be written to the hand-off file");
    const auto log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(),
                         Line("functionToForgetShutdown", "ERROR", "Unable to hand off Logoff/Shutdown Script",
                              "Not written to", fake::Utf8(info.procDetailsIni))),
              1);
    EXPECT_TRUE(m.JournalOf({"ExitWindowsEx"}).empty());
    EXPECT_EQ(agent->m_uICountForOnce, 0u);
    EXPECT_TRUE(agent->m_bEnded);
}

TEST_F(SessionRehandling, ProcIdOfAnotherProgramDoesNotHoldTheSessionEnd) {
    fake::ScriptedService::Options never;
    never.reply = fake::ScriptedService::Reply::Never;
    Install({}, never);
    std::uint32_t explorer = 0;
    for (const auto& p : m.processes.table)
        if (p.exe == L"explorer.exe") explorer = p.pid;
    ASSERT_NE(explorer, 0u);
    m.clock.After(1500, [&] {
        m.files.WriteString(L"Process Details", L"Proc ID", std::to_wstring(explorer), info.procDetailsIni);
    });
    EXPECT_EQ(Query(kLogoff), 0);

    const auto log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), Waiting()), 0);
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& l) { return l.rfind("RunningInterface", 0) == 0; }),
              0);
    EXPECT_EQ(Sleeps(), (std::vector<std::uint32_t>{1000, 1000}));
    EXPECT_EQ(m.JournalOf({"ExitWindowsEx"}), std::vector<std::string>{"ExitWindowsEx 4 0"});
}

TEST_F(SessionRehandling, ProcIdWithALeadingZeroNamesNoRunningScript) {
    fake::ScriptedService::Options never;
    never.reply = fake::ScriptedService::Reply::Never;
    Install({}, never);
    std::uint32_t pid = 0;
    m.clock.After(500, [&] {
        pid = m.processes.Start(L"quorvarun.exe", 1);
        m.files.WriteString(L"Process Details", L"Proc ID", L"0" + std::to_wstring(pid), info.procDetailsIni);
    });
    EXPECT_EQ(Query(kLogoff), 0);

    // The process is seen by name, but the text "0<pid>" is not its id.
    const auto log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), Waiting()), 0);
    EXPECT_GE(std::count(log.begin(), log.end(), Line("RunningInterface", "INFO", "File Name Matched ", kDeployer)), 1);
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& l) { return l.find("PID Matched") != std::string::npos; }),
              0);
    EXPECT_TRUE(m.processes.IsRunning(pid));
    EXPECT_EQ(m.JournalOf({"ExitWindowsEx"}), std::vector<std::string>{"ExitWindowsEx 4 0"});
}

TEST_F(SessionRehandling, OnlyTheScriptsOwnDeployerProcessHoldsTheSessionEnd) {
    Install();
    const std::uint32_t stray = m.processes.Start(L"quorvarun.exe", 1);
    EXPECT_EQ(Query(kLogoff), 0);

    const std::string pid = std::to_string(DeployerPid(0));
    const auto log = Log();
    // Each pass sees both deployers by name and only the script's by id.
    std::vector<std::string> pass{
        Line("RunningInterface", "INFO", "File Name Matched ", kDeployer),
        Line("RunningInterface", "INFO", "File Name Matched ", kDeployer),
        Line("RunningInterface", "INFO", "PID Matched ", "A running instance of process found", pid),
        Waiting(),
    };
    auto at = std::search(log.begin(), log.end(), pass.begin(), pass.end());
    EXPECT_NE(at, log.end());
    EXPECT_EQ(std::count(log.begin(), log.end(), Waiting()), 2);
    EXPECT_TRUE(m.processes.IsRunning(stray));
    EXPECT_EQ(m.JournalOf({"ExitWindowsEx"}), std::vector<std::string>{"ExitWindowsEx 4 0"});
}

}  // namespace
