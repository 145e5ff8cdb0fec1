// Processes, sessions, the account name and the command line.
#include "platform/win32/WinHeaders.h"
#include <tlhelp32.h>
#include <shellapi.h>
#include "platform/win32/ScopedHandle.h"
#include "platform/win32/Win32Platform.h"

namespace win32 {

bool Processes::SnapshotProcesses(std::vector<platform::ProcessEntry>* processes,
                                  std::uint32_t* error) {
    processes->clear();
    ScopedKernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPALL, 0));
    if (!snapshot) {
        if (error) *error = ::GetLastError();
        return false;
    }
    // The record size is the one this build's headers give (it differs
    // between the 32-bit and the 64-bit build); the call checks it.
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(PROCESSENTRY32W);
    if (!::Process32FirstW(snapshot.Get(), &entry)) {
        if (error) *error = ::GetLastError();
        return false;
    }
    do {
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        processes->push_back({entry.th32ProcessID, entry.szExeFile});
        entry.dwSize = sizeof(PROCESSENTRY32W);
    } while (::Process32NextW(snapshot.Get(), &entry));
    return true;
}

bool Processes::ProcessIdToSessionId(std::uint32_t processId, std::uint32_t* sessionId) {
    DWORD session = 0;
    if (!::ProcessIdToSessionId(processId, &session)) return false;
    if (sessionId) *sessionId = session;
    return true;
}

std::uint32_t Processes::GetCurrentProcessId() {
    return ::GetCurrentProcessId();
}

bool Processes::CreateHiddenProcess(const std::wstring& commandLine, std::uint32_t* error) {
    STARTUPINFOW startup;
    ::GetStartupInfoW(&startup);
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    startup.wShowWindow = SW_HIDE;

    wchar_t currentDirectory[MAX_PATH + 1] = L"";
    const DWORD length = ::GetCurrentDirectoryW(MAX_PATH + 1, currentDirectory);
    const wchar_t* directory = length > 0 && length <= MAX_PATH ? currentDirectory : nullptr;

    // CreateProcessW may write into the command line, so it gets its own copy.
    std::vector<wchar_t> command(commandLine.begin(), commandLine.end());
    command.push_back(L'\0');

    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, directory,
                          &startup, &info)) {
        if (error) *error = ::GetLastError();
        return false;
    }
    ScopedKernelHandle process(info.hProcess);
    ScopedKernelHandle thread(info.hThread);
    return true;
}

bool Processes::GetUserName(std::uint32_t capacity, std::wstring* name) {
    if (capacity == 0) return false;
    std::vector<wchar_t> buffer(capacity, L'\0');
    DWORD size = capacity;
    if (!::GetUserNameW(buffer.data(), &size)) return false;
    buffer.back() = L'\0';
    if (name) *name = buffer.data();
    return true;
}

std::vector<std::wstring> Processes::CommandLineArgs() {
    std::vector<std::wstring> args;
    int count = 0;
    ScopedLocalMemory argv(::CommandLineToArgvW(::GetCommandLineW(), &count));
    if (!argv) return args;
    wchar_t** list = static_cast<wchar_t**>(argv.Get());
    for (int i = 0; i < count; ++i) args.emplace_back(list[i]);
    return args;
}

std::uint32_t Processes::GetLastError() {
    return ::GetLastError();
}

void Processes::TerminateCurrentProcess(std::uint32_t exitCode) {
    ::TerminateProcess(::GetCurrentProcess(), exitCode);
}

platform::Handle Processes::OpenNamedMutex(const std::wstring& name) {
    return reinterpret_cast<platform::Handle>(::CreateMutexW(nullptr, FALSE, name.c_str()));
}

bool Processes::TryTakeMutex(platform::Handle mutex) {
    const DWORD result = ::WaitForSingleObject(reinterpret_cast<HANDLE>(mutex), 0);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

void Processes::ReleaseMutex(platform::Handle mutex) { ::ReleaseMutex(reinterpret_cast<HANDLE>(mutex)); }

void Processes::CloseMutex(platform::Handle mutex) { ::CloseHandle(reinterpret_cast<HANDLE>(mutex)); }

}  // namespace win32
