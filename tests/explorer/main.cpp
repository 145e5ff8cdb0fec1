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

#include <algorithm>
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

struct Summary {
    std::uint64_t runs = 0, lifetimes = 0, violations = 0;
    // How often each Windows rule fired ('R'), each fault was injected ('F')
    // and each exception excused a lifetime ('E'), by name.
    std::map<char, std::map<std::string, std::uint64_t>> counts;
    // Violations of each kind (by its first violation, a machine counts
    // once), and the batch index of the first machine with one.
    std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> kinds;

    void Merge(const Summary& other) {
        runs += other.runs;
        lifetimes += other.lifetimes;
        violations += other.violations;
        for (const auto& [tag, names] : other.counts)
            for (const auto& [name, count] : names) counts[tag][name] += count;
        for (const auto& [kind, v] : other.kinds) {
            auto& mine = kinds.try_emplace(kind, 0, v.second).first->second;
            mine.first += v.first;
            mine.second = std::min(mine.second, v.second);
        }
    }
};

// The first violation of a machine, shrunk and told step by step.
std::string Report(std::uint64_t seed, std::uint64_t index) {
    const explorer::Machine machine = explorer::Generate(seed);
    const std::string violation = explorer::Run(machine, false).violations.front();
    std::ostringstream o;
    o << "VIOLATION " << violation << "\n  first found at seed " << seed << ", machine " << index + 1 << " of the batch\n";
    const explorer::Machine shrunk = explorer::Shrink(machine, violation);
    o << "  shrunk: " << explorer::Describe(shrunk);
    for (const auto& line : explorer::Run(shrunk, true).trace)
        if (line.rfind("  ", 0) != 0) o << "    " << line << "\n";
    o << "  replay: build/sanitize/explorer --replay " << seed << "\n";
    return o.str();
}

Summary RunBatch(std::uint64_t first, std::uint64_t runs, std::uint64_t indexBase) {
    Summary s;
    for (std::uint64_t i = 0; i < runs; ++i) {
        const explorer::Machine machine = explorer::Generate(first + i);
        const auto outcome = explorer::Run(machine, false);
        ++s.runs;
        s.lifetimes += machine.lifetimes.size();
        for (const auto& [call, count] : outcome.injected) s.counts['F'][call] += count;
        for (const auto& [why, count] : outcome.excused) s.counts['E'][why] += count;
        if (outcome.violations.empty()) continue;
        ++s.violations;
        const std::string& v = outcome.violations.front();
        ++s.kinds.try_emplace(v.substr(0, v.find(':')), 0, indexBase + i).first->second.first;
    }
    for (const auto& [rule, count] : fake::rules::Counts()) s.counts['R'][rule] += count;
    return s;
}

// One child's summary through a pipe, a line per item.
std::string Serialise(const Summary& s) {
    std::ostringstream o;
    o << "N " << s.runs << " " << s.violations << " " << s.lifetimes << "\n";
    for (const auto& [tag, names] : s.counts)
        for (const auto& [name, count] : names) o << tag << " " << count << " " << name << "\n";
    for (const auto& [kind, v] : s.kinds) o << "V " << v.first << " " << v.second << " " << kind << "\n";
    return o.str();
}

Summary Parse(const std::string& text) {
    Summary s;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line.substr(std::min<std::size_t>(2, line.size())));
        std::uint64_t a = 0, b = 0;
        std::string name;
        if (line[0] == 'N') fields >> s.runs >> s.violations >> s.lifetimes;
        else if (line[0] == 'V' && fields >> a >> b && std::getline(fields >> std::ws, name)) s.kinds[name] = {a, b};
        else if (fields >> a && std::getline(fields >> std::ws, name)) s.counts[line[0]][name] += a;
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

    for (const auto& [kind, v] : total.kinds) std::printf("%s", Report(first + v.second, v.second).c_str());
    std::printf("lifetimes per second: %.0f (%llu in %.1f s, %llu processes)\n",
                seconds > 0 ? static_cast<double>(total.lifetimes) / seconds : 0.0,
                static_cast<unsigned long long>(total.lifetimes), seconds, static_cast<unsigned long long>(jobs));
    bool tooFew = false;
    std::printf("rules fired:\n");
    for (const char* rule : fake::rules::kAll) total.counts['R'].emplace(rule, 0);
    for (const auto& [rule, count] : total.counts['R']) {
        std::printf("  %10llu  %s\n", static_cast<unsigned long long>(count), rule.c_str());
        if (count < minFires) tooFew = true;
    }
    std::printf("faults injected:\n");
    for (const auto& row : explorer::FaultTable()) {
        const std::uint64_t count = total.counts['F'][row.call];
        std::printf("  %10llu  %s\n", static_cast<unsigned long long>(count), row.call);
        if (count < minFires) tooFew = true;
    }
    std::printf("lifetimes excused, by exception:\n");
    for (const auto& [why, count] : total.counts['E'])
        std::printf("  %10llu  %s\n", static_cast<unsigned long long>(count), why.c_str());
    for (const auto& [kind, v] : total.kinds)
        std::printf("violations of kind %s: %llu\n", kind.c_str(), static_cast<unsigned long long>(v.first));
    if (tooFew) std::printf("some rule or fault fired fewer than %llu times\n", static_cast<unsigned long long>(minFires));
    std::printf("explored %llu machines (%llu lifetimes): %llu violations\n", static_cast<unsigned long long>(total.runs),
                static_cast<unsigned long long>(total.lifetimes), static_cast<unsigned long long>(total.violations));
    return total.violations != 0 ? 1 : tooFew ? 2 : 0;
}
