// The agent's entries in the Application log: register the source, report,
// deregister, for each event. A session writes a handful of events, and a
// handle kept open would outlive every way the agent ends.
#include "records/WindowsEvents.h"
#include <vector>
#include "records/ApplicationLog.h"

std::uint16_t EventType(AgentEvent event) {
    switch (event) {
    case AgentEvent::ScriptHandedOff:
    case AgentEvent::SessionEndIssued:
        return platform::EventlogInformationType;
    case AgentEvent::HandOffNotPossible:
    case AgentEvent::SessionEndLetGo:
        return platform::EventlogWarningType;
    case AgentEvent::ScriptWaitLimitReached:
    case AgentEvent::ErrorRecorded:
        break;
    }
    return platform::EventlogErrorType;
}

void ReportAgentEvent(CQuorvaDlg& agent, AgentEvent event, std::initializer_list<std::wstring_view> what) {
    if (agent.m_bEventLogFailed) return;
    platform::IEventLog& log = agent.os.eventLog;
    std::vector<std::wstring> strings{agent.m_szUserName.str()};
    for (std::wstring_view text : what) strings.emplace_back(text);
    std::uint32_t error = 0;
    const char* call = "RegisterEventSourceW";
    if (const platform::Handle source = log.RegisterSource(kEventSource, &error)) {
        call = "ReportEventW";
        error = log.Report(source, EventType(event), static_cast<std::uint32_t>(event), strings);
        log.DeregisterSource(source);
        if (error == 0) return;
    }
    // Set first: this record is an ERROR record, and reporting it as an event
    // would only fail again.
    agent.m_bEventLogFailed = true;
    Log(agent, {.module = "ReportAgentEvent", .type = "ERROR", .val1 = "Event log entries not written",
                .val2 = call, .val3 = std::to_string(error)});
}
