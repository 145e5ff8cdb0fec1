#include "tests/fakes/LogReader.h"
#include <algorithm>
#include <cctype>
#include <cstdio>

namespace fake {
namespace {

bool StartsEntry(const std::string& text, std::size_t at) {
    // "DD/MM/YYYY hh:mm:ss"
    static const char* shape = "99/99/9999 99:99:99";
    for (std::size_t i = 0; shape[i]; ++i) {
        if (at + i >= text.size()) return false;
        char c = text[at + i];
        if (shape[i] == '9' ? !std::isdigit(static_cast<unsigned char>(c)) : c != shape[i]) return false;
    }
    return true;
}

bool IsDirective(const std::string& line) {
    for (const char* d : {"#Software:", "#Version:", "#Date:", "#Fields:"})
        if (line.rfind(d, 0) == 0) return true;
    return false;
}

std::vector<std::string> SplitTabs(const std::string& text, std::size_t fields) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (out.size() + 1 < fields) {
        auto tab = text.find('\t', start);
        if (tab == std::string::npos) break;
        out.push_back(text.substr(start, tab - start));
        start = tab + 1;
    }
    out.push_back(text.substr(start));
    out.resize(fields);
    return out;
}

}  // namespace

std::wstring LogPath(FakeMachine& m, const std::wstring& user, const std::wstring& software) {
    auto t = m.clock.GetLocalTime();
    wchar_t date[16];
    std::swprintf(date, 16, L"%02d%02d%04d", t.day, t.month, t.year);
    return m.shell.commonAppData + L"\\Vorlan\\ApplicationLog\\" + software + L"_" + date + L"_[" + user + L"].Log";
}

LogFile ParseLog(const std::string& raw) {
    LogFile log;
    log.exists = true;
    log.bytes = raw;
    // Undo the text-mode translation: a stored CR LF was one LF.
    std::string text;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        text.push_back(raw[i]);
    }
    // A directive line ends the record before it: a writer that took the
    // file for new writes the header again further on, as the format allows.
    std::vector<std::string> chunks;
    bool inRecord = false;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t nl = text.find('\n', i);
        if (nl == std::string::npos) nl = text.size();
        const std::string line = text.substr(i, nl - i);
        if (IsDirective(line)) {
            log.header.push_back(line);
            inRecord = false;
        } else if (StartsEntry(text, i)) {
            chunks.push_back(line);
            inRecord = true;
        } else if (inRecord) {
            chunks.back() += "\n" + line;
        }
        i = nl + 1;
    }
    for (const std::string& chunk : chunks) {
        // Values keep their own line breaks as the caller passed them ("\r\n"
        // was stored CR CR LF and reads back as "\r\n").
        auto f = SplitTabs(chunk, 6);
        LogEntry e;
        e.fields = 1 + static_cast<std::size_t>(std::count(chunk.begin(), chunk.end(), '\t'));
        auto blank = f[0].find(' ');
        e.date = f[0].substr(0, blank);
        e.time = blank == std::string::npos ? "" : f[0].substr(blank + 1);
        e.module = f[1];
        e.type = f[2];
        e.val1 = f[3];
        e.val2 = f[4];
        e.val3 = f[5];
        log.entries.push_back(e);
    }
    return log;
}

LogFile ReadLog(FakeMachine& m, const std::wstring& user, const std::wstring& software) {
    std::wstring path = LogPath(m, user, software);
    auto bytes = m.files.Read(path);
    if (!bytes) {
        LogFile none;
        none.path = path;
        return none;
    }
    LogFile log = ParseLog(*bytes);
    log.path = path;
    return log;
}

std::vector<std::string> ReadEvents(const FakeMachine& machine, std::size_t from) {
    std::vector<std::string> out;
    for (std::size_t i = from; i < machine.eventLog.reported.size(); ++i) {
        const auto& e = machine.eventLog.reported[i];
        std::string line = std::to_string(e.eventId) + " " + std::to_string(e.type);
        for (const auto& text : e.strings) line += "|" + Utf8(text);
        out.push_back(line);
    }
    return out;
}

}  // namespace fake
