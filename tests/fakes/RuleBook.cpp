#include "tests/fakes/RuleBook.h"

namespace fake::rules {

std::map<std::string, std::uint64_t>& Counts() {
    static std::map<std::string, std::uint64_t> counts;
    return counts;
}

void Fired(const char* rule) { ++Counts()[rule]; }

}  // namespace fake::rules
