// A simulated machine assembled from the fakes, small enough to build afresh
// for every fuzz input and every benchmark run, with the log folder in place
// so that every log line is really formatted and written.
#pragma once
#include "agent/QuorvaDlg.h"
#include "tests/fakes/FakeClock.h"
#include "tests/fakes/FakeEventLog.h"
#include "tests/fakes/FakeFiles.h"
#include "tests/fakes/FakeProcesses.h"
#include "tests/fakes/FakeRegistry.h"
#include "tests/fakes/FakeShell.h"
#include "tests/fakes/FakeShutdown.h"
#include "tests/fakes/FakeText.h"

struct SimulatedMachine {
    fake::FakeClock clock;
    fake::FakeFiles files;
    fake::FakeRegistry registry;
    fake::FakeProcesses processes;
    fake::FakeShutdown shutdown;
    fake::FakeEventLog eventLog;
    fake::FakeShell shell;
    fake::FakeText text;
    platform::Platform os{files, files, registry, processes, shutdown, eventLog, shell, clock, text};

    SimulatedMachine() { files.MakeFolder(L"C:\\ProgramData\\Vorlan\\ApplicationLog"); }

    void Prepare(CQuorvaDlg& agent) {
        agent.m_strDataDir = L"C:\\ProgramData\\Vorlan\\";
        agent.m_szUserName = L"jsmith";
    }
};
