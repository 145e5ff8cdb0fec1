// The agent's start-up: find the install folder and the templates, build the
// paths everything else uses, take the role, and, as an ordinary copy, hand
// the logon script to the service and report how that went.
#include <string>
#include <vector>

#include "agent/Common.h"
#include "agent/QuorvaDlg.h"
#include "records/ApplicationLog.h"
#include "records/EventReport.h"
#include "scripts/ProcessUtils.h"
#include "system/Registry.h"

namespace {

const wchar_t* const kProcDetailsSection = L"Process Details";
const wchar_t* const kLogonPattern = L"QVRT\\Trigger\\*_Logon.xml";
const wchar_t* const kLogoffPattern = L"QVRT\\Trigger\\*_Logoff.xml";
const wchar_t* const kShutdownPattern = L"QVRT\\Trigger\\*_Shutdown.xml";

void Log(CQuorvaDlg& agent, const char* software, const char* type, const std::string& val1,
         const std::string& val2, const std::string& val3) {
    WriteLogFile(kVersion, "OnInitDialog", agent, software, type, val1.c_str(), val2.c_str(),
                 val3.c_str());
}

// Ends the agent from inside the start-up, after the given pause (none for 0);
// the caller returns the result from OnInitDialog at once.
BOOL EndAfter(CQuorvaDlg& agent, std::uint32_t milliseconds, BOOL result) {
    if (milliseconds != 0) agent.os.clock.Sleep(milliseconds);
    agent.EndAgent();
    return result;
}

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

// Writes the logon request into the hand-off file. False when the service
// cannot be given it.
bool WriteLogonRequest(CQuorvaDlg& agent, const std::wstring& logonArgs) {
    const std::wstring& ini = agent.m_strProcDetailsIni;
    bool written = WriteHandOffKey(agent, L"Process Name", agent.m_strDeployerPath, ini);
    Log(agent, "quorva", "Information", "Writing into ini File", "Process Name",
        Ansi(agent, agent.m_strDeployerPath));
    written = WriteHandOffKey(agent, L"Process Arguments", logonArgs, ini) && written;
    Log(agent, "quorva", "Information", "Writing into ini File", "Process Arguments",
        Ansi(agent, logonArgs));
    return written;
}

// A request the service cannot see is never answered: the report says that
// the logon script did not run, and the copy ends.
BOOL GiveUpUnwrittenLogonRequest(CQuorvaDlg& agent) {
    Log(agent, "quorva", "ERROR", "Unable to hand off Logon Script", "Not written to",
        Ansi(agent, agent.m_strProcDetailsIni));
    WebPostEventData(agent.m_szUserName.str(), L"The request could not be written to the hand-off file", agent,
                     L"Logon", 0);
    return EndAfter(agent, 1000, FALSE_);
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
    m_bSetupMode = FALSE_;
    // Vista and later end a program without a visible window that holds a
    // session end back, or answers after 5 seconds, unless it registered its
    // reason before the question came: a copy that will stay resident says
    // so before its first wait, and so before any request can reach it.
    const std::vector<std::wstring> args = os.processes.CommandLineArgs();
    const bool setup = args.size() == 2 && EqualsNoCase(args[1], L"setup");
    if (setup) RegisterBlockReason();
    os.clock.Sleep(2000);

    if (setup) m_bSetupMode = TRUE_;

    HideWindow();

    // Without a user name neither the log nor the hand-off file can be named:
    // nothing sensible can be written, so nothing is.
    std::wstring userName;
    if (!os.processes.GetUserName(1024, &userName)) return EndAfter(*this, 0, FALSE_);
    m_szUserName = userName;
    // The local system account's copy stays resident too.
    if (!setup && IsSystemAccount(*this)) RegisterBlockReason();

    RemoveTaskbarButton(false);

    m_bFlagForFirstTimeLogoff = FALSE_;
    m_bFlagForReissue = FALSE_;
    m_bLogFailed = FALSE_;
    m_bFlagForRestart = FALSE_;
    m_bFlagForFirstShutDown = FALSE_;
    m_bFlagForShutDown = FALSE_;
    m_uICountForOnce = 0;
    m_szScriptProcId2.clear();
    m_szScriptProcId.clear();
    m_szScriptProcId3.clear();
    m_szEventName.clear();

    os.shell.SetIcon(platform::IconBig);
    os.shell.SetIcon(platform::IconSmall);

    // The install folder: the registry's word first, else the usual Program
    // Files folders of the system drive.
    const std::wstring systemDirectory = os.shell.GetSystemDirectory(512);
    {
        CRegistry registry(os.registry);
        WideBuffer<1000> installationPath;
        if (registry.ReadProductValue(L"InstallationPath", installationPath)) {
            m_strDeployerPath = installationPath.str();
        } else {
            if (systemDirectory.empty()) return EndAfter(*this, 0, FALSE_);
            const std::wstring drive = std::wstring(1, systemDirectory[0]) + L":";
            const std::wstring programFiles = drive + L"\\Program Files\\VORLAN";
            const std::wstring programFilesX86 = drive + L"\\Program Files (x86)\\VORLAN";
            if (PathExists(*this, programFiles)) {
                m_strDeployerPath = programFiles + L"\\";
            } else if (PathExists(*this, programFilesX86)) {
                m_strDeployerPath = programFilesX86 + L"\\";
            } else {
                return EndAfter(*this, 0, FALSE_);
            }
        }
    }

    std::wstring commonAppData;
    if (!os.shell.GetFolderPath(platform::CsidlCommonAppData, &commonAppData)) {
        return EndAfter(*this, 0, FALSE_);
    }
    m_szCommonAppData = commonAppData;

    m_strDeployerPath = FolderWithoutTrailingSeparators(m_strDeployerPath);
    if (m_strDeployerPath.empty() || !PathExists(*this, m_strDeployerPath)) {
        return EndAfter(*this, 0, FALSE_);
    }
    m_strDeployerPath += L"\\";
    m_strInstallDir = m_strDeployerPath;

    if (!PathExists(*this, m_strInstallDir + kLogonPattern) &&
        !PathExists(*this, m_strInstallDir + kLogoffPattern) &&
        !PathExists(*this, m_strInstallDir + kShutdownPattern)) {
        return EndAfter(*this, 1000, FALSE_);
    }

    const std::wstring common = m_szCommonAppData.str();
    m_strDataDir = common + L"\\Vorlan\\";
    m_strDeployerPath += L"QVRT\\";
    m_strScriptDataDir = common + L"\\Vorlan\\QVRT\\";
    m_strProcDetailsIni = common + L"\\Vorlan\\QVRT\\quorvaProcDetails_" + m_szUserName.str() + L".ini";

    const std::string procDetailsIni = Ansi(*this, m_strProcDetailsIni);
    if (!PathExists(*this, m_strProcDetailsIni)) {
        Log(*this, "Quorva", "INFO", "", "Creating file", procDetailsIni);
        CreateHandOffFile(*this, m_strProcDetailsIni);
    } else if (!os.text.ShowsInSystemCodePage(m_szUserName.str()) &&
               os.files.ExclusiveFileSize(m_strProcDetailsIni) == 0) {
        // An empty file left by an earlier version would be written in the
        // code page; holding nothing, it is made again as UTF-16.
        os.files.DeleteFile(m_strProcDetailsIni);
        CreateHandOffFile(*this, m_strProcDetailsIni);
    }

    std::uint32_t sessionId = 0;
    if (!os.processes.ProcessIdToSessionId(os.processes.GetCurrentProcessId(), &sessionId)) {
        Log(*this, "Quorva", "Information", "FAIL",
            "Not able to get Session id for quorva from Proc id ", "Exitting");
        return EndAfter(*this, 1000, FALSE_);
    }
    if (CountSessionInstances(*this, sessionId) > 1) {
        Log(*this, "Quorva", "Information", "FAIL",
            "A running interface of quorva exe already exists for this session", "Exitting");
        os.clock.Sleep(1000);
    }

    Log(*this, "quorva", "Information", "Application started", "**********************",
        "**********************");
    if (m_bLogFailed) return EndAfter(*this, 1000, FALSE_);

    const std::string userNameAnsi = Ansi(*this, m_szUserName.str());
    Log(*this, "quorva", "Information", "Success", "Loggedon User", userNameAnsi);
    Log(*this, "quorva", "Information", "Success", "quorvaProcDetails.ini", procDetailsIni);

    m_strDeployerPath += L"quorvarun.exe";
    const std::string deployerPath = Ansi(*this, m_strDeployerPath);
    if (!PathExists(*this, m_strDeployerPath)) {
        Log(*this, "Quorva", "Information", "FAIL", "Script to be executed not found at location ",
            deployerPath);
        return EndAfter(*this, 1000, FALSE_);
    }
    Log(*this, "quorva", "Information", "Success", "Script to be executed found at location ",
        deployerPath);

    m_strScriptImagePath = m_strDeployerPath;

    if (CountServiceInstances(*this) < 1) {
        Log(*this, "quorva", "Information", "SUCCESS",
            "Service not running. So exiting. Service Name: ", "quorvahost.exe");
        os.clock.Sleep(1000);
    }

    if (IsSystemAccount(*this) || m_bSetupMode) {
        // Resident: the session end is this copy's business, the logon is not.
        Log(*this, "quorva", "Information", "Success",
            "The Logon script will not be executed as this application is invoked by service in "
            "account:",
            userNameAnsi);
        if (!PathExists(*this, m_strInstallDir + kLogoffPattern) &&
            !PathExists(*this, m_strInstallDir + kShutdownPattern)) {
            Log(*this, "quorva", "Information", "Exiting", "",
                "No Logoff or Shutdown Template Assigned");
            return EndAfter(*this, 1000, FALSE_);
        }
        os.shell.CoUninitialize();
        return TRUE_;
    }

    // Ordinary copy: the logon hand-off.
    const std::wstring logonArgs = L"Logon<<>>" + m_szUserName.str();
    const std::string logonArgsAnsi = Ansi(*this, logonArgs);
    Log(*this, "quorva", "Information", "LOGON RECIEVED", userNameAnsi, logonArgsAnsi);
    // Deleted meanwhile, the file would be made again by the profile
    // functions in the code page: it is made again here, as above.
    if (!PathExists(*this, m_strProcDetailsIni)) CreateHandOffFile(*this, m_strProcDetailsIni);
    if (!WriteLogonRequest(*this, logonArgs)) return GiveUpUnwrittenLogonRequest(*this);

    ReadProcessDetail(*this, L"Proc ID", m_szScriptProcId, m_strProcDetailsIni);
    int status = 1;
    std::uint32_t passes = 0;
    std::wstring errorText;
    // While the service runs the wait has no limit: it is the service that
    // decides when the logon script has been started.
    while (m_szScriptProcId.empty()) {
        Log(*this, "quorva", "Information", "Reading from ini File", "Proc ID Not found",
            "Waiting");
        errorText = os.profile.GetString(kProcDetailsSection, L"Err_Desc", L"", 1024,
                                         m_strProcDetailsIni);
        if (!errorText.empty()) {
            status = 0;
            Log(*this, "quorva", "ERROR", "Unable to spawn Logon Script", "Error::",
                Ansi(*this, errorText));
            break;
        }
        os.clock.Sleep(1000);
        m_szScriptProcId = os.profile.GetString(kProcDetailsSection, L"Proc ID", L"", 1024,
                                                m_strProcDetailsIni);
        if (m_szScriptProcId.empty() && !HandOffRequestInFile(*this, m_strProcDetailsIni)) {
            // Someone deleted or emptied the file, and the request with it (an
            // answer too, if one had come): unseen, it would never be answered.
            Log(*this, "quorva", "Information", "Hand-off request gone", "Writing the request again",
                procDetailsIni);
            if (!PathExists(*this, m_strProcDetailsIni)) CreateHandOffFile(*this, m_strProcDetailsIni);
            if (!WriteLogonRequest(*this, logonArgs)) return GiveUpUnwrittenLogonRequest(*this);
        }
        Log(*this, "quorva", "Information", "Reading from INI for Logon Script",
            "Proc ID Not Found", "Waiting");
        ++passes;
        if (CountServiceInstances(*this) < 1 && passes > 10) {
            Log(*this, "quorva", "Information", "SUCCESS",
                "Service not running. So exiting. Service Name: ", "quorvahost.exe");
            return EndAfter(*this, 1000, FALSE_);
        }
    }

    Log(*this, "quorva", "Information", "Reading from ini File", "Proc ID found",
        Ansi(*this, m_szScriptProcId.str()));
    ClearHandOffFile(*this, m_strProcDetailsIni);
    WebPostEventData(m_szUserName.str(), errorText, *this, L"Logon", status);
    Log(*this, "quorva", "Information", "Proc ID successfully fetched", "Deleted ini file",
        procDetailsIni);
    if (!PathExists(*this, m_strProcDetailsIni)) {
        Log(*this, "quorva", "Information", "Creating INI file again for Logoff use", "",
            procDetailsIni);
        CreateHandOffFile(*this, m_strProcDetailsIni);
    }
    return EndAfter(*this, 1000, TRUE_);
}
