// A terminal server on the simulated machine: many agent processes of many
// users at once, sharing the machine's files, registry, System log, process
// table and virtual clock, each with its own identity (process id, user name,
// command line, session), its own window and its own shutdown calls.
//
// Each agent runs its program on an OS thread of its own, but only one runs
// at a time: the baton passes at every Sleep of the running agent and, when
// another agent is due at the same moment, at every open that AppendBytes or
// CreateNewFile holds (FakeFiles::whileOpen), so that one agent's open meets
// another's as it does on Windows. The agent
// itself stays single-threaded and takes no lock; which agent runs next is
// decided here, deterministically: the one with the earliest wake-up time,
// and among equal times the one that stopped first. Before an agent wakes,
// the clock advances to its wake-up time and fires what was scheduled up to
// then (the stand-in service's polls and answers), on the thread that hands
// the baton on, while every other agent stands still.
//
// Single-agent tests keep using FakeMachine directly; nothing here changes it
// except the whileOpen hook of its files, which Run sets and clears.
#pragma once
#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <semaphore>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/fakes/FakeMachine.h"

namespace fake {

class FakeTerminalServer;

// One agent process: what is its own, and views onto the shared machine.
class SessionAgent {
public:
    struct Identity {
        std::wstring userName;
        std::uint32_t session = 1;
        std::vector<std::wstring> args;  // the command line, program first
        std::int64_t startAtMs = 0;      // absolute virtual time of the start
    };

    SessionAgent(FakeTerminalServer& server, Identity identity,
                 std::function<void(platform::Platform&)> program);
    SessionAgent(const SessionAgent&) = delete;
    SessionAgent& operator=(const SessionAgent&) = delete;

    const Identity identity;
    std::uint32_t pid = 0;  // given when the process starts

    // This agent's effects in order, as FakeMachine's journal spells them
    // ("CreateProcess ...", "ExitWindowsEx ...", "EndDialog IDOK", ...);
    // file and profile effects go to the shared machine's journal.
    std::vector<std::string> journal;
    FakeShell shell;
    FakeShutdown shutdown;
    // Every Sleep of this agent, in order.
    std::vector<std::uint32_t> sleeps;
    // Every command line this agent started.
    std::vector<std::wstring> launched;

    bool started = false;
    bool finished = false;   // the program returned (or threw)
    bool abandoned = false;  // still waiting when Run's time limit came
    std::exception_ptr failure;

    platform::Platform& os() { return platform_; }

private:
    friend class FakeTerminalServer;

    class Clock : public platform::IClock {
    public:
        explicit Clock(SessionAgent& agent) : agent_(agent) {}
        platform::SystemTime GetLocalTime() override;
        std::int64_t Time64() override;
        bool LocalTime64(std::int64_t utcSeconds, platform::SystemTime* local) override;
        bool FileTimeToLocalSystemTime(std::uint64_t fileTime, platform::SystemTime* local) override;
        std::string FormatTimeA(const platform::SystemTime& time, const std::string& picture) override;
        std::wstring FormatTimeW(const platform::SystemTime& time, const std::wstring& picture) override;
        void Sleep(std::uint32_t milliseconds) override;

    private:
        SessionAgent& agent_;
    };

    class Processes : public platform::IProcesses {
    public:
        explicit Processes(SessionAgent& agent) : agent_(agent) {}
        bool SnapshotProcesses(std::vector<platform::ProcessEntry>* processes, std::uint32_t* error) override;
        bool ProcessIdToSessionId(std::uint32_t processId, std::uint32_t* sessionId) override;
        std::uint32_t GetCurrentProcessId() override { return agent_.pid; }
        bool CreateHiddenProcess(const std::wstring& commandLine, std::uint32_t* error) override;
        bool GetUserName(std::uint32_t capacity, std::wstring* name) override;
        std::vector<std::wstring> CommandLineArgs() override { return agent_.identity.args; }
        std::uint32_t GetLastError() override { return lastError_; }
        void TerminateCurrentProcess(std::uint32_t exitCode) override;
        platform::Handle OpenNamedMutex(const std::wstring& name) override;
        bool TryTakeMutex(platform::Handle mutex) override;
        void ReleaseMutex(platform::Handle mutex) override;
        void CloseMutex(platform::Handle) override {}

    private:
        SessionAgent& agent_;
        std::uint32_t lastError_ = 0;
    };

    FakeTerminalServer& server_;
    std::function<void(platform::Platform&)> program_;
    Clock clock_;
    Processes processes_;
    platform::Platform platform_;

    // The baton: released by the server to let this agent run.
    std::binary_semaphore go_{0};
    std::thread thread_;
    std::int64_t wakeAtMs_ = 0;
};

class FakeTerminalServer {
public:
    FakeTerminalServer();
    FakeTerminalServer(const FakeTerminalServer&) = delete;
    FakeTerminalServer& operator=(const FakeTerminalServer&) = delete;
    ~FakeTerminalServer();

    // The shared machine. Lay it out with InstallStandardMachine as usual;
    // its single-agent identity (FakeProcesses' own process, user name and
    // command line) is not used by the agents started here.
    FakeMachine machine;

    // Switch agents while AppendBytes or CreateNewFile holds a file open
    // (to one that is due at that very moment).
    bool switchWhileOpen = true;

    // Starts `program` as an agent process at identity.startAtMs (or now, if
    // that has passed). The program runs on the agent's own thread once Run
    // gives it its turn; its quorva.exe process is in the table from then
    // until the program returns.
    SessionAgent& Launch(SessionAgent::Identity identity, std::function<void(platform::Platform&)> program);

    // Runs the agents until every program has returned, or until the next
    // wake-up would lie past `untilMs` (absolute virtual time): the agents
    // still waiting then are abandoned (their waits throw, unwinding their
    // programs) and marked so. Rethrows the first failure of a program.
    void Run(std::int64_t untilMs = std::numeric_limits<std::int64_t>::max());

    const std::vector<std::unique_ptr<SessionAgent>>& agents() const { return agents_; }
    // Baton hand-overs so far (each wake-up of an agent counts one).
    std::uint64_t switches() const { return switches_; }
    // Of these, the hand-overs while an agent held a file open.
    std::uint64_t openSwitches() const { return openSwitches_; }

private:
    friend class SessionAgent;
    struct Abandon {};

    // Called on the running agent's thread: it waits until `wakeAtMs` and
    // gives up the baton meanwhile.
    void Park(SessionAgent& agent, std::int64_t wakeAtMs);
    // Called by whoever holds the baton: the agent due next (the clock
    // advanced to its wake-up), or nullptr when Run must take over.
    SessionAgent* Next();
    // Hands the baton to `next` (nullptr: back to Run).
    void Resume(SessionAgent* next);
    void Schedule(SessionAgent& agent, std::int64_t wakeAtMs);
    void StartThread(SessionAgent& agent);

    std::vector<std::unique_ptr<SessionAgent>> agents_;
    // (wake-up time, order of stopping, agent): the next to run comes first.
    std::set<std::tuple<std::int64_t, std::uint64_t, SessionAgent*>> waiting_;
    std::uint64_t order_ = 0;
    std::uint64_t switches_ = 0;
    std::uint64_t openSwitches_ = 0;
    bool abandoning_ = false;
    std::int64_t untilMs_ = 0;
    // Released when the baton comes back to Run.
    std::binary_semaphore back_{0};
};

}  // namespace fake
