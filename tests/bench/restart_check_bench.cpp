// The restart check against System logs of growing size in which only the
// newest few records lie within the last 10 minutes: since an attempt reads
// one block and stops at the first record older than the window, the time per
// attempt must not grow with the log.
#include <benchmark/benchmark.h>
#include "agent/QuorvaDlg.h"
#include "tests/fakes/FakeMachine.h"
#include "system/RestartCheck.h"

namespace {

// `records` events, one a minute back from now, the newest three within the
// window; the second newest is a User32 1074 of the given shutdown type
// (none when empty).
void FillLog(fake::FakeMachine& m, std::int64_t records, const std::wstring& shutdownType) {
    const auto now = static_cast<std::uint32_t>(m.clock.Time64());
    auto& events = m.eventLog.events;
    events.reserve(static_cast<std::size_t>(records));
    for (std::int64_t i = records - 1; i >= 0; --i) {
        const auto time = now - 30 - static_cast<std::uint32_t>(i) * 180;
        if (i == 1 && !shutdownType.empty()) {
            events.push_back(fake::FakeEventLog::Shutdown1074(time, shutdownType));
            continue;
        }
        fake::FakeEvent e;
        e.source = L"Service Control Manager";
        e.eventId = 0x40001B7Cu;
        e.timeGenerated = time;
        e.strings = {L"Background Intelligent Transfer Service", L"running"};
        events.push_back(std::move(e));
    }
}

void RunCheck(benchmark::State& state, const std::wstring& shutdownType, int attemptsPerCheck) {
    fake::FakeMachine m;
    // Every log line really formatted and written.
    m.files.MakeFolder(L"C:\\ProgramData\\Vorlan\\ApplicationLog");
    FillLog(m, state.range(0), shutdownType);
    const std::int64_t start = m.clock.nowMs;
    for (auto _ : state) {
        m.clock.nowMs = start;  // every check sees the same window
        m.clock.sleeps.clear();
        m.journal.clear();
        CQuorvaDlg agent(m.os());
        agent.m_strDataDir = L"C:\\ProgramData\\Vorlan\\";
        agent.m_szUserName = L"jsmith";
        functionToCheckRestart(agent);
        benchmark::DoNotOptimize(agent.m_bFlagForRestart);
    }
    state.SetItemsProcessed(state.iterations() * attemptsPerCheck);
    state.SetLabel(attemptsPerCheck == 1 ? "1 attempt per check" : "5 attempts per check");
}

// A restart record among the newest: the check ends after its first attempt.
void BM_OneAttempt_RestartFound(benchmark::State& state) { RunCheck(state, L"restart", 1); }
// Nothing to find: all five attempts run, each stopping at the window's edge.
void BM_FiveAttempts_NothingFound(benchmark::State& state) { RunCheck(state, L"", 5); }

}  // namespace

BENCHMARK(BM_OneAttempt_RestartFound)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FiveAttempts_NothingFound)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);
