// Whole session ends of a resident agent: the request held back, the script
// handed to the service and waited for, and the session end issued again.
#include <functional>
#include <memory>
#include <stdexcept>
#include <optional>
#include <string>
#include <vector>

#include "tests/unit/test_session_fixture.h"

using platform::FALSE_;
using platform::TRUE_;

using namespace session_test;

namespace {

std::string Launch(const std::string& args) { return "CreateProcess \"" + kShutdownExe + "\" " + args; }

const std::vector<std::string> kEnded{"EndDialog IDOK", "PostQuitMessage 0"};

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a += b;
    return a;
}

class SessionEndRun : public SessionEndTest {};

TEST_F(SessionEndRun, FirstLogoffRunsTheLogoffScriptThenLogsOffForced) {
    Install();
    EXPECT_EQ(Query(kLogoff), 0);

    const std::string pid = std::to_string(DeployerPid(0));
    std::vector<std::string> expected{
        Line("WindowProc", "INFO", "SHUTDOWN RECIEVED"),
        Line("WindowProc", "LOGOFF RECIEVED  FOR THE 1ST TIME", "Success"),
    };
    expected += FirstRequestAnswer();
    expected.push_back(R1());
    expected += Cancel();
    expected += HandOff("Logoff<<>>jsmith", pid, 1);
    expected += Pass(pid, CameFirst::Logoff);
    expected += Pass(pid, CameFirst::Logoff);
    expected += Reissue("Logging Off");
    EXPECT_EQ(Log(), expected);

    EXPECT_EQ(Issued(), Join({Launch("/a"), "ExitWindowsEx 4 0", Launch("-l -f -t 00")}, kEnded));
    // One hand-off poll, then the script's 10 seconds in 5-second looks.
    EXPECT_EQ(Sleeps(), (std::vector<std::uint32_t>{1000, 5000, 5000}));
    ASSERT_EQ(service->requests.size(), 1u);
    EXPECT_EQ(service->requests[0].processArguments, L"Logoff<<>>jsmith");
    EXPECT_EQ(service->requests[0].processName, info.deployerPath);
    ASSERT_EQ(NewReports().size(), 1u);
    EXPECT_EQ(NewReports()[0].evnt, "Logoff");
    EXPECT_EQ(NewReports()[0].status, "1");
    EXPECT_EQ(NewReports()[0].faildesc, "");
    EXPECT_TRUE(HandOffFileEmpty());
    EXPECT_EQ(agent->m_uICountForOnce, 1u);
    EXPECT_EQ(Events(m), (std::vector<std::string>{"1000 4|jsmith|Logoff|" + pid, "1002 4|jsmith|logoff|11"}));
    EXPECT_TRUE(m.eventLog.sources.empty()) << "every source deregistered";
    // The privilege is given back and the token closed.
    EXPECT_EQ(Journal({"OpenProcessToken", "AdjustTokenPrivileges", "CloseToken"}),
              (std::vector<std::string>{"OpenProcessToken", "AdjustTokenPrivileges enable",
                                        "AdjustTokenPrivileges disable", "CloseToken"}));
    EXPECT_FALSE(m.shutdown.privilegeEnabled);
}

TEST_F(SessionEndRun, ShutdownIsARestartWhenTheShutdownSettingIsFour) {
    fake::StandardOptions options;
    options.shutdownSetting = 4;
    Install(options);
    EXPECT_EQ(Query(kShutdown), 0);

    const std::string pid = std::to_string(DeployerPid(0));
    std::vector<std::string> expected{
        Line("WindowProc", "INFO", "SHUTDOWN RECIEVED"),
        Line("WindowProc", "SHUTDOWN/RESTART RECIEVED FOR THE 1ST TIME", "Success"),
    };
    expected += FirstRequestAnswer();
    expected.push_back(R1());
    expected += Cancel();
    expected += HandOff("shutdown<<>>jsmith", pid, 1);
    expected += Pass(pid, CameFirst::Shutdown);
    expected += Pass(pid, CameFirst::Shutdown);
    expected += Reissue("Rebooting");
    EXPECT_EQ(Log(), expected);

    EXPECT_EQ(agent->m_bFlagForRestart, 1);
    EXPECT_EQ(Issued(), Join({Launch("/a"), "ExitWindowsEx 6 0", Launch("-r -f -t 00")}, kEnded));
    // The empty System log is read five times, 2 seconds apart, before the
    // registry decides.
    EXPECT_EQ(Sleeps(), (std::vector<std::uint32_t>{2000, 2000, 2000, 2000, 2000, 1000, 5000, 5000}));
    EXPECT_EQ(m.eventLog.opens, 5);
    ASSERT_EQ(NewReports().size(), 1u);
    EXPECT_EQ(NewReports()[0].evnt, "Shutdown");
}

TEST_F(SessionEndRun, RestartFoundInTheEventLogReboots) {
    Install();
    m.eventLog.Add(fake::FakeEventLog::Shutdown1074(
        static_cast<std::uint32_t>(m.clock.nowMs / 1000 - 30), L"restart"));
    EXPECT_EQ(Query(kShutdown), 0);

    EXPECT_EQ(agent->m_bFlagForRestart, 1);
    EXPECT_EQ(Issued(), Join({Launch("/a"), "ExitWindowsEx 6 0", Launch("-r -f -t 00")}, kEnded));
    EXPECT_EQ(LastLog(), Line("FunctionToForgetShutDown", "INFO", "exe stopped", "Rebooting"));
    // Found at the first attempt: no registry read decides it.
    EXPECT_EQ(Sleeps().front(), 2000u);
    EXPECT_EQ(m.eventLog.opens, 1);
}

TEST_F(SessionEndRun, RestartSignsDoNotTurnAPendingLogoffIntoARestart) {
    fake::StandardOptions options;
    options.shutdownSetting = 4;
    Install(options);
    m.eventLog.Add(fake::FakeEventLog::Shutdown1074(
        static_cast<std::uint32_t>(m.clock.nowMs / 1000 - 30), L"restart"));
    EXPECT_EQ(Query(kLogoff), 0);

    // A logoff reads neither the event log nor the setting.
    EXPECT_EQ(m.eventLog.opens, 0);
    EXPECT_EQ(agent->m_bFlagForRestart, 0);
    EXPECT_EQ(Issued(), Join({Launch("/a"), "ExitWindowsEx 4 0", Launch("-l -f -t 00")}, kEnded));
}

TEST_F(SessionEndRun, RestartKnownFromEarlierStillEndsAPendingLogoffAsALogoff) {
    Install();
    agent->m_bFlagForRestart = 1;
    EXPECT_EQ(Query(kLogoff), 0);

    // Nothing left to detect: no R1.
    const auto log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), R1()), 0);
    EXPECT_EQ(Issued(), Join({Launch("/a"), "ExitWindowsEx 4 0", Launch("-l -f -t 00")}, kEnded));
}

TEST_F(SessionEndRun, WithoutAShutdownTemplateTheEventLogIsSkippedButTheSettingCounts) {
    {
        fake::StandardOptions options;
        options.shutdownTemplate = false;
        Install(options);
        m.eventLog.Add(fake::FakeEventLog::Shutdown1074(
            static_cast<std::uint32_t>(m.clock.nowMs / 1000 - 30), L"restart"));
        EXPECT_EQ(Query(kShutdown), 0);
        EXPECT_EQ(m.eventLog.opens, 0);
        EXPECT_EQ(Issued(), Join({Launch("/a"), "ExitWindowsEx 13 0", Launch("-s -f -t 00")}, kEnded));
        EXPECT_EQ(LastLog(), Line("FunctionToForgetShutDown", "INFO", "exe stopped", "Shutting down"));
        // No 2-second attempts at all.
        EXPECT_EQ(Sleeps(), (std::vector<std::uint32_t>{1000, 5000, 5000}));
    }
}

TEST_F(SessionEndRun, WithoutAShutdownTemplateTheSettingStillMakesARestart) {
    fake::StandardOptions options;
    options.shutdownTemplate = false;
    options.shutdownSetting = 4;
    Install(options);
    EXPECT_EQ(Query(kShutdown), 0);
    EXPECT_EQ(m.eventLog.opens, 0);
    EXPECT_EQ(Issued(), Join({Launch("/a"), "ExitWindowsEx 6 0", Launch("-r -f -t 00")}, kEnded));
}

TEST_F(SessionEndRun, ServiceErrorIsReportedAndTheSessionEndIsIssuedWithoutWaiting) {
    fake::ScriptedService::Options serviceOptions;
    serviceOptions.reply = fake::ScriptedService::Reply::Error;
    serviceOptions.errorText = L"Access is denied.";
    Install({}, serviceOptions);
    EXPECT_EQ(Query(kLogoff), 0);

    std::vector<std::string> expected{
        Line("WindowProc", "INFO", "SHUTDOWN RECIEVED"),
        Line("WindowProc", "LOGOFF RECIEVED  FOR THE 1ST TIME", "Success"),
    };
    expected += FirstRequestAnswer();
    expected.push_back(R1());
    expected += Cancel();
    expected += {
        Line("funcToFrgtShutdown", "INFO", "ExecuteProcess", kDeployer, "Logoff<<>>jsmith"),
        Line("functionToForgetShutdown", "INFO", "Writing into INI for Logoff/Shutdown Script", "Process Name",
             kDeployer),
        Line("functionToForgetShutdown", "INFO", "Writing into INI for Logoff/Shutdown Script",
             "Process Arguments", "Logoff<<>>jsmith"),
        Line("functionToForgetShutdown", "INFO", "Reading from INI for Logoff/Shutdown Script", "Proc ID"),
        Line("functionToForgetShutdown", "INFO", "Reading from INI for Logoff/Shutdown Script",
             "Proc ID Not Found", "Waiting"),
        Line("functionToForgetShutdown", "ERROR", "Unable to spawn Logoff/Shutdown Script", "Error:",
             "Access is denied."),
        Line("functionToForgetShutdown", "INFO", "Reading from INI for Logoff/Shutdown Script", "Proc ID found"),
        ReportLine(),
        Line("functionToForgetShutdown", "INFO", "Proc ID successfully read from INI",
             "Deleted INI from location :", kIni),
        Line("functionToForgetShutdown", "INFO", "Created INI for future use at location :", kIni),
        Line("functionToForgetShutdown", "INFO", "ExecuteProcess at Logoff/Shutdown Started process",
             "quorvarun.exe"),
    };
    expected += Reissue("Logging Off");
    EXPECT_EQ(Log(), expected);

    ASSERT_EQ(NewReports().size(), 1u);
    EXPECT_EQ(NewReports()[0].evnt, "Logoff");
    EXPECT_EQ(NewReports()[0].status, "0");
    EXPECT_EQ(NewReports()[0].faildesc, "Access is denied.");
    EXPECT_EQ(Events(m), (std::vector<std::string>{
                             "1005 1|jsmith|functionToForgetShutdown|Unable to spawn Logoff/Shutdown Script|Error:|"
                             "Access is denied.",
                             "1001 2|jsmith|Logoff|Access is denied.", "1002 4|jsmith|logoff|1"}));
    EXPECT_EQ(Sleeps(), (std::vector<std::uint32_t>{1000}));
    EXPECT_EQ(Issued(), Join({Launch("/a"), "ExitWindowsEx 4 0", Launch("-l -f -t 00")}, kEnded));
    EXPECT_TRUE(HandOffFileEmpty());
}

TEST_F(SessionEndRun, OldAnswerIsRemovedAndTheServicesErrorToThisRequestIsCutTo499WithoutTabs) {
    fake::ScriptedService::Options serviceOptions;
    serviceOptions.reply = fake::ScriptedService::Reply::Error;
    serviceOptions.errorText = L"x\t" + std::wstring(598, L'e');
    Install({}, serviceOptions);
    // What an earlier hand-off left: an answer no session end may take for its own.
    m.files.WriteString(L"Process Details", L"Proc ID", L"4242", info.procDetailsIni);
    m.files.WriteString(L"Process Details", L"Err_Desc", L"stale", info.procDetailsIni);
    EXPECT_EQ(Query(kLogoff), 0);

    ASSERT_EQ(service->requests.size(), 1u);
    EXPECT_EQ(service->requests[0].processArguments, L"Logoff<<>>jsmith");
    const auto log = Log();
    const std::string cut = "x " + std::string(497, 'e');
    EXPECT_NE(std::find(log.begin(), log.end(),
                        Line("functionToForgetShutdown", "ERROR", "Unable to spawn Logoff/Shutdown Script",
                             "Error:", cut)),
              log.end());
    EXPECT_EQ(Sleeps(), (std::vector<std::uint32_t>{1000}));
    ASSERT_EQ(NewReports().size(), 1u);
    EXPECT_EQ(NewReports()[0].status, "0");
    EXPECT_EQ(NewReports()[0].faildesc, cut);
}

TEST_F(SessionEndRun, ScriptAlreadyEndedMeansNoWaitAtAll) {
    fake::ScriptedService::Options serviceOptions;
    serviceOptions.deployerRunMs = 100;
    Install({}, serviceOptions);
    EXPECT_EQ(Query(kLogoff), 0);

    const std::string pid = std::to_string(DeployerPid(0));
    std::vector<std::string> expected{
        Line("WindowProc", "INFO", "SHUTDOWN RECIEVED"),
        Line("WindowProc", "LOGOFF RECIEVED  FOR THE 1ST TIME", "Success"),
    };
    expected += FirstRequestAnswer();
    expected.push_back(R1());
    expected += Cancel();
    expected += HandOff("Logoff<<>>jsmith", pid, 1);
    expected += Reissue("Logging Off");
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(Sleeps(), (std::vector<std::uint32_t>{1000}));
}

TEST_F(SessionEndRun, LogonScriptStillRunningIsWaitedForToo) {
    Install();
    const std::uint32_t logonPid = m.processes.Start(L"quorvarun.exe", 1);
    agent->m_szScriptProcId = std::to_wstring(logonPid);
    m.clock.After(8000, [&] { m.processes.Exit(logonPid); });
    service->options.deployerRunMs = 100;
    EXPECT_EQ(Query(kLogoff), 0);

    // The session-end script is over at once; the logon script holds the end
    // back for two looks.
    EXPECT_EQ(Sleeps(), (std::vector<std::uint32_t>{1000, 5000, 5000}));
    const auto log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), Waiting()), 2);
    EXPECT_EQ(Issued(), Join({Launch("/a"), "ExitWindowsEx 4 0", Launch("-l -f -t 00")}, kEnded));
}

TEST_F(SessionEndRun, SystemAccountAnswersWithoutScriptOrReissue) {
    fake::StandardOptions options;
    options.userName = L"SYSTEM";
    Install(options);
    EXPECT_EQ(Query(kLogoff), 0);

    std::vector<std::string> expected{
        Line("WindowProc", "INFO", "SHUTDOWN RECIEVED"),
        Line("WindowProc", "LOGOFF RECIEVED  FOR THE 1ST TIME", "Success"),
    };
    expected += FirstRequestAnswer();
    expected.push_back(R1());
    // The system account's own log file.
    EXPECT_EQ(Log(), expected);
    EXPECT_TRUE(Issued().empty());
    EXPECT_TRUE(service->requests.empty());
    EXPECT_EQ(agent->m_uICountForOnce, 0u);
    // Not counted: the next request is handled as a first one again.
    Mark();
    EXPECT_EQ(Query(kShutdown), 0);
    EXPECT_TRUE(Issued().empty());
    EXPECT_EQ(agent->m_uICountForOnce, 0u);
}

// The administrator's ScriptWaitLimit (HKLM\SOFTWARE\VORLAN, REG_DWORD
// seconds) bounds the waits for the hand-off turn, the service and the
// script; the end is then issued as after a finished script. 0, or a number
// as text, bounds nothing.
struct LimitCase {
    const char* name;
    std::uint32_t type, seconds;
    fake::ScriptedService::Reply reply;
    std::vector<std::uint32_t> sleeps;
    bool reached;
    bool turnHeld = false;  // another copy of the user holds the hand-off turn
};
class ScriptWaitLimit : public SessionEndTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(ScriptWaitLimit, BoundsTheWaitsForTheServiceAndTheScript) {
    const LimitCase c = GetParam();
    fake::ScriptedService::Options serviceOptions;
    serviceOptions.reply = c.reply;
    serviceOptions.deployerRunMs = c.reached ? 3600 * 1000 : 10000;
    Install({}, serviceOptions);
    const std::wstring n = std::to_wstring(c.seconds), key = L"SOFTWARE\\VORLAN", name = L"ScriptWaitLimit";
    if (c.type == platform::RegDword) m.registry.SetDword(platform::HKeyLocalMachine, key, name, c.seconds);
    else m.registry.SetString(platform::HKeyLocalMachine, key, name, n);
    if (c.turnHeld)
        m.processes.TryTakeMutexFor(m.processes.OpenNamedMutex(L"Global\\quorvaHandOff_jsmith"), m.processes.Start(L"quorva.exe", 1));
    EXPECT_EQ(Query(kLogoff), 0);
    EXPECT_EQ(Sleeps(), c.sleeps);
    EXPECT_EQ(Issued(), Join({Launch("/a"), "ExitWindowsEx 4 0", Launch("-l -f -t 00")}, kEnded));
    if (!c.reached) return;
    const std::string s = fake::Utf8(n), script = "quorvarun.exe Logoff<<>>jsmith";
    const auto log = Log(), events = Events(m);
    EXPECT_EQ(std::vector<std::string>(log.end() - 4, log.end()),
              Join({Line("FunctionToForgetShutDown", "ERROR", "Script wait limit reached",
                         "ScriptWaitLimit " + s + " seconds, waited " + s + " seconds", script), ReportLine()},
                   Reissue("Logging Off")));
    EXPECT_EQ(std::vector<std::string>(events.end() - 2, events.end()),
              (std::vector<std::string>{"1004 1|jsmith|" + s + "|" + script + "|" + s, "1002 4|jsmith|logoff|" + s}));
    const Report r = NewReports().back();
    EXPECT_EQ(r.evnt + "|" + r.status + "|" + r.faildesc, "Logoff|0|The script wait limit of " + s + " seconds was reached");
    EXPECT_FALSE(HandOffRequestLeft()) << "no request left for the service to start later";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScriptWaitLimit,
    ::testing::Values(
        LimitCase{"HungScript", platform::RegDword, 12, fake::ScriptedService::Reply::ProcId, {1000, 5000, 5000, 1000}, true},
        LimitCase{"ServiceNeverAnswers", platform::RegDword, 3, fake::ScriptedService::Reply::Never, {1000, 1000, 1000}, true},
        LimitCase{"AnotherCopyHoldsTheTurn", platform::RegDword, 3, fake::ScriptedService::Reply::ProcId, {1000, 1000, 1000}, true, true},
        LimitCase{"LongerThanTheScript", platform::RegDword, 60, fake::ScriptedService::Reply::ProcId, {1000, 5000, 5000}, false},
        LimitCase{"ZeroIsNoLimit", platform::RegDword, 0, fake::ScriptedService::Reply::ProcId, {1000, 5000, 5000}, false},
        LimitCase{"TextIsNoLimit", platform::RegSz, 5, fake::ScriptedService::Reply::ProcId, {1000, 5000, 5000}, false}),
    [](const ::testing::TestParamInfo<LimitCase>& info) { return std::string(info.param.name); });

// The service or the deployer gone once the handling has begun: during the
// first restart check, or after the first script's task-kill requests, before
// the nested handling looks again. Nobody can run the script, so the held
// request is let go after an "EVTNT" report, as the window's own checks do.
struct GoneCase {
    const char* name;
    bool service;       // the service stops; else the deployer file goes
    bool beforeNested;  // else during the first restart check
};

class GoneInsideTheHandling : public SessionEndTest, public ::testing::WithParamInterface<GoneCase> {};

TEST_P(GoneInsideTheHandling, IsReportedAndTheRequestLetGo) {
    const GoneCase c = GetParam();
    Install();
    if (c.beforeNested) agent->m_bFlagForFirstTimeLogoff = 1;  // a logoff came first
    m.clock.Every(100, [&] {
        if (c.beforeNested && service->killed.empty()) return true;
        if (c.service) m.processes.Exit(info.servicePid);
        else m.files.Remove(info.deployerPath);
        return false;
    });
    EXPECT_EQ(Query(kShutdown), TRUE_);

    const auto log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()),
              (std::vector<std::string>{
                  c.service ? Line("FunctionToForgetShutDown", "INFO", "SUCCESS",
                                   "Service not running. So exiting. Service Name: ", "quorvahost.exe")
                            : Line("FunctionToForgetShutdown", "INFO", "SUCCESS",
                                   "quorvarun.exe was not found on the loaction", kDeployer),
                  ReportLine()}));
    auto reports = NewReports();
    ASSERT_EQ(reports.size(), c.beforeNested ? 2u : 1u);
    std::erase_if(reports, [](const Report& r) { return r.evnt == "Shutdown"; });  // the first script's
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].evnt, "EVTNT");
    EXPECT_EQ(reports[0].status, "0");
    EXPECT_EQ(reports[0].faildesc, c.service ? "The service quorvahost.exe was not found running"
                                             : "quorvarun.exe was not found on the location");
    EXPECT_EQ(service->requests.size(), c.beforeNested ? 1u : 0u);
    EXPECT_EQ(Events(m).back(), c.service ? "1003 2|jsmith|The service quorvahost.exe was not found running"
                                          : "1003 2|jsmith|quorvarun.exe was not found on the location " + kDeployer);
    EXPECT_TRUE(m.JournalOf({"ExitWindowsEx"}).empty());
    EXPECT_EQ(Journal({"EndDialog", "PostQuitMessage"}), kEnded);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GoneInsideTheHandling,
    ::testing::Values(GoneCase{"ServiceDuringTheRestartCheck", true, false},
                      GoneCase{"DeployerDuringTheRestartCheck", false, false},
                      GoneCase{"ServiceBeforeTheNestedHandling", true, true},
                      GoneCase{"DeployerBeforeTheNestedHandling", false, true}),
    [](const ::testing::TestParamInfo<GoneCase>& info) { return std::string(info.param.name); });

// The command of the final step follows the pending kind and the restart
// flag; only a "Shutdown Setting" of 4 makes a restart.
struct ReissueCase {
    std::intptr_t lParam;
    std::optional<std::uint32_t> setting;
    std::string exitWindows, arguments, text;
};

TEST_F(SessionEndRun, ReissuedCommandForEachKind) {
    const std::vector<ReissueCase> cases{
        {kLogoff, {}, "ExitWindowsEx 4 0", "-l -f -t 00", "Logging Off"},
        {kLogoff, 4, "ExitWindowsEx 4 0", "-l -f -t 00", "Logging Off"},
        {kShutdown, {}, "ExitWindowsEx 13 0", "-s -f -t 00", "Shutting down"},
        {kShutdown, 2, "ExitWindowsEx 13 0", "-s -f -t 00", "Shutting down"},
        {kShutdown, 4, "ExitWindowsEx 6 0", "-r -f -t 00", "Rebooting"},
        {kCritical, 4, "ExitWindowsEx 6 0", "-r -f -t 00", "Rebooting"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text + " with setting " + (c.setting ? std::to_string(*c.setting) : "absent"));
        fake::StandardOptions options;
        options.shutdownSetting = c.setting;
        Resident r(options);
        auto& machine = r.machine;
        EXPECT_EQ(r.Query(c.lParam), 0);
        EXPECT_EQ(machine.JournalOf({"ExitWindowsEx"}), std::vector<std::string>{c.exitWindows});
        EXPECT_EQ(machine.processes.launched.back(),
                  L"\"C:\\windows\\system32\\shutdown.exe\" " +
                      std::wstring(c.arguments.begin(), c.arguments.end()));
        const auto log = fake::ReadLog(machine).entries;
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back().val2, c.text);
    }
}

TEST_F(SessionEndRun, CancelFallsBackToAbortSystemShutdownWhenShutdownExeCannotStart) {
    Install();
    m.processes.onCreateProcess = [](const std::wstring& line) {
        return line.find(L" /a") == std::wstring::npos && line.find(L" -a") == std::wstring::npos;
    };
    EXPECT_EQ(Query(kLogoff), 0);

    const auto cancel = Journal({"CreateProcess", "OpenProcessToken", "AdjustTokenPrivileges",
                                 "AbortSystemShutdown", "CloseToken"});
    ASSERT_GE(cancel.size(), 7u);
    const std::vector<std::string> firstSeven(cancel.begin(), cancel.begin() + 7);
    EXPECT_EQ(firstSeven, (std::vector<std::string>{Launch("/a"), Launch("-a"), "OpenProcessToken",
                                                    "AdjustTokenPrivileges enable", "AbortSystemShutdown",
                                                    "AdjustTokenPrivileges disable", "CloseToken"}));
    // AbortSystemShutdown succeeded: no failure record.
    const auto log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), Line("Abort System Shutdown", "INFO", "Failure")), 0);
    EXPECT_EQ(std::count(log.begin(), log.end(), Line("Abort System Shutdown", "INFO", "Success", "jsmith")), 1);
}

TEST_F(SessionEndRun, CancelThatFailsEverywhereIsLoggedAndTheHandlingGoesOn) {
    struct Case {
        const char* name;
        bool openFails, privilegeFails, abortFails, privilegeHeld = true;
    };
    for (const Case c : {Case{"abort fails", false, false, true}, Case{"privilege refused", false, true, false},
                         Case{"no token", true, false, false}, Case{"privilege not held", false, false, false, false}}) {
        SCOPED_TRACE(c.name);
        Resident r;
        auto& machine = r.machine;
        machine.processes.onCreateProcess = [](const std::wstring& line) {
            return line.find(L" /a") == std::wstring::npos && line.find(L" -a") == std::wstring::npos;
        };
        machine.shutdown.openTokenFails = c.openFails;
        machine.shutdown.privilegeFails = c.privilegeFails;
        machine.shutdown.abortFails = c.abortFails;
        machine.shutdown.privilegeHeld = c.privilegeHeld;
        EXPECT_EQ(r.Query(kLogoff), 0);
        if (!c.privilegeHeld)
            EXPECT_TRUE(machine.JournalOf({"AbortSystemShutdown"}).empty()) << "not tried without the privilege";

        std::vector<std::string> lines;
        for (const auto& e : fake::ReadLog(machine).entries)
            if (e.module == "Abort System Shutdown") lines.push_back(Line(e.module, e.type, e.val1, e.val2, e.val3));
        EXPECT_EQ(lines, (std::vector<std::string>{Line("Abort System Shutdown", "INFO", "Failure"),
                                                   Line("Abort System Shutdown", "INFO", "Success", "jsmith")}));
        // The script ran all the same.
        EXPECT_EQ(r.service->requests.size(), 1u);
    }
}

// Without the shutdown privilege a shutdown or restart cannot be issued: the
// held request is let go (answer 1) so that Windows ends the session itself,
// the script having run. A logoff needs no privilege and is issued all the
// same; the privilege is asked for and given back in every case.
struct PrivilegeCase {
    const char* name;
    std::intptr_t lParam;
    bool held, callFails, noToken, restart;
    std::vector<std::string> tokenCalls;
};

TEST_F(SessionEndRun, WithoutTheShutdownPrivilegeALogoffIsIssuedAndAShutdownLeftToWindows) {
    const std::vector<std::string> notAssigned{"OpenProcessToken", "AdjustTokenPrivileges enable not all assigned",
                                               "AdjustTokenPrivileges disable not all assigned", "CloseToken"};
    const std::vector<std::string> refused{"OpenProcessToken", "AdjustTokenPrivileges enable failed",
                                           "AdjustTokenPrivileges disable failed", "CloseToken"};
    const std::vector<std::string> noToken{"OpenProcessToken failed"};
    const std::vector<PrivilegeCase> cases{
        {"not held, shutdown", kShutdown, false, false, false, false, notAssigned},
        {"not held, restart", kShutdown, false, false, false, true, notAssigned},
        {"refused, shutdown", kShutdown, true, true, false, false, refused},
        {"no token, shutdown", kShutdown, true, false, true, false, noToken},
        {"not held, logoff", kLogoff, false, false, false, false, notAssigned},
        {"no token, logoff", kLogoff, true, false, true, false, noToken},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake::StandardOptions options;
        if (c.restart) options.shutdownSetting = 4;
        Resident r(options);
        auto& machine = r.machine;
        // "/a" starts, so only the final step asks for the privilege.
        machine.shutdown.privilegeHeld = c.held;
        machine.shutdown.privilegeFails = c.callFails;
        machine.shutdown.openTokenFails = c.noToken;
        const bool logoff = c.lParam == kLogoff;
        EXPECT_EQ(r.Query(c.lParam), logoff ? FALSE_ : TRUE_);

        std::vector<std::string> tail;
        for (const auto& e : fake::ReadLog(machine).entries)
            if (e.module == "FunctionToForgetShutDown") tail.push_back(Line(e.module, e.type, e.val1, e.val2, e.val3));
        std::vector<std::string> expected{Line("FunctionToForgetShutDown", "INFO", "Script ended", "Exiting")};
        if (logoff)
            expected.push_back(Line("FunctionToForgetShutDown", "INFO", "exe stopped", "Logging Off"));
        else
            expected.push_back(Line("FunctionToForgetShutDown", "ERROR", "SeShutdownPrivilege not held",
                                    "Session end left to Windows", c.restart ? "Rebooting" : "Shutting down"));
        EXPECT_EQ(tail, expected);
        EXPECT_EQ(machine.JournalOf({"ExitWindowsEx"}),
                  logoff ? std::vector<std::string>{"ExitWindowsEx 4 0"} : std::vector<std::string>{});
        EXPECT_EQ(machine.processes.launched.back(),
                  logoff ? L"\"C:\\windows\\system32\\shutdown.exe\" -l -f -t 00"
                         : L"\"C:\\windows\\system32\\shutdown.exe\" /a");
        // The final step's token calls (the cancel step made none).
        EXPECT_EQ(machine.JournalOf({"OpenProcessToken", "AdjustTokenPrivileges", "CloseToken"}), c.tokenCalls);
        EXPECT_EQ(machine.shutdown.openTokens, 0u);
        EXPECT_TRUE(r.agent->m_bEnded) << "the agent ends either way";
    }
}

// What the machine does to the hand-off and the script wait meanwhile: the
// held session end is still issued after the script, or let go with a record.
TEST_F(SessionEndRun, HandOffAndScriptWaitSurviveWhatHappensAroundThem) {
    struct Case {
        const char* name;
        std::wstring user;
        std::function<void(Resident&)> arrange;
        std::intptr_t answer;
        std::vector<std::string> exitWindows;
        std::string last;  // the last log record (after the report when empty)
        std::string also;  // a record the log holds besides; then the file keeps the answer
    };
    // Another program takes hold of the hand-off file (or deletes it) for
    // `ms` right after the agent has read the answer: at its next log entry
    // ("Proc ID found"), just before it clears the file.
    const auto atClearing = [](Resident& r, std::int64_t ms, bool remove) {
        fake::FakeFiles& files = r.machine.files;
        fake::FakeClock& clock = r.machine.clock;
        const std::wstring ini = r.info.procDetailsIni;
        const CQuorvaDlg* agent = r.agent.get();
        auto taken = std::make_shared<bool>(false);
        files.whileOpen = [&files, &clock, ini, agent, taken, ms, remove](const std::wstring& path) {
            if (*taken || path == ini || agent->m_szScriptProcId2.empty()) return;
            *taken = true;
            if (remove) return files.Remove(ini);
            files.Lock(ini);
            clock.After(ms, [&files, ini] { files.Unlock(ini); });
        };
    };
    const std::string reissued = Line("FunctionToForgetShutDown", "INFO", "exe stopped", "Logging Off");
    const std::vector<Case> cases{
        {"the service ends while the hand-off waits", L"jsmith",
         [](Resident& r) {
             r.service->options.reply = fake::ScriptedService::Reply::Never;
             const std::uint32_t servicePid = r.info.servicePid;
             fake::FakeProcesses& processes = r.machine.processes;
             r.machine.clock.After(3000, [&processes, servicePid] { processes.Exit(servicePid); });
         },
         TRUE_, {},
         Line("FunctionToForgetShutDown", "INFO", "SUCCESS", "Service not running. So exiting. Service Name: ",
              "quorvahost.exe")},
        {"someone deleted the hand-off file", L"\u0141ukasz",
         [](Resident& r) { r.machine.files.Remove(r.info.procDetailsIni); }, FALSE_, {"ExitWindowsEx 4 0"}, reissued},
        {"someone deleted the hand-off file after the service answered", L"\u0141ukasz",
         [](Resident& r) {
             // The answer comes within 200 ms; the agent looks after 1000 ms.
             fake::FakeFiles& files = r.machine.files;
             const std::wstring ini = r.info.procDetailsIni;
             r.machine.clock.After(500, [&files, ini] { files.Remove(ini); });
         },
         FALSE_, {"ExitWindowsEx 4 0"}, reissued},
        {"one look at the processes fails while the script runs", L"jsmith",
         [](Resident& r) {
             fake::FakeProcesses& processes = r.machine.processes;
             r.machine.clock.After(2500, [&processes] { processes.snapshotNoMemoryFailures = 1; });
         },
         FALSE_, {"ExitWindowsEx 4 0"}, reissued},
        {"the hand-off file is held when the agent clears it", L"jsmith",
         [&](Resident& r) { atClearing(r, 120, false); }, FALSE_, {"ExitWindowsEx 4 0"}, reissued},
        {"the hand-off file is held past the agent's tries when it clears it", L"jsmith",
         [&](Resident& r) { atClearing(r, 1000, false); }, FALSE_, {"ExitWindowsEx 4 0"}, reissued,
         Line("ClearHandOffFile", "ERROR", "Hand-off file not cleared", "The answer stays until the next request", kIni)},
        {"someone deletes the hand-off file as the agent clears it", L"\u0141ukasz",
         [&](Resident& r) { atClearing(r, 0, true); }, FALSE_, {"ExitWindowsEx 4 0"}, reissued},
        {"a file the service made again in the code page is held for a name it cannot show", L"\u0141ukasz",
         [](Resident& r) {
             r.machine.files.PutFile(r.info.procDetailsIni, "[Process Details]\r\nErr_Desc=late\r\n");
             r.machine.files.LockRange(r.info.procDetailsIni);
         },
         TRUE_, {}, "",
         Line("functionToForgetShutdown", "ERROR", "Unable to hand off Logoff/Shutdown Script", "Not written to",
              "C:\\ProgramData\\Vorlan\\QVRT\\quorvaProcDetails_Lukasz.ini")},
        {"neither ExitWindowsEx nor the shutdown program can issue the logoff", L"jsmith",
         [](Resident& r) {
             r.machine.shutdown.exitWindowsFails = true;
             r.machine.processes.onCreateProcess = [](const std::wstring& line) { return line.find(L"-l -f") == std::wstring::npos; };
         },
         TRUE_, {"ExitWindowsEx 4 0 failed"},
         Line("FunctionToForgetShutDown", "ERROR", "Session end not issued",
              "ExitWindowsEx and the shutdown program failed", "Logging Off")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::StandardOptions options;
        options.userName = c.user;
        Resident r(options);
        c.arrange(r);
        r.machine.clock.After(48LL * 3600 * 1000, [] { throw std::runtime_error("virtual watchdog: still waiting"); });
        EXPECT_EQ(r.Query(kLogoff), c.answer);
        EXPECT_TRUE(r.agent->m_bEnded);
        EXPECT_EQ(r.machine.JournalOf({"ExitWindowsEx"}), c.exitWindows);
        const auto entries = fake::ReadLog(r.machine, c.user).entries;
        ASSERT_FALSE(entries.empty());
        const auto& e = entries.back();
        if (!c.last.empty()) EXPECT_EQ(Line(e.module, e.type, e.val1, e.val2, e.val3), c.last);
        else EXPECT_EQ(e.val1, "web Post");
        if (!c.also.empty())
            EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [&c](const fake::LogEntry& x) {
                return Line(x.module, x.type, x.val1, x.val2, x.val3) == c.also;
            }));
        if (c.answer == FALSE_ && c.user != L"jsmith")
            EXPECT_EQ(r.machine.files.Read(r.info.procDetailsIni).value_or("").substr(0, 2), "\xFF\xFE")
                << "made again as UTF-16 for a name the code page cannot show";
        if (c.answer == FALSE_ && c.also.empty()) {
            // Ready for the next request: no answer and no request left in it.
            for (const wchar_t* key : {L"Proc ID", L"Err_Desc", L"Process Name", L"Process Arguments"})
                EXPECT_EQ(r.machine.files.GetString(L"Process Details", key, L"", 1024, r.info.procDetailsIni), L"")
                    << fake::Utf8(key);
        }
        for (const auto& request : r.service->requests) {
            EXPECT_EQ(request.processArguments, L"Logoff<<>>" + c.user) << "the name reaches the service intact";
            if (request.pid != 0 && !c.exitWindows.empty())
                EXPECT_FALSE(r.machine.processes.IsRunning(request.pid)) << "issued after the script ended";
        }
    }
}

}  // namespace
