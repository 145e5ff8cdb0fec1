// The local clock, time formats and the one wait.
#include <time.h>
#include <vector>
#include "platform/win32/Win32Platform.h"

namespace win32 {

platform::SystemTime FromSystemTime(const SYSTEMTIME& st) {
    platform::SystemTime t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.dayOfWeek = st.wDayOfWeek;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.milliseconds = st.wMilliseconds;
    return t;
}

SYSTEMTIME ToSystemTime(const platform::SystemTime& t) {
    SYSTEMTIME st;
    st.wYear = t.year;
    st.wMonth = t.month;
    st.wDayOfWeek = t.dayOfWeek;
    st.wDay = t.day;
    st.wHour = t.hour;
    st.wMinute = t.minute;
    st.wSecond = t.second;
    st.wMilliseconds = t.milliseconds;
    return st;
}

platform::SystemTime Clock::GetLocalTime() {
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    return FromSystemTime(st);
}

std::int64_t Clock::Time64() {
    return _time64(nullptr);
}

bool Clock::LocalTime64(std::int64_t utcSeconds, platform::SystemTime* local) {
    // _localtime64 rather than its _s form: the C run-time of Windows XP
    // has only the former, and this program has one thread.
    const __time64_t value = utcSeconds;
    const struct tm* parts = _localtime64(&value);
    if (parts == nullptr) return false;
    platform::SystemTime t;
    t.year = static_cast<std::uint16_t>(parts->tm_year + 1900);
    t.month = static_cast<std::uint16_t>(parts->tm_mon + 1);
    t.dayOfWeek = static_cast<std::uint16_t>(parts->tm_wday);
    t.day = static_cast<std::uint16_t>(parts->tm_mday);
    t.hour = static_cast<std::uint16_t>(parts->tm_hour);
    t.minute = static_cast<std::uint16_t>(parts->tm_min);
    t.second = static_cast<std::uint16_t>(parts->tm_sec);
    if (local) *local = t;
    return true;
}

bool Clock::FileTimeToLocalSystemTime(std::uint64_t fileTime, platform::SystemTime* local) {
    FILETIME utc, localFileTime;
    utc.dwLowDateTime = static_cast<DWORD>(fileTime & 0xFFFFFFFFu);
    utc.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
    SYSTEMTIME st;
    if (!::FileTimeToLocalFileTime(&utc, &localFileTime)) return false;
    if (!::FileTimeToSystemTime(&localFileTime, &st)) return false;
    if (local) *local = FromSystemTime(st);
    return true;
}

std::string Clock::FormatTimeA(const platform::SystemTime& time, const std::string& picture) {
    const SYSTEMTIME st = ToSystemTime(time);
    const int length = ::GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &st, picture.c_str(), nullptr, 0);
    if (length <= 0) return std::string();
    std::vector<char> text(static_cast<std::size_t>(length), '\0');
    if (::GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &st, picture.c_str(), text.data(), length) <= 0)
        return std::string();
    return std::string(text.data());
}

std::wstring Clock::FormatTimeW(const platform::SystemTime& time, const std::wstring& picture) {
    const SYSTEMTIME st = ToSystemTime(time);
    const int length = ::GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, &st, picture.c_str(), nullptr, 0);
    if (length <= 0) return std::wstring();
    std::vector<wchar_t> text(static_cast<std::size_t>(length), L'\0');
    if (::GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, &st, picture.c_str(), text.data(), length) <= 0)
        return std::wstring();
    return std::wstring(text.data());
}

void Clock::Sleep(std::uint32_t milliseconds) {
    ::Sleep(milliseconds);
}

}  // namespace win32
