#include "tests/fakes/FakeMachine.h"

namespace fake {

FakeMachine::FakeMachine()
    : platform_{files, files, registry, processes, shutdown, eventLog, shell, clock, text} {
    files.journal = &journal;
    processes.journal = &journal;
    shutdown.journal = &journal;
    shell.journal = &journal;
}

std::vector<std::string> FakeMachine::JournalOf(std::initializer_list<std::string_view> prefixes) const {
    std::vector<std::string> out;
    for (const auto& line : journal)
        for (auto p : prefixes)
            if (line.rfind(p, 0) == 0) {
                out.push_back(line);
                break;
            }
    return out;
}

}  // namespace fake
