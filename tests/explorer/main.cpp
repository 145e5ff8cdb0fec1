// The explorer of whole machines, each a history of session lifetimes.
//
//   explorer --runs N [--first SEED] [--jobs J] [--min-fires K]
//       N machines from seeds SEED.. (default 1), in J processes side by side
//   explorer --replay SEED
//       one machine, told step by step, shrunk if it fails
//
// A batch prints the lifetimes per second, how often each Windows rule fired
// and each fault was injected, how many lifetimes each exception excused,
// every kind of violation with its first seed (shrunk, with the command that
// replays it), and last the line "explored N machines (L lifetimes): V
// violations". It exits 1 when V is not 0, and 2 when a rule or a fault kind
// fired fewer than K times.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/explorer/Lifetime.h"
#include "tests/fakes/RuleBook.h"

namespace {

struct FirstViolation {
    std::uint64_t count = 0;
    std::uint64_t index = 0;  // 0-based in the batch
    std::string report;
};

struct Summary {
    std::uint64_t runs = 0, lifetimes = 0, violations = 0;
    std::map<std::string, std::uint64_t> rules, injected, excused;
    std::map<std::string, FirstViolation> kinds;

    void Merge(const Summary& other) {
        runs += other.runs;
        lifetimes += other.lifetimes;
        violations += other.violations;
        for (const auto& [k, v] : other.excused) excused[k] += v;
        for (const auto& [k, v] : other.rules) rules[k] += v;
        for (const auto& [k, v] : other.injected) injected[k] += v;
        for (const auto& [kind, v] : other.kinds) {
            FirstViolation& mine = kinds[kind];
            if (mine.count == 0 || v.index < mine.index) {
                mine.index = v.index;
                mine.report = v.report;
            }
            mine.count += v.count;
        }
    }
};

std::string Report(const explorer::Machine& lifetime, const std::string& violation, std::uint64_t index) {
    std::ostringstream o;
    o << "VIOLATION " << violation << "\n  first found at seed " << lifetime.seed << ", machine " << index + 1
      << " of the batch\n";
    const explorer::Machine shrunk = explorer::Shrink(lifetime, violation);
    o << "  shrunk: " << explorer::Describe(shrunk);
    for (const auto& line : explorer::Run(shrunk, true).trace)
        if (line.rfind("  ", 0) != 0) o << "    " << line << "\n";
    o << "  replay: build/sanitize/explorer --replay " << lifetime.seed << "\n";
    return o.str();
}

Summary RunBatch(std::uint64_t first, std::uint64_t runs, std::uint64_t indexBase) {
    Summary s;
    for (std::uint64_t i = 0; i < runs; ++i) {
        const explorer::Machine lifetime = explorer::Generate(first + i);
        const auto outcome = explorer::Run(lifetime, false);
        ++s.runs;
        s.lifetimes += lifetime.lifetimes.size();
        for (const auto& [call, count] : outcome.injected) s.injected[call] += count;
        for (const auto& [why, count] : outcome.excused) s.excused[why] += count;
        if (outcome.violations.empty()) continue;
        ++s.violations;
        const std::string& v = outcome.violations.front();
        FirstViolation& kind = s.kinds[v.substr(0, v.find(':'))];
        if (kind.count++ == 0) {
            kind.index = indexBase + i;
            kind.report = Report(lifetime, v, indexBase + i);
        }
    }
    s.rules = fake::rules::Counts();
    return s;
}

// One child's summary through a pipe, a line per item.
std::string Serialise(const Summary& s) {
    std::ostringstream o;
    o << "N " << s.runs << " " << s.violations << " " << s.lifetimes << "\n";
    for (const auto& [k, v] : s.excused) o << "E " << v << " " << k << "\n";
    for (const auto& [k, v] : s.rules) o << "R " << v << " " << k << "\n";
    for (const auto& [k, v] : s.injected) o << "F " << v << " " << k << "\n";
    for (const auto& [kind, v] : s.kinds) {
        o << "V " << v.count << " " << v.index << " " << kind << "\n";
        std::istringstream lines(v.report);
        for (std::string line; std::getline(lines, line);) o << "T " << line << "\n";
    }
    return o.str();
}

Summary Parse(const std::string& text) {
    Summary s;
    std::istringstream in(text);
    std::string line;
    std::string* report = nullptr;
    while (std::getline(in, line)) {
        if (line.size() < 2) continue;
        std::istringstream fields(line.substr(2));
        std::uint64_t a = 0, b = 0;
        std::string rest;
        switch (line[0]) {
            case 'N': fields >> s.runs >> s.violations >> s.lifetimes; break;
            case 'E': fields >> a; std::getline(fields >> std::ws, rest); s.excused[rest] += a; break;
            case 'R': fields >> a; std::getline(fields >> std::ws, rest); s.rules[rest] += a; break;
            case 'F': fields >> a; std::getline(fields >> std::ws, rest); s.injected[rest] += a; break;
            case 'V': {
                fields >> a >> b;
                std::getline(fields >> std::ws, rest);
                FirstViolation& v = s.kinds[rest];
                v.count = a;
                v.index = b;
                report = &v.report;
                break;
            }
            case 'T':
                if (report) *report += line.substr(2) + "\n";
                break;
        }
    }
    return s;
}

int Replay(std::uint64_t seed) {
    const explorer::Machine lifetime = explorer::Generate(seed);
    std::printf("%s", explorer::Describe(lifetime).c_str());
    const auto outcome = explorer::Run(lifetime, true);
    for (const auto& line : outcome.trace) std::printf("  %s\n", line.c_str());
    for (const auto& v : outcome.violations) std::printf("VIOLATION %s\n", v.c_str());
    if (outcome.violations.empty()) {
        std::printf("no violation\n");
        return 0;
    }
    const explorer::Machine shrunk = explorer::Shrink(lifetime, outcome.violations.front());
    std::printf("shrunk to: %s", explorer::Describe(shrunk).c_str());
    for (const auto& line : explorer::Run(shrunk, true).trace) std::printf("  %s\n", line.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t runs = 1000, first = 1, minFires = 0, jobs = 1;
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
        else if (arg == "--jobs") jobs = value();
        else if (arg == "--replay") return Replay(value());
        else {
            std::fprintf(stderr,
                         "usage: explorer [--runs N] [--first SEED] [--jobs J] [--min-fires K] | --replay SEED\n");
            return 64;
        }
    }
    if (jobs < 1) jobs = 1;
    if (jobs > runs) jobs = runs > 0 ? runs : 1;

    const auto began = std::chrono::steady_clock::now();
    Summary total;
    if (jobs == 1) {
        total = RunBatch(first, runs, 0);
    } else {
        // Contiguous slices of the seeds, one process each; each sends its
        // summary back through a pipe.
        std::vector<std::pair<pid_t, int>> children;
        for (std::uint64_t j = 0; j < jobs; ++j) {
            const std::uint64_t from = runs * j / jobs, to = runs * (j + 1) / jobs;
            int fds[2];
            if (pipe(fds) != 0) return 70;
            std::fflush(stdout);
            const pid_t pid = fork();
            if (pid < 0) return 71;
            if (pid == 0) {
                close(fds[0]);
                const std::string text = Serialise(RunBatch(first + from, to - from, from));
                std::size_t done = 0;
                while (done < text.size()) {
                    const ssize_t n = write(fds[1], text.data() + done, text.size() - done);
                    if (n <= 0) _exit(72);
                    done += static_cast<std::size_t>(n);
                }
                close(fds[1]);
                _exit(0);
            }
            close(fds[1]);
            children.emplace_back(pid, fds[0]);
        }
        bool failed = false;
        for (const auto& [pid, fd] : children) {
            std::string text;
            char buffer[65536];
            for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
            close(fd);
            int status = 0;
            waitpid(pid, &status, 0);
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                std::printf("VIOLATION crash: a process of the batch ended with status %d\n", status);
                failed = true;
            }
            total.Merge(Parse(text));
        }
        if (failed) ++total.violations;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

    for (const auto& [kind, v] : total.kinds) std::printf("%s", v.report.c_str());
    std::printf("lifetimes per second: %.0f (%llu in %.1f s, %llu processes)\n",
                seconds > 0 ? static_cast<double>(total.lifetimes) / seconds : 0.0,
                static_cast<unsigned long long>(total.lifetimes), seconds, static_cast<unsigned long long>(jobs));
    bool tooFew = false;
    std::printf("rules fired:\n");
    for (const char* rule : fake::rules::kAll) total.rules.emplace(rule, 0);
    for (const auto& [rule, count] : total.rules) {
        std::printf("  %10llu  %s\n", static_cast<unsigned long long>(count), rule.c_str());
        if (count < minFires) tooFew = true;
    }
    std::printf("faults injected:\n");
    for (const auto& row : explorer::FaultTable()) {
        const auto it = total.injected.find(row.call);
        const std::uint64_t count = it == total.injected.end() ? 0 : it->second;
        std::printf("  %10llu  %s\n", static_cast<unsigned long long>(count), row.call);
        if (count < minFires) tooFew = true;
    }
    std::printf("lifetimes excused, by exception:\n");
    for (const auto& [why, count] : total.excused)
        std::printf("  %10llu  %s\n", static_cast<unsigned long long>(count), why.c_str());
    for (const auto& [kind, v] : total.kinds)
        std::printf("violations of kind %s: %llu\n", kind.c_str(), static_cast<unsigned long long>(v.count));
    if (tooFew) std::printf("some rule or fault fired fewer than %llu times\n", static_cast<unsigned long long>(minFires));
    std::printf("explored %llu machines (%llu lifetimes): %llu violations\n", static_cast<unsigned long long>(total.runs),
                static_cast<unsigned long long>(total.lifetimes), static_cast<unsigned long long>(total.violations));
    return total.violations != 0 ? 1 : tooFew ? 2 : 0;
}
