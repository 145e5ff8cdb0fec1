#include "window/FatalFailure.h"
#include "agent/Common.h"
#include "agent/QuorvaDlg.h"
#include "records/ApplicationLog.h"
#include "records/WindowsEvents.h"

namespace {
CQuorvaDlg* g_agent = nullptr;
}  // namespace

void SetFatalFailureAgent(CQuorvaDlg* agent) { g_agent = agent; }
CQuorvaDlg* FatalFailureAgent() { return g_agent; }

void EndAfterFatalFailure() {
    CQuorvaDlg* agent = g_agent;
    if (!agent) return;
    g_agent = nullptr;  // a failure while this runs ends without it
    // The log says why the agent is gone; a record that cannot be written
    // (the failure may be memory itself) does not keep the process alive.
    // Its event goes first: should the Application log refuse it, this
    // record is still the last the agent writes.
    try {
        ReportAgentEvent(*agent, AgentEvent::ErrorRecorded, {L"Quorva", L"Ended after a failure in the program", L"", L""});
    } catch (...) {
    }
    try {
        Log(*agent, {.module = "Quorva", .type = "ERROR", .val1 = "Ended after a failure in the program", .ownEvent = true});
    } catch (...) {
    }
    // No abort(): in a GUI program its modal box would wait for a click,
    // with a session end held back meanwhile (and for ever in session 0).
    agent->os.processes.TerminateCurrentProcess(3);
}
