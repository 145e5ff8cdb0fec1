// The ordinary copy's logon hand-off: the request for the logon script, the
// wait for the service's answer, the report and the end.
#include <optional>
#include <string>

#include "agent/Common.h"
#include "agent/QuorvaDlg.h"
#include "records/ApplicationLog.h"
#include "records/EventReport.h"
#include "records/WindowsEvents.h"
#include "scripts/HandOffFile.h"
#include "scripts/ProcessUtils.h"
#include "window/StartUp.h"

using platform::BOOL;
using platform::FALSE_;
using platform::TRUE_;

namespace {

using startup::EndAfter;

constexpr const char* kModule = "OnInitDialog";

// Writes the logon request into the hand-off file. False when the service
// cannot be given it.
bool WriteLogonRequest(CQuorvaDlg& agent, const std::wstring& logonArgs) {
    return WriteHandOffRequest(agent, agent.m_strProcDetailsIni, agent.m_strDeployerPath, logonArgs,
                               {kModule, "Writing into ini File"});
}

// A request the service cannot see is never answered: the report says that
// the logon script did not run, and the copy ends.
BOOL GiveUpUnwrittenLogonRequest(CQuorvaDlg& agent) {
    Log(agent, {.module = kModule, .type = "ERROR", .val1 = "Unable to hand off Logon Script",
                .val2 = "Not written to", .val3 = Ansi(agent, agent.m_strProcDetailsIni)});
    WebPostEventData(agent.m_szUserName.str(), L"The request could not be written to the hand-off file", agent,
                     L"Logon", 0);
    ReportAgentEvent(agent, AgentEvent::HandOffNotPossible,
                     {L"Logon", L"The request could not be written to the hand-off file " + agent.m_strProcDetailsIni});
    return EndAfter(agent, 1000, FALSE_);
}

}  // namespace

namespace startup {

BOOL HandOffLogonScript(CQuorvaDlg& agent) {
    const std::wstring& ini = agent.m_strProcDetailsIni;
    const std::string iniAnsi = Ansi(agent, ini);
    const std::wstring logonArgs = L"Logon<<>>" + agent.m_szUserName.str();
    Log(agent, {.module = kModule, .val1 = "LOGON RECIEVED", .val2 = Ansi(agent, agent.m_szUserName.str()),
                .val3 = Ansi(agent, logonArgs)});
    std::optional<HandOffTurn> turn(std::in_place, agent, kModule);
    RecreateHandOffFileIfGone(agent, ini);
    if (!WriteLogonRequest(agent, logonArgs)) return GiveUpUnwrittenLogonRequest(agent);

    ReadProcessDetail(agent, L"Proc ID", agent.m_szScriptProcId, ini);
    int status = 1;
    std::uint32_t passes = 0;
    std::wstring errorText;
    // While the service runs the wait has no limit: it is the service that
    // decides when the logon script has been started.
    while (agent.m_szScriptProcId.empty()) {
        Log(agent, {.module = kModule, .val1 = "Reading from ini File", .val2 = "Proc ID Not found",
                    .val3 = "Waiting"});
        errorText = ReadHandOffError(agent, ini, 1024);
        if (!errorText.empty()) {
            status = 0;
            Log(agent, {.module = kModule, .type = "ERROR", .val1 = "Unable to spawn Logon Script",
                        .val2 = "Error::", .val3 = Ansi(agent, errorText)});
            ReportAgentEvent(agent, AgentEvent::HandOffNotPossible, {L"Logon", errorText});
            break;
        }
        agent.os.clock.Sleep(1000);
        agent.m_szScriptProcId = ReadHandOffProcId(agent, ini);
        if (agent.m_szScriptProcId.empty() && !HandOffRequestInFile(agent, ini)) {
            // Someone deleted or emptied the file, and the request with it (an
            // answer too, if one had come): unseen, it would never be answered.
            Log(agent, {.module = kModule, .val1 = "Hand-off request gone",
                        .val2 = "Writing the request again", .val3 = iniAnsi});
            RecreateHandOffFileIfGone(agent, ini);
            if (!WriteLogonRequest(agent, logonArgs)) return GiveUpUnwrittenLogonRequest(agent);
        }
        Log(agent, {.module = kModule, .val1 = "Reading from INI for Logon Script",
                    .val2 = "Proc ID Not Found", .val3 = "Waiting"});
        ++passes;
        // An answer written in this pass counts, though the service stopped after writing it.
        if (agent.m_szScriptProcId.empty() && CountServiceInstances(agent) < 1 && passes > 10 &&
            ReadHandOffError(agent, ini, 1024).empty()) {
            Log(agent, {.module = kModule, .val1 = "SUCCESS",
                        .val2 = "Service not running. So exiting. Service Name: ", .val3 = "quorvahost.exe"});
            ReportAgentEvent(agent, AgentEvent::HandOffNotPossible,
                             {L"Logon", L"The service quorvahost.exe was not found running"});
            return EndAfter(agent, 1000, FALSE_);
        }
    }

    Log(agent, {.module = kModule, .val1 = "Reading from ini File", .val2 = "Proc ID found",
                .val3 = Ansi(agent, agent.m_szScriptProcId.str())});
    ClearHandOffFile(agent, ini);
    if (status)
        ReportAgentEvent(agent, AgentEvent::ScriptHandedOff, {L"Logon", agent.m_szScriptProcId.str()});
    WebPostEventData(agent.m_szUserName.str(), errorText, agent, L"Logon", status);
    Log(agent, {.module = kModule, .val1 = "Proc ID successfully fetched", .val2 = "Deleted ini file",
                .val3 = iniAnsi});
    if (!PathExists(agent, ini)) {
        Log(agent, {.module = kModule, .val1 = "Creating INI file again for Logoff use", .val3 = iniAnsi});
        CreateHandOffFile(agent, ini);
    }
    turn.reset();
    return EndAfter(agent, 1000, TRUE_);
}

}  // namespace startup
