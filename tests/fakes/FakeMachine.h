// The simulated Windows machine: every fake of the seam, one journal of the
// effects in order, and the Platform bundle the agent is given.
#pragma once
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>
#include "platform/Platform.h"
#include "tests/fakes/FakeClock.h"
#include "tests/fakes/FakeEventLog.h"
#include "tests/fakes/FakeFiles.h"
#include "tests/fakes/FakeProcesses.h"
#include "tests/fakes/FakeRegistry.h"
#include "tests/fakes/FakeShell.h"
#include "tests/fakes/FakeShutdown.h"
#include "tests/fakes/FakeText.h"
#include "tests/fakes/GroundTruth.h"

namespace fake {

struct FakeMachine {
    FakeMachine();
    FakeMachine(const FakeMachine&) = delete;
    FakeMachine& operator=(const FakeMachine&) = delete;

    // Every effect in order: "CreateProcess <command line>", "ExitWindowsEx 6 0",
    // "ModifyStyleEx ...", "EndDialog IDOK", "PostQuitMessage 0",
    // "CreateDirectory <path>", "DeleteFile <path>", "CreateNewFile <path>",
    // "WritePrivateProfileString [section] key=value <file>", ... (see each
    // fake's header). Log appends are not journaled; read the file instead.
    std::vector<std::string> journal;

    FakeClock clock;
    FakeFiles files;  // IFiles and IProfile
    FakeRegistry registry;
    FakeProcesses processes;
    FakeShutdown shutdown;
    FakeEventLog eventLog;
    FakeShell shell;
    FakeText text;
    // What really happened (see GroundTruth.h).
    GroundTruth truth;

    platform::Platform& os() { return platform_; }

    // The journal lines that start with one of the prefixes, in order.
    std::vector<std::string> JournalOf(std::initializer_list<std::string_view> prefixes) const;

private:
    platform::Platform platform_;
};

}  // namespace fake
