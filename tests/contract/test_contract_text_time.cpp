// ANSI conversion and the local clock of the seam.
#include "tests/contract/ContractTest.h"

namespace contract {
namespace {

class TextContract : public ContractTest {
protected:
    void SetUp() override {
        ContractTest::SetUp();
        if (env().AnsiCodePage() != 1252) GTEST_SKIP() << "needs the ANSI code page 1252";
    }
};

TEST_F(TextContract, WideToAnsiUsesTheDefaultCharacterForWhatThePageLacks) {
    auto& text = os().text;
    EXPECT_EQ(text.ToAnsi(L"jsmith"), "jsmith");
    EXPECT_EQ(text.ToAnsi(L""), "");
    EXPECT_EQ(text.ToAnsi(L"\u00e9\u00fc\u00df"), "\xe9\xfc\xdf");
    EXPECT_EQ(text.ToAnsi(L"\u20ac\u2019\u0160\u0178"), "\x80\x92\x8a\x9f");
    EXPECT_EQ(text.ToAnsi(L"\u4e2d\u0416"), "??") << "no place in the page, no best fit";
    EXPECT_EQ(text.ToAnsi(L"\u0141\u0100"), "LA") << "the system's best fit";
    EXPECT_EQ(text.ToAnsi(L"a\tb\r\nc"), "a\tb\r\nc");
    EXPECT_EQ(text.ToAnsi(L"\u0081"), "\x81");
    // A surrogate half without its other half is no character: the default one.
    EXPECT_EQ(text.ToAnsi(std::wstring(L"a") + static_cast<wchar_t>(0xD800) + L"&"), "a?&");
    EXPECT_EQ(text.ToAnsi(std::wstring(L"a") + static_cast<wchar_t>(0xDC00)), "a?");
}

TEST_F(TextContract, AnsiToWide) {
    auto& text = os().text;
    EXPECT_EQ(text.FromAnsi("\x80\x92\xe9\x81"), L"\u20ac\u2019\u00e9\u0081");
    EXPECT_EQ(text.FromAnsi("plain"), L"plain");
    EXPECT_EQ(text.FromAnsi(""), L"");
}

// The system's code page (1252 here, as the thread's) decides what the
// profile functions keep in a file without the byte-order mark: a text
// shows only when it comes back unchanged, and a best fit does not.
TEST_F(TextContract, SystemCodePageShowsWhatSurvivesTheRoundTrip) {
    auto& text = os().text;
    EXPECT_TRUE(text.ShowsInSystemCodePage(L"jsmith"));
    EXPECT_TRUE(text.ShowsInSystemCodePage(L""));
    EXPECT_TRUE(text.ShowsInSystemCodePage(L"Jos\u00e9 \u20ac"));
    EXPECT_FALSE(text.ShowsInSystemCodePage(L"\u0141ukasz")) << "a best fit is not the name";
    EXPECT_FALSE(text.ShowsInSystemCodePage(L"\u0418\u0432\u0430\u043D"));
}

class ClockContract : public ContractTest {};

platform::SystemTime At(int hour, int minute, int second) {
    platform::SystemTime t;
    t.year = 2026;
    t.month = 3;
    t.day = 5;
    t.dayOfWeek = 4;
    t.hour = static_cast<std::uint16_t>(hour);
    t.minute = static_cast<std::uint16_t>(minute);
    t.second = static_cast<std::uint16_t>(second);
    return t;
}

TEST_F(ClockContract, TwelveHourPictureOfTheLog) {
    auto& clock = os().clock;
    const std::string picture = "hh':'mm':'ss tt";
    EXPECT_EQ(clock.FormatTimeA(At(0, 15, 0), picture), "12:15:00 AM");
    EXPECT_EQ(clock.FormatTimeA(At(9, 5, 7), picture), "09:05:07 AM");
    EXPECT_EQ(clock.FormatTimeA(At(12, 0, 0), picture), "12:00:00 PM");
    EXPECT_EQ(clock.FormatTimeA(At(13, 4, 5), picture), "01:04:05 PM");
    EXPECT_EQ(clock.FormatTimeA(At(23, 59, 59), picture), "11:59:59 PM");
}

TEST_F(ClockContract, TwentyFourHourPicture) {
    EXPECT_EQ(os().clock.FormatTimeW(At(13, 4, 5), L"HH':'mm':'ss"), L"13:04:05");
    EXPECT_EQ(os().clock.FormatTimeW(At(0, 0, 9), L"HH':'mm':'ss"), L"00:00:09");
}

TEST_F(ClockContract, LocalTimeAgreesWithTheConvertedSystemTime) {
    auto& clock = os().clock;
    platform::SystemTime local = clock.GetLocalTime();
    platform::SystemTime converted;
    ASSERT_TRUE(clock.LocalTime64(clock.Time64(), &converted));
    EXPECT_GE(local.year, 2000);
    EXPECT_GE(local.month, 1);
    EXPECT_LE(local.month, 12);
    EXPECT_LE(local.hour, 23);
    if (local.day == converted.day) {
        int a = local.hour * 3600 + local.minute * 60 + local.second;
        int b = converted.hour * 3600 + converted.minute * 60 + converted.second;
        EXPECT_LE(b - a, 2);
        EXPECT_GE(b - a, 0);
    }
}

TEST_F(ClockContract, FileTimesConvertToLocalTime) {
    auto& clock = os().clock;
    // 2026-03-05 12:00:00 UTC as a FILETIME.
    const std::uint64_t fileTime = (1772712000ULL + 11644473600ULL) * 10000000ULL;
    platform::SystemTime fromFileTime, fromTime64;
    ASSERT_TRUE(clock.FileTimeToLocalSystemTime(fileTime, &fromFileTime));
    ASSERT_TRUE(clock.LocalTime64(1772712000, &fromTime64));
    EXPECT_EQ(fromFileTime.year, fromTime64.year);
    EXPECT_EQ(fromFileTime.day, fromTime64.day);
    EXPECT_EQ(fromFileTime.hour, fromTime64.hour);
    EXPECT_EQ(fromFileTime.minute, 0);
}

}  // namespace
}  // namespace contract
