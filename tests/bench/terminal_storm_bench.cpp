// A logon storm on the simulated terminal server at growing numbers of users:
// every user's ordinary copy starts within the same second and the service
// answers each within five seconds. The time per agent and the peak memory
// show whether the cost of one agent stays flat as the machine fills up.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tests/fakes/TerminalServerScenario.h"

namespace {

// Peak resident memory of this process in MiB (VmHWM), reset before each
// storm so that each one reports its own.
double PeakMiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void ResetPeak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}

void LogonStorm(benchmark::State& state) {
    const auto users = static_cast<std::size_t>(state.range(0));
    double peak = 0;
    std::size_t reports = 0;
    for (auto _ : state) {
        ResetPeak();
        fake::TerminalServerScenario storm(fake::StormCopies(users, false));
        storm.Run();
        reports = storm.Reports().size();
        peak = PeakMiB();
        state.counters["switches"] = static_cast<double>(storm.server.switches());
    }
    state.counters["per_agent"] =
        benchmark::Counter(static_cast<double>(users), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["peak_MiB"] = peak;
    state.counters["reports"] = static_cast<double>(reports);
}

BENCHMARK(LogonStorm)->Arg(10)->Arg(100)->Arg(1000)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
