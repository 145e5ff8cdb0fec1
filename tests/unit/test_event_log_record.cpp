// The record reader against real-layout and broken records, and the simulated
// System log's reading protocol that the restart check relies on.
#include <gtest/gtest.h>
#include <cstring>
#include <functional>
#include "system/EventLogRecord.h"
#include "tests/fakes/FakeEventLog.h"

using fake::FakeEvent;
using fake::FakeEventLog;

namespace {

void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

FakeEvent SampleEvent() {
    FakeEvent e = FakeEventLog::Shutdown1074(1772720880, L"restart");
    e.eventType = 2;
    e.category = 7;
    e.sid = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    const std::wstring dataText = L"NOTE";
    for (wchar_t c : dataText) { e.data.push_back(static_cast<std::uint8_t>(c)); e.data.push_back(0); }
    e.data.insert(e.data.end(), {0, 0, 0xAB});  // NUL, then a byte that is not text
    return e;
}

eventlog::ReadStatus Read(const std::vector<std::uint8_t>& block, std::size_t offset,
                          eventlog::Record* record, std::string* problem) {
    return eventlog::ReadRecord(std::span<const std::uint8_t>(block.data(), block.size()), offset,
                                record, problem);
}

}  // namespace

TEST(EventLogRecordTest, ReadsTheFieldsNamesStringsAndDataOfARealLayoutRecord) {
    const auto bytes = FakeEventLog::BuildRecord(SampleEvent(), 4711);
    ASSERT_EQ(bytes.size() % 4, 0u);
    eventlog::Record r;
    std::string problem;
    ASSERT_EQ(Read(bytes, 0, &r, &problem), eventlog::ReadStatus::Ok) << problem;
    EXPECT_EQ(r.length, bytes.size());
    EXPECT_EQ(r.recordNumber, 4711u);
    EXPECT_EQ(r.timeGenerated, 1772720880u);
    EXPECT_EQ(r.eventId, 0x80000432u);
    EXPECT_EQ(r.eventType, 2);
    EXPECT_EQ(r.eventCategory, 7);
    EXPECT_EQ(r.numStrings, 7);
    EXPECT_EQ(r.userSidLength, 12u);
    EXPECT_EQ(r.sourceName, L"User32");
    EXPECT_EQ(r.computerName, L"QVPC01");
    EXPECT_EQ(std::vector<std::uint8_t>(r.userSid.begin(), r.userSid.end()), SampleEvent().sid);

    std::vector<std::wstring> strings;
    ASSERT_TRUE(eventlog::ReadInsertionStrings(r, &strings, &problem)) << problem;
    ASSERT_EQ(strings.size(), 7u);
    EXPECT_EQ(strings[0], L"C:\\Windows\\system32\\shutdown.exe (QVPC01)");
    EXPECT_EQ(strings[4], L"restart");
    EXPECT_EQ(strings[5], L"");
    EXPECT_EQ(strings[6], L"QVPC01\\jsmith");

    std::wstring data;
    ASSERT_TRUE(eventlog::ReadDataText(r, &data, &problem));
    EXPECT_EQ(data, L"NOTE");
}

TEST(EventLogRecordTest, DecodesUtf16IncludingSurrogatePairs) {
    FakeEvent e = SampleEvent();
    e.source = L"\u00e9v\u00e9nement";
    e.strings = {std::wstring(L"x") + static_cast<wchar_t>(0x1F600) + L"y"};
    const auto bytes = FakeEventLog::BuildRecord(e, 1);
    eventlog::Record r;
    std::string problem;
    ASSERT_EQ(Read(bytes, 0, &r, &problem), eventlog::ReadStatus::Ok);
    EXPECT_EQ(r.sourceName, e.source);
    std::vector<std::wstring> strings;
    ASSERT_TRUE(eventlog::ReadInsertionStrings(r, &strings, &problem));
    if (sizeof(wchar_t) == 4) EXPECT_EQ(strings[0], e.strings[0]);
    else EXPECT_EQ(strings[0].size(), 4u);
}

TEST(EventLogRecordTest, StepsThroughABlockAndEndsExactlyAtItsEnd) {
    FakeEvent older = SampleEvent();
    older.source = L"EventLog";
    older.strings.clear();
    older.data.clear();
    const auto block = FakeEventLog::BuildBlock({SampleEvent(), older}, 10);
    eventlog::Record r;
    std::string problem;
    ASSERT_EQ(Read(block, 0, &r, &problem), eventlog::ReadStatus::Ok);
    EXPECT_EQ(r.recordNumber, 11u);
    const std::size_t second = r.length;
    ASSERT_EQ(Read(block, second, &r, &problem), eventlog::ReadStatus::Ok);
    EXPECT_EQ(r.recordNumber, 10u);
    EXPECT_EQ(r.sourceName, L"EventLog");
    EXPECT_EQ(Read(block, second + r.length, &r, &problem), eventlog::ReadStatus::End);
}

// Each broken record is refused before anything outside it is read.
TEST(EventLogRecordTest, RefusesRecordsWhoseLengthOrFramingDoesNotHold) {
    const auto good = FakeEventLog::BuildRecord(SampleEvent(), 1);
    struct Case {
        const char* name;
        std::function<void(std::vector<std::uint8_t>&)> breakIt;
        const char* problem;
    };
    const std::vector<Case> cases = {
        {"length 0 (would never advance)", [](auto& b) { Put32(b, 0, 0); }, "record length too small"},
        {"length below the fixed part", [](auto& b) { Put32(b, 0, 40); }, "record length too small"},
        {"length past the block", [](auto& b) { Put32(b, 0, static_cast<std::uint32_t>(b.size() + 4)); },
         "record runs past the bytes read"},
        {"length 0xFFFFFFFF", [](auto& b) { Put32(b, 0, 0xFFFFFFFFu); }, "record runs past the bytes read"},
        {"length not a multiple of 4", [](auto& b) { Put32(b, 0, static_cast<std::uint32_t>(b.size() - 2)); },
         "record length not a multiple of 4"},
        {"signature missing", [](auto& b) { Put32(b, 4, 0x12345678); }, "record signature missing"},
        {"trailing length differs", [](auto& b) { Put32(b, b.size() - 4, 8); }, "trailing length differs"},
        {"fewer bytes than the fixed part", [](auto& b) { b.resize(40); }, "record runs past the bytes read"},
        {"source name without NUL", [](auto& b) {
             for (std::size_t i = 56; i + 4 < b.size(); ++i) b[i] = 'A';
         }, "source name not terminated"},
        {"computer name without NUL", [](auto& b) {
             for (std::size_t i = 56 + 14; i + 4 < b.size(); ++i) b[i] = 'B';  // after "User32"
         }, "computer name not terminated"},
        {"SID past the record", [](auto& b) { Put32(b, 44, static_cast<std::uint32_t>(b.size())); },
         "SID outside the record"},
        {"SID length wrapping around", [](auto& b) { Put32(b, 40, 0xFFFFFFFCu); }, "SID outside the record"},
    };
    for (const auto& c : cases) {
        auto bytes = good;
        c.breakIt(bytes);
        eventlog::Record r;
        std::string problem;
        EXPECT_EQ(Read(bytes, 0, &r, &problem), eventlog::ReadStatus::Malformed) << c.name;
        EXPECT_EQ(problem, c.problem) << c.name;
    }
}

TEST(EventLogRecordTest, RefusesStringsAndDataThatLeaveTheRecord) {
    const auto good = FakeEventLog::BuildRecord(SampleEvent(), 1);
    struct Case {
        const char* name;
        std::function<void(std::vector<std::uint8_t>&)> breakIt;
        bool stringsOk, dataOk;
    };
    const std::vector<Case> cases = {
        {"string offset past the record", [](auto& b) { Put32(b, 36, 0x7FFFFFF0u); }, false, true},
        {"string offset inside the fixed part", [](auto& b) { Put32(b, 36, 8); }, false, true},
        {"more strings than the record holds", [](auto& b) { Put16(b, 26, 400); }, false, true},
        {"data offset past the record", [](auto& b) { Put32(b, 52, 0xFFFFFFF0u); }, true, false},
        {"data length wrapping around", [](auto& b) { Put32(b, 48, 0xFFFFFFF8u); }, true, false},
        {"data running into the trailing length", [](auto& b) {
             Put32(b, 48, static_cast<std::uint32_t>(b.size()) - 4 - b[52] - (b[53] << 8) + 2);
         }, true, false},
    };
    for (const auto& c : cases) {
        auto bytes = good;
        c.breakIt(bytes);
        eventlog::Record r;
        std::string problem;
        ASSERT_EQ(Read(bytes, 0, &r, &problem), eventlog::ReadStatus::Ok) << c.name;
        std::vector<std::wstring> strings;
        std::wstring data;
        EXPECT_EQ(eventlog::ReadInsertionStrings(r, &strings, &problem), c.stringsOk) << c.name;
        EXPECT_EQ(eventlog::ReadDataText(r, &data, &problem), c.dataOk) << c.name;
    }
}

TEST(EventLogRecordTest, DataWithoutNulIsTakenWholeAndNeverRunsIntoPadding) {
    FakeEvent e = SampleEvent();
    e.data = {'O', 0, 'K', 0, '!'};  // odd length, no NUL unit
    const auto bytes = FakeEventLog::BuildRecord(e, 1);
    eventlog::Record r;
    std::string problem;
    ASSERT_EQ(Read(bytes, 0, &r, &problem), eventlog::ReadStatus::Ok);
    std::wstring data;
    ASSERT_TRUE(eventlog::ReadDataText(r, &data, &problem));
    EXPECT_EQ(data, L"OK");
}

// ---- the simulated log's reading protocol ----

class FakeEventLogTest : public ::testing::Test {
protected:
    FakeEventLog log;
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(1 << 20, 0xCC);
    std::uint32_t read = 0xDEADBEEF, needed = 0xDEADBEEF;
    static constexpr std::uint32_t kFlags = 9;

    FakeEvent Event(std::uint32_t time, std::size_t dataBytes = 0) {
        FakeEvent e;
        e.source = L"Service Control Manager";
        e.eventId = 7036;
        e.timeGenerated = time;
        e.data.assign(dataBytes, 0x41);
        return e;
    }
};

TEST_F(FakeEventLogTest, ServesWholeRecordsNewestFirstThenHandleEof) {
    for (std::uint32_t t = 1; t <= 3; ++t) log.Add(Event(t * 100, 100));
    const std::uint32_t one = static_cast<std::uint32_t>(FakeEventLog::BuildRecord(log.events[0], 1).size());
    const auto h = log.Open(L"SYSTEM");
    ASSERT_NE(h, 0u);
    // Room for two and a half records: two whole ones come back.
    ASSERT_EQ(log.Read(h, kFlags, 0, buffer.data(), one * 5 / 2, &read, &needed), 0u);
    ASSERT_EQ(read, 2 * one);
    eventlog::Record r;
    std::string problem;
    const std::span<const std::uint8_t> block(buffer.data(), read);
    ASSERT_EQ(eventlog::ReadRecord(block, 0, &r, &problem), eventlog::ReadStatus::Ok);
    EXPECT_EQ(r.timeGenerated, 300u);
    EXPECT_EQ(r.recordNumber, 3u);
    ASSERT_EQ(eventlog::ReadRecord(block, one, &r, &problem), eventlog::ReadStatus::Ok);
    EXPECT_EQ(r.timeGenerated, 200u);
    EXPECT_EQ(buffer[read], 0xCC) << "nothing written past the records";

    ASSERT_EQ(log.Read(h, kFlags, 0, buffer.data(), 65536, &read, &needed), 0u);
    EXPECT_EQ(read, one);
    EXPECT_EQ(log.Read(h, kFlags, 0, buffer.data(), 65536, &read, &needed), 38u);
    EXPECT_EQ(read, 0u);
    log.Close(h);
    EXPECT_TRUE(log.openLogs.empty());
}

TEST_F(FakeEventLogTest, TooSmallBufferGivesBytesNeededForTheNewestRecordAlone) {
    log.Add(Event(100, 10));
    log.Add(Event(200, 70000));
    const auto h = log.Open(L"System");
    ASSERT_EQ(log.Read(h, kFlags, 0, buffer.data(), 65536, &read, &needed), 122u);
    EXPECT_EQ(read, 0u);
    EXPECT_GT(needed, 70000u);
    ASSERT_EQ(log.Read(h, kFlags, 0, buffer.data(), needed, &read, &needed), 0u);
    eventlog::Record r;
    std::string problem;
    ASSERT_EQ(eventlog::ReadRecord({buffer.data(), read}, 0, &r, &problem), eventlog::ReadStatus::Ok);
    EXPECT_EQ(r.timeGenerated, 200u);
}

TEST_F(FakeEventLogTest, OtherLogsReadEmptyAndEachHandleStartsAtTheNewest) {
    log.Add(Event(100));
    const auto other = log.Open(L"Application");
    EXPECT_EQ(log.Read(other, kFlags, 0, buffer.data(), 65536, &read, &needed), 38u);
    const auto a = log.Open(L"SYSTEM");
    const auto b = log.Open(L"SYSTEM");
    EXPECT_EQ(log.Read(a, kFlags, 0, buffer.data(), 65536, &read, &needed), 0u);
    EXPECT_EQ(log.Read(b, kFlags, 0, buffer.data(), 65536, &read, &needed), 0u);
    EXPECT_EQ(log.Read(a, 1, 0, buffer.data(), 65536, &read, &needed), 87u) << "direction missing";
}

TEST_F(FakeEventLogTest, RawBlockIsServedAsItStands) {
    log.rawBlock = std::vector<std::uint8_t>{1, 2, 3, 4, 5};
    const auto h = log.Open(L"SYSTEM");
    ASSERT_EQ(log.Read(h, kFlags, 0, buffer.data(), 4, &read, &needed), 122u);
    EXPECT_EQ(needed, 5u);
    ASSERT_EQ(log.Read(h, kFlags, 0, buffer.data(), 65536, &read, &needed), 0u);
    EXPECT_EQ(read, 5u);
    EXPECT_EQ(std::memcmp(buffer.data(), log.rawBlock->data(), 5), 0);
    EXPECT_EQ(log.Read(h, kFlags, 0, buffer.data(), 65536, &read, &needed), 38u);
}

TEST_F(FakeEventLogTest, FormatsUser32ShutdownMessageFromItsTable) {
    const auto module = log.LoadLibraryAsDataFile(L"C:\\Windows\\system32\\user32.dll");
    ASSERT_NE(module, 0u);
    const auto args = FakeEventLog::Shutdown1074(0, L"restart").strings;
    const auto text = log.FormatMessage(0x3900, module, 0x80000432u, &args);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text,
              L"The process C:\\Windows\\system32\\shutdown.exe (QVPC01) has initiated the restart of "
              L"computer QVPC01 on behalf of user QVPC01\\jsmith for the following reason: No title for "
              L"this reason could be found\r\n Reason Code: 0x800000ff\r\n Shutdown Type: restart\r\n"
              L" Comment: \r\n");
    // The table is keyed by the full ID: without the qualifier bits there is no message.
    EXPECT_FALSE(log.FormatMessage(0x3900, module, 1074, &args).has_value());
    // Inserts without arguments fail; ignored inserts stay as written.
    EXPECT_FALSE(log.FormatMessage(0x1900, module, 0x80000432u, nullptr).has_value());
    const std::vector<std::wstring> three = {L"a", L"b", L"c"};
    const auto short3 = log.FormatMessage(0x3900, module, 0x80000432u, &three);
    ASSERT_TRUE(short3.has_value());
    EXPECT_EQ(short3->substr(0, 37), L"The process a has initiated the  of c") << "inserts past the strings are empty";
    const auto ignored = log.FormatMessage(0x1B00, module, 0x80000432u, nullptr);
    ASSERT_TRUE(ignored.has_value());
    EXPECT_EQ(ignored->substr(0, 15), L"The process %1 ");
    // Only a loaded module has a table.
    EXPECT_FALSE(log.FormatMessage(0x3900, module + 1, 0x80000432u, &args).has_value());
}

TEST(FakeEventLogExpandTest, HandlesFormatMessageEscapes) {
    const std::vector<std::wstring> args = {L"one", L"two"};
    EXPECT_EQ(FakeEventLog::Expand(L"%1!s!-%2%%%n%t%0tail", 0x2000, &args), L"one-two%\r\n\t");
}
