// Virtual time for the simulated machine. Nothing waits for real: Sleep
// advances the clock and runs, in time order, every action scheduled up to the
// new time ("at +3 s the service writes Proc ID"). Local time is UTC plus a
// fixed bias, so tests can state times either way.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>
#include "platform/Clock.h"

namespace fake {

class FakeClock : public platform::IClock {
public:
    // Milliseconds since 1970-01-01 00:00 UTC. Default: 2026-03-05 14:30:00 UTC.
    std::int64_t nowMs = 1772721000000LL;
    // Local time = UTC + bias (minutes).
    std::int32_t localBiasMinutes = 60;
    // Every Sleep call, in order, as asked.
    std::vector<std::uint32_t> sleeps;
    // The locale's designators for GetTimeFormat's "tt".
    std::string am = "AM", pm = "PM";

    // Runs `action` once when the virtual clock reaches `atMs` (absolute).
    void At(std::int64_t atMs, std::function<void()> action);
    // Runs `action` after `delayMs` from now.
    void After(std::int64_t delayMs, std::function<void()> action) { At(nowMs + delayMs, std::move(action)); }
    // Runs `action` every `periodMs` from now on (first time after one period),
    // until it returns false.
    void Every(std::int64_t periodMs, std::function<bool()> action);

    // Drops every scheduled action: the machine restarts.
    void CancelAll() { pending_.clear(); }
    // When the next scheduled action is due (a very large time when none is).
    std::int64_t NextAt() const { return pending_.empty() ? INT64_MAX : pending_.begin()->first; }
    // Sets the local time directly (converted with the bias).
    void SetLocal(int year, int month, int day, int hour, int minute, int second, int ms = 0);
    // Milliseconds spent in Sleep so far.
    std::int64_t SleptMs() const;

    // Calendar helpers (proleptic Gregorian, no time zone).
    static std::int64_t DaysFromCivil(int y, unsigned m, unsigned d);
    static platform::SystemTime FromUnixMs(std::int64_t ms);
    static std::int64_t ToUnixMs(const platform::SystemTime& t);

    // IClock
    platform::SystemTime GetLocalTime() override;
    std::int64_t Time64() override;
    bool LocalTime64(std::int64_t utcSeconds, platform::SystemTime* local) override;
    bool FileTimeToLocalSystemTime(std::uint64_t fileTime, platform::SystemTime* local) override;
    std::string FormatTimeA(const platform::SystemTime& time, const std::string& picture) override;
    std::wstring FormatTimeW(const platform::SystemTime& time, const std::wstring& picture) override;
    void Sleep(std::uint32_t milliseconds) override;

    // Advances to `targetMs`, firing due actions in order (also used by Sleep).
    void AdvanceTo(std::int64_t targetMs);

private:
    std::multimap<std::int64_t, std::function<void()>> pending_;
    std::int64_t sleptMs_ = 0;
};

}  // namespace fake
