// The restart check against the simulated System log: which record decides,
// the log lines letter for letter, the attempts and their waits on the virtual
// clock, and blocks that do not hold together.
#include <gtest/gtest.h>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>
#include "system/RestartCheck.h"
#include "tests/fakes/FakeMachine.h"
#include "tests/fakes/LogReader.h"
#include "tests/fakes/StandardMachine.h"

using platform::BOOL;

using fake::FakeEvent;
using fake::FakeEventLog;

namespace {

// The clock starts at 2026-03-05 14:30:00 UTC, 15:30:00 local; the first
// attempt reads at 15:30:02 local, so its window reaches back to 15:20:02.
const std::string kLimitLine =
    "DumpRecordsInBuffer|INFO|Time stamp|Considering event  datetime  upto : 05/03/2026 : 15:20:02 "
    "from current system date |";
const std::string kReached =
    "DumpRecordsInBuffer|INFO|EventDateTime reached 10 min timespane from current datattime||";
const std::string kRestartFound = "functionToCheckRestart|INFO|Success|DumpRecordsinBuffer|RESTART RECIEVED";

std::string Attempt(int n) {
    return "Function for checking restart|INFO|Reading Eventlog... Attempt |" + std::to_string(n) + "|";
}
std::string Stamp(const std::string& time) { return "DumpRecordsInBuffer|INFO|Time stamp|" + time + "|"; }
std::string NextRecord(int n) { return "DumpRecordsInBuffer|INFO|Go for next record|" + std::to_string(n) + "|"; }
std::string EventData(const std::string& module, const std::string& text) {
    return module + "|INFO|Event data|" + text + "|";
}

// The entry `back` places before the last one; "<none>" past the start.
std::string Last(const std::vector<std::string>& lines, std::size_t back = 0) {
    return back < lines.size() ? lines[lines.size() - 1 - back] : "<none>";
}
std::string At(const std::vector<std::string>& lines, std::size_t index) {
    return index < lines.size() ? lines[index] : "<none>";
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) out += "  " + l + "\n";
    return out;
}

class RestartCheckTest : public ::testing::Test {
protected:
    fake::FakeMachine m;
    fake::StandardMachine installed = fake::InstallStandardMachine(m);
    CQuorvaDlg agent{m.os()};

    std::int64_t start = 0;

    void SetUp() override {
        start = m.clock.Time64();
        agent.m_strDataDir = installed.dataDir;
        agent.m_szUserName = L"jsmith";
        m.eventLog.journal = &m.journal;
    }

    // A time `seconds` before the clock's start.
    std::uint32_t Ago(int seconds) { return static_cast<std::uint32_t>(start - seconds); }

    FakeEvent Other(std::uint32_t time) {
        FakeEvent e;
        e.source = L"Service Control Manager";
        e.eventId = 0x40001B7Cu;
        e.timeGenerated = time;
        e.strings = {L"Windows Update", L"stopped"};
        return e;
    }

    // Every log entry as "module|type|val1|val2|val3".
    std::vector<std::string> Lines() {
        std::vector<std::string> out;
        for (const auto& e : fake::ReadLog(m).entries)
            out.push_back(e.module + "|" + e.type + "|" + e.val1 + "|" + e.val2 + "|" + e.val3);
        return out;
    }

    // DumpRecordsInBuffer on a block made of these events, newest first.
    int Walk(const std::vector<FakeEvent>& newestFirst) {
        agent.m_hMessageModule = m.eventLog.LoadLibraryAsDataFile(L"C:\\windows\\system32\\user32.dll");
        const auto block = FakeEventLog::BuildBlock(newestFirst);
        return DumpRecordsInBuffer(block.data(), block.size(), agent);
    }

    std::vector<std::uint32_t> Waits(int count) { return std::vector<std::uint32_t>(count, 2000); }
};

// The seven insertion strings of a 1074 record, as stored and as logged.
std::vector<std::string> InsertionLines(const std::string& type) {
    return {EventData("GetMessageString", "C:\\Windows\\system32\\shutdown.exe (QVPC01)"),
            EventData("GetMessageString", "QVPC01"),
            EventData("GetMessageString", "No title for this reason could be found"),
            EventData("GetMessageString", "0x800000ff"),
            EventData("GetMessageString", type),
            EventData("GetMessageString", ""),
            EventData("GetMessageString", "QVPC01\\jsmith")};
}

std::string MessageLine(const std::string& loweredType) {
    return EventData("GetMessageString",
                     "The process c:\\windows\\system32\\shutdown.exe (qvpc01) has initiated the " + loweredType +
                         " of computer qvpc01 on behalf of user qvpc01\\jsmith for the following reason: no "
                         "title for this reason could be found\r\n Reason Code: 0x800000ff\r\n Shutdown Type: " +
                         loweredType + "\r\n Comment: \r\n");
}

}  // namespace

// ---- which record decides ----

TEST_F(RestartCheckTest, RestartRecordTwoMinutesOldIsFoundInTheFirstAttempt) {
    m.eventLog.Add(Other(Ago(1200)));
    m.eventLog.Add(FakeEventLog::Shutdown1074(Ago(120), L"restart"));
    m.eventLog.Add(Other(Ago(30)));

    functionToCheckRestart(agent);

    EXPECT_EQ(agent.m_bFlagForRestart, 1);
    std::vector<std::string> expected = {Attempt(1), kLimitLine, Stamp("3/5/2026 15:29:30"), NextRecord(1),
                                         Stamp("3/5/2026 15:28:00"),
                                         "DumpRecordsInBuffer|INFO|Event Type|Informational|"};
    for (const auto& l : InsertionLines("restart")) expected.push_back(l);
    expected.push_back(MessageLine("restart"));
    expected.push_back(kRestartFound);
    EXPECT_EQ(Lines(), expected) << Joined(Lines());
    EXPECT_EQ(m.clock.sleeps, Waits(1));
    EXPECT_EQ(m.JournalOf({"OpenEventLog", "LoadLibraryEx", "ReadEventLog", "CloseEventLog"}),
              (std::vector<std::string>{"OpenEventLog SYSTEM", "LoadLibraryEx C:\\windows\\system32\\user32.dll 2",
                                        "ReadEventLog 9 65536", "CloseEventLog"}));
    EXPECT_NE(agent.m_hMessageModule, 0u);
}

TEST_F(RestartCheckTest, PowerOffRecordEndsTheCheckAndLeavesTheFlagAlone) {
    m.eventLog.Add(FakeEventLog::Shutdown1074(Ago(60), L"power off"));
    functionToCheckRestart(agent);
    EXPECT_EQ(agent.m_bFlagForRestart, 0);
    EXPECT_EQ(m.clock.sleeps, Waits(1));
    const auto lines = Lines();
    EXPECT_EQ(Last(lines), MessageLine("power off"));

    // A restart found before is never taken back.
    fake::FakeMachine other;
    fake::InstallStandardMachine(other);
    CQuorvaDlg earlier{other.os()};
    earlier.m_bFlagForRestart = 1;
    other.eventLog.Add(FakeEventLog::Shutdown1074(Ago(60), L"power off"));
    functionToCheckRestart(earlier);
    EXPECT_EQ(earlier.m_bFlagForRestart, 1);
}

TEST_F(RestartCheckTest, NewerShutdownHidesAnOlderRestart) {
    m.eventLog.Add(FakeEventLog::Shutdown1074(Ago(300), L"restart"));
    m.eventLog.Add(FakeEventLog::Shutdown1074(Ago(60), L"power off"));
    functionToCheckRestart(agent);
    EXPECT_EQ(agent.m_bFlagForRestart, 0);
    const auto lines = Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), Stamp("3/5/2026 15:25:00")), 0)
        << "the older record is never looked at";
    EXPECT_EQ(m.clock.sleeps, Waits(1));
}

TEST_F(RestartCheckTest, RestartElevenMinutesOldStopsEveryWalkAndAllFiveAttemptsRun) {
    m.eventLog.Add(FakeEventLog::Shutdown1074(Ago(660), L"restart"));
    m.eventLog.Add(Other(Ago(10)));

    functionToCheckRestart(agent);

    EXPECT_EQ(agent.m_bFlagForRestart, 0);
    EXPECT_EQ(m.clock.sleeps, Waits(5));
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 5u * 6);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 6),
              (std::vector<std::string>{Attempt(1), kLimitLine, Stamp("3/5/2026 15:29:50"), NextRecord(1),
                                        Stamp("3/5/2026 15:19:00"), kReached}));
    EXPECT_EQ(lines[24], Attempt(5));
    EXPECT_EQ(lines[25],
              "DumpRecordsInBuffer|INFO|Time stamp|Considering event  datetime  upto : 05/03/2026 : "
              "15:20:10 from current system date |")
        << "the limit is taken again for every block";
    EXPECT_EQ(m.eventLog.opens, 5);
    EXPECT_EQ(m.eventLog.closes, 5);
}

TEST_F(RestartCheckTest, RecordAtTheLimitSecondHasReachedItAndOneSecondLaterHasNot) {
    // The first attempt's limit is 15:20:02 local, 14:20:02 UTC: 598 s before the start.
    m.clock.nowMs += 999;  // a fraction of a second changes nothing: times are whole seconds
    m.eventLog.Add(FakeEventLog::Shutdown1074(Ago(598), L"restart"));
    functionToCheckRestart(agent);
    EXPECT_EQ(agent.m_bFlagForRestart, 0);
    EXPECT_EQ(At(Lines(), 3), kReached);

    platform::SystemTime limit;
    limit.year = 2026; limit.month = 3; limit.day = 5; limit.hour = 15; limit.minute = 20; limit.second = 2;
    std::wstring text;
    EXPECT_TRUE(CheckEventTime(agent, Ago(598), limit, &text));
    EXPECT_EQ(text, L"3/5/2026 15:20:02");
    EXPECT_TRUE(CheckEventTime(agent, Ago(599), limit, &text));
    EXPECT_FALSE(CheckEventTime(agent, Ago(597), limit, &text));
    EXPECT_EQ(text, L"3/5/2026 15:20:03");
    limit.day = 4;  // a limit across midnight compares by date too
    limit.hour = 23;
    EXPECT_FALSE(CheckEventTime(agent, Ago(598), limit, &text));
}

// ---- the window across the calendar ----

// The limit is taken with calendar arithmetic of the agent's own, the record's
// time with the system's conversion: both must agree to the second on every
// date. A record at the limit has reached it, one a second newer has not.
TEST_F(RestartCheckTest, TheLimitIsTenMinutesBackOnEveryDateAndTime) {
    auto check = [&](std::int64_t nowUtc) {
        m.files.Remove(L"C:\\ProgramData\\Vorlan\\ApplicationLog");
        m.clock.nowMs = nowUtc * 1000;
        const auto limit = static_cast<std::uint32_t>(nowUtc - 600);
        const auto local = [&](std::int64_t utc) { return fake::FakeClock::FromUnixMs((utc + 3600) * 1000); };
        const auto l = local(limit);
        char limitText[96], newer[32], at[32];
        std::snprintf(limitText, sizeof limitText, "Considering event  datetime  upto : %02d/%02d/%04d : %02d:%02d:%02d",
                      l.day, l.month, l.year, l.hour, l.minute, l.second);
        for (auto [text, t] : {std::pair{newer, local(limit + 1)}, std::pair{at, l}})
            std::snprintf(text, 32, "%d/%d/%d %.2d:%.2d:%.2d", t.month, t.day, t.year, t.hour, t.minute, t.second);
        EXPECT_EQ(Walk({Other(limit + 1), Other(limit)}), 0);
        EXPECT_EQ(Lines(), (std::vector<std::string>{Stamp(std::string(limitText) + " from current system date "),
                                                     Stamp(newer), NextRecord(1), Stamp(at), kReached}))
            << "now " << nowUtc;
    };
    // Local times (UTC + 1 h): year ends, month ends of every length, leap
    // days, the 1st and the 31st, the small hours, a limit on the hour.
    const int dates[][6] = {{2027, 1, 1, 0, 5, 0},   {2026, 1, 1, 0, 10, 0},  {2026, 1, 31, 23, 59, 59},
                            {2026, 2, 1, 0, 0, 30},  {2026, 3, 1, 0, 3, 0},   {2028, 3, 1, 0, 3, 0},
                            {2100, 3, 1, 0, 3, 0},   {2100, 3, 1, 0, 15, 0},  {2000, 3, 1, 0, 9, 59},
                            {2026, 5, 1, 0, 1, 0},
                            {2026, 7, 1, 0, 1, 0},   {2026, 8, 1, 0, 9, 0},   {2026, 10, 1, 0, 2, 0},
                            {2026, 12, 31, 5, 39, 0}, {2026, 12, 1, 0, 0, 0}, {2026, 6, 30, 23, 55, 0},
                            {2026, 11, 30, 3, 4, 5}, {2029, 9, 1, 0, 7, 7},   {1980, 1, 1, 0, 0, 0},
                            {2026, 6, 15, 23, 10, 0}};
    for (const auto& d : dates) {
        m.clock.SetLocal(d[0], d[1], d[2], d[3], d[4], d[5]);
        check(m.clock.Time64());
    }
    // A clock that cannot be read as a calendar time leaves the limit unknown: no record reaches it.
    m.clock.nowMs = -5000;
    EXPECT_EQ(Walk({FakeEventLog::Shutdown1074(60, L"restart")}), 1);
    EXPECT_EQ(agent.m_bFlagForRestart, 1);
    // And any second a record's 32-bit time can hold, from a fixed seed.
    std::uint64_t x = 17;
    for (int i = 0; i < 300; ++i) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        check(600 + static_cast<std::int64_t>((x >> 33) % 0xFFFFF000u));
    }
}

// ---- what counts as a User32 1074 record ----

TEST_F(RestartCheckTest, SourceIsComparedWithoutCaseAndOnlyTheLow16BitsOfTheIdCount) {
    struct Case {
        std::wstring source;
        std::uint32_t id;
        int examined;
    } cases[] = {
        {L"USER32", 0x80000432u, 1},
        {L"user32", 0x40000432u, 1},
        {L"User32", 0x00000432u, 1},
        {L"User32", 0xC0010432u, 1},
        {L"User32", 0x80000433u, 0},
        {L"User32 ", 0x80000432u, 0},
        {L"EventLog", 0x80000432u, 0},
    };
    for (const auto& c : cases) {
        FakeEvent e = FakeEventLog::Shutdown1074(Ago(60), L"restart");
        e.source = c.source;
        e.eventId = c.id;
        agent.m_bFlagForRestart = 0;
        EXPECT_EQ(Walk({e}), c.examined) << std::hex << c.id;
        EXPECT_EQ(agent.m_bFlagForRestart, c.examined) << std::hex << c.id;
    }
}

TEST_F(RestartCheckTest, OnlyAWholeInsertionStringRestartInAnyCaseMatches) {
    struct Case {
        std::wstring type;
        BOOL restart;
    } cases[] = {{L"RESTART", 1}, {L"Restart", 1}, {L"restart now", 0}, {L" restart", 0},
                 {L"power off", 0}, {L"restar", 0}};
    for (const auto& c : cases) {
        agent.m_bFlagForRestart = 0;
        EXPECT_EQ(Walk({FakeEventLog::Shutdown1074(Ago(60), c.type)}), 1);
        EXPECT_EQ(agent.m_bFlagForRestart, c.restart) << fake::Utf8(c.type);
    }
    // The string is logged as stored; the message shows it lowered.
    const auto lines = Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), EventData("GetMessageString", "RESTART")), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), MessageLine("restart now")), lines.end());
}

TEST_F(RestartCheckTest, MessageWithoutTextIsLoggedAsNullAndDoesNotDecide) {
    // Without the qualifier bits user32's table has no such message.
    FakeEvent e = FakeEventLog::Shutdown1074(Ago(60), L"restart");
    e.eventId = 1074;
    EXPECT_EQ(Walk({e}), 1);
    EXPECT_EQ(agent.m_bFlagForRestart, 1);
    auto lines = Lines();
    EXPECT_EQ(Last(lines, 1), EventData("GetMessageString", "(null)"));
    EXPECT_EQ(Last(lines), kRestartFound);

    // A record without insertion strings: formatted without arguments, no restart.
    FakeEvent bare = FakeEventLog::Shutdown1074(Ago(60), L"restart");
    bare.strings.clear();
    agent.m_bFlagForRestart = 0;
    EXPECT_EQ(Walk({bare}), 1);
    EXPECT_EQ(agent.m_bFlagForRestart, 0);
    EXPECT_EQ(m.eventLog.formatFlags.back(), 0x1900u);
    EXPECT_EQ(Last(Lines()), EventData("GetMessageString", "(null)"));
}

TEST_F(RestartCheckTest, EventTypeNames) {
    const std::pair<std::uint16_t, std::string> names[] = {
        {1, "Error"}, {2, "Warning"}, {4, "Informational"}, {8, "Audit Success"},
        {16, "Audit Failure"}, {0, "Error"}, {3, "Error"}};
    for (const auto& [type, name] : names) {
        FakeEvent e = FakeEventLog::Shutdown1074(Ago(60), L"power off");
        e.eventType = type;
        Walk({e});
        const auto lines = Lines();
        EXPECT_NE(std::find(lines.begin(), lines.end(), "DumpRecordsInBuffer|INFO|Event Type|" + name + "|"),
                  lines.end())
            << type;
    }
}

// ---- the log's side ----

TEST_F(RestartCheckTest, EmptyLogEndsEveryAttemptAtOnce) {
    functionToCheckRestart(agent);
    EXPECT_EQ(Lines(), (std::vector<std::string>{Attempt(1), Attempt(2), Attempt(3), Attempt(4), Attempt(5)}));
    EXPECT_EQ(m.clock.sleeps, Waits(5));
    EXPECT_EQ(m.eventLog.reads, 5);
    EXPECT_EQ(m.eventLog.closes, 5);
    EXPECT_EQ(agent.m_bFlagForRestart, 0);
}

TEST_F(RestartCheckTest, UnavailableLogGivesFiveAttemptLinesTwoSecondsApart) {
    m.eventLog.openFails = true;
    functionToCheckRestart(agent);
    const auto entries = fake::ReadLog(m).entries;
    ASSERT_EQ(entries.size(), 5u);
    const char* times[] = {"03:30:02 PM", "03:30:04 PM", "03:30:06 PM", "03:30:08 PM", "03:30:10 PM"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(entries[i].val1, "Reading Eventlog... Attempt ");
        EXPECT_EQ(entries[i].val2, std::to_string(i + 1));
        EXPECT_EQ(entries[i].time, times[i]);
    }
    EXPECT_EQ(m.clock.sleeps, Waits(5));
    EXPECT_EQ(m.eventLog.loads, 0);
    EXPECT_EQ(m.eventLog.reads, 0);
}

TEST_F(RestartCheckTest, MessageModuleMissingOrReadFailingSkipsTheAttemptAndClosesTheLog) {
    m.eventLog.Add(FakeEventLog::Shutdown1074(Ago(60), L"restart"));
    m.eventLog.loadFails = true;
    functionToCheckRestart(agent);
    EXPECT_EQ(m.eventLog.reads, 0);
    EXPECT_EQ(m.eventLog.closes, 5);
    EXPECT_EQ(agent.m_hMessageModule, 0u);

    // Without the system directory nothing is loaded from the current drive's root.
    m.eventLog.loadFails = false;
    m.shell.systemDirectory = L"";
    functionToCheckRestart(agent);
    EXPECT_EQ(m.eventLog.loads, 5) << "none more";
    EXPECT_EQ(m.eventLog.reads, 0);
    m.shell.systemDirectory = L"C:\\windows\\system32";

    m.eventLog.readError = platform::err::AccessDenied;
    functionToCheckRestart(agent);
    EXPECT_EQ(m.eventLog.reads, 5);
    EXPECT_TRUE(m.eventLog.openLogs.empty());
    EXPECT_EQ(agent.m_bFlagForRestart, 0);
    EXPECT_EQ(m.clock.sleeps, Waits(15));
}

TEST_F(RestartCheckTest, NewestRecordOver64KiBIsReadWithAGrownBufferAndItsDataLogged) {
    FakeEvent big = FakeEventLog::Shutdown1074(Ago(60), L"restart");
    const std::string text(40000, 'D');
    for (char c : text) big.data.insert(big.data.end(), {static_cast<std::uint8_t>(c), 0});
    big.data.insert(big.data.end(), {0, 0, 0x33, 0x44});
    m.eventLog.Add(big);

    functionToCheckRestart(agent);

    EXPECT_EQ(agent.m_bFlagForRestart, 1);
    ASSERT_EQ(m.eventLog.readSizes.size(), 2u);
    EXPECT_EQ(m.eventLog.readSizes[0], 65536u);
    EXPECT_EQ(m.eventLog.readSizes[1], FakeEventLog::BuildRecord(big, 1).size());
    const auto lines = Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], kRestartFound);
    EXPECT_EQ(lines.back(), "DumpRecordsInBuffer|INFO|Event data|" + text + "|") << "data ends at its first NUL";
}

TEST_F(RestartCheckTest, BufferGrowsNoFurtherThanReadEventLogTakes) {
    // ReadEventLogW takes at most 0x7FFFF bytes: a record up to that size is
    // read with a buffer of its size, a larger one is never asked for.
    struct Case {
        std::size_t dataBytes;
        int restart;
        std::size_t reads;
    };
    for (const Case c : {Case{0x70000, 1, 2}, Case{0x80000, 0, 5}}) {
        SCOPED_TRACE(c.dataBytes);
        m.eventLog.events.clear();
        m.eventLog.readSizes.clear();
        agent.m_bFlagForRestart = 0;
        FakeEvent big = FakeEventLog::Shutdown1074(Ago(60), L"restart");
        big.data.assign(c.dataBytes, 0x44);
        m.eventLog.Add(big);
        const auto size = static_cast<std::uint32_t>(FakeEventLog::BuildRecord(big, 1).size());

        functionToCheckRestart(agent);

        EXPECT_EQ(agent.m_bFlagForRestart, c.restart);
        ASSERT_EQ(m.eventLog.readSizes.size(), c.reads) << "one read per attempt when it cannot fit";
        for (std::uint32_t read : m.eventLog.readSizes) EXPECT_LE(read, 0x7FFFFu);
        if (c.restart) EXPECT_EQ(m.eventLog.readSizes[1], size);
    }
}

TEST_F(RestartCheckTest, NewestRecordThatGrowsAtEveryReadIsReadAgainOnlyThreeTimes) {
    FakeEvent big = FakeEventLog::Shutdown1074(Ago(60), L"restart");
    big.data.assign(70000, 0x44);
    m.eventLog.Add(big);
    m.eventLog.beforeRead = [&] { m.eventLog.events.back().data.resize(m.eventLog.events.back().data.size() + 4096); };
    functionToCheckRestart(agent);
    EXPECT_EQ(agent.m_bFlagForRestart, 0);
    EXPECT_EQ(m.eventLog.readSizes.size(), 5u * 4) << "one read and three more in each attempt";
}

// ---- blocks that do not hold together ----

TEST_F(RestartCheckTest, MalformedRecordEndsTheWalkIsLoggedAndTheCheckGoesOn) {
    auto block = FakeEventLog::BuildBlock({Other(Ago(20))});
    const std::size_t second = block.size();
    block.resize(second + 64, 0);  // a second "record" whose Length is 0 would never advance
    m.eventLog.rawBlock = block;

    functionToCheckRestart(agent);

    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 5u * 5);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5),
              (std::vector<std::string>{Attempt(1), kLimitLine, Stamp("3/5/2026 15:29:40"), NextRecord(1),
                                        "DumpRecordsInBuffer|ERROR|Malformed record|2|record length too small"}));
    EXPECT_EQ(m.clock.sleeps, Waits(5));
}

TEST_F(RestartCheckTest, Malformed1074RecordIsNotExamined) {
    // Insertion strings whose last one has no NUL before the record's end.
    auto record = FakeEventLog::BuildRecord(FakeEventLog::Shutdown1074(Ago(60), L"restart"), 7);
    record[26] = 40;  // NumStrings
    const auto result = DumpRecordsInBuffer(record.data(), record.size(), agent);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(agent.m_bFlagForRestart, 0);
    const auto lines = Lines();
    EXPECT_EQ(Last(lines), "DumpRecordsInBuffer|ERROR|Malformed record|1|insertion string not terminated");
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("Event Type") != std::string::npos; }),
              0);
}

TEST_F(RestartCheckTest, BlocksThatEndMidRecordOrAreEmptyEndTheWalk) {
    const auto good = FakeEventLog::BuildBlock({Other(Ago(20)), Other(Ago(30))});
    for (std::size_t cut : {std::size_t{0}, std::size_t{3}, std::size_t{56}, good.size() - 1}) {
        std::vector<std::uint8_t> part(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_EQ(DumpRecordsInBuffer(part.data(), part.size(), agent), 0) << cut;
    }
    EXPECT_EQ(DumpRecordsInBuffer(nullptr, 100, agent), 0);
}
