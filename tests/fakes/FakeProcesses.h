// The process table of the simulated machine: processes with their session,
// the agent's own identity, and the programs it starts.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>
#include "platform/Processes.h"
#include "tests/fakes/GroundTruth.h"

namespace fake {

class FakeProcesses : public platform::IProcesses {
public:
    struct Process {
        std::uint32_t pid;
        std::wstring exe;
        std::uint32_t session;
        std::uint64_t serial = 0;  // which start this is: one per process, never reused
    };

    std::vector<std::string>* journal = nullptr;
    // shutdown.exe started with -l, -s or -r carries its session end out:
    // recorded here.
    GroundTruth* truth = nullptr;

    // Running processes, in start order. The table starts with the idle
    // process (0) and System (4) in session 0, as a snapshot shows them.
    std::vector<Process> table{{0, L"[System Process]", 0}, {4, L"System", 0}};
    std::uint32_t currentProcessId = 0;
    std::wstring userName = L"jsmith";
    std::vector<std::wstring> args{L"C:\\Program Files\\VORLAN\\quorva.exe"};
    std::uint32_t lastError = 0;

    // ---- hooks ----
    bool snapshotFails = false;
    // The next this many snapshots fail with ERROR_BAD_LENGTH, as
    // CreateToolhelp32Snapshot does for a moment while processes come and go.
    int snapshotBadLengthFailures = 0;
    // The next this many snapshots fail with ERROR_NOT_ENOUGH_MEMORY.
    int snapshotNoMemoryFailures = 0;
    // Snapshots asked for, failed ones included.
    int snapshots = 0;
    bool userNameFails = false;
    std::set<std::uint32_t> sessionLookupFails;  // ProcessIdToSessionId fails for these
    // Called with every command line CreateHiddenProcess is given; false
    // makes the start fail with createProcessError. Unset: the start succeeds.
    std::function<bool(const std::wstring&)> onCreateProcess;
    std::uint32_t createProcessError = 2;
    // Every command line CreateHiddenProcess was given, in order.
    std::vector<std::wstring> launched;

    // An identifier is free again once its process ended ("Process
    // Identifiers" / GetCurrentProcessId: "Until the process terminates, the
    // process identifier uniquely identifies the process"): with reuseIds the
    // next start takes the identifier freed last.
    bool reuseIds = false;

    // Starts a process; the ids increase with every start (see reuseIds).
    std::uint32_t Start(const std::wstring& exe, std::uint32_t session);
    // The serial of the running process with this file name, 0 when none.
    std::uint64_t SerialOf(const std::wstring& exe) const;
    bool IsRunningSerial(std::uint64_t serial) const;
    void Exit(std::uint32_t pid);
    bool IsRunning(std::uint32_t pid) const;
    // Running processes with this file name (case-insensitive).
    std::size_t CountRunning(const std::wstring& exe) const;

    // ---- IProcesses ----
    bool SnapshotProcesses(std::vector<platform::ProcessEntry>* processes, std::uint32_t* error) override;
    bool ProcessIdToSessionId(std::uint32_t processId, std::uint32_t* sessionId) override;
    std::uint32_t GetCurrentProcessId() override { return currentProcessId; }
    bool CreateHiddenProcess(const std::wstring& commandLine, std::uint32_t* error) override;
    bool GetUserName(std::uint32_t capacity, std::wstring* name) override;
    std::vector<std::wstring> CommandLineArgs() override { return args; }
    std::uint32_t GetLastError() override { return lastError; }
    // Journals "TerminateProcess <code>" and throws ProcessEnded: nothing of
    // the program runs after it. (abort() would instead show the modal
    // "Runtime Error!" box in a GUI program on msvcrt and wait for a click:
    // "abort", C run-time reference.)
    void TerminateCurrentProcess(std::uint32_t exitCode) override;

    // ---- named mutexes ----
    // A mutex is held by a process (its serial) until given back, or until
    // that process ends: then it is abandoned, and the next try takes it
    // ("WaitForSingleObject function", WAIT_ABANDONED). A handle names its
    // mutex. The ...For forms act for the process `pid` (another agent's).
    bool mutexOpenFails = false;  // CreateMutexW fails with ERROR_ACCESS_DENIED
    std::vector<std::wstring> mutexNames;  // handle 0x7000 + i names mutexNames[i]
    std::map<std::wstring, std::uint64_t> mutexHolders;
    platform::Handle OpenNamedMutex(const std::wstring& name) override;
    bool TryTakeMutex(platform::Handle mutex) override { return TryTakeMutexFor(mutex, currentProcessId); }
    void ReleaseMutex(platform::Handle mutex) override { ReleaseMutexFor(mutex, currentProcessId); }
    void CloseMutex(platform::Handle) override {}
    bool TryTakeMutexFor(platform::Handle mutex, std::uint32_t pid);
    void ReleaseMutexFor(platform::Handle mutex, std::uint32_t pid);

private:
    std::uint64_t SerialOfPid(std::uint32_t pid) const;
    std::uint32_t nextPid_ = 1000;
    std::uint64_t starts_ = 0;
    std::vector<std::uint32_t> freed_;
};

}  // namespace fake
