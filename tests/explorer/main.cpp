// The explorer of whole session lifetimes.
//
//   explorer --runs N [--first SEED]   N lifetimes from seeds SEED.. (default 1)
//   explorer --replay SEED             one lifetime, told step by step, shrunk if it fails
//
// A batch prints the lifetimes per second, how often each Windows rule fired
// and each fault was injected, every kind of violation with its first seed
// (shrunk, with the command that replays it), and last the line
// "explored N lifetimes: V violations". It exits 1 when V is not 0, and 2
// when a rule or a fault kind fired fewer times than --min-fires asks.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "tests/explorer/Lifetime.h"
#include "tests/fakes/RuleBook.h"

namespace {

void PrintViolation(const explorer::Lifetime& lifetime, const std::string& violation, std::uint64_t index) {
    std::printf("VIOLATION %s\n  first found at seed %llu, lifetime %llu of the batch\n", violation.c_str(),
                static_cast<unsigned long long>(lifetime.seed), static_cast<unsigned long long>(index + 1));
    const explorer::Lifetime shrunk = explorer::Shrink(lifetime, violation);
    std::printf("  shrunk: %s", explorer::Describe(shrunk).c_str());
    const auto outcome = explorer::Run(shrunk, true);
    for (const auto& line : outcome.trace)
        if (line.rfind("  ", 0) != 0) std::printf("    %s\n", line.c_str());
    std::printf("  replay: build/sanitize/explorer --replay %llu\n", static_cast<unsigned long long>(lifetime.seed));
}

int Replay(std::uint64_t seed) {
    const explorer::Lifetime lifetime = explorer::Generate(seed);
    std::printf("%s", explorer::Describe(lifetime).c_str());
    const auto outcome = explorer::Run(lifetime, true);
    for (const auto& line : outcome.trace) std::printf("  %s\n", line.c_str());
    for (const auto& v : outcome.violations) std::printf("VIOLATION %s\n", v.c_str());
    if (outcome.violations.empty()) {
        std::printf("no violation\n");
        return 0;
    }
    const explorer::Lifetime shrunk = explorer::Shrink(lifetime, outcome.violations.front());
    std::printf("shrunk to: %s", explorer::Describe(shrunk).c_str());
    for (const auto& line : explorer::Run(shrunk, true).trace) std::printf("  %s\n", line.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t runs = 1000, first = 1, minFires = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::uint64_t {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a number\n", arg.c_str());
                std::exit(64);
            }
            return std::strtoull(argv[++i], nullptr, 10);
        };
        if (arg == "--runs") runs = value();
        else if (arg == "--first") first = value();
        else if (arg == "--min-fires") minFires = value();
        else if (arg == "--replay") return Replay(value());
        else {
            std::fprintf(stderr, "usage: explorer [--runs N] [--first SEED] [--min-fires K] | --replay SEED\n");
            return 64;
        }
    }

    const auto began = std::chrono::steady_clock::now();
    std::map<std::string, std::uint64_t> injected;
    std::map<std::string, std::uint64_t> kinds;  // violation kind -> lifetimes
    std::uint64_t violations = 0;
    for (std::uint64_t i = 0; i < runs; ++i) {
        const explorer::Lifetime lifetime = explorer::Generate(first + i);
        const auto outcome = explorer::Run(lifetime, false);
        for (const auto& [call, count] : outcome.injected) injected[call] += count;
        if (outcome.violations.empty()) continue;
        ++violations;
        const std::string& v = outcome.violations.front();
        const std::string kind = v.substr(0, v.find(':'));
        if (kinds[kind]++ == 0) PrintViolation(lifetime, v, i);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

    std::printf("lifetimes per second: %.0f (%llu in %.1f s)\n", seconds > 0 ? runs / seconds : 0.0,
                static_cast<unsigned long long>(runs), seconds);
    bool tooFew = false;
    std::printf("rules fired:\n");
    std::map<std::string, std::uint64_t> rules = fake::rules::Counts();
    for (const char* rule : fake::rules::kAll) rules.emplace(rule, 0);
    for (const auto& [rule, count] : rules) {
        std::printf("  %10llu  %s\n", static_cast<unsigned long long>(count), rule.c_str());
        if (count < minFires) tooFew = true;
    }
    std::printf("faults injected:\n");
    for (const auto& row : explorer::FaultTable()) {
        std::uint64_t total = 0;
        for (const auto& [call, count] : injected)
            if (call == row.call) total += count;
        std::printf("  %10llu  %s\n", static_cast<unsigned long long>(total), row.call);
        if (total < minFires) tooFew = true;
    }
    for (const auto& [kind, count] : kinds)
        std::printf("violations of kind %s: %llu\n", kind.c_str(), static_cast<unsigned long long>(count));
    if (tooFew) std::printf("some rule or fault fired fewer than %llu times\n", static_cast<unsigned long long>(minFires));
    std::printf("explored %llu lifetimes: %llu violations\n", static_cast<unsigned long long>(runs),
                static_cast<unsigned long long>(violations));
    return violations != 0 ? 1 : tooFew ? 2 : 0;
}
