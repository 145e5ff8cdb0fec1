// The hand-off file: the one place where the agent asks the resident service
// to start the deployer, and reads the service's answer. One file per user,
// "quorvaProcDetails_<user>.ini" in the QVRT data folder, section
// "Process Details":
//   the agent writes  "Process Name"       the deployer's path
//                     "Process Arguments"  the event word, "<<>>", the user
//   the service adds  "Proc ID"            the deployer process it started
//                  or "Err_Desc"           why it could not start it
// and leaves the request beside its answer. Once the answer is read the file
// is cleared for the next request. The two waits for an answer, at logon and
// at a session end, are their callers' own.
#pragma once
#include <functional>
#include <string>
#include "agent/QuorvaDlg.h"
#include "records/ApplicationLog.h"

// The user's hand-off file, created as CreateEmptyFile does. The profile
// functions write a file in the ANSI code page unless it starts with the
// UTF-16 byte-order mark, so for a user name the page cannot show the file
// starts with that mark: "Process Arguments" then reaches the service with
// the name intact. Every other user's file stays empty, as always.
void CreateHandOffFile(CQuorvaDlg& agent, const std::wstring& path);

// Someone may have deleted the file meanwhile: the profile functions would
// make it again in the code page, and a name the page cannot show would reach
// the service spoilt. It is made again here as CreateHandOffFile makes it.
void RecreateHandOffFileIfGone(CQuorvaDlg& agent, const std::wstring& path);

// The turn at the user's hand-off file. The copies of the agent of one user
// (a second copy in the session, the logon copy beside the resident one, the
// user's other sessions) share the file, and it holds one request: a request
// written over another copy's would take the answer to that one for its own,
// and that script for its own. So a copy holds the user's named mutex from
// writing its request until the answer is read and the file cleared, or the
// hand-off given up; a copy that finds it held waits, a second at a time.
// A copy that ends while holding it leaves it abandoned, and the next takes
// it. A mutex Windows will not make or open, or one held past five minutes
// (anyone may hold a name in the global namespace), is logged as an ERROR
// and the hand-off goes on without its turn. A `wait` given does each
// second's wait: when it returns false (a bound on the caller's waits ran
// out) the copy stops waiting, without the turn, and must not write a request.
class HandOffTurn {
public:
    HandOffTurn(CQuorvaDlg& agent, const char* module, const std::function<bool(std::uint32_t ms)>& wait = {});
    ~HandOffTurn();
    HandOffTurn(const HandOffTurn&) = delete;
    HandOffTurn& operator=(const HandOffTurn&) = delete;

private:
    CQuorvaDlg& agent_;
    platform::Handle mutex_ = 0;
    bool taken_ = false;
};

// Writes a request: for a user the code page cannot show, starts the file
// again as UTF-16; removes what an earlier hand-off may have left (its
// "Process Name" and "Process Arguments", then the answer keys "Proc ID" and
// "Err_Desc"); then writes "Process Name" and "Process Arguments", each
// followed by its log entry (module and first value as the caller's loop
// spells them). False when the file could not be started again, an old key
// could not be removed or a key could not be written: the service cannot see
// the request, would read the name mangled, or its answer could not be told
// from the old one.
struct RequestLogText {
    const char* module;
    const char* text;
};
bool WriteHandOffRequest(CQuorvaDlg& agent, const std::wstring& path, const std::wstring& processName,
                         const std::wstring& arguments, const RequestLogText& log);

// Whether the hand-off file still holds a request the service can take: its
// "Process Name" and "Process Arguments". Someone may have deleted the file,
// or emptied it. A request not found is looked for again, as a held file's
// steps are tried again: a read Windows refused for a moment reads as empty.
bool HandOffRequestInFile(CQuorvaDlg& agent, const std::wstring& path);

// One key of "Process Details" (capacity 1024) into the buffer.
void ReadProcessDetail(CQuorvaDlg& agent, const std::wstring& key, WideBuffer<1024>& buffer,
                       const std::wstring& iniFile);
// The service's answers: the "Proc ID" (capacity 1024), and "Err_Desc" cut
// to the caller's capacity.
std::wstring ReadHandOffProcId(CQuorvaDlg& agent, const std::wstring& path);
std::wstring ReadHandOffError(CQuorvaDlg& agent, const std::wstring& path, std::uint32_t capacity);

// After an answer has been read: the hand-off file is deleted, or, while
// another program holds it for a moment (the service reading it, a virus
// scanner), emptied in place; a file already gone counts as cleared. When the
// file stays held past the tries an ERROR record says so, and the answer
// stays until the next request removes it.
void ClearHandOffFile(CQuorvaDlg& agent, const std::wstring& path);
