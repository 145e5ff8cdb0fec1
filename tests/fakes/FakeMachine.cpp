#include "tests/fakes/FakeMachine.h"

namespace fake {

FakeMachine::FakeMachine()
    : platform_{files, files, registry, processes, shutdown, eventLog, shell, clock, text} {
    files.journal = &journal;
    processes.journal = &journal;
    shutdown.journal = &journal;
    shell.journal = &journal;
    truth.nowMs = &clock.nowMs;
    shutdown.truth = &truth;
    processes.truth = &truth;
}

const char* EndKindName(EndKind kind) {
    switch (kind) {
        case EndKind::Logoff: return "logoff";
        case EndKind::Shutdown: return "shutdown";
        case EndKind::Restart: return "restart";
        case EndKind::PowerOff: return "power-off";
    }
    return "?";
}

EndKind EndKindOfFlags(std::uint32_t flags) {
    if (flags & platform::EwxReboot) return EndKind::Restart;
    if (flags & platform::EwxPowerOff) return EndKind::PowerOff;
    if (flags & platform::EwxShutdown) return EndKind::Shutdown;
    return EndKind::Logoff;
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
