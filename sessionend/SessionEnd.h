// The pieces of the session-end handling that the first handling and the
// nested one (started after the pending kind changed) have in common.
#pragma once
#include <cstdint>
#include <string>
#include "agent/QuorvaDlg.h"

namespace sessionend {

// The first handling, started by the first request, or a handling nested
// inside it after the kind of the pending session end changed. They differ in
// which stored Proc ID they use, which running-script checks they make and
// what their re-handling asks the service to end.
enum class Level { First, Nested };

// What a WM_QUERYENDSESSION asks for, read from the bits of its lParam.
enum class RequestKind {
    Logoff,            // ENDSESSION_LOGOFF set, whatever else is set
    ShutdownOrRestart, // neither ENDSESSION_LOGOFF nor ENDSESSION_CLOSEAPP
    CloseRequest,      // ENDSESSION_CLOSEAPP alone: Restart Manager wants this program closed
};
RequestKind KindOfRequest(std::intptr_t lParam);

// One whole session-end handling: restart detection, the service and deployer
// checks, the cancel of a timed shutdown, the hand-off, the script wait, the
// re-handling when the kind changed, and the re-issued session end.
void RunHandling(CQuorvaDlg& agent, Level level);

// The change-of-kind check made on every pass of the script wait. True when
// the pending kind differs from the kind that came first; the flag it rested
// on is cleared and m_bFlagForReissue is set.
bool KindChanged(CQuorvaDlg& agent);

// The task-kill requests for the scripts started so far, then one nested
// handling. Returns when the nested handling is over.
void Rehandle(CQuorvaDlg& agent, Level level);

// Whether the resident service runs and the deployer is where the product
// put it. For the first of them missing: its log record (under the module
// given for it), the "EVTNT" report and the event that the session end goes
// on without a script.
enum class Missing { Nothing, Service, Deployer };
Missing ReportMissingServiceOrDeployer(CQuorvaDlg& agent, const char* serviceModule, const char* deployerModule);

// The administrator's bound on a session end's waits: HKLM\SOFTWARE\VORLAN
// "ScriptWaitLimit", a REG_DWORD of seconds; absent or 0, no bound. Read once,
// when the first handling hands its script off.
void ReadScriptWaitLimit(CQuorvaDlg& agent);

// One wait of a session end for the service or the script: Sleep(ms), cut
// short to what is left of the bound. False, without a wait, once the bound
// is reached; the first time, an ERROR record, an event and a report for the
// session end say so. The caller then goes on as after a finished script.
bool WaitWithinLimit(CQuorvaDlg& agent, std::uint32_t ms);

// The file-name part of a path: the text after its last backslash.
std::wstring FileNamePart(const std::wstring& path);

// The system directory (capacity 512) with `file` appended after a backslash;
// empty when the directory cannot be had (such a path is never used).
std::wstring SystemProgramPath(CQuorvaDlg& agent, const wchar_t* file);

// A request the agent answered 0 while it was held (during the start-up) and
// will not issue itself after all: it issues it now, unforced, with one log
// record saying `why`. A logoff is a logoff; a shutdown is a restart when the
// user's "Shutdown Setting" is 4 or the System log holds a recent restart.
void IssueHeldSessionEnd(CQuorvaDlg& agent, std::intptr_t lParam, const char* why);

}  // namespace sessionend
