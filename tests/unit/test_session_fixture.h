// A resident agent on the simulated machine, ready for a session end: the
// state start-up leaves behind in a "setup" copy, the stand-in service
// watching the user's hand-off file, and readers of what the agent did since
// the test's mark (log entries, journal lines, sleeps, event reports).
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/QuorvaDlg.h"
#include "tests/fakes/FakeMachine.h"
#include "tests/fakes/LogReader.h"
#include "tests/fakes/ScriptedService.h"
#include "tests/fakes/StandardMachine.h"

namespace wm = platform::wm;

namespace session_test {

constexpr std::intptr_t kShutdown = 0;
constexpr std::intptr_t kLogoff = static_cast<std::intptr_t>(0x80000000u);
constexpr std::intptr_t kCloseApp = 0x1;
constexpr std::intptr_t kCritical = 0x40000000;

inline const std::string kShutdownExe = "C:\\windows\\system32\\shutdown.exe";
inline const std::string kIni = "C:\\ProgramData\\Vorlan\\QVRT\\quorvaProcDetails_jsmith.ini";
inline const std::string kTaskKillIni = "C:\\ProgramData\\Vorlan\\QVRT\\quorvaShutTaskKill.ini";
inline const std::string kDeployer = "C:\\Program Files\\VORLAN\\QVRT\\quorvarun.exe";

// One log entry as "module|type|val1|val2|val3". Event reports are logged
// with their whole text and a time stamp; they are checked from the report
// files instead, so only their first value is kept here.
inline std::string Line(const std::string& module, const std::string& type, const std::string& val1,
                        const std::string& val2 = "", const std::string& val3 = "") {
    return module + "|" + type + "|" + val1 + "|" + val2 + "|" + val3;
}
inline std::string ReportLine() { return "WebPostEventData|INFO|web Post"; }

inline bool IsRestartCheckDetail(const std::string& module) {
    // The restart check's own records are its tests' business.
    return module == "Function for checking restart" || module == "DumpRecordsInBuffer" ||
           module == "GetMessageString";
}

struct Report {
    std::string evnt, status, faildesc;
};

inline std::vector<std::string> Events(const fake::FakeMachine& m) { return fake::ReadEvents(m); }

inline std::string Element(const std::string& text, const std::string& tag) {
    const std::string open = "<" + tag + ">", close = "</" + tag + ">";
    auto from = text.find(open);
    if (from == std::string::npos) return "<missing>";
    from += open.size();
    return text.substr(from, text.find(close, from) - from);
}

// The members a resident copy's start-up fills.
inline void FillResidentState(CQuorvaDlg& a, fake::FakeMachine& m, const fake::StandardMachine& info,
                              const std::wstring& userName) {
    a.m_szUserName = userName;
    a.m_szCommonAppData = m.shell.commonAppData;
    a.m_strInstallDir = info.deployerPath.substr(0, info.deployerPath.find(L"QVRT\\"));
    a.m_strDataDir = info.dataDir;
    a.m_strScriptDataDir = info.scriptDataDir;
    a.m_strProcDetailsIni = info.procDetailsIni;
    a.m_strDeployerPath = info.deployerPath;
    a.m_strScriptImagePath = info.deployerPath;
    a.m_bSetupMode = 1;
}

// A resident agent and the stand-in service on a machine of their own, for
// table-driven cases that each need a fresh machine.
struct Resident {
    fake::FakeMachine machine;
    fake::StandardMachine info;
    std::unique_ptr<CQuorvaDlg> agent;
    std::unique_ptr<fake::ScriptedService> service;

    explicit Resident(fake::StandardOptions options = {}) {
        info = fake::InstallStandardMachine(machine, options);
        agent = std::make_unique<CQuorvaDlg>(machine.os());
        FillResidentState(*agent, machine, info, options.userName);
        service = std::make_unique<fake::ScriptedService>(machine, info.scriptDataDir);
        service->WatchUser(options.userName);
        service->Start();
    }
    std::intptr_t Query(std::intptr_t lParam) {
        return agent->WindowProc(wm::QueryEndSession, 0, lParam).result;
    }
};

class SessionEndTest : public ::testing::Test {
protected:
    fake::FakeMachine m;
    fake::StandardMachine info;
    std::unique_ptr<fake::ScriptedService> service;
    std::unique_ptr<CQuorvaDlg> agent;
    std::wstring userName = L"jsmith";
    std::size_t logMark = 0, journalMark = 0, sleepMark = 0, reportMark = 0;

    // Lays out the machine and gives the agent the state a resident copy has
    // once its start-up returned. The service starts polling right away.
    void Install(fake::StandardOptions options = {}, fake::ScriptedService::Options serviceOptions = {}) {
        options.setup = true;
        info = fake::InstallStandardMachine(m, options);
        userName = options.userName;
        NewAgent();
        if (options.dataFolder) m.files.PutFile(info.procDetailsIni, "");
        service = std::make_unique<fake::ScriptedService>(m, info.scriptDataDir, serviceOptions);
        service->WatchUser(options.userName);
        service->Start();
        // A wait that never ends would hang the test run; two virtual days
        // end it with a failure instead.
        m.clock.After(48LL * 3600 * 1000, [] { throw std::runtime_error("virtual watchdog: still waiting"); });
        Mark();
    }

    void Mark() {
        logMark = fake::ReadLog(m, userName).entries.size();
        journalMark = m.journal.size();
        sleepMark = m.clock.sleeps.size();
        reportMark = Reports().size();
    }

    // A fresh agent with the state start-up leaves in a resident copy.
    void NewAgent() {
        agent = std::make_unique<CQuorvaDlg>(m.os());
        FillResidentState(*agent, m, info, userName);
    }

    // One WM_QUERYENDSESSION through the window's routing: classified first,
    // then answered.
    std::intptr_t Query(std::intptr_t lParam) {
        return agent->WindowProc(wm::QueryEndSession, 0, lParam).result;
    }
    void EndSession(bool ending) { agent->WindowProc(wm::EndSession, ending ? 1 : 0, 0); }

    std::vector<std::string> Log(bool withRestartDetail = false) {
        std::vector<std::string> lines;
        const auto entries = fake::ReadLog(m, userName).entries;
        for (std::size_t i = logMark; i < entries.size(); ++i) {
            const auto& e = entries[i];
            if (!withRestartDetail && IsRestartCheckDetail(e.module)) continue;
            if (e.module == "WebPostEventData" && e.val1 == "web Post")
                lines.push_back(ReportLine());
            else
                lines.push_back(Line(e.module, e.type, e.val1, e.val2, e.val3));
        }
        return lines;
    }

    std::string LastLog() {
        auto lines = Log();
        return lines.empty() ? std::string("<no log>") : lines.back();
    }

    // Journal lines since the mark that start with one of the prefixes.
    std::vector<std::string> Journal(std::initializer_list<std::string> prefixes) {
        std::vector<std::string> lines;
        for (std::size_t i = journalMark; i < m.journal.size(); ++i) {
            for (const auto& p : prefixes) {
                if (m.journal[i].rfind(p, 0) == 0) {
                    lines.push_back(m.journal[i]);
                    break;
                }
            }
        }
        return lines;
    }
    std::vector<std::string> Issued() {
        return Journal({"CreateProcess", "ExitWindowsEx", "AbortSystemShutdown", "EndDialog", "PostQuitMessage"});
    }

    std::vector<std::uint32_t> Sleeps() {
        return {m.clock.sleeps.begin() + static_cast<std::ptrdiff_t>(sleepMark), m.clock.sleeps.end()};
    }

    std::vector<std::string> Reports() {
        std::vector<std::string> texts;
        const std::wstring folder = info.deployerPath.substr(0, info.deployerPath.find(L"QVRT\\")) + L"QVRTPostLogs";
        for (const auto& name : m.files.List(folder)) {
            auto text = m.files.Read(folder + L"\\" + name);
            if (text) texts.push_back(*text);
        }
        std::sort(texts.begin(), texts.end());
        return texts;
    }
    std::vector<Report> NewReports() {
        std::vector<Report> out;
        auto texts = Reports();
        for (std::size_t i = reportMark; i < texts.size(); ++i)
            out.push_back({Element(texts[i], "evnt"), Element(texts[i], "status"), Element(texts[i], "faildesc")});
        return out;
    }

    std::uint32_t DeployerPid(std::size_t request) const {
        return request < service->requests.size() ? service->requests[request].pid : 0;
    }

    bool HandOffRequestLeft() {
        return !m.files.GetString(L"Process Details", L"Process Name", L"", 1024, info.procDetailsIni).empty();
    }

    bool HandOffFileEmpty() {
        auto bytes = m.files.Read(info.procDetailsIni);
        return bytes && bytes->empty();
    }
};

// The expected blocks of a handling, in the order they are written.
inline std::vector<std::string>& operator+=(std::vector<std::string>& a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline std::vector<std::string> FirstRequestAnswer() {
    return {
        Line("OnQueryEndSession", "INFO", "SUCCESS",
             "Calling Shutdown Block Create in case of Windows Vista,Windows 7,Windows Server 2008"),
        Line("OnQueryEndSession", "INFO", "SUCCESS", "ShutdownBlockCreate Found in User32.dll",
             "The operating system is Above or equal to Vista"),
        Line("OnEndQuerySession", "INFO", "SHUTDOWN/LOGOFF/RESTART RECIEVED", "<**********************>",
             "<***************************>"),
        Line("OnEndQuerySession", "INFO", "SUCCESS", "Starting Thread to Handle WM_QUERYSHUTDOWN", "TRUE"),
        Line("OnEndQuerySession", "INFO", "SUCCESS", "Starting Thread to Handle WM_QUERYSHUTDOWN", "0"),
    };
}

inline std::vector<std::string> RepeatAnswer() {
    return {
        Line("OnQueryEndSession", "INFO", "SUCCESS",
             "Calling Shutdown Block Create in case of Windows Vista,Windows 7,Windows Server 2008"),
        Line("OnQueryEndSession", "INFO", "SUCCESS", "ShutdownBlockCreate Found in User32.dll",
             "The operating system is Above or equal to Vista"),
        Line("OnEndQuerySession", "INFO", "SHUTDOWN/LOGOFF/RESTART RECIEVED", "<**********************>",
             "<***************************>"),
        Line("OnEndQuerySession", "INFO", "m_uICountForOnce", ">1",
             "The user pressed SHUTDOWN/LOGOFF/RESTART more than once"),
    };
}

inline std::string R1() {
    return Line("functionToForgetShutdown", "INFO", "Success",
                "Calling function to Check whether a Restart event was Recieved");
}

inline std::vector<std::string> Cancel() {
    return {
        Line("functionToForgetShutdown", "INFO", "Aborting Shutdown", kShutdownExe, "jsmith"),
        Line("Abort System Shutdown", "INFO", "Success", "jsmith"),
    };
}

// The hand-off when the service answers after `polls` one-second waits.
inline std::vector<std::string> HandOff(const std::string& args, const std::string& pid, int polls,
                                        bool recreated = true) {
    std::vector<std::string> lines{
        Line("funcToFrgtShutdown", "INFO", "ExecuteProcess", kDeployer, args),
        Line("functionToForgetShutdown", "INFO", "Writing into INI for Logoff/Shutdown Script", "Process Name",
             kDeployer),
        Line("functionToForgetShutdown", "INFO", "Writing into INI for Logoff/Shutdown Script",
             "Process Arguments", args),
        Line("functionToForgetShutdown", "INFO", "Reading from INI for Logoff/Shutdown Script", "Proc ID",
             polls == 0 ? pid : ""),
    };
    for (int i = 0; i < polls; ++i)
        lines.push_back(Line("functionToForgetShutdown", "INFO", "Reading from INI for Logoff/Shutdown Script",
                             "Proc ID Not Found", "Waiting"));
    lines.push_back(Line("functionToForgetShutdown", "INFO", "Reading from INI for Logoff/Shutdown Script",
                         "Proc ID found", pid));
    lines.push_back(ReportLine());
    lines.push_back(Line("functionToForgetShutdown", "INFO", "Proc ID successfully read from INI",
                         "Deleted INI from location :", kIni));
    if (recreated)
        lines.push_back(Line("functionToForgetShutdown", "INFO", "Created INI for future use at location :", kIni));
    lines.push_back(Line("functionToForgetShutdown", "INFO", "ExecuteProcess at Logoff/Shutdown Started process",
                         "quorvarun.exe"));
    return lines;
}

inline std::vector<std::string> DeployerFound(const std::string& pid) {
    return {
        Line("RunningInterface", "INFO", "File Name Matched ", kDeployer),
        Line("RunningInterface", "INFO", "PID Matched ", "A running instance of process found", pid),
    };
}

inline std::string Waiting() {
    return Line("functionToForgetShutdown", "INFO", "Waiting", " for Application ::", "quorvarun.exe");
}

// One pass of the script wait while the script `pid` runs, with the check's
// records for a logoff or a shutdown that came first.
enum class CameFirst { Nothing, Logoff, Shutdown };
inline std::vector<std::string> Pass(const std::string& pid, CameFirst first) {
    std::vector<std::string> lines = DeployerFound(pid);
    lines.push_back(Waiting());
    if (first == CameFirst::Logoff) {
        lines.push_back(Line("While", "M_BFLAGFORFIRSTTIMELOGOFF ", "Success"));
        lines.push_back(Line("While", " M_UICOUNTFORONCE >1  ", "Success"));
    } else if (first == CameFirst::Shutdown) {
        lines.push_back(Line("While", "M_BFLAGFORFIRSTSHUTDOWN ", "Success"));
        lines.push_back(Line("While", "M_UICOUNTFORONCE >1", "Success"));
    }
    return lines;
}

inline std::vector<std::string> Reissue(const std::string& how) {
    return {
        Line("FunctionToForgetShutDown", "INFO", "Script ended", "Exiting"),
        Line("FunctionToForgetShutDown", "INFO", "exe stopped", how),
    };
}

}  // namespace session_test
