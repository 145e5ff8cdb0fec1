#include "tests/fakes/FakeTerminalServer.h"

#include <utility>

#include "platform/Types.h"
#include "tests/fakes/FakeText.h"

namespace fake {
namespace {
// The agent whose program runs on this thread; none on the server's thread.
thread_local SessionAgent* tCurrent = nullptr;
}  // namespace

// ---- the agent ----

SessionAgent::SessionAgent(FakeTerminalServer& server, Identity id,
                           std::function<void(platform::Platform&)> program)
    : identity(std::move(id)),
      server_(server),
      program_(std::move(program)),
      clock_(*this),
      processes_(*this),
      platform_{server.machine.files,    server.machine.files, server.machine.registry,
                processes_,              shutdown,             server.machine.eventLog,
                shell,                   clock_,               server.machine.text} {
    shell.journal = &journal;
    shutdown.journal = &journal;
}

platform::SystemTime SessionAgent::Clock::GetLocalTime() { return agent_.server_.machine.clock.GetLocalTime(); }
std::int64_t SessionAgent::Clock::Time64() { return agent_.server_.machine.clock.Time64(); }
bool SessionAgent::Clock::LocalTime64(std::int64_t utcSeconds, platform::SystemTime* local) {
    return agent_.server_.machine.clock.LocalTime64(utcSeconds, local);
}
bool SessionAgent::Clock::FileTimeToLocalSystemTime(std::uint64_t fileTime, platform::SystemTime* local) {
    return agent_.server_.machine.clock.FileTimeToLocalSystemTime(fileTime, local);
}
std::string SessionAgent::Clock::FormatTimeA(const platform::SystemTime& time, const std::string& picture) {
    return agent_.server_.machine.clock.FormatTimeA(time, picture);
}
std::wstring SessionAgent::Clock::FormatTimeW(const platform::SystemTime& time, const std::wstring& picture) {
    return agent_.server_.machine.clock.FormatTimeW(time, picture);
}
void SessionAgent::Clock::Sleep(std::uint32_t milliseconds) {
    agent_.sleeps.push_back(milliseconds);
    agent_.server_.Park(agent_, agent_.server_.machine.clock.nowMs + milliseconds);
}

bool SessionAgent::Processes::SnapshotProcesses(std::vector<platform::ProcessEntry>* processes,
                                                std::uint32_t* error) {
    FakeProcesses& shared = agent_.server_.machine.processes;
    const bool ok = shared.SnapshotProcesses(processes, error);
    lastError_ = shared.lastError;
    return ok;
}

bool SessionAgent::Processes::ProcessIdToSessionId(std::uint32_t processId, std::uint32_t* sessionId) {
    FakeProcesses& shared = agent_.server_.machine.processes;
    const bool ok = shared.ProcessIdToSessionId(processId, sessionId);
    lastError_ = shared.lastError;
    return ok;
}

bool SessionAgent::Processes::CreateHiddenProcess(const std::wstring& commandLine, std::uint32_t*) {
    agent_.launched.push_back(commandLine);
    agent_.journal.push_back("CreateProcess " + Utf8(commandLine));
    return true;
}

void SessionAgent::Processes::TerminateCurrentProcess(std::uint32_t exitCode) {
    agent_.journal.push_back("TerminateProcess " + std::to_string(exitCode));
    throw ProcessEnded{};
}

bool SessionAgent::Processes::GetUserName(std::uint32_t capacity, std::wstring* name) {
    if (agent_.identity.userName.size() + 1 > capacity) {
        lastError_ = platform::err::InsufficientBuffer;
        return false;
    }
    *name = agent_.identity.userName;
    return true;
}

platform::Handle SessionAgent::Processes::OpenNamedMutex(const std::wstring& name) {
    const platform::Handle mutex = agent_.server_.machine.processes.OpenNamedMutex(name);
    lastError_ = agent_.server_.machine.processes.lastError;
    return mutex;
}
bool SessionAgent::Processes::TryTakeMutex(platform::Handle mutex) {
    return agent_.server_.machine.processes.TryTakeMutexFor(mutex, agent_.pid);
}
void SessionAgent::Processes::ReleaseMutex(platform::Handle mutex) {
    agent_.server_.machine.processes.ReleaseMutexFor(mutex, agent_.pid);
}

// ---- the server ----

FakeTerminalServer::FakeTerminalServer() = default;

FakeTerminalServer::~FakeTerminalServer() {
    // Programs that never got to the end of Run must not outlive the machine.
    if (!waiting_.empty()) {
        try {
            Run(machine.clock.nowMs - 1);
        } catch (...) {
        }
    }
}

SessionAgent& FakeTerminalServer::Launch(SessionAgent::Identity identity,
                                         std::function<void(platform::Platform&)> program) {
    const std::int64_t startAt = identity.startAtMs;
    agents_.push_back(std::make_unique<SessionAgent>(*this, std::move(identity), std::move(program)));
    SessionAgent& agent = *agents_.back();
    Schedule(agent, startAt > machine.clock.nowMs ? startAt : machine.clock.nowMs);
    return agent;
}

void FakeTerminalServer::Schedule(SessionAgent& agent, std::int64_t wakeAtMs) {
    agent.wakeAtMs_ = wakeAtMs;
    waiting_.emplace(wakeAtMs, order_++, &agent);
}

void FakeTerminalServer::Park(SessionAgent& agent, std::int64_t wakeAtMs) {
    Schedule(agent, wakeAtMs);
    SessionAgent* next = Next();
    if (next != &agent) {
        Resume(next);
        agent.go_.acquire();
    }
    if (abandoning_) throw Abandon{};
}

SessionAgent* FakeTerminalServer::Next() {
    if (abandoning_ || waiting_.empty()) return nullptr;
    auto [wakeAt, order, agent] = *waiting_.begin();
    if (wakeAt > untilMs_) return nullptr;
    waiting_.erase(waiting_.begin());
    machine.clock.AdvanceTo(wakeAt);
    ++switches_;
    return agent;
}

void FakeTerminalServer::Resume(SessionAgent* next) {
    if (!next) back_.release();
    else if (!next->started) StartThread(*next);
    else next->go_.release();
}

void FakeTerminalServer::StartThread(SessionAgent& agent) {
    agent.started = true;
    agent.pid = machine.processes.Start(L"quorva.exe", agent.identity.session);
    agent.thread_ = std::thread([this, &agent] {
        tCurrent = &agent;
        try {
            agent.program_(agent.os());
        } catch (const Abandon&) {
            agent.abandoned = true;
        } catch (...) {
            agent.failure = std::current_exception();
        }
        tCurrent = nullptr;
        agent.finished = true;
        machine.processes.Exit(agent.pid);
        // The baton goes straight to the next agent: one thread wakes per
        // hand-over, none runs the schedule in between.
        Resume(Next());
    });
}

void FakeTerminalServer::Run(std::int64_t untilMs) {
    untilMs_ = untilMs;
    machine.files.whileOpen = [this](const std::wstring&) {
        // Only an agent's own open hands the baton on, and only to another
        // agent due now; the service's actions never wait.
        const std::int64_t now = machine.clock.nowMs;
        if (switchWhileOpen && tCurrent && !waiting_.empty() && std::get<0>(*waiting_.begin()) <= now) {
            ++openSwitches_;
            Park(*tCurrent, now);
        }
    };
    Resume(Next());
    back_.acquire();

    // What still waits now would wait past the limit: unwind it.
    abandoning_ = true;
    while (!waiting_.empty()) {
        SessionAgent* agent = std::get<2>(*waiting_.begin());
        waiting_.erase(waiting_.begin());
        if (!agent->started) {
            agent->abandoned = true;
            continue;
        }
        agent->go_.release();
        back_.acquire();
    }
    abandoning_ = false;
    for (const auto& agent : agents_)
        if (agent->thread_.joinable()) agent->thread_.join();
    machine.files.whileOpen = nullptr;
    for (const auto& agent : agents_)
        if (agent->failure) std::rethrow_exception(agent->failure);
}

}  // namespace fake
