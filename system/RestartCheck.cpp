#include "system/RestartCheck.h"
#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <new>
#include <span>
#include "agent/Common.h"
#include "records/ApplicationLog.h"
#include "system/EventLogRecord.h"

namespace {

constexpr unsigned kAttempts = 5;
constexpr std::uint32_t kWaitBeforeAttemptMs = 2000;
constexpr std::uint32_t kReadBufferSize = 65536;
constexpr std::uint32_t kReadFlags = platform::EventlogSequentialRead | platform::EventlogBackwardsRead;
// ReadEventLogW takes no larger buffer; a record needing more cannot be read.
constexpr std::uint32_t kLargestReadBuffer = 0x7FFFF;
// One read, then at most this many re-reads after growing the buffer.
constexpr int kMaxGrowths = 3;
constexpr std::int64_t kWindowSeconds = 10 * 60;
constexpr std::uint32_t kUser32ShutdownId = 1074;
constexpr std::size_t kTimeTextCapacity = 24;
// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::uint64_t kEpochDifferenceSeconds = 11644473600ull;

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// A calendar time as seconds on the same scale, with no time zone: both sides
// of a comparison are local.
std::int64_t CalendarSeconds(const platform::SystemTime& t) {
    return DaysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

platform::SystemTime CalendarFromSeconds(std::int64_t seconds) {
    std::int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    const std::int64_t rem = seconds - days * 86400;
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    platform::SystemTime t;
    t.year = static_cast<std::uint16_t>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
    t.month = static_cast<std::uint16_t>(m);
    t.day = static_cast<std::uint16_t>(doy - (153 * mp + 2) / 5 + 1);
    t.hour = static_cast<std::uint16_t>(rem / 3600);
    t.minute = static_cast<std::uint16_t>(rem / 60 % 60);
    t.second = static_cast<std::uint16_t>(rem % 60);
    return t;
}

bool IsCalendarDate(const platform::SystemTime& t) {
    return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 && t.hour < 24 &&
           t.minute < 60 && t.second < 60;
}

const char* EventTypeName(std::uint16_t type) {
    switch (type) {
        case 2: return "Warning";
        case 4: return "Informational";
        case 8: return "Audit Success";
        case 16: return "Audit Failure";
        default: return "Error";
    }
}

void LogMalformed(CQuorvaDlg& agent, int number, const std::string& problem) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", number);
    Log(agent, {.module = "DumpRecordsInBuffer", .type = "ERROR", .val1 = "Malformed record", .val2 = text,
                .val3 = problem});
}

// One attempt: open, load the message module, read one block, walk it.
int ReadNewestBlock(CQuorvaDlg& agent) {
    platform::IEventLog& events = agent.os.eventLog;
    const platform::Handle log = events.Open(L"SYSTEM");
    if (log == 0) return 0;
    agent.m_hMessageModule = LoadMessageModule(agent);
    if (agent.m_hMessageModule == 0) {
        events.Close(log);
        return 0;
    }
    int result = 0;
    try {
        std::vector<std::uint8_t> buffer(kReadBufferSize);
        for (int growths = 0;; ++growths) {
            const auto size = static_cast<std::uint32_t>(buffer.size());
            std::uint32_t read = 0, needed = 0;
            const std::uint32_t error = events.Read(log, kReadFlags, 0, buffer.data(), size, &read, &needed);
            if (error == platform::err::Success) {
                result = DumpRecordsInBuffer(buffer.data(), std::min(read, size), agent);
                break;
            }
            // Only the newest record being larger than the buffer is worth
            // another read; a "needed" that does not grow would read the same.
            if (error != platform::err::InsufficientBuffer || growths == kMaxGrowths ||
                needed <= size || needed > kLargestReadBuffer)
                break;
            buffer.resize(needed);
        }
    } catch (const std::bad_alloc&) {
        // The buffer could not be had or grown: the attempt ends without a result.
    }
    events.Close(log);
    return result;
}

}  // namespace

void functionToCheckRestart(CQuorvaDlg& agent) {
    for (unsigned attempt = 1; attempt <= kAttempts; ++attempt) {
        char number[16];
        std::snprintf(number, sizeof number, "%u", attempt);
        agent.os.clock.Sleep(kWaitBeforeAttemptMs);
        Log(agent, {.module = "Function for checking restart", .val1 = "Reading Eventlog... Attempt ",
                    .val2 = number});
        if (ReadNewestBlock(agent) != 0) return;
    }
}

platform::Handle LoadMessageModule(CQuorvaDlg& agent) {
    const std::wstring directory = agent.os.shell.GetSystemDirectory(1024);
    // "\user32.dll" alone would be looked for at the root of the current drive.
    if (directory.empty()) return 0;
    return agent.os.eventLog.LoadLibraryAsDataFile(directory + L"\\user32.dll");
}

int DumpRecordsInBuffer(const std::uint8_t* block, std::size_t length, CQuorvaDlg& agent) {
    platform::IClock& clock = agent.os.clock;
    // The limit stays unknown (no record reaches it) when the clock cannot be
    // read as a calendar time; the walk is still bounded by the block.
    platform::SystemTime limit;
    char limitText[128] = "";
    platform::SystemTime now;
    if (clock.LocalTime64(clock.Time64(), &now) && IsCalendarDate(now)) {
        limit = CalendarFromSeconds(CalendarSeconds(now) - kWindowSeconds);
        std::snprintf(limitText, sizeof limitText,
                      "Considering event  datetime  upto : %02d/%02d/%04d : %02d:%02d:%02d from "
                      "current system date ",
                      limit.day, limit.month, limit.year, limit.hour, limit.minute, limit.second);
    }
    Log(agent, {.module = "DumpRecordsInBuffer", .val1 = "Time stamp", .val2 = limitText});

    const std::span<const std::uint8_t> bytes =
        block != nullptr ? std::span<const std::uint8_t>(block, length) : std::span<const std::uint8_t>();
    std::size_t offset = 0;
    for (int number = 1;; ++number) {
        eventlog::Record record;
        std::string problem;
        const auto status = eventlog::ReadRecord(bytes, offset, &record, &problem);
        if (status == eventlog::ReadStatus::End) return 0;
        if (status == eventlog::ReadStatus::Malformed) {
            LogMalformed(agent, number, problem);
            return 0;
        }

        std::wstring timeText;
        const bool reached = CheckEventTime(agent, record.timeGenerated, limit, &timeText);
        Log(agent, {.module = "DumpRecordsInBuffer", .val1 = "Time stamp", .val2 = Ansi(agent, timeText)});
        if (reached) {
            Log(agent, {.module = "DumpRecordsInBuffer",
                        .val1 = "EventDateTime reached 10 min timespane from current datattime"});
            return 0;
        }

        if (ToLowerCopy(record.sourceName) == L"user32" &&
            (record.eventId & 0xFFFFu) == kUser32ShutdownId) {
            std::vector<std::wstring> strings;
            std::wstring dataText;
            if (!eventlog::ReadInsertionStrings(record, &strings, &problem) ||
                !eventlog::ReadDataText(record, &dataText, &problem)) {
                LogMalformed(agent, number, problem);
                return 0;
            }
            Log(agent, {.module = "DumpRecordsInBuffer", .val1 = "Event Type",
                        .val2 = EventTypeName(record.eventType)});
            if (GetMessageString(strings, agent, record.eventId)) {
                agent.m_bFlagForRestart = platform::TRUE_;
                Log(agent, {.module = "functionToCheckRestart", .val1 = "Success",
                            .val2 = "DumpRecordsinBuffer", .val3 = "RESTART RECIEVED"});
            }
            if (record.dataLength != 0)
                Log(agent, {.module = "DumpRecordsInBuffer", .val1 = "Event data",
                            .val2 = Ansi(agent, dataText)});
            return 1;
        }

        char numberText[16];
        std::snprintf(numberText, sizeof numberText, "%d", number);
        Log(agent, {.module = "DumpRecordsInBuffer", .val1 = "Go for next record", .val2 = numberText});
        offset += record.length;
    }
}

bool CheckEventTime(CQuorvaDlg& agent, std::uint32_t timeGenerated, const platform::SystemTime& limit,
                    std::wstring* text) {
    text->clear();
    const std::uint64_t fileTime = (timeGenerated + kEpochDifferenceSeconds) * 10000000ull;
    platform::SystemTime local;
    if (!agent.os.clock.FileTimeToLocalSystemTime(fileTime, &local)) return false;
    wchar_t buffer[kTimeTextCapacity];
    std::swprintf(buffer, kTimeTextCapacity, L"%d/%d/%d %.2d:%.2d:%.2d", local.month, local.day,
                  local.year, local.hour, local.minute, local.second);
    buffer[kTimeTextCapacity - 1] = L'\0';
    *text = buffer;
    if (!IsCalendarDate(local) || !IsCalendarDate(limit)) return false;
    // Record times are whole seconds and so is the limit: "less than half a
    // second apart" is the same second.
    return CalendarSeconds(local) <= CalendarSeconds(limit);
}

bool GetMessageString(std::vector<std::wstring>& insertionStrings, CQuorvaDlg& agent,
                      std::uint32_t eventId) {
    std::uint32_t flags = platform::FormatMessageFromSystem | platform::FormatMessageFromHModule |
                          platform::FormatMessageAllocateBuffer;
    bool found = false;
    const std::vector<std::wstring>* arguments = nullptr;
    if (!insertionStrings.empty()) {
        flags |= platform::FormatMessageArgumentArray;
        for (std::wstring& s : insertionStrings) {
            Log(agent, {.module = "GetMessageString", .val1 = "Event data", .val2 = Ansi(agent, s)});
            // Lowered in place: the formatted message shows them lowered too.
            s = ToLowerCopy(s);
            if (s == L"restart") found = true;
        }
        arguments = &insertionStrings;
    }
    const auto message = agent.os.eventLog.FormatMessage(flags, agent.m_hMessageModule, eventId, arguments);
    if (message) {
        Log(agent, {.module = "GetMessageString", .val1 = "Event data", .val2 = Ansi(agent, *message)});
    } else {
        // No message: the entry carries the text a null value has always been
        // written as.
        Log(agent, {.module = "GetMessageString", .val1 = "Event data", .val2 = "(null)"});
    }
    return found;
}
