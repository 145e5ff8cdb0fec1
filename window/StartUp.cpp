// The agent's start-up, step by step: hide the window, take the user and the
// start values, find the install folder and the templates, build the paths
// everything else uses, look at the other copies and at the service, and take
// the role. The ordinary role's logon hand-off is in LogonHandOff.cpp.
#include <optional>
#include <string>
#include <vector>

#include "agent/Common.h"
#include "agent/QuorvaDlg.h"
#include "records/ApplicationLog.h"
#include "records/WindowsEvents.h"
#include "scripts/HandOffFile.h"
#include "scripts/ProcessUtils.h"
#include "system/Registry.h"
#include "window/StartUp.h"

using platform::BOOL;
using platform::FALSE_;
using platform::TRUE_;

namespace startup {

BOOL EndAfter(CQuorvaDlg& agent, std::uint32_t milliseconds, BOOL result) {
    if (milliseconds != 0) agent.os.clock.Sleep(milliseconds);
    agent.EndAgent();
    return result;
}

}  // namespace startup

namespace {

using startup::EndAfter;
constexpr const char* kModule = "OnInitDialog";
// What a step answers: nothing when the start-up goes on, else the result
// OnInitDialog returns once the agent has ended itself.
using Outcome = std::optional<BOOL>;

const wchar_t* const kLogonPattern = L"QVRT\\Trigger\\*_Logon.xml";
const wchar_t* const kLogoffPattern = L"QVRT\\Trigger\\*_Logoff.xml";
const wchar_t* const kShutdownPattern = L"QVRT\\Trigger\\*_Shutdown.xml";

// The install folder as a folder path without trailing separators.
// Windows takes "/" and "\" alike, so a value written with forward slashes
// names the same folder; it is brought to one form here so that every path
// built from it, and every path handed to the service, reads the same.
std::wstring FolderWithoutTrailingSeparators(std::wstring folder) {
    for (wchar_t& c : folder) {
        if (c == L'/') c = L'\\';
    }
    while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    return folder;
}

// Steps 1 to 7: the role the command line asks for, the window hidden, the
// user, the start values and the icons.
Outcome HideAndTakeStartValues(CQuorvaDlg& agent) {
    auto& os = agent.os;
    agent.m_bSetupMode = FALSE_;
    // Vista and later end a program without a visible window that holds a
    // session end back, or answers after 5 seconds, unless it registered its
    // reason before the question came: a copy that will stay resident says
    // so before its first wait, and so before any request can reach it.
    const std::vector<std::wstring> args = os.processes.CommandLineArgs();
    const bool setup = args.size() == 2 && EqualsNoCase(args[1], L"setup");
    if (setup) agent.RegisterBlockReason();
    os.clock.Sleep(2000);

    if (setup) agent.m_bSetupMode = TRUE_;

    agent.HideWindow();

    // Without a user name neither the log nor the hand-off file can be named:
    // nothing sensible can be written, so nothing is.
    std::wstring userName;
    if (!os.processes.GetUserName(1024, &userName)) return EndAfter(agent, 0, FALSE_);
    agent.m_szUserName = userName;
    // The local system account's copy stays resident too.
    if (!setup && IsSystemAccount(agent)) agent.RegisterBlockReason();

    agent.RemoveTaskbarButton(false);

    agent.m_bFlagForFirstTimeLogoff = FALSE_;
    agent.m_bFlagForReissue = FALSE_;
    agent.m_bLogFailed = FALSE_;
    agent.m_bFlagForRestart = FALSE_;
    agent.m_bFlagForFirstShutDown = FALSE_;
    agent.m_bFlagForShutDown = FALSE_;
    agent.m_uICountForOnce = 0;
    agent.m_szScriptProcId2.clear();
    agent.m_szScriptProcId.clear();
    agent.m_szScriptProcId3.clear();
    agent.m_szEventName.clear();

    os.shell.SetIcon(platform::IconBig);
    os.shell.SetIcon(platform::IconSmall);
    return std::nullopt;
}

// Step 8: the install folder, the registry's word first, else the usual
// Program Files folders of the system drive.
Outcome ReadInstallFolder(CQuorvaDlg& agent) {
    auto& os = agent.os;
    const std::wstring systemDirectory = os.shell.GetSystemDirectory(512);
    CRegistry registry(os.registry);
    WideBuffer<1000> installationPath;
    if (registry.ReadProductValue(L"InstallationPath", installationPath)) {
        agent.m_strDeployerPath = installationPath.str();
        return std::nullopt;
    }
    if (systemDirectory.empty()) return EndAfter(agent, 0, FALSE_);
    const std::wstring drive = std::wstring(1, systemDirectory[0]) + L":";
    const std::wstring programFiles = drive + L"\\Program Files\\VORLAN";
    const std::wstring programFilesX86 = drive + L"\\Program Files (x86)\\VORLAN";
    if (PathExists(agent, programFiles)) {
        agent.m_strDeployerPath = programFiles + L"\\";
    } else if (PathExists(agent, programFilesX86)) {
        agent.m_strDeployerPath = programFilesX86 + L"\\";
    } else {
        return EndAfter(agent, 0, FALSE_);
    }
    return std::nullopt;
}

// Steps 9 to 12: the application-data folder, the install folder checked,
// and at least one template in it.
Outcome CheckInstallFolder(CQuorvaDlg& agent) {
    std::wstring commonAppData;
    if (!agent.os.shell.GetFolderPath(platform::CsidlCommonAppData, &commonAppData)) {
        return EndAfter(agent, 0, FALSE_);
    }
    agent.m_szCommonAppData = commonAppData;

    agent.m_strDeployerPath = FolderWithoutTrailingSeparators(agent.m_strDeployerPath);
    if (agent.m_strDeployerPath.empty() || !PathExists(agent, agent.m_strDeployerPath)) {
        return EndAfter(agent, 0, FALSE_);
    }
    agent.m_strDeployerPath += L"\\";
    agent.m_strInstallDir = agent.m_strDeployerPath;

    if (!PathExists(agent, agent.m_strInstallDir + kLogonPattern) &&
        !PathExists(agent, agent.m_strInstallDir + kLogoffPattern) &&
        !PathExists(agent, agent.m_strInstallDir + kShutdownPattern)) {
        return EndAfter(agent, 1000, FALSE_);
    }
    return std::nullopt;
}

// Steps 13 and 14: the data paths, and the user's hand-off file in place.
void BuildDataPaths(CQuorvaDlg& agent) {
    const std::wstring common = agent.m_szCommonAppData.str();
    agent.m_strDataDir = common + L"\\Vorlan\\";
    agent.m_strDeployerPath += L"QVRT\\";
    agent.m_strScriptDataDir = common + L"\\Vorlan\\QVRT\\";
    agent.m_strProcDetailsIni =
        common + L"\\Vorlan\\QVRT\\quorvaProcDetails_" + agent.m_szUserName.str() + L".ini";

    const std::wstring& ini = agent.m_strProcDetailsIni;
    if (!PathExists(agent, ini)) {
        Log(agent, {.module = kModule, .type = "INFO", .val2 = "Creating file", .val3 = Ansi(agent, ini),
                    .software = "Quorva"});
        CreateHandOffFile(agent, ini);
    } else if (!agent.os.text.ShowsInSystemCodePage(agent.m_szUserName.str()) &&
               agent.os.files.ExclusiveFileSize(ini) == 0) {
        // An empty file left by an earlier version would be written in the
        // code page; holding nothing, it is made again as UTF-16.
        agent.os.files.DeleteFile(ini);
        CreateHandOffFile(agent, ini);
    }
}

// Steps 15 to 19: the other copies of this session, the first log entries,
// and the end of a copy whose log cannot be written.
Outcome LookAtSession(CQuorvaDlg& agent) {
    auto& os = agent.os;
    std::uint32_t sessionId = 0;
    if (!os.processes.ProcessIdToSessionId(os.processes.GetCurrentProcessId(), &sessionId)) {
        Log(agent, {.module = kModule, .val1 = "FAIL",
                    .val2 = "Not able to get Session id for quorva from Proc id ", .val3 = "Exitting",
                    .software = "Quorva"});
        return EndAfter(agent, 1000, FALSE_);
    }
    if (CountSessionInstances(agent, sessionId) > 1) {
        Log(agent, {.module = kModule, .val1 = "FAIL",
                    .val2 = "A running interface of quorva exe already exists for this session",
                    .val3 = "Exitting", .software = "Quorva"});
        os.clock.Sleep(1000);
    }

    Log(agent, {.module = kModule, .val1 = "Application started", .val2 = "**********************",
                .val3 = "**********************"});
    if (agent.m_bLogFailed) return EndAfter(agent, 1000, FALSE_);

    Log(agent, {.module = kModule, .val1 = "Success", .val2 = "Loggedon User",
                .val3 = Ansi(agent, agent.m_szUserName.str())});
    Log(agent, {.module = kModule, .val1 = "Success", .val2 = "quorvaProcDetails.ini",
                .val3 = Ansi(agent, agent.m_strProcDetailsIni)});
    return std::nullopt;
}

// Steps 20 to 22: the deployer, and the service.
Outcome FindDeployerAndService(CQuorvaDlg& agent) {
    agent.m_strDeployerPath += L"quorvarun.exe";
    const std::string deployerPath = Ansi(agent, agent.m_strDeployerPath);
    if (!PathExists(agent, agent.m_strDeployerPath)) {
        Log(agent, {.module = kModule, .val1 = "FAIL", .val2 = "Script to be executed not found at location ",
                    .val3 = deployerPath, .software = "Quorva"});
        const bool resident = IsSystemAccount(agent) || agent.m_bSetupMode;
        ReportAgentEvent(agent, AgentEvent::HandOffNotPossible,
                         {resident ? L"Logoff/Shutdown" : L"Logon",
                          L"quorvarun.exe was not found on the location " + agent.m_strDeployerPath});
        return EndAfter(agent, 1000, FALSE_);
    }
    Log(agent, {.module = kModule, .val1 = "Success", .val2 = "Script to be executed found at location ",
                .val3 = deployerPath});

    agent.m_strScriptImagePath = agent.m_strDeployerPath;

    if (CountServiceInstances(agent) < 1) {
        Log(agent, {.module = kModule, .val1 = "SUCCESS",
                    .val2 = "Service not running. So exiting. Service Name: ", .val3 = "quorvahost.exe"});
        agent.os.clock.Sleep(1000);
    }
    return std::nullopt;
}

// The resident role: the session end is this copy's business, the logon is not.
BOOL StayResident(CQuorvaDlg& agent) {
    Log(agent, {.module = kModule, .val1 = "Success",
                .val2 = "The Logon script will not be executed as this application is invoked by service in "
                        "account:",
                .val3 = Ansi(agent, agent.m_szUserName.str())});
    if (!PathExists(agent, agent.m_strInstallDir + kLogoffPattern) &&
        !PathExists(agent, agent.m_strInstallDir + kShutdownPattern)) {
        Log(agent, {.module = kModule, .val1 = "Exiting", .val3 = "No Logoff or Shutdown Template Assigned"});
        return EndAfter(agent, 1000, FALSE_);
    }
    agent.os.shell.CoUninitialize();
    return TRUE_;
}

}  // namespace

BOOL CQuorvaDlg::OnInitDialog() {
    m_bInStartUp = true;
    const BOOL result = StartUp();
    m_bInStartUp = false;
    // A copy that stays resident handles, in order, what arrived meanwhile;
    // one that ended still owes Windows the session ends it held back.
    HandleDeferredMessages(m_bEnded);
    return result;
}

BOOL CQuorvaDlg::StartUp() {
    if (Outcome ended = HideAndTakeStartValues(*this)) return *ended;
    if (Outcome ended = ReadInstallFolder(*this)) return *ended;
    if (Outcome ended = CheckInstallFolder(*this)) return *ended;
    BuildDataPaths(*this);
    if (Outcome ended = LookAtSession(*this)) return *ended;
    if (Outcome ended = FindDeployerAndService(*this)) return *ended;
    // Step 23: the role.
    if (IsSystemAccount(*this) || m_bSetupMode) return StayResident(*this);
    return startup::HandOffLogonScript(*this);
}
