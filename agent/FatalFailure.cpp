#include "agent/FatalFailure.h"
#include "agent/QuorvaDlg.h"

namespace {
CQuorvaDlg* g_agent = nullptr;
}  // namespace

void SetFatalFailureAgent(CQuorvaDlg* agent) { g_agent = agent; }
CQuorvaDlg* FatalFailureAgent() { return g_agent; }

void EndAfterFatalFailure() {
    CQuorvaDlg* agent = g_agent;
    if (!agent) return;
    agent->os.processes.Abort();
}
