// The daily application log: one file per software name, day and user, with
// a W3C-style header and one tab-separated entry per call.
#include "records/ApplicationLog.h"
#include <cstdio>
#include <string>
#include "agent/Common.h"
#include "records/WindowsEvents.h"

namespace {

// Windows refuses longer paths; such a name fails like any failed open.
constexpr std::size_t kMaxPath = 260;
constexpr std::size_t kTypeCapacity = 100;
constexpr std::size_t kDateTimeCapacity = 255;
constexpr std::int64_t kSizeLimit = 2097152;  // 2 MiB: the day's file starts again
// A user's two copies write the same day's file, and a virus scanner or a log
// viewer may hold it for a moment; an open refused for sharing is tried again
// a few times before the entry counts as lost. Losing "Application started"
// ends the agent, and with it the logon script or the session-end handling.
constexpr int kOpenRetries = 5;
constexpr std::uint32_t kOpenRetryPauseMs = 50;

bool HeldByAnother(std::uint32_t error) {
    return error == platform::err::SharingViolation || error == platform::err::LockViolation;
}

std::string Text(const char* value) { return value ? std::string(value) : std::string("(null)"); }

bool EqualsNoCaseAscii(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        if (x != y) return false;
    }
    return i == a.size() && b[i] == '\0';
}

std::string NormaliseType(const char* type) {
    const std::string given = Text(type);
    if (EqualsNoCaseAscii(given, "Information")) return "INFO";
    std::string upper = given.substr(0, kTypeCapacity - 1);
    for (auto& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return upper;
}

std::string Cut(std::string text, std::size_t capacity) {
    if (text.size() > capacity - 1) text.resize(capacity - 1);
    return text;
}

}  // namespace

void WriteLogFile(const char* version, const char* module, CQuorvaDlg& agent,
                  const char* software, const char* type, const char* val1, const char* val2,
                  const char* val3) {
    auto& os = agent.os;
    // Before the start-up has named the data folder there is no log to
    // write to: a path built from the empty name would land in whatever the
    // current directory is.
    if (agent.m_strDataDir.empty()) {
        agent.m_bLogFailed = platform::TRUE_;
        return;
    }

    // Folder and file are named by their wide names, so a user name outside
    // the code page still gets its log; only the contents are ANSI.
    const std::wstring folder = agent.m_strDataDir + L"ApplicationLog";
    if (!PathExists(os.files, folder)) {
        std::uint32_t ignored = 0;
        os.files.CreateDirectory(folder, &ignored);
    }

    // One reading of the clock: file name, header and entry agree.
    const platform::SystemTime now = os.clock.GetLocalTime();
    char fileDate[16], entryDate[16];
    std::snprintf(fileDate, sizeof fileDate, "%02d%02d%04d", now.day, now.month, now.year);
    std::snprintf(entryDate, sizeof entryDate, "%02d/%02d/%04d", now.day, now.month, now.year);
    const std::string entryTime = Cut(os.clock.FormatTimeA(now, "hh':'mm':'ss tt"), kDateTimeCapacity);

    const std::string softwareText = Text(software);
    const std::wstring file = folder + L"\\" + os.text.FromAnsi(softwareText) + L"_" +
                              os.text.FromAnsi(fileDate) + L"_[" + agent.m_szUserName.str() + L"].Log";
    if (file.size() >= kMaxPath) {
        agent.m_bLogFailed = platform::TRUE_;
        return;
    }

    bool isNew = !PathExists(os.files, file);
    if (!isNew) {
        // A size that cannot be learned (-1) never deletes.
        const std::int64_t size = os.files.ExclusiveFileSize(file);
        if (size >= kSizeLimit && os.files.DeleteFile(file)) isNew = true;
    }

    std::string header;
    if (isNew) {
        header += "#Software: " + softwareText + "\n#Version: " + Text(version) + "\n#Date: " + entryDate +
                  " " + entryTime + "\n";
        header += "#Fields:\tdtime\tmodule\ttype\tval1\tval2\tval3\n";
    }
    const std::string entry = std::string(entryDate) + " " + entryTime + "\t" + Text(module) + "\t" +
                              NormaliseType(type) + "\t" + Text(val1) + "\t" + Text(val2) + "\t" +
                              Text(val3) + "\n";

    std::uint32_t error = 0;
    for (int retry = 0;; ++retry) {
        error = 0;
        if (os.files.AppendBytes(file, ToTextMode(header + entry), platform::Share::None, &error)) return;
        if (!HeldByAnother(error) || retry == kOpenRetries) break;
        // A file refused for sharing exists: whoever created it since the
        // test above has written its header.
        header.clear();
        os.clock.Sleep(kOpenRetryPauseMs);
    }
    agent.m_bLogFailed = platform::TRUE_;
}

void Log(CQuorvaDlg& agent, const LogRecord& record) {
    WriteLogFile(record.version ? record.version : kVersion, record.module, agent, record.software,
                 record.type, record.val1.c_str(), record.val2.c_str(), record.val3.c_str());
    if (!record.ownEvent && NormaliseType(record.type) == "ERROR") {
        auto& text = agent.os.text;
        ReportAgentEvent(agent, AgentEvent::ErrorRecorded,
                         {text.FromAnsi(Text(record.module)), text.FromAnsi(Text(record.val1.c_str())),
                          text.FromAnsi(Text(record.val2.c_str())), text.FromAnsi(Text(record.val3.c_str()))});
    }
}
