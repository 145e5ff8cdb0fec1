// Writes the seed corpus: blocks laid out exactly as a backwards read of the
// System log returns them, around the simulated clock's default time, so the
// fuzzer starts from records the walker follows deep into.
#include <cstdio>
#include <string>
#include <vector>
#include "tests/fakes/FakeEventLog.h"

namespace {

constexpr std::uint32_t kNow = 1772721000;  // the simulated clock's start, UTC

fake::FakeEvent Other(std::uint32_t age, std::uint32_t id = 7036) {
    fake::FakeEvent e;
    e.source = L"Service Control Manager";
    e.eventId = 0x40000000u | id;
    e.timeGenerated = kNow - age;
    e.strings = {L"Windows Update", L"stopped"};
    return e;
}

fake::FakeEvent Shutdown(std::uint32_t age, const std::wstring& type) {
    return fake::FakeEventLog::Shutdown1074(kNow - age, type);
}

bool Write(const std::string& folder, const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const std::string path = folder + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    using fake::FakeEventLog;
    fake::FakeEvent withData = Shutdown(60, L"restart");
    withData.data = {'R', 0, 'E', 0, 0, 0, 0xFF, 0x01};
    withData.sid = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    fake::FakeEvent upper = Shutdown(30, L"RESTART");
    upper.source = L"USER32";
    fake::FakeEvent noStrings = Shutdown(30, L"");
    noStrings.strings.clear();
    fake::FakeEvent noQualifier = Shutdown(30, L"restart");
    noQualifier.eventId = 1074;

    const std::vector<std::pair<std::string, std::vector<fake::FakeEvent>>> seeds = {
        {"restart_2min", {Other(5), Shutdown(120, L"restart"), Other(900)}},
        {"power_off", {Shutdown(60, L"power off"), Other(700)}},
        {"shutdown_hides_restart", {Other(1), Shutdown(60, L"power off"), Shutdown(180, L"restart")}},
        {"restart_11min", {Other(10), Other(20), Shutdown(660, L"restart")}},
        {"at_limit", {Other(0), Other(600), Other(601)}},
        {"with_data_and_sid", {withData}},
        {"upper_case", {upper}},
        {"no_strings", {noStrings}},
        {"no_qualifier", {noQualifier}},
        {"single_other", {Other(3)}},
    };
    int written = 0;
    for (const auto& [name, events] : seeds) {
        if (!Write(folder, name, FakeEventLog::BuildBlock(events, 100))) {
            std::fprintf(stderr, "cannot write %s/%s\n", folder.c_str(), name.c_str());
            return 1;
        }
        ++written;
    }
    std::printf("%d seed blocks in %s\n", written, folder.c_str());
    return 0;
}
