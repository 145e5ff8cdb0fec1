// The seam of the simulated machine with faults injected at chosen calls.
//
// Every call of the seam passes a wrapper here on its way to the simulated
// machine. A fault plan names calls by "Interface.Method" and the how-many-th
// call to fail; the wrapper then fails that call the way Windows reports the
// failure, with one of the errors Windows documents for it (the tables in
// FaultyPlatform.cpp, one per interface). A call Windows does not fail is not
// in a table and is never failed.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include "platform/Platform.h"
#include "tests/fakes/FakeMachine.h"

namespace explorer {

struct Bundle;

struct Fault {
    std::string call;        // "Files.AppendBytes"
    int nth = 1;             // the how-many-th call of it fails
    std::uint32_t error = 0; // the Win32 error it fails with
};

// One row of a fault table: a call and the errors Windows documents for it.
struct FaultRow {
    const char* call;
    std::vector<std::uint32_t> errors;
    const char* source;  // the Microsoft document
};
const std::vector<FaultRow>& FaultTable();

// What the wrappers tell the explorer as the agent runs.
struct SeamObserver {
    // Before every wait.
    std::function<void(std::uint32_t ms)> beforeSleep;
    // A hand-off request's "Process Arguments" was written; the agent looked
    // for an answer ("Proc ID" or "Err_Desc").
    std::function<void()> requestWritten, answerLookedFor;
    // When set, waits here instead of on the machine's clock.
    std::function<void(std::uint32_t ms)> sleep;
};

// Another process of the agent on the same machine: its own process id,
// command line and window; the machine's for everything else.
struct OwnProcess {
    std::uint32_t pid = 0;
    std::vector<std::wstring> args;
    fake::FakeShell* shell = nullptr;
};

class FaultyPlatform {
public:
    FaultyPlatform(fake::FakeMachine& machine, std::vector<Fault> plan, SeamObserver observer,
                   const OwnProcess* own = nullptr);
    ~FaultyPlatform();
    platform::Platform& os();

    // Faults injected so far, by call, and whether a log file's write failed.
    std::map<std::string, std::uint64_t> injected;
    bool logWriteFailed = false;

    // The wrappers' shared state.
    struct State;

private:
    std::unique_ptr<State> state_;
    std::unique_ptr<Bundle> bundle_;
};

}  // namespace explorer
