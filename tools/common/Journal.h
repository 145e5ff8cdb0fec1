// Journal lines shared by the stand-in programs. Every stand-in appends one
// line per thing it does, so a test can read back what happened and in which
// order, across processes. Lines are UTF-8, each starting with the local time
// to the millisecond and the writer's name.
#pragma once
#include <windows.h>
#include <string>

namespace standin {

inline std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], n, nullptr, nullptr);
    return out;
}

inline std::wstring EnvironmentValue(const wchar_t* name) {
    wchar_t buffer[2048];
    DWORD n = GetEnvironmentVariableW(name, buffer, 2048);
    if (n == 0 || n >= 2048) return std::wstring();
    return std::wstring(buffer, n);
}

// Folder part of a path, with its trailing backslash.
inline std::wstring FolderOf(const std::wstring& path) {
    size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
}

inline std::wstring OwnPath() {
    wchar_t buffer[MAX_PATH * 2];
    DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 2);
    return std::wstring(buffer, n);
}

// Appends one line. Several stand-ins may write the same journal at once: the
// file is opened for appending with full sharing, and a sharing clash from
// another writer's open is retried for a while rather than losing the line.
inline void Append(const std::wstring& journal, const wchar_t* who, const std::wstring& text) {
    if (journal.empty()) return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[32];
    wsprintfA(stamp, "%02u:%02u:%02u.%03u ", now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    std::string line = stamp + Utf8(who) + " " + Utf8(text) + "\r\n";
    for (int attempt = 0; attempt < 200; ++attempt) {
        HANDLE file = CreateFileW(journal.c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, line.data(), (DWORD)line.size(), &written, nullptr);
            CloseHandle(file);
            return;
        }
        Sleep(10);
    }
}

// The system's description of an error code, without its trailing line end.
inline std::wstring SystemMessage(DWORD code) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, (LPWSTR)&text, 0, nullptr);
    std::wstring out = n && text ? std::wstring(text, n) : std::wstring();
    if (text) LocalFree(text);
    while (!out.empty() && (out.back() == L'\r' || out.back() == L'\n' || out.back() == L' '))
        out.pop_back();
    if (out.empty()) out = L"Error " + std::to_wstring(code);
    return out;
}

}  // namespace standin
