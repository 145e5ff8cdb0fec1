// The start-up as a whole, on a simulated machine with a scripted service:
// every branch with its exact log, its waits on the virtual clock and its
// return value.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/QuorvaDlg.h"
#include "tests/fakes/FakeMachine.h"
#include "tests/fakes/FakeText.h"
#include "tests/fakes/LogReader.h"
#include "tests/fakes/ScriptedService.h"
#include "tests/fakes/StandardMachine.h"

using platform::BOOL;
using platform::FALSE_;
using platform::TRUE_;

namespace {

using Lines = std::vector<std::string>;
using Sleeps = std::vector<std::uint32_t>;
using Reply = fake::ScriptedService::Reply;

const std::string kIni = "C:\\ProgramData\\Vorlan\\QVRT\\quorvaProcDetails_jsmith.ini";
const std::string kDeployer = "C:\\Program Files\\VORLAN\\QVRT\\quorvarun.exe";

std::string Line(const std::string& type, const std::string& val1, const std::string& val2,
                 const std::string& val3) {
    return "OnInitDialog|" + type + "|" + val1 + "|" + val2 + "|" + val3;
}

// The start-up's records, by their tags, as the log shows them.
std::string L1(const std::string& ini = kIni) { return Line("INFO", "", "Creating file", ini); }
const std::string L2 = Line("INFO", "FAIL", "Not able to get Session id for quorva from Proc id ", "Exitting");
const std::string L3 = Line("INFO", "FAIL", "A running interface of quorva exe already exists for this session", "Exitting");
const std::string L4 = Line("INFO", "Application started", "**********************", "**********************");
std::string L5(const std::string& user = "jsmith") { return Line("INFO", "Success", "Loggedon User", user); }
std::string L6(const std::string& ini = kIni) { return Line("INFO", "Success", "quorvaProcDetails.ini", ini); }
std::string L7(const std::string& deployer = kDeployer) { return Line("INFO", "FAIL", "Script to be executed not found at location ", deployer); }
std::string L8(const std::string& deployer = kDeployer) { return Line("INFO", "Success", "Script to be executed found at location ", deployer); }
const std::string L9 = Line("INFO", "SUCCESS", "Service not running. So exiting. Service Name: ", "quorvahost.exe");
std::string L10(const std::string& user = "jsmith") {
    return Line("INFO", "Success", "The Logon script will not be executed as this application is invoked by service in account:", user);
}
const std::string L11 = Line("INFO", "Exiting", "", "No Logoff or Shutdown Template Assigned");
std::string L12(const std::string& user = "jsmith") { return Line("INFO", "LOGON RECIEVED", user, "Logon<<>>" + user); }
std::string L13(const std::string& deployer = kDeployer) { return Line("INFO", "Writing into ini File", "Process Name", deployer); }
std::string L14(const std::string& user = "jsmith") { return Line("INFO", "Writing into ini File", "Process Arguments", "Logon<<>>" + user); }
const std::string L15 = Line("INFO", "Reading from ini File", "Proc ID Not found", "Waiting");
std::string L16(const std::string& error) { return Line("ERROR", "Unable to spawn Logon Script", "Error::", error); }
const std::string L17 = Line("INFO", "Reading from INI for Logon Script", "Proc ID Not Found", "Waiting");
std::string L18(const std::string& procId) { return Line("INFO", "Reading from ini File", "Proc ID found", procId); }
std::string L19(const std::string& ini = kIni) { return Line("INFO", "Proc ID successfully fetched", "Deleted ini file", ini); }
std::string L20(const std::string& ini = kIni) { return Line("INFO", "Creating INI file again for Logoff use", "", ini); }
const std::string kWebPost = "WebPostEventData|INFO|web Post";

class StartUpTest : public ::testing::Test {
protected:
    void Install(const fake::StandardOptions& o = {}) {
        options = o;
        info = fake::InstallStandardMachine(m, o);
        agent = std::make_unique<CQuorvaDlg>(m.os());
        service = std::make_unique<fake::ScriptedService>(m, info.scriptDataDir, serviceOptions);
        service->WatchUser(o.userName);
        service->Start();
    }

    BOOL Run() { return agent->OnInitDialog(); }

    // The log of the run, one "module|type|val1|val2|val3" text per entry;
    // the report entry is cut to its first three columns.
    Lines Log(const std::wstring& user = L"jsmith") {
        Lines lines;
        for (const auto& e : fake::ReadLog(m, user).entries) {
            std::string line = e.module + "|" + e.type + "|" + e.val1;
            if (line != kWebPost) line += "|" + e.val2 + "|" + e.val3;
            lines.push_back(line);
        }
        return lines;
    }
    bool LogExists(const std::wstring& user = L"jsmith") { return fake::ReadLog(m, user).exists; }

    bool Ended() { return m.shell.dialogEnded && m.shell.quitCode == 0; }
    Sleeps Waits() { return m.clock.sleeps; }
    std::vector<std::wstring> Reports() {
        const std::wstring folder = options.installDir + L"QVRTPostLogs";
        return m.files.IsFolder(folder) ? m.files.List(folder) : std::vector<std::wstring>{};
    }
    std::string ReportText() {
        const auto names = Reports();
        if (names.size() != 1) return "<" + std::to_string(names.size()) + " reports>";
        return *m.files.Read(options.installDir + L"QVRTPostLogs\\" + names[0]);
    }
    static std::string Element(const std::string& text, const std::string& tag) {
        const auto from = text.find("<" + tag + ">");
        const auto to = text.find("</" + tag + ">");
        if (from == std::string::npos || to == std::string::npos) return "<missing>";
        return text.substr(from + tag.size() + 2, to - from - tag.size() - 2);
    }
    bool HandOffTouched() { return !m.JournalOf({"WritePrivateProfileString"}).empty(); }

    fake::FakeMachine m;
    fake::StandardOptions options;
    fake::StandardMachine info;
    fake::ScriptedService::Options serviceOptions;
    std::unique_ptr<CQuorvaDlg> agent;
    std::unique_ptr<fake::ScriptedService> service;
};

// ---- the ordinary copy: the logon hand-off ----

TEST_F(StartUpTest, OrdinaryLogonHandsTheScriptToTheServiceAndReports) {
    Install();
    EXPECT_EQ(Run(), TRUE_);

    ASSERT_EQ(service->requests.size(), 1u);
    const std::string pid = std::to_string(service->requests[0].pid);
    EXPECT_EQ(service->requests[0].processName, fake::Cp1252ToWide(kDeployer));
    EXPECT_EQ(service->requests[0].processArguments, L"Logon<<>>jsmith");

    EXPECT_EQ(Log(), (Lines{L1(), L4, L5(), L6(), L8(), L12(), L13(), L14(), L15, L17, L18(pid),
                            kWebPost, L19(), L20()}));
    EXPECT_EQ(fake::ReadLog(m).header.at(0), "#Software: Quorva") << "the first record names the file";
    EXPECT_EQ(Waits(), (Sleeps{2000, 1000, 1000}));
    EXPECT_TRUE(Ended());

    EXPECT_EQ(Element(ReportText(), "status"), "1");
    EXPECT_EQ(Element(ReportText(), "evnt"), "Logon");
    EXPECT_EQ(Element(ReportText(), "user"), "jsmith");
    EXPECT_EQ(Element(ReportText(), "faildesc"), "");
    EXPECT_EQ(m.files.Read(info.procDetailsIni), std::optional<std::string>(""))
        << "left empty for the session end";
    EXPECT_EQ(agent->m_szScriptProcId.str(), fake::Cp1252ToWide(pid));
    EXPECT_EQ(fake::ReadEvents(m), Lines{"1000 4|jsmith|Logon|" + pid});

    const std::string ini = kIni;
    EXPECT_EQ(m.JournalOf({"WritePrivateProfileString", "DeleteFile", "CreateNewFile"}),
              (Lines{"WritePrivateProfileString [Process Details] Process Name=" + kDeployer + " " + ini,
                     "WritePrivateProfileString [Process Details] Process Arguments=Logon<<>>jsmith " + ini,
                     "WritePrivateProfileString [Process Details] Proc ID=" + pid + " " + ini,
                     "DeleteFile " + ini,
                     "CreateNewFile C:\\Program Files\\VORLAN\\QVRTPostLogs\\" + fake::Utf8(Reports().at(0))}));
}

TEST_F(StartUpTest, StartUpBuildsEveryPathAndGivesTheStateItsStartValues) {
    Install();
    agent->m_bFlagForRestart = TRUE_;
    agent->m_bFlagForShutDown = TRUE_;
    agent->m_uICountForOnce = 7;
    agent->m_szScriptProcId3 = L"9";
    agent->m_szEventName = L"Logoff";
    Run();

    EXPECT_EQ(agent->m_szUserName.str(), L"jsmith");
    EXPECT_EQ(agent->m_szCommonAppData.str(), L"C:\\ProgramData");
    EXPECT_EQ(agent->m_strInstallDir, L"C:\\Program Files\\VORLAN\\");
    EXPECT_EQ(agent->m_strDeployerPath, L"C:\\Program Files\\VORLAN\\QVRT\\quorvarun.exe");
    EXPECT_EQ(agent->m_strScriptImagePath, agent->m_strDeployerPath);
    EXPECT_EQ(agent->m_strDataDir, L"C:\\ProgramData\\Vorlan\\");
    EXPECT_EQ(agent->m_strScriptDataDir, L"C:\\ProgramData\\Vorlan\\QVRT\\");
    EXPECT_EQ(agent->m_strProcDetailsIni, L"C:\\ProgramData\\Vorlan\\QVRT\\quorvaProcDetails_jsmith.ini");
    EXPECT_EQ(agent->m_bFlagForRestart, FALSE_);
    EXPECT_EQ(agent->m_bFlagForShutDown, FALSE_);
    EXPECT_EQ(agent->m_uICountForOnce, 0u);
    EXPECT_TRUE(agent->m_szScriptProcId3.empty());
    EXPECT_TRUE(agent->m_szEventName.empty());
    EXPECT_TRUE(agent->m_strEventArgs.empty());
    EXPECT_EQ(m.JournalOf({"SetIcon"}), (Lines{"SetIcon big", "SetIcon small"}));
    EXPECT_EQ(m.JournalOf({"ShowWindow"}), (Lines{"ShowWindow 0"})) << "hidden";
}

TEST_F(StartUpTest, ServiceErrorIsReportedWithStatusZeroAndTheHandOffCompletes) {
    serviceOptions.reply = Reply::Error;
    serviceOptions.errorText = L"Access is denied & <refused>";
    Install();
    EXPECT_EQ(Run(), TRUE_);

    const std::string error = "Access is denied & <refused>";
    EXPECT_EQ(Log(), (Lines{L1(), L4, L5(), L6(), L8(), L12(), L13(), L14(), L15, L17, L15,
                            L16(error), L18(""), kWebPost, L19(), L20()}));
    EXPECT_EQ(Waits(), (Sleeps{2000, 1000, 1000}));
    EXPECT_EQ(Element(ReportText(), "status"), "0");
    EXPECT_EQ(Element(ReportText(), "faildesc"), "Access is denied &amp; &lt;refused&gt;");
    EXPECT_EQ(fake::ReadEvents(m), (Lines{"1005 1|jsmith|OnInitDialog|Unable to spawn Logon Script|Error::|" + error,
                                          "1001 2|jsmith|Logon|" + error}));
    EXPECT_EQ(m.files.Read(info.procDetailsIni), std::optional<std::string>(""));
    EXPECT_TRUE(Ended());
}

TEST_F(StartUpTest, OverlongServiceErrorIsCutByTheProfileAndFitsTheReport) {
    serviceOptions.reply = Reply::Error;
    serviceOptions.errorText = std::wstring(2000, L'e');
    Install();
    EXPECT_EQ(Run(), TRUE_);

    const Lines log = Log();
    ASSERT_GE(log.size(), 12u);
    EXPECT_EQ(log[11], L16(std::string(1023, 'e')));
    const std::string report = ReportText();
    EXPECT_EQ(Element(report, "status"), "0");
    EXPECT_EQ(report.size() - 9, 1023u) << "nine CR added to a full 1023-character report";
    const std::string closing = "\t\t\t\t\t\t</wpdcmagntevntstiu>";
    EXPECT_EQ(report.substr(report.size() - closing.size()), closing);
}

TEST_F(StartUpTest, OldAnswerInTheFileIsRemovedAndTheServiceAnswersThisRequest) {
    Install();
    m.files.PutFile(info.procDetailsIni, "[Process Details]\r\nProc ID=77\r\nErr_Desc=stale\r\n");
    EXPECT_EQ(Run(), TRUE_);

    ASSERT_EQ(service->requests.size(), 1u);
    const std::string pid = std::to_string(service->requests[0].pid);
    EXPECT_EQ(Log(), (Lines{L4, L5(), L6(), L8(), L12(), L13(), L14(), L15, L17, L18(pid), kWebPost, L19(),
                            L20()}));
    EXPECT_EQ(Waits(), (Sleeps{2000, 1000, 1000}));
    EXPECT_EQ(Element(ReportText(), "status"), "1");
}

TEST_F(StartUpTest, ProcIdIsTakenAsTextWhateverItHolds) {
    for (const std::string procId : {"abc", "0042"}) {
        SCOPED_TRACE(procId);
        fake::FakeMachine fresh;
        auto info = fake::InstallStandardMachine(fresh);
        // The service's answer, once the request is there.
        fresh.clock.After(2500, [&fresh, &info, &procId] {
            fresh.files.WriteString(L"Process Details", L"Proc ID", fake::Cp1252ToWide(procId), info.procDetailsIni);
        });
        CQuorvaDlg copy(fresh.os());
        EXPECT_EQ(copy.OnInitDialog(), TRUE_);
        EXPECT_EQ(copy.m_szScriptProcId.str(), fake::Cp1252ToWide(procId));
        const auto entries = fake::ReadLog(fresh).entries;
        ASSERT_GE(entries.size(), 11u);
        EXPECT_EQ(entries[10].val2, "Proc ID found");
        EXPECT_EQ(entries[10].val3, procId);
    }
}

TEST_F(StartUpTest, JunkLinesInTheHandOffFileDoNotDisturbTheExchange) {
    Install();
    m.files.PutFile(info.procDetailsIni,
                    "garbage without an equals sign\r\n=no key\r\n;comment\r\n[unclosed\r\n"
                    "[Process Details]\r\nnoise\r\n\x01\x02\x03\r\n");
    EXPECT_EQ(Run(), TRUE_);
    ASSERT_EQ(service->requests.size(), 1u);
    EXPECT_EQ(Log().at(9), L18(std::to_string(service->requests[0].pid)));
    EXPECT_EQ(Element(ReportText(), "status"), "1");
}

TEST_F(StartUpTest, WithoutTheServiceTheWaitGivesUpInTheEleventhPass) {
    fake::StandardOptions o;
    o.serviceRunning = false;
    Install(o);
    EXPECT_EQ(Run(), FALSE_);

    Lines expected{L1(), L4, L5(), L6(), L8(), L9, L12(), L13(), L14()};
    for (int pass = 0; pass < 11; ++pass) {
        expected.push_back(L15);
        expected.push_back(L17);
    }
    expected.push_back(L9);
    EXPECT_EQ(Log(), expected);

    Sleeps waits{2000, 1000};
    waits.insert(waits.end(), 11, 1000);
    waits.push_back(1000);
    EXPECT_EQ(Waits(), waits);
    EXPECT_TRUE(Ended());
    EXPECT_TRUE(Reports().empty());
    EXPECT_EQ(fake::ReadEvents(m), Lines{"1001 2|jsmith|Logon|The service quorvahost.exe was not found running"});
    EXPECT_TRUE(m.JournalOf({"DeleteFile"}).empty());
    EXPECT_EQ(m.files.GetString(L"Process Details", L"Process Arguments", L"", 1024, info.procDetailsIni),
              L"Logon<<>>jsmith") << "the request stays for the service";
}

TEST_F(StartUpTest, ServiceStoppingDuringTheWaitEndsItOnceTenPassesAreDone) {
    serviceOptions.reply = Reply::Never;
    Install();
    m.clock.After(4500, [this] { m.processes.Exit(info.servicePid); });
    EXPECT_EQ(Run(), FALSE_);

    const Lines log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), L17), 11);
    EXPECT_EQ(std::count(log.begin(), log.end(), L9), 1);
    EXPECT_EQ(log.back(), L9);
    EXPECT_TRUE(Reports().empty());
}

TEST_F(StartUpTest, WhileTheServiceRunsTheWaitHasNoLimitAndAnAnswerReadAfterItStoppedCounts) {
    serviceOptions.answerDelayMs = 30000;
    Install();
    // The service stops right after its answer, before the copy reads it.
    m.clock.Every(100, [this] {
        if (m.files.GetString(L"Process Details", L"Proc ID", L"", 1024, info.procDetailsIni).empty()) return true;
        m.processes.Exit(info.servicePid);
        return false;
    });
    EXPECT_EQ(Run(), TRUE_);

    const Lines log = Log();
    EXPECT_GE(std::count(log.begin(), log.end(), L17), 30);
    EXPECT_EQ(std::count(log.begin(), log.end(), L9), 0);
    EXPECT_EQ(Element(ReportText(), "status"), "1");
}

// A request the service cannot see is never answered: a hand-off file that
// someone deleted gets the request again, and one that cannot be written ends
// the copy with a report that the logon script did not run.
TEST_F(StartUpTest, HandOffTheServiceCannotSeeIsWrittenAgainOrReported) {
    struct Case {
        const char* name;
        std::function<void(fake::FakeMachine&, const std::wstring& ini)> arrange;
        BOOL result;
        std::size_t requests;
        std::string status, faildesc, mark;  // mark: a record the log holds once
    };
    const std::vector<Case> cases{
        // The answer comes within 200 ms of the request (at +2000 ms); the
        // agent looks at +3000 ms.
        {"someone deleted the hand-off file after the service answered",
         [](fake::FakeMachine& machine, const std::wstring& ini) {
             machine.clock.After(2500, [&machine, ini] { machine.files.Remove(ini); });
         },
         TRUE_, 2, "1", "", Line("INFO", "Hand-off request gone", "Writing the request again", kIni)},
        {"another program holds the file for a moment as the agent looks: the request is not gone",
         [](fake::FakeMachine& machine, const std::wstring& ini) {
             machine.clock.After(2900, [&machine, ini] { machine.files.Lock(ini); });
             machine.clock.After(3020, [&machine, ini] { machine.files.Unlock(ini); });
         },
         TRUE_, 1, "1", "", Line("INFO", "Proc ID successfully fetched", "Deleted ini file", kIni)},
        {"the hand-off file cannot be written",
         [](fake::FakeMachine& machine, const std::wstring& ini) {
             machine.files.PutFile(ini, "");
             machine.files.DenyWrite(ini);
         },
         FALSE_, 0, "0", "The request could not be written to the hand-off file",
         Line("ERROR", "Unable to hand off Logon Script", "Not written to", kIni)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::FakeMachine machine;
        const fake::StandardOptions o;
        const auto layout = fake::InstallStandardMachine(machine, o);
        fake::ScriptedService stand_in(machine, layout.scriptDataDir);
        stand_in.WatchUser(o.userName);
        stand_in.Start();
        c.arrange(machine, layout.procDetailsIni);
        machine.clock.After(48LL * 3600 * 1000, [] { throw std::runtime_error("virtual watchdog: still waiting"); });
        CQuorvaDlg logon(machine.os());
        EXPECT_EQ(logon.OnInitDialog(), c.result);
        EXPECT_TRUE(machine.shell.dialogEnded);
        EXPECT_EQ(stand_in.requests.size(), c.requests);
        std::size_t marks = 0;
        for (const auto& e : fake::ReadLog(machine, o.userName).entries)
            if (e.module + "|" + e.type + "|" + e.val1 + "|" + e.val2 + "|" + e.val3 == c.mark) ++marks;
        EXPECT_EQ(marks, 1u);
        const std::wstring folder = o.installDir + L"QVRTPostLogs";
        const auto reports = machine.files.List(folder);
        ASSERT_EQ(reports.size(), 1u);
        const std::string report = *machine.files.Read(folder + L"\\" + reports[0]);
        EXPECT_EQ(Element(report, "evnt"), "Logon");
        EXPECT_EQ(Element(report, "status"), c.status);
        EXPECT_EQ(Element(report, "faildesc"), c.faildesc);
    }
}

// ---- the resident copy ----

TEST_F(StartUpTest, SetupInAnyLetterCaseMakesTheCopyResident) {
    for (const wchar_t* word : {L"setup", L"SETUP", L"SeTuP"}) {
        SCOPED_TRACE(fake::Utf8(word));
        fake::FakeMachine fresh;
        fake::InstallStandardMachine(fresh);
        fresh.processes.args.push_back(word);
        CQuorvaDlg copy(fresh.os());
        EXPECT_EQ(copy.OnInitDialog(), TRUE_);
        EXPECT_EQ(copy.m_bSetupMode, TRUE_);
        EXPECT_FALSE(fresh.shell.dialogEnded) << "stays for the session end";
        EXPECT_TRUE(fresh.JournalOf({"WritePrivateProfileString"}).empty());
        EXPECT_EQ(fresh.clock.sleeps, (Sleeps{2000}));
        const auto log = fake::ReadLog(fresh).entries;
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back().val2, "The Logon script will not be executed as this application is invoked by service in account:");
        EXPECT_EQ(fresh.JournalOf({"CoInitialize", "CoUninitialize"}).back(), "CoUninitialize");
    }
}

TEST_F(StartUpTest, OtherArgumentsLeaveTheCopyOrdinary) {
    for (const Lines& extra : {Lines{"setup", "now"}, Lines{"install"}, Lines{}}) {
        fake::FakeMachine fresh;
        fake::InstallStandardMachine(fresh);
        for (const auto& a : extra) fresh.processes.args.push_back(fake::Cp1252ToWide(a));
        fake::ScriptedService service(fresh, L"C:\\ProgramData\\Vorlan\\QVRT\\");
        service.WatchUser(L"jsmith");
        service.Start();
        CQuorvaDlg copy(fresh.os());
        EXPECT_EQ(copy.OnInitDialog(), TRUE_);
        EXPECT_EQ(copy.m_bSetupMode, FALSE_);
        EXPECT_TRUE(fresh.shell.dialogEnded) << extra.size() << " arguments: ran the logon and ended";
    }
}

TEST_F(StartUpTest, SystemAccountIsResidentWhateverItsArguments) {
    fake::StandardOptions o;
    o.userName = L"system";
    Install(o);
    EXPECT_EQ(Run(), TRUE_);
    const std::string ini = "C:\\ProgramData\\Vorlan\\QVRT\\quorvaProcDetails_system.ini";
    EXPECT_EQ(Log(L"system"), (Lines{L1(ini), L4, L5("system"), L6(ini), L8(), L10("system")}));
    EXPECT_FALSE(Ended());
    EXPECT_FALSE(HandOffTouched());
}

TEST_F(StartUpTest, ResidentCopyWithOnlyALogonTemplateEnds) {
    fake::StandardOptions o;
    o.setup = true;
    o.logoffTemplate = false;
    o.shutdownTemplate = false;
    Install(o);
    EXPECT_EQ(Run(), FALSE_);
    EXPECT_EQ(Log(), (Lines{L1(), L4, L5(), L6(), L8(), L10(), L11}));
    EXPECT_EQ(Waits(), (Sleeps{2000, 1000}));
    EXPECT_TRUE(Ended());
}

TEST_F(StartUpTest, OnlyAShutdownTemplateLetsBothRolesGoOn) {
    fake::StandardOptions o;
    o.logonTemplate = false;
    o.logoffTemplate = false;
    Install(o);
    EXPECT_EQ(Run(), TRUE_);
    EXPECT_EQ(Element(ReportText(), "status"), "1") << "the ordinary copy still hands over the logon";

    fake::FakeMachine fresh;
    o.setup = true;
    fake::InstallStandardMachine(fresh, o);
    CQuorvaDlg resident(fresh.os());
    EXPECT_EQ(resident.OnInitDialog(), TRUE_);
    EXPECT_FALSE(fresh.shell.dialogEnded);
}

// ---- finding the install folder ----

struct InstallFolderCase {
    const char* name;
    std::wstring installedAt;                   // where the folder really is
    std::optional<std::wstring> registryValue;  // InstallationPath; nullopt: absent
    std::wstring systemDirectory;
    std::wstring expectedInstallDir;            // empty: the agent ends at once
};

class InstallFolder : public StartUpTest, public ::testing::WithParamInterface<InstallFolderCase> {};

TEST_P(InstallFolder, IsFoundOrTheAgentEndsAtOnce) {
    const InstallFolderCase& c = GetParam();
    fake::StandardOptions o;
    o.installDir = c.installedAt;
    Install(o);
    m.shell.systemDirectory = c.systemDirectory;
    if (c.registryValue)
        m.registry.SetString(platform::HKeyLocalMachine, fake::kProductKey, L"InstallationPath", *c.registryValue);
    else
        m.registry.DeleteValue(platform::HKeyLocalMachine, fake::kProductKey, L"InstallationPath");

    const BOOL result = Run();
    EXPECT_TRUE(Ended());
    if (c.expectedInstallDir.empty()) {
        EXPECT_EQ(result, FALSE_);
        EXPECT_EQ(Waits(), (Sleeps{2000}));
        EXPECT_FALSE(LogExists());
        EXPECT_FALSE(m.files.Exists(info.procDetailsIni));
    } else {
        EXPECT_EQ(result, TRUE_);
        EXPECT_EQ(agent->m_strInstallDir, c.expectedInstallDir);
        EXPECT_EQ(agent->m_strDeployerPath, c.expectedInstallDir + L"QVRT\\quorvarun.exe");
        EXPECT_EQ(Element(ReportText(), "status"), "1");
    }
}

const std::wstring kSys = L"C:\\windows\\system32";
const std::wstring kStd = L"C:\\Program Files\\VORLAN\\";

INSTANTIATE_TEST_SUITE_P(
    Cases, InstallFolder,
    ::testing::Values(
        InstallFolderCase{"FromRegistry", kStd, kStd, kSys, kStd},
        InstallFolderCase{"WithoutTrailingBackslash", L"C:\\Apps\\VORLAN\\", L"C:\\Apps\\VORLAN", kSys, L"C:\\Apps\\VORLAN\\"},
        InstallFolderCase{"SeveralTrailingBackslashes", L"C:\\Apps\\VORLAN\\", L"C:\\Apps\\VORLAN\\\\\\", kSys, L"C:\\Apps\\VORLAN\\"},
        InstallFolderCase{"ForwardSlashes", L"C:\\Apps\\VORLAN\\", L"C:/Apps/VORLAN/", kSys, L"C:\\Apps\\VORLAN\\"},
        InstallFolderCase{"RegistryFolderMissing", kStd, L"C:\\Nowhere\\VORLAN\\", kSys, L""},
        InstallFolderCase{"TooLongForTheRegistryReadFallsBack", kStd, std::wstring(600, L'a'), kSys, kStd},
        InstallFolderCase{"ProgramFilesOnSystemDrive", kStd, std::nullopt, kSys, kStd},
        InstallFolderCase{"ProgramFilesX86", L"C:\\Program Files (x86)\\VORLAN\\", std::nullopt, kSys, L"C:\\Program Files (x86)\\VORLAN\\"},
        InstallFolderCase{"SystemOnDriveD", L"D:\\Program Files\\VORLAN\\", std::nullopt, L"D:\\Windows\\system32", L"D:\\Program Files\\VORLAN\\"},
        InstallFolderCase{"FolderWindowsNeverCreates", L"C:\\Program Files(x86)\\VORLAN\\", std::nullopt, kSys, L""},
        InstallFolderCase{"NoSystemDirectory", kStd, std::nullopt, L"", L""}),
    [](const ::testing::TestParamInfo<InstallFolderCase>& p) { return std::string(p.param.name); });

// ---- early ends ----

TEST_F(StartUpTest, WithoutAUserNameNothingIsTouched) {
    Install();
    m.processes.userNameFails = true;
    EXPECT_EQ(Run(), FALSE_);
    EXPECT_TRUE(Ended());
    EXPECT_EQ(Waits(), (Sleeps{2000}));
    EXPECT_TRUE(m.files.findCalls.empty());
    EXPECT_TRUE(m.JournalOf({"CreateNewFile", "CreateDirectory", "WritePrivateProfile"}).empty());
    EXPECT_FALSE(m.files.Exists(info.procDetailsIni));
}

TEST_F(StartUpTest, WithoutTheDataFolderPathNothingIsWritten) {
    Install();
    m.shell.folderPathFails = true;
    EXPECT_EQ(Run(), FALSE_);
    EXPECT_TRUE(Ended());
    EXPECT_EQ(Waits(), (Sleeps{2000}));
    EXPECT_FALSE(LogExists());
    EXPECT_FALSE(m.files.Exists(info.procDetailsIni));
    EXPECT_TRUE(m.JournalOf({"CreateNewFile", "CreateDirectory", "WritePrivateProfile"}).empty());
}

TEST_F(StartUpTest, WithoutAnyTemplateTheAgentEndsAfterASecondLoggingNothing) {
    fake::StandardOptions o;
    o.logonTemplate = o.logoffTemplate = o.shutdownTemplate = false;
    Install(o);
    EXPECT_EQ(Run(), FALSE_);
    EXPECT_TRUE(Ended());
    EXPECT_EQ(Waits(), (Sleeps{2000, 1000}));
    EXPECT_FALSE(LogExists());
    EXPECT_FALSE(m.files.Exists(info.procDetailsIni));
}

TEST_F(StartUpTest, UnreadableSessionEndsAfterL2) {
    Install();
    m.processes.sessionLookupFails.insert(info.agentPid);
    EXPECT_EQ(Run(), FALSE_);
    EXPECT_EQ(Log(), (Lines{L1(), L2}));
    EXPECT_EQ(Waits(), (Sleeps{2000, 1000}));
    EXPECT_TRUE(Ended());
    EXPECT_EQ(m.files.Read(info.procDetailsIni), std::optional<std::string>("")) << "created before";
}

TEST_F(StartUpTest, SecondCopyInTheSessionIsNotedAndGoesOn) {
    Install();
    m.files.PutFile(info.procDetailsIni, "");
    m.processes.Start(L"quorva.exe", 1);
    m.processes.Start(L"quorva.exe", 2);
    EXPECT_EQ(Run(), TRUE_);
    const Lines log = Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ((Lines{log[0], log[1], log[2]}), (Lines{L3, L4, L5()}));
    EXPECT_EQ(fake::ReadLog(m).header.at(0), "#Software: Quorva");
    EXPECT_EQ(Waits(), (Sleeps{2000, 1000, 1000, 1000}));
    EXPECT_EQ(Element(ReportText(), "status"), "1");
}

TEST_F(StartUpTest, UnwritableLogEndsRightAfterApplicationStarted) {
    Install();
    m.files.DenyWrite(fake::LogPath(m, L"jsmith"));
    EXPECT_EQ(Run(), FALSE_);
    EXPECT_TRUE(Ended());
    EXPECT_EQ(Waits(), (Sleeps{2000, 1000}));
    EXPECT_FALSE(HandOffTouched());
    EXPECT_TRUE(service->requests.empty());
}

TEST_F(StartUpTest, MissingDeployerEndsAfterL7) {
    fake::StandardOptions o;
    o.deployer = false;
    Install(o);
    EXPECT_EQ(Run(), FALSE_);
    EXPECT_EQ(Log(), (Lines{L1(), L4, L5(), L6(), L7()}));
    EXPECT_EQ(Waits(), (Sleeps{2000, 1000}));
    EXPECT_TRUE(Ended());
    EXPECT_FALSE(HandOffTouched());
}

// ---- names and paths ----

// The hand-off file starts with the UTF-16 byte-order mark exactly when the
// code page cannot show the user name, so that the profile functions keep
// the name for the service; the log and the report stay ANSI.
struct UserNameCase {
    std::wstring name;
    std::string ansi, handOffFile;
    bool emptyFileLeftBefore = false;  // by an earlier version, without the mark
    // The user's code page (the thread's) and the system's, which the profile
    // functions use for a file without the mark; they differ on a terminal
    // server whose users come from other countries.
    std::uint32_t threadCodePage = 1252, systemCodePage = 1252;
};

TEST_F(StartUpTest, UserNameReachesTheServiceIntactWhateverTheCodePageShows) {
    const std::string bom("\xFF\xFE", 2);
    const std::vector<UserNameCase> cases{
        {L"jsmith", "jsmith", ""},
        {L"Jos\u00e9", "Jos\xe9", ""},             // in the page: today's bytes
        {L"\u0141ukasz", "Lukasz", bom},             // only a best fit
        {L"\u738B\u82B3", "??", bom},               // not at all
        {L"\u738B\u82B3", "??", bom, true},
        {L"jsmith", "jsmith", "", true},
        {L"\u0418\u0432\u0430\u043D", "\xC8\xE2\xE0\xED", bom, false, 1251, 1252},  // the user's page shows it
        {L"Jos\u00e9", "Jos\xe9", bom, false, 1252, 1251},                            // the system's does not
        {L"\u0418\u0432\u0430\u043D", "????", "", false, 1252, 1251},                // the system's does
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ansi + (c.emptyFileLeftBefore ? " (empty file left before)" : "") + " pages " +
                     std::to_string(c.threadCodePage) + "/" + std::to_string(c.systemCodePage));
        fake::FakeMachine machine;
        fake::StandardOptions o;
        o.userName = c.name;
        const auto layout = fake::InstallStandardMachine(machine, o);
        if (c.emptyFileLeftBefore) machine.files.PutFile(layout.procDetailsIni, "");
        machine.text.codePage = c.threadCodePage;
        machine.text.systemCodePage = machine.files.systemCodePage = c.systemCodePage;
        fake::ScriptedService stand_in(machine, layout.scriptDataDir);
        stand_in.WatchUser(c.name);
        stand_in.Start();
        CQuorvaDlg logon(machine.os());
        EXPECT_EQ(logon.OnInitDialog(), TRUE_);

        ASSERT_EQ(stand_in.requests.size(), 1u);
        EXPECT_EQ(stand_in.requests[0].processArguments, L"Logon<<>>" + c.name);
        EXPECT_EQ(logon.m_strProcDetailsIni, L"C:\\ProgramData\\Vorlan\\QVRT\\quorvaProcDetails_" + c.name + L".ini");
        EXPECT_EQ(machine.files.Read(logon.m_strProcDetailsIni), std::optional<std::string>(c.handOffFile))
            << "created again for the session end";
        // L5 and L12, whether or not L1 came first.
        const auto entries = fake::ReadLog(machine, c.name).entries;
        const std::size_t l5 = c.emptyFileLeftBefore ? 1 : 2;
        ASSERT_GE(entries.size(), l5 + 4);
        EXPECT_EQ(entries[0].val2, c.emptyFileLeftBefore ? "**********************" : "Creating file");
        EXPECT_EQ(entries[l5].val3, c.ansi) << "L5";
        EXPECT_EQ(entries[l5 + 3].val3, "Logon<<>>" + c.ansi) << "L12";
    }
}

}  // namespace
