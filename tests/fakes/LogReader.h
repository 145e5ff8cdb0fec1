// Reads back the agent's daily application log from the simulated machine.
#pragma once
#include <string>
#include <vector>
#include "tests/fakes/FakeMachine.h"

namespace fake {

struct LogEntry {
    std::string date, time, module, type, val1, val2, val3;
    std::size_t fields = 0;  // tab-separated fields the record holds (6 when well formed)
};

struct LogFile {
    bool exists = false;
    std::wstring path;
    std::string bytes;                // the raw file
    std::vector<std::string> header;  // the "#..." lines, without line ends
    std::vector<LogEntry> entries;    // values with their own line breaks as "\r\n"
};

// The day's log file of a user for the clock's current local date.
std::wstring LogPath(FakeMachine& machine, const std::wstring& user,
                     const std::wstring& software = L"quorva");
LogFile ReadLog(FakeMachine& machine, const std::wstring& user = L"jsmith",
                const std::wstring& software = L"quorva");
// Splits log bytes into header lines and entries. A header line is a
// directive ("#Software:", "#Version:", "#Date:", "#Fields:") wherever it
// stands. An entry starts at a line that begins with "DD/MM/YYYY hh:mm:ss";
// lines after it up to the next entry or directive belong to its values.
LogFile ParseLog(const std::string& bytes);

// The entries reported to the Application log, each as
// "ID type|string|string...", from the `from`-th on.
std::vector<std::string> ReadEvents(const FakeMachine& machine, std::size_t from = 0);

}  // namespace fake
