// Helpers every part of the agent shares.
#pragma once
#include <string>
#include <string_view>
#include "agent/QuorvaDlg.h"

// The version text of this build, as the log and the reports carry it.
inline constexpr const char* kVersion = "12.0.0.14";
inline constexpr const wchar_t* kVersionW = L"12.0.0.14";

// The one existence test: FindFirstFileW on the wide path (a character the
// ANSI code page lacks must not turn into a "?" wildcard). Wildcards in the
// last component match; a folder is found without its trailing backslash.
bool PathExists(platform::IFiles& files, const std::wstring& path);
inline bool PathExists(CQuorvaDlg& agent, const std::wstring& path) {
    return PathExists(agent.os.files, path);
}

// Wide text in the thread's ANSI code page.
inline std::string Ansi(CQuorvaDlg& agent, const std::wstring& text) {
    return agent.os.text.ToAnsi(text);
}

// Case-insensitive comparison of wide texts (ASCII and Latin-1 letters).
bool EqualsNoCase(std::wstring_view a, std::wstring_view b);
std::wstring ToLowerCopy(std::wstring_view text);

// Text-mode output: every LF becomes CR LF.
std::string ToTextMode(std::string_view bytes);

// "Open for appending and close at once": creates the file empty if missing.
void CreateEmptyFile(CQuorvaDlg& agent, const std::wstring& path);

// The user's hand-off file, created as CreateEmptyFile does. The profile
// functions write a file in the ANSI code page unless it starts with the
// UTF-16 byte-order mark, so for a user name the page cannot show the file
// starts with that mark: "Process Arguments" then reaches the service with
// the name intact. Every other user's file stays empty, as always.
void CreateHandOffFile(CQuorvaDlg& agent, const std::wstring& path);

// After an answer has been read: the hand-off file is deleted, or, while
// another program holds it for a moment (the service reading it, a virus
// scanner), emptied in place; tried five times 50 ms apart. Otherwise the
// next request would read this one's answer.
void ClearHandOffFile(CQuorvaDlg& agent, const std::wstring& path);

// Whether the hand-off file still holds a request the service can take: its
// "Process Name" and "Process Arguments" (the service leaves them beside its
// answer). Someone may have deleted the file, or emptied it.
bool HandOffRequestInFile(CQuorvaDlg& agent, const std::wstring& path);

// One key of a request in the hand-off file. A write refused while another
// program holds the file for a moment is tried again, five times 50 ms apart;
// false when it never succeeded. A request the service cannot see would be
// waited for without end.
bool WriteHandOffKey(CQuorvaDlg& agent, const wchar_t* key, const std::wstring& value,
                     const std::wstring& path);
