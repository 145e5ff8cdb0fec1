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
