// Processes, sessions and the identity of the running account.
#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "platform/Types.h"

namespace platform {

// The two fields of PROCESSENTRY32W the agent uses.
struct ProcessEntry {
    std::uint32_t processId = 0;
    std::wstring exeFile;  // file name only, as szExeFile holds it
};

class IProcesses {
public:
    virtual ~IProcesses() = default;

    // CreateToolhelp32Snapshot(TH32CS_SNAPALL) walked with Process32FirstW /
    // Process32NextW (dwSize = sizeof(PROCESSENTRY32W)). False when no snapshot
    // was taken or its first record could not be read, with the last error in
    // *error (ERROR_BAD_LENGTH when the system was changing the process list
    // and the call is worth making again).
    virtual bool SnapshotProcesses(std::vector<ProcessEntry>* processes, std::uint32_t* error) = 0;

    // ProcessIdToSessionId.
    virtual bool ProcessIdToSessionId(std::uint32_t processId, std::uint32_t* sessionId) = 0;

    virtual std::uint32_t GetCurrentProcessId() = 0;

    // CreateProcessW(NULL, commandLine, NULL, NULL, TRUE, 0, NULL, <current
    // directory>, <own STARTUPINFOW with STARTF_USESHOWWINDOW|STARTF_USESTDHANDLES
    // and SW_HIDE>, ...). The process and thread handles are closed at once.
    virtual bool CreateHiddenProcess(const std::wstring& commandLine, std::uint32_t* error) = 0;

    // GetUserNameW into a buffer of the given capacity. False on failure.
    virtual bool GetUserName(std::uint32_t capacity, std::wstring* name) = 0;

    // CommandLineToArgvW(GetCommandLineW()): the program and its arguments.
    virtual std::vector<std::wstring> CommandLineArgs() = 0;

    // GetLastError of the calling thread, as it stands.
    virtual std::uint32_t GetLastError() = 0;

    // TerminateProcess(GetCurrentProcess(), exitCode): the end of the process
    // when the C++ library gives up. Unlike abort(), which in a GUI program
    // shows a modal box and waits for a click, it ends at once.
    virtual void TerminateCurrentProcess(std::uint32_t exitCode) = 0;

    // A named mutex that copies of the agent take in turn. OpenNamedMutex is
    // CreateMutexW(NULL, FALSE, name): made, or opened when it exists; 0 when
    // neither (the last error says why). TryTakeMutex is
    // WaitForSingleObject(mutex, 0): true when this process now holds it,
    // also when its holder ended without releasing it (WAIT_ABANDONED).
    // ReleaseMutex gives a held mutex back; CloseMutex closes the handle.
    virtual Handle OpenNamedMutex(const std::wstring& name) = 0;
    virtual bool TryTakeMutex(Handle mutex) = 0;
    virtual void ReleaseMutex(Handle mutex) = 0;
    virtual void CloseMutex(Handle mutex) = 0;
};

}  // namespace platform
