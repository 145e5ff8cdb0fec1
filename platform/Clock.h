// Time: the local clock, time formats, conversions and the one way to wait.
#pragma once
#include <cstdint>
#include <string>
#include "platform/Types.h"

namespace platform {

class IClock {
public:
    virtual ~IClock() = default;

    // GetLocalTime.
    virtual SystemTime GetLocalTime() = 0;

    // _time64(NULL): seconds since 1970-01-01 00:00 UTC.
    virtual std::int64_t Time64() = 0;

    // _localtime64 of a _time64 value. False when it cannot be converted.
    virtual bool LocalTime64(std::int64_t utcSeconds, SystemTime* local) = 0;

    // FileTimeToLocalFileTime + FileTimeToSystemTime of a FILETIME (100 ns
    // units since 1601-01-01 UTC). False when either call fails.
    virtual bool FileTimeToLocalSystemTime(std::uint64_t fileTime, SystemTime* local) = 0;

    // GetTimeFormatA / GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, &time, picture).
    virtual std::string FormatTimeA(const SystemTime& time, const std::string& picture) = 0;
    virtual std::wstring FormatTimeW(const SystemTime& time, const std::wstring& picture) = 0;

    // Sleep. The only wait the logic ever makes.
    virtual void Sleep(std::uint32_t milliseconds) = 0;
};

}  // namespace platform
