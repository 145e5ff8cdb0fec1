// How the event-log operations of the seam behave: the System log read
// backwards in whole records to ERROR_HANDLE_EOF, the bytes needed when a
// record does not fit, and user32 loaded as a data file to format messages.
// A log that holds nothing (as under Wine) must still end cleanly.
#include <cstring>
#include <vector>
#include "platform/EventLog.h"
#include "platform/Types.h"
#include "tests/contract/ContractTest.h"

namespace contract {
namespace {

namespace err = platform::err;
constexpr std::uint32_t kBackwards = platform::EventlogSequentialRead | platform::EventlogBackwardsRead;
constexpr std::uint32_t kJunk = 0xDEADBEEF;
constexpr std::size_t kGuard = 16;
constexpr std::uint8_t kGuardByte = 0xCC;

std::uint32_t Get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// A read buffer with guard bytes past the size handed to the system.
struct GuardedBuffer {
    explicit GuardedBuffer(std::uint32_t size) : size(size), bytes(size + kGuard, kGuardByte) {}
    std::uint8_t* data() { return bytes.data(); }
    bool GuardIntact() const {
        for (std::size_t i = size; i < bytes.size(); ++i)
            if (bytes[i] != kGuardByte) return false;
        return true;
    }
    std::uint32_t size;
    std::vector<std::uint8_t> bytes;
};

// The block is a run of whole records: each one's Length steps exactly to the
// next, carries the signature and repeats its Length at its end.
::testing::AssertionResult WholeRecords(const std::uint8_t* block, std::uint32_t read) {
    std::uint32_t at = 0;
    int count = 0;
    while (at < read) {
        if (read - at < 56) return ::testing::AssertionFailure() << "a piece of a record at " << at;
        const std::uint32_t length = Get32(block + at);
        if (length < 56 || length > read - at || length % 4 != 0)
            return ::testing::AssertionFailure() << "record " << count << " has length " << length;
        if (Get32(block + at + 4) != 0x654c664cu)
            return ::testing::AssertionFailure() << "record " << count << " lacks 'LfLe'";
        if (Get32(block + at + length - 4) != length)
            return ::testing::AssertionFailure() << "record " << count << " does not end with its length";
        at += length;
        ++count;
    }
    return ::testing::AssertionSuccess() << count << " records";
}

class EventLogContract : public ContractTest {
protected:
    platform::IEventLog& log() { return os().eventLog; }
};

TEST_F(EventLogContract, SystemLogReadsBackwardsInWholeRecordsToHandleEof) {
    const platform::Handle h = log().Open(L"SYSTEM");
    ASSERT_NE(h, 0u);
    GuardedBuffer buffer(65536);
    std::uint32_t error = err::Success;
    std::uint32_t lastNumber = 0;
    bool first = true;
    for (int block = 0; block < 100000 && error == err::Success; ++block) {
        std::uint32_t read = kJunk, needed = kJunk;
        error = log().Read(h, kBackwards, 0, buffer.data(), buffer.size, &read, &needed);
        ASSERT_TRUE(buffer.GuardIntact()) << "written past the buffer";
        if (error == err::InsufficientBuffer) {
            ASSERT_GT(needed, buffer.size);
            buffer = GuardedBuffer(needed);
            error = err::Success;
            continue;
        }
        if (error != err::Success) {
            EXPECT_EQ(read, 0u) << "nothing read with a failure";
            break;
        }
        ASSERT_GT(read, 0u);
        ASSERT_LE(read, buffer.size);
        ASSERT_TRUE(WholeRecords(buffer.data(), read));
        // Newest first: the record numbers fall along the walk, within a
        // block and from one block to the next.
        for (std::uint32_t at = 0; at < read; at += Get32(buffer.data() + at)) {
            const std::uint32_t number = Get32(buffer.data() + at + 8);
            if (!first) EXPECT_LT(number, lastNumber);
            lastNumber = number;
            first = false;
        }
    }
    EXPECT_EQ(error, err::HandleEof);
    log().Close(h);
}

TEST_F(EventLogContract, TooSmallBufferGivesTheBytesTheNewestRecordNeeds) {
    const platform::Handle h = log().Open(L"SYSTEM");
    ASSERT_NE(h, 0u);
    GuardedBuffer small(8);
    std::uint32_t read = kJunk, needed = kJunk;
    const std::uint32_t error = log().Read(h, kBackwards, 0, small.data(), small.size, &read, &needed);
    EXPECT_TRUE(small.GuardIntact());
    if (error == err::HandleEof) {
        log().Close(h);
        GTEST_SKIP() << "the System log holds no record here";
    }
    ASSERT_EQ(error, err::InsufficientBuffer);
    EXPECT_EQ(read, 0u);
    ASSERT_GT(needed, small.size);

    // Exactly that many bytes take the newest record, and it is that long.
    GuardedBuffer fitting(needed);
    std::uint32_t read2 = kJunk, needed2 = kJunk;
    ASSERT_EQ(log().Read(h, kBackwards, 0, fitting.data(), fitting.size, &read2, &needed2), err::Success);
    EXPECT_TRUE(fitting.GuardIntact());
    EXPECT_EQ(read2, needed);
    EXPECT_EQ(Get32(fitting.data()), needed);
    log().Close(h);
}

TEST_F(EventLogContract, EveryOpenStartsAgainAtTheNewestRecord) {
    const platform::Handle a = log().Open(L"SYSTEM");
    const platform::Handle b = log().Open(L"SYSTEM");
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    GuardedBuffer first(65536), second(65536);
    std::uint32_t readA = 0, readB = 0, needed = 0;
    const auto errorA = log().Read(a, kBackwards, 0, first.data(), first.size, &readA, &needed);
    const auto errorB = log().Read(b, kBackwards, 0, second.data(), second.size, &readB, &needed);
    EXPECT_EQ(errorA, errorB);
    if (errorA == err::Success && readA >= 56 && readB >= 56) {
        EXPECT_EQ(Get32(first.data() + 8), Get32(second.data() + 8)) << "same RecordNumber";
    }
    log().Close(a);
    log().Close(b);
}

// The agent's own entries: an unregistered source name is still accepted
// (the log falls back to the Application log's default), and an entry with
// its strings, empty ones and line breaks included, is taken.
TEST_F(EventLogContract, ASourceTakesEntriesUntilItIsDeregistered) {
    std::uint32_t error = kJunk;
    const platform::Handle source = log().RegisterSource(L"quorva", &error);
    ASSERT_NE(source, 0u);
    EXPECT_EQ(error, err::Success);
    EXPECT_EQ(log().Report(source, platform::EventlogErrorType, 1005, {L"jsmith", L"", L"two\nlines", L""}), err::Success);
    EXPECT_EQ(log().Report(source, platform::EventlogWarningType, 1003, {}), err::Success);
    log().DeregisterSource(source);
}

TEST_F(EventLogContract, User32LoadsAsDataFileAndUnknownMessagesGiveNoText) {
    const std::wstring system = os().shell.GetSystemDirectory(1024);
    ASSERT_FALSE(system.empty());
    const platform::Handle module = log().LoadLibraryAsDataFile(system + L"\\user32.dll");
    ASSERT_NE(module, 0u);

    const std::vector<std::wstring> args = {L"C:\\Windows\\system32\\shutdown.exe (QVPC01)", L"QVPC01",
                                            L"no title for this reason could be found", L"0x800000ff",
                                            L"restart", L"", L"QVPC01\\jsmith"};
    const std::uint32_t flags = platform::FormatMessageFromSystem | platform::FormatMessageFromHModule |
                                platform::FormatMessageAllocateBuffer | platform::FormatMessageArgumentArray;
    EXPECT_FALSE(log().FormatMessage(flags, module, 0x8000FEDCu, &args).has_value());

    // Where the system's table has the shutdown message, it carries the strings.
    const auto text = log().FormatMessage(flags, module, 0x80000432u, &args);
    if (text) {
        EXPECT_NE(text->find(L"QVPC01\\jsmith"), std::wstring::npos);
        EXPECT_NE(text->find(L"restart"), std::wstring::npos);
        EXPECT_EQ(text->find(L"%"), std::wstring::npos) << "every insert filled";
    }
}

}  // namespace
}  // namespace contract
