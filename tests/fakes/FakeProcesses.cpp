#include "tests/fakes/FakeProcesses.h"
#include "tests/fakes/FakeShell.h"
#include "tests/fakes/RuleBook.h"
#include <algorithm>
#include "platform/Types.h"
#include "tests/fakes/FakeText.h"

namespace fake {
namespace {
bool SameName(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    auto fold = [](wchar_t c) {
        return (c >= L'A' && c <= L'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) ? static_cast<wchar_t>(c + 32) : c;
    };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}
std::wstring ToLower(std::wstring text) {
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
    return text;
}
}  // namespace

std::uint32_t FakeProcesses::Start(const std::wstring& exe, std::uint32_t session) {
    std::uint32_t pid = nextPid_;
    if (reuseIds && !freed_.empty()) {
        pid = freed_.back();
        freed_.pop_back();
        rules::Fired(rules::kPidReused);
    } else {
        nextPid_ += 4;
    }
    table.push_back({pid, exe, session, ++starts_});
    return pid;
}

void FakeProcesses::Exit(std::uint32_t pid) {
    if (reuseIds && IsRunning(pid)) freed_.push_back(pid);
    table.erase(std::remove_if(table.begin(), table.end(), [pid](const Process& p) { return p.pid == pid; }),
                table.end());
}

std::uint64_t FakeProcesses::SerialOf(const std::wstring& exe) const {
    for (const Process& p : table)
        if (SameName(p.exe, exe)) return p.serial;
    return 0;
}

bool FakeProcesses::IsRunningSerial(std::uint64_t serial) const {
    return std::any_of(table.begin(), table.end(), [serial](const Process& p) { return p.serial == serial; });
}

bool FakeProcesses::IsRunning(std::uint32_t pid) const {
    return std::any_of(table.begin(), table.end(), [pid](const Process& p) { return p.pid == pid; });
}

std::size_t FakeProcesses::CountRunning(const std::wstring& exe) const {
    return static_cast<std::size_t>(
        std::count_if(table.begin(), table.end(), [&](const Process& p) { return SameName(p.exe, exe); }));
}

bool FakeProcesses::SnapshotProcesses(std::vector<platform::ProcessEntry>* processes,
                                      std::uint32_t* error) {
    ++snapshots;
    processes->clear();
    if (snapshotNoMemoryFailures > 0) {
        --snapshotNoMemoryFailures;
        lastError = 8;  // ERROR_NOT_ENOUGH_MEMORY
        if (error) *error = lastError;
        return false;
    }
    if (snapshotBadLengthFailures > 0 || snapshotFails) {
        lastError = snapshotBadLengthFailures > 0 ? platform::err::BadLength : platform::err::InvalidHandle;
        if (snapshotBadLengthFailures > 0) {
            --snapshotBadLengthFailures;
            rules::Fired(rules::kSnapshotBadLength);
        }
        if (error) *error = lastError;
        return false;
    }
    processes->clear();
    for (const auto& p : table) processes->push_back({p.pid, p.exe});
    return true;
}

bool FakeProcesses::ProcessIdToSessionId(std::uint32_t processId, std::uint32_t* sessionId) {
    if (sessionLookupFails.count(processId)) {
        lastError = platform::err::AccessDenied;
        return false;
    }
    for (const auto& p : table) {
        if (p.pid == processId) {
            *sessionId = p.session;
            return true;
        }
    }
    lastError = 87;  // ERROR_INVALID_PARAMETER
    return false;
}

bool FakeProcesses::CreateHiddenProcess(const std::wstring& commandLine, std::uint32_t* error) {
    launched.push_back(commandLine);
    if (journal) journal->push_back("CreateProcess " + Utf8(commandLine));
    if (onCreateProcess && !onCreateProcess(commandLine)) {
        lastError = createProcessError;
        if (error) *error = createProcessError;
        return false;
    }
    if (truth && ToLower(commandLine).find(L"shutdown.exe") != std::wstring::npos) {
        const bool forced = commandLine.find(L" -f") != std::wstring::npos;
        if (commandLine.find(L" -l") != std::wstring::npos)
            truth->SessionEnded(EndKind::Logoff, forced, "shutdown.exe");
        else if (commandLine.find(L" -r") != std::wstring::npos)
            truth->SessionEnded(EndKind::Restart, forced, "shutdown.exe");
        else if (commandLine.find(L" -s") != std::wstring::npos)
            truth->SessionEnded(EndKind::PowerOff, forced, "shutdown.exe");
    }
    return true;
}

bool FakeProcesses::GetUserName(std::uint32_t capacity, std::wstring* name) {
    if (userNameFails) {
        lastError = platform::err::AccessDenied;
        return false;
    }
    if (userName.size() + 1 > capacity) {
        lastError = platform::err::InsufficientBuffer;
        return false;
    }
    *name = userName;
    return true;
}

void FakeProcesses::TerminateCurrentProcess(std::uint32_t exitCode) {
    if (journal) journal->push_back("TerminateProcess " + std::to_string(exitCode));
    throw ProcessEnded{};
}

platform::Handle FakeProcesses::OpenNamedMutex(const std::wstring& name) {
    if (mutexOpenFails) {
        lastError = platform::err::AccessDenied;
        return 0;
    }
    const auto index = static_cast<platform::Handle>(std::find(mutexNames.begin(), mutexNames.end(), name) - mutexNames.begin());
    if (index == mutexNames.size()) mutexNames.push_back(name);
    return 0x7000 + index;
}

std::uint64_t FakeProcesses::SerialOfPid(std::uint32_t pid) const {
    for (const Process& p : table)
        if (p.pid == pid) return p.serial;
    return 0;
}

bool FakeProcesses::TryTakeMutexFor(platform::Handle mutex, std::uint32_t pid) {
    std::uint64_t& holder = mutexHolders[mutexNames.at(mutex - 0x7000)];
    if (holder != 0 && holder != SerialOfPid(pid) && IsRunningSerial(holder)) return false;
    holder = SerialOfPid(pid);
    return true;
}

void FakeProcesses::ReleaseMutexFor(platform::Handle mutex, std::uint32_t pid) {
    std::uint64_t& holder = mutexHolders[mutexNames.at(mutex - 0x7000)];
    if (holder == SerialOfPid(pid)) holder = 0;
}

}  // namespace fake
