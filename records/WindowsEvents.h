// The agent's entries in the Windows Application log, for administrators who
// collect event logs rather than read each machine's files. The source is
// "quorva"; its messages are the message table compiled into quorva.exe
// (window/win32/res/quorva_events.mc), which the packages register as the
// source's EventMessageFile. The IDs are a promise to whoever filters on
// them: never renumber one, only add.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include "agent/QuorvaDlg.h"

inline constexpr const wchar_t* kEventSource = L"quorva";

// Each event's insertion strings: %1 is always the user, then what happened.
enum class AgentEvent : std::uint32_t {
    ScriptHandedOff = 1000,      // Information: script (Logon, Logoff, Shutdown), Proc ID
    HandOffNotPossible = 1001,   // Warning: script, reason
    SessionEndIssued = 1002,     // Information: kind (logoff, shutdown, restart), seconds held
    SessionEndLetGo = 1003,      // Warning: reason
    ScriptWaitLimitReached = 1004,  // Error: limit in seconds, script, seconds waited
    ErrorRecorded = 1005,        // Error: the ERROR record's module, val1, val2, val3
};

// The event type (EVENTLOG_*_TYPE) an event is reported with.
std::uint16_t EventType(AgentEvent event);

// Reports one event: the user first, then `what`. Writing an event never
// changes what the agent does: when the source cannot be registered or the
// event cannot be written, one ERROR record says so and no further event is
// tried for the rest of the agent's life.
void ReportAgentEvent(CQuorvaDlg& agent, AgentEvent event, std::initializer_list<std::wstring_view> what);
