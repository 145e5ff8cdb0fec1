// The session-end handling: everything between the held-back
// WM_QUERYENDSESSION and the logoff, shutdown or restart that the agent
// issues again itself once the administrator's script has run.
#include <algorithm>
#include "agent/Common.h"
#include "records/ApplicationLog.h"
#include "records/EventReport.h"
#include "records/WindowsEvents.h"
#include "scripts/HandOffFile.h"
#include "scripts/ProcessUtils.h"
#include "sessionend/SessionEnd.h"
#include "system/Registry.h"
#include "system/RestartCheck.h"

namespace sessionend {
namespace {

// The handling's log records carry three spellings of its own name; other
// programs read the log, so each record keeps the spelling it always had.
constexpr const char* kHandling = "functionToForgetShutdown";
constexpr const char* kHandlingEnd = "FunctionToForgetShutDown";
constexpr const char* kHandlingDeployer = "FunctionToForgetShutdown";
constexpr const char* kHandOff = "funcToFrgtShutdown";
constexpr const char* kAbort = "Abort System Shutdown";
constexpr const char* kCheck = "While";
constexpr const char* kInfo = "Information";

constexpr std::uint32_t kErrorDescCapacity = 500;
constexpr std::uint32_t kSystemDirCapacity = 512;

constexpr std::uint32_t kHandOffPollMs = 1000;
constexpr std::uint32_t kScriptPollMs = 5000;

std::string A(CQuorvaDlg& agent, const std::wstring& text) { return Ansi(agent, text); }

// AdjustTokenPrivileges also succeeds for a token that does not hold the
// privilege at all (a standard user on a server edition, or wherever the
// "Shut down the system" right is withheld), with ERROR_NOT_ALL_ASSIGNED:
// only a success that leaves 0 has enabled it.
bool EnableShutdownPrivilege(platform::IShutdown& shutdown, platform::Handle token) {
    std::uint32_t error = 0;
    return shutdown.SetShutdownPrivilege(token, true, &error) && error == platform::err::Success;
}

void DisableShutdownPrivilege(platform::IShutdown& shutdown, platform::Handle token) {
    std::uint32_t ignored = 0;
    shutdown.SetShutdownPrivilege(token, false, &ignored);
}

// The user's Explorer "Shutdown Setting" 4: the last choice was a restart.
bool ShutdownSettingSaysRestart(CQuorvaDlg& agent) {
    CRegistry registry(agent.os.registry);
    std::uint32_t setting = 0;
    return registry.ReadShutdownSetting(&setting) && setting == 4;
}

// Whether a pending shutdown is really a restart. Only a restart found here
// or earlier makes the final step reboot instead of powering off.
void DetectRestart(CQuorvaDlg& agent, Level level) {
    if (agent.m_bFlagForRestart) return;
    Log(agent, {.module = kHandling, .val1 = "Success",
                .val2 = "Calling function to Check whether a Restart event was Recieved"});
    // The first handling reads the event log only for a shutdown that has a
    // script to run; a nested one always looks.
    bool readEventLog = level == Level::Nested ||
                        (agent.m_strEventArgs.find(L"shutdown<<>>") != std::wstring::npos &&
                         PathExists(agent, agent.m_strInstallDir + L"QVRT\\Trigger\\*_Shutdown.xml"));
    if (readEventLog) functionToCheckRestart(agent);
    if (agent.m_bFlagForShutDown && !agent.m_bFlagForRestart && ShutdownSettingSaysRestart(agent))
        agent.m_bFlagForRestart = 1;
}

// False, after the "EVTNT" report and the end of the agent, when the resident
// service or the deployer is missing: nobody could run the script, and the
// agent will not issue the session end itself, so the request it holds is
// let go, as the window's own checks let it go.
bool ServiceAndDeployerPresent(CQuorvaDlg& agent) {
    if (ReportMissingServiceOrDeployer(agent, kHandlingEnd, kHandlingDeployer) == Missing::Nothing) return true;
    agent.m_bLetSessionEndGo = true;
    agent.EndAgent();
    return false;
}

// A timed shutdown someone scheduled would cut the script short: cancel it
// with the shutdown program, and if that cannot even be started, with the
// older "-a" spelling and AbortSystemShutdown under the shutdown privilege.
void CancelTimedShutdown(CQuorvaDlg& agent, const std::wstring& shutdownProgram) {
    Log(agent, {.module = kHandling, .val1 = "Aborting Shutdown", .val2 = A(agent, shutdownProgram),
                .val3 = A(agent, agent.m_szUserName.str())});
    if (!ExecuteProcess(agent, shutdownProgram, L"/a")) {
        bool cancelled = ExecuteProcess(agent, shutdownProgram, L"-a");
        platform::IShutdown& shutdown = agent.os.shutdown;
        if (platform::Handle token = shutdown.OpenProcessToken()) {
            if (EnableShutdownPrivilege(shutdown, token)) cancelled = shutdown.AbortSystemShutdown();
            DisableShutdownPrivilege(shutdown, token);
            shutdown.CloseToken(token);
        }
        if (!cancelled) Log(agent, {.module = kAbort, .val1 = "Failure"});
    }
    Log(agent, {.module = kAbort, .val1 = "Success", .val2 = A(agent, agent.m_szUserName.str())});
}

// Writes the request into the hand-off file. False when the service cannot
// be given it.
bool WriteRequest(CQuorvaDlg& agent) {
    return WriteHandOffRequest(agent, agent.m_strProcDetailsIni, agent.m_strDeployerPath, agent.m_strEventArgs,
                               {kHandling, "Writing into INI for Logoff/Shutdown Script"});
}

// A request the service cannot see is never answered: the report says that
// no script ran, and the held session end is let go as when the service is
// gone.
bool GiveUpUnwrittenRequest(CQuorvaDlg& agent) {
    Log(agent, {.module = kHandling, .type = "ERROR", .val1 = "Unable to hand off Logoff/Shutdown Script",
                .val2 = "Not written to", .val3 = A(agent, agent.m_strProcDetailsIni)});
    WebPostEventData(agent.m_szUserName.str(), L"The request could not be written to the hand-off file", agent,
                     agent.m_szEventName.str(), 0);
    ReportAgentEvent(agent, AgentEvent::SessionEndLetGo,
                     {L"The request could not be written to the hand-off file " + agent.m_strProcDetailsIni});
    agent.m_bLetSessionEndGo = true;
    agent.EndAgent();
    return false;
}

// Asks the resident service, in the user's hand-off turn, to start the
// deployer with the pending event's arguments and waits, while the service
// runs and within the administrator's limit, until it names the script's
// process or says why it could not start it. `procId` receives the
// identifier; it stays empty when the limit ran out first. False, after the
// agent has ended and let the session end go, when the service is gone for
// good (ten polls, as at logon) or cannot be given the request.
bool HandOffScript(CQuorvaDlg& agent, Level level, WideBuffer<1024>& procId,
                   const std::wstring& deployerFile) {
    const std::wstring& ini = agent.m_strProcDetailsIni;
    const HandOffTurn turn(agent, kHandling, [&agent](std::uint32_t ms) { return WaitWithinLimit(agent, ms); });
    // The administrator's limit ran out while another copy had the turn: the
    // end goes on as after a finished script, and the other copy's request
    // stays untouched.
    if (agent.m_bScriptWaitLimitReached) return true;
    RecreateHandOffFileIfGone(agent, ini);
    Log(agent, {.module = kHandOff, .val1 = "ExecuteProcess", .val2 = A(agent, agent.m_strDeployerPath),
                .val3 = A(agent, agent.m_strEventArgs)});
    if (!WriteRequest(agent)) return GiveUpUnwrittenRequest(agent);

    if (level == Level::First)
        ReadProcessDetail(agent, L"Proc ID", procId, ini);
    else
        procId = ReadHandOffProcId(agent, ini);
    Log(agent, {.module = kHandling, .val1 = "Reading from INI for Logoff/Shutdown Script", .val2 = "Proc ID",
                .val3 = A(agent, procId.str())});

    int status = 1;
    std::uint32_t passes = 0;
    WideBuffer<kErrorDescCapacity> errorDesc;
    while (procId.empty()) {
        errorDesc = ReadHandOffError(agent, ini, kErrorDescCapacity);
        if (!errorDesc.empty()) {
            Log(agent, {.module = kHandling, .type = "ERROR",
                        .val1 = "Unable to spawn Logoff/Shutdown Script", .val2 = "Error:",
                        .val3 = A(agent, errorDesc.str())});
            ReportAgentEvent(agent, AgentEvent::HandOffNotPossible, {agent.m_szEventName.str(), errorDesc.str()});
            status = 0;
            break;
        }
        if (!WaitWithinLimit(agent, kHandOffPollMs)) {
            // No answer within the bound: the request is taken back, so that
            // the service does not start the script later, or the next logon
            // read this one's answer.
            ClearHandOffFile(agent, ini);
            return true;
        }
        Log(agent, {.module = kHandling, .val1 = "Reading from INI for Logoff/Shutdown Script",
                    .val2 = "Proc ID Not Found", .val3 = "Waiting"});
        procId = ReadHandOffProcId(agent, ini);
        if (procId.empty() && !HandOffRequestInFile(agent, ini)) {
            // Someone deleted or emptied the file, and the request with it (an
            // answer too, if one had come): unseen, it would never be answered.
            Log(agent, {.module = kHandling, .val1 = "Hand-off request gone",
                        .val2 = "Writing the request again", .val3 = A(agent, ini)});
            RecreateHandOffFileIfGone(agent, ini);
            if (!WriteRequest(agent)) return GiveUpUnwrittenRequest(agent);
        }
        // An answer written in this pass counts, though the service stopped after writing it.
        if (procId.empty() && ++passes > 10 && CountServiceInstances(agent) < 1 &&
            ReadHandOffError(agent, ini, kErrorDescCapacity).empty()) {
            Log(agent, {.module = kHandlingEnd, .val1 = "SUCCESS",
                        .val2 = "Service not running. So exiting. Service Name: ", .val3 = "quorvahost.exe"});
            ReportAgentEvent(agent, AgentEvent::SessionEndLetGo,
                             {L"The service quorvahost.exe was not found running"});
            agent.m_bLetSessionEndGo = true;
            agent.EndAgent();
            return false;
        }
    }
    Log(agent, {.module = kHandling, .val1 = "Reading from INI for Logoff/Shutdown Script",
                .val2 = "Proc ID found", .val3 = A(agent, procId.str())});

    // The answer has been read; an empty file is left for the next request.
    ClearHandOffFile(agent, ini);
    if (!procId.empty())
        ReportAgentEvent(agent, AgentEvent::ScriptHandedOff, {agent.m_szEventName.str(), procId.str()});
    WebPostEventData(agent.m_szUserName.str(), errorDesc.str(), agent, agent.m_szEventName.str(), status);
    Log(agent, {.module = kHandling, .val1 = "Proc ID successfully read from INI",
                .val2 = "Deleted INI from location :", .val3 = A(agent, ini)});
    if (!PathExists(agent, ini)) {
        CreateHandOffFile(agent, ini);
        Log(agent, {.module = kHandling, .val1 = "Created INI for future use at location :",
                    .val2 = A(agent, ini)});
    }
    Log(agent, {.module = kHandling, .val1 = "ExecuteProcess at Logoff/Shutdown Started process",
                .val2 = A(agent, deployerFile)});
    return true;
}

// Whether a script this level waits for still runs. The first handling also
// waits for a logon script that may still be going. A look Windows could not
// take tells nothing: the script counts as running, and is looked for again.
bool ScriptRunning(CQuorvaDlg& agent, Level level, const std::wstring& deployerFile) {
    if (level == Level::Nested) return RunningInterface(agent, deployerFile, ProcIdVariant::Nested) != 0;
    if (RunningInterface(agent, deployerFile, ProcIdVariant::SessionEnd) != 0) return true;
    return RunningInterface(agent, deployerFile, ProcIdVariant::Logon) != 0;
}

// A script the bound has given up on counts as over.
bool StillWaitingFor(CQuorvaDlg& agent, Level level, const std::wstring& deployerFile) {
    return !agent.m_bScriptWaitLimitReached && ScriptRunning(agent, level, deployerFile);
}

void WaitForScript(CQuorvaDlg& agent, Level level, const std::wstring& deployerFile) {
    while (StillWaitingFor(agent, level, deployerFile)) {
        Log(agent, {.module = kHandling, .val1 = "Waiting", .val2 = " for Application ::",
                    .val3 = A(agent, deployerFile)});
        if (!WaitWithinLimit(agent, kScriptPollMs)) break;
        if (KindChanged(agent)) break;
    }
}

struct SessionEndCommand {
    std::uint32_t exitWindowsFlags;
    const wchar_t* shutdownArguments;
    const char* logText;
    const wchar_t* eventText;
};

SessionEndCommand CommandFor(const CQuorvaDlg& agent) {
    using namespace platform;
    if (!agent.m_bFlagForShutDown) return {EwxLogoff | EwxForce, L"-l -f -t 00", "Logging Off", L"logoff"};
    if (agent.m_bFlagForRestart) return {EwxReboot | EwxForce, L"-r -f -t 00", "Rebooting", L"restart"};
    return {EwxShutdown | EwxForce | EwxPowerOff, L"-s -f -t 00", "Shutting down", L"shutdown"};
}

// Issues the held-back session end again, forced, once no script runs, and
// ends the agent. A logoff needs no privilege; a shutdown or restart that the
// account may not make, or that neither ExitWindowsEx nor the shutdown
// program could issue, is left to Windows: the held request is let go (the
// script has run), the log says so, and the agent ends.
void IssueSessionEnd(CQuorvaDlg& agent, Level level, const std::wstring& deployerFile,
                     const std::wstring& shutdownProgram) {
    // A deeper level has let the request go already: nothing is left to issue.
    if (agent.m_bLetSessionEndGo) return;
    // A look at the processes that Windows could not take (a snapshot that
    // failed) reads as "nothing runs" and ends the wait early; a script
    // found running again here is waited for again, or the held session
    // end would never be issued.
    // Windows was answered 0 and waits for this copy: it returns only having
    // issued the session end or let it go, so the wait goes on while the
    // script runs (a kind that changed meanwhile is issued as the latest), or
    // until the administrator's limit gives up on it.
    while (StillWaitingFor(agent, level, deployerFile)) WaitForScript(agent, level, deployerFile);
    Log(agent, {.module = kHandlingEnd, .val1 = "Script ended", .val2 = "Exiting"});

    platform::IShutdown& shutdown = agent.os.shutdown;
    const platform::Handle token = shutdown.OpenProcessToken();
    const bool enabled = token != 0 && EnableShutdownPrivilege(shutdown, token);
    const SessionEndCommand command = CommandFor(agent);
    if (enabled || !agent.m_bFlagForShutDown) {
        const bool issued = shutdown.ExitWindowsEx(command.exitWindowsFlags, 0);
        if (ExecuteProcess(agent, shutdownProgram, command.shutdownArguments) || issued) {
            Log(agent, {.module = kHandlingEnd, .val1 = "exe stopped", .val2 = command.logText});
            ReportAgentEvent(agent, AgentEvent::SessionEndIssued,
                             {command.eventText, std::to_wstring(agent.m_uScriptWaitedMs / 1000)});
        } else {
            Log(agent, {.module = kHandlingEnd, .type = "ERROR", .val1 = "Session end not issued",
                        .val2 = "ExitWindowsEx and the shutdown program failed", .val3 = command.logText});
            agent.m_bLetSessionEndGo = true;
        }
    } else {
        Log(agent, {.module = kHandlingEnd, .type = "ERROR", .val1 = "SeShutdownPrivilege not held",
                    .val2 = "Session end left to Windows", .val3 = command.logText});
        agent.m_bLetSessionEndGo = true;
    }
    if (token) {
        DisableShutdownPrivilege(shutdown, token);
        shutdown.CloseToken(token);
    }
    agent.EndAgent();
}

}  // namespace

Missing ReportMissingServiceOrDeployer(CQuorvaDlg& agent, const char* serviceModule, const char* deployerModule) {
    if (CountServiceInstances(agent) <= 0) {
        Log(agent, {.module = serviceModule, .val1 = "SUCCESS",
                    .val2 = "Service not running. So exiting. Service Name: ", .val3 = "quorvahost.exe"});
        WebPostEventData(agent.m_szUserName.str(), L"The service quorvahost.exe was not found running", agent,
                         L"EVTNT", 0);
        ReportAgentEvent(agent, AgentEvent::SessionEndLetGo, {L"The service quorvahost.exe was not found running"});
        return Missing::Service;
    }
    if (!PathExists(agent, agent.m_strDeployerPath)) {
        Log(agent, {.module = deployerModule, .val1 = "SUCCESS", .val2 = "quorvarun.exe was not found on the loaction",
                    .val3 = A(agent, agent.m_strDeployerPath)});
        WebPostEventData(agent.m_szUserName.str(), L"quorvarun.exe was not found on the location", agent, L"EVTNT",
                         0);
        ReportAgentEvent(agent, AgentEvent::SessionEndLetGo,
                         {L"quorvarun.exe was not found on the location " + agent.m_strDeployerPath});
        return Missing::Deployer;
    }
    return Missing::Nothing;
}

void ReadScriptWaitLimit(CQuorvaDlg& agent) {
    CRegistry registry(agent.os.registry);
    std::uint32_t seconds = 0;
    agent.m_uScriptWaitLimit = registry.ReadProductNumber(L"ScriptWaitLimit", &seconds) ? seconds : 0;
}

bool WaitWithinLimit(CQuorvaDlg& agent, std::uint32_t ms) {
    const bool bounded = agent.m_uScriptWaitLimit != 0;
    const std::uint64_t limitMs = std::uint64_t{agent.m_uScriptWaitLimit} * 1000;
    if (!bounded || agent.m_uScriptWaitedMs < limitMs) {
        const std::uint32_t wait =
            bounded ? static_cast<std::uint32_t>(std::min<std::uint64_t>(ms, limitMs - agent.m_uScriptWaitedMs)) : ms;
        agent.os.clock.Sleep(wait);
        agent.m_uScriptWaitedMs += wait;
        return true;
    }
    if (agent.m_bScriptWaitLimitReached) return false;
    agent.m_bScriptWaitLimitReached = true;
    const std::wstring limit = std::to_wstring(agent.m_uScriptWaitLimit);
    const std::wstring waited = std::to_wstring(agent.m_uScriptWaitedMs / 1000);
    const std::wstring script = FileNamePart(agent.m_strDeployerPath) + L" " + agent.m_strEventArgs;
    Log(agent, {.module = kHandlingEnd, .type = "ERROR", .val1 = "Script wait limit reached",
                .val2 = "ScriptWaitLimit " + A(agent, limit) + " seconds, waited " + A(agent, waited) + " seconds",
                .val3 = A(agent, script), .ownEvent = true});
    ReportAgentEvent(agent, AgentEvent::ScriptWaitLimitReached, {limit, script, waited});
    WebPostEventData(agent.m_szUserName.str(), L"The script wait limit of " + limit + L" seconds was reached",
                     agent, agent.m_szEventName.str(), 0);
    return false;
}

std::wstring FileNamePart(const std::wstring& path) {
    std::size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring SystemProgramPath(CQuorvaDlg& agent, const wchar_t* file) {
    const std::wstring directory = agent.os.shell.GetSystemDirectory(kSystemDirCapacity);
    // Without the directory the path would start at the root of the current
    // drive, where anyone may put a file of that name.
    if (directory.empty()) return std::wstring();
    return directory + L"\\" + file;
}

void IssueHeldSessionEnd(CQuorvaDlg& agent, std::intptr_t lParam, const char* why) {
    using namespace platform;
    // The restart check below may take seconds; a request that comes
    // meanwhile must find the reason in place (a handling that ended may
    // have removed it), or Vista and later end the agent before it issues.
    agent.RegisterBlockReason();
    const bool shutdown = KindOfRequest(lParam) == RequestKind::ShutdownOrRestart;
    bool restart = false;
    if (shutdown) {
        restart = agent.m_bFlagForRestart || ShutdownSettingSaysRestart(agent);
        if (!restart) {
            functionToCheckRestart(agent);
            restart = agent.m_bFlagForRestart != 0;
        }
    }
    // Unforced: the other programs of the session may still save their work.
    const std::uint32_t flags = !shutdown ? EwxLogoff : restart ? EwxReboot : EwxShutdown | EwxPowerOff;
    const char* what = !shutdown ? "Logging Off" : restart ? "Rebooting" : "Shutting down";
    Log(agent, {.module = "IssueHeldSessionEnd", .val1 = "Issuing held session end unforced", .val2 = why,
                .val3 = what});
    ReportAgentEvent(agent, AgentEvent::SessionEndLetGo, {agent.os.text.FromAnsi(why)});
    IShutdown& system = agent.os.shutdown;
    const Handle token = system.OpenProcessToken();
    if (token) EnableShutdownPrivilege(system, token);
    if (!system.ExitWindowsEx(flags, 0)) {
        // Windows was told to wait and cannot be asked again: a shutdown or
        // restart without the privilege stays undone, and the log says so.
        Log(agent, {.module = "IssueHeldSessionEnd", .type = "ERROR", .val1 = "Held session end not issued",
                    .val2 = why, .val3 = what});
    }
    if (token) {
        DisableShutdownPrivilege(system, token);
        system.CloseToken(token);
    }
}

bool KindChanged(CQuorvaDlg& agent) {
    bool changed = false;
    if (agent.m_bFlagForFirstTimeLogoff) {
        Log(agent, {.module = kCheck, .type = "m_bFlagForFirstTimeLogoff ", .val1 = "Success"});
        Log(agent, {.module = kCheck, .type = " m_uICountForOnce >1  ", .val1 = "Success"});
        if (agent.m_bFlagForShutDown) {
            Log(agent, {.module = kCheck, .type = " m_bFlagForShutDown ", .val1 = "Success"});
            agent.m_bFlagForFirstTimeLogoff = 0;
            changed = true;
        }
    } else if (agent.m_bFlagForFirstShutDown) {
        Log(agent, {.module = kCheck, .type = "m_bFlagForFirstShutDown ", .val1 = "Success"});
        Log(agent, {.module = kCheck, .type = "m_uICountForOnce >1", .val1 = "Success"});
        if (!agent.m_bFlagForShutDown) {
            Log(agent, {.module = kCheck, .type = "!m_bFlagForShutDown", .val1 = "Success"});
            agent.m_bFlagForFirstShutDown = 0;
            changed = true;
        }
    }
    if (changed) agent.m_bFlagForReissue = 1;
    return changed;
}

void RunHandling(CQuorvaDlg& agent, Level level) {
    DetectRestart(agent, level);
    std::wstring shutdownProgram;
    if (level == Level::Nested) shutdownProgram = SystemProgramPath(agent, L"shutdown.exe");
    if (!ServiceAndDeployerPresent(agent)) return;
    if (level == Level::First) shutdownProgram = SystemProgramPath(agent, L"shutdown.exe");
    // The local system account's copy answers the session end but leaves the
    // scripts and the re-issue to the copy in the user's session.
    if (IsSystemAccount(agent)) return;

    CancelTimedShutdown(agent, shutdownProgram);
    if (level == Level::First) ReadScriptWaitLimit(agent);
    const std::wstring deployerFile = FileNamePart(agent.m_strDeployerPath);
    // Once the administrator's limit has run out, a handling nested after a
    // change of kind hands off no script that nobody would wait for.
    if (!agent.m_bScriptWaitLimitReached &&
        !HandOffScript(agent, level, level == Level::First ? agent.m_szScriptProcId2 : agent.m_szScriptProcId3,
                       deployerFile))
        return;
    ++agent.m_uICountForOnce;
    WaitForScript(agent, level, deployerFile);
    if (agent.m_bFlagForReissue) Rehandle(agent, level);
    IssueSessionEnd(agent, level, deployerFile, shutdownProgram);
}

}  // namespace sessionend

void CQuorvaDlg::functionToForgetShutdown() { sessionend::RunHandling(*this, sessionend::Level::First); }
