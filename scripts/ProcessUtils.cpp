// Launching programs hidden and looking at the running processes: what the
// agent needs to hand scripts to the service and to follow them.
#include "scripts/ProcessUtils.h"

#include <string>
#include <vector>

#include "agent/Common.h"
#include "records/ApplicationLog.h"

namespace {

// CreateProcessW refuses a command line of more than 32767 characters,
// terminator included.
constexpr std::size_t kMaxCommandLine = 32767;

const wchar_t* const kServiceImage = L"quorvahost.exe";
const wchar_t* const kAgentImage = L"quorva.exe";

// ERROR_BAD_LENGTH means the system was changing the process list while the
// snapshot was taken; the call is made again at once. Tries in all.
constexpr int kSnapshotTries = 4;

// A snapshot that cannot be taken counts as "nothing runs": the callers then
// take the service as stopped or the script as finished. A snapshot that
// failed only for a moment must not read like that, so it is taken again.
std::vector<platform::ProcessEntry> Snapshot(CQuorvaDlg& agent) {
    std::vector<platform::ProcessEntry> processes;
    for (int tries = 1;; ++tries) {
        std::uint32_t error = 0;
        if (agent.os.processes.SnapshotProcesses(&processes, &error)) return processes;
        processes.clear();
        if (error != platform::err::BadLength || tries == kSnapshotTries) return processes;
    }
}

const WideBuffer<1024>& StoredProcId(const CQuorvaDlg& agent, ProcIdVariant variant) {
    switch (variant) {
        case ProcIdVariant::SessionEnd: return agent.m_szScriptProcId2;
        case ProcIdVariant::Nested: return agent.m_szScriptProcId3;
        case ProcIdVariant::Logon: break;
    }
    return agent.m_szScriptProcId;
}

}  // namespace

bool ExecuteProcess(CQuorvaDlg& agent, const std::wstring& application,
                    const std::wstring& arguments) {
    // The path is quoted so that a folder with blanks ("C:\Program Files\...")
    // cannot make Windows start C:\Program.exe instead. A quote inside the path
    // would end the quoting early, and no Windows path holds one.
    if (application.find(L'"') != std::wstring::npos) return false;
    // No program named, no program started: an empty path would leave the
    // choice to the search order.
    if (application.empty()) return false;
    std::wstring commandLine;
    commandLine.reserve(application.size() + arguments.size() + 3);
    commandLine += L'"';
    commandLine += application;
    commandLine += L"\" ";
    commandLine += arguments;
    if (commandLine.size() + 1 > kMaxCommandLine) return false;
    std::uint32_t error = 0;
    return agent.os.processes.CreateHiddenProcess(commandLine, &error);
}

std::int32_t RunningInterface(CQuorvaDlg& agent, const std::wstring& fileName,
                              ProcIdVariant variant) {
    const std::wstring& storedId = StoredProcId(agent, variant).str();
    std::int32_t count = 0;
    // Every snapshot holds the system's own processes: an empty one was not taken.
    const std::vector<platform::ProcessEntry> processes = Snapshot(agent);
    if (processes.empty()) return -1;
    for (const platform::ProcessEntry& process : processes) {
        if (!EqualsNoCase(process.exeFile, fileName)) continue;
        // The image must occur in the deployer path letter for letter: a
        // look-alike differing only in case is some other program.
        if (agent.m_strScriptImagePath.find(process.exeFile) == std::wstring::npos) continue;
        const std::string imagePath = Ansi(agent, agent.m_strScriptImagePath);
        Log(agent, {.module = "RunningInterface", .val1 = "File Name Matched ", .val2 = imagePath});
        const std::wstring pidText = std::to_wstring(process.processId);
        // Text, not numbers: "0123" is not process 123.
        if (!EqualsNoCase(pidText, storedId)) continue;
        const std::string pidAnsi = Ansi(agent, pidText);
        Log(agent, {.module = "RunningInterface", .val1 = "PID Matched ",
                    .val2 = "A running instance of process found", .val3 = pidAnsi});
        ++count;
    }
    return count;
}

std::int32_t CountServiceInstances(CQuorvaDlg& agent) {
    std::int32_t count = 0;
    for (const platform::ProcessEntry& process : Snapshot(agent)) {
        if (EqualsNoCase(process.exeFile, kServiceImage)) ++count;
    }
    return count;
}

std::int32_t CountSessionInstances(CQuorvaDlg& agent, std::uint32_t sessionId) {
    std::int32_t count = 0;
    for (const platform::ProcessEntry& process : Snapshot(agent)) {
        if (!EqualsNoCase(process.exeFile, kAgentImage)) continue;
        // Another user's agent may not tell us its session; it is not ours to
        // count then (the caller only cares about agents in its own session).
        std::uint32_t processSession = 0;
        if (!agent.os.processes.ProcessIdToSessionId(process.processId, &processSession)) continue;
        if (processSession == sessionId) ++count;
    }
    return count;
}
