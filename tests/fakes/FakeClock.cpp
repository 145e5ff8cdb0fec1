#include "tests/fakes/FakeClock.h"
#include <memory>

namespace fake {

void FakeClock::At(std::int64_t atMs, std::function<void()> action) {
    pending_.emplace(atMs, std::move(action));
}

void FakeClock::Every(std::int64_t periodMs, std::function<bool()> action) {
    // The repeating action knows itself only weakly: what keeps it alive is
    // its next scheduled run, so a clock destroyed with it pending frees it.
    auto tick = std::make_shared<std::function<void()>>();
    std::weak_ptr<std::function<void()>> weak = tick;
    *tick = [this, periodMs, action = std::move(action), weak]() {
        auto self = weak.lock();
        if (self && action()) At(nowMs + periodMs, [self] { (*self)(); });
    };
    At(nowMs + periodMs, [tick] { (*tick)(); });
}

void FakeClock::AdvanceTo(std::int64_t targetMs) {
    while (!pending_.empty() && pending_.begin()->first <= targetMs) {
        auto it = pending_.begin();
        if (it->first > nowMs) nowMs = it->first;
        auto action = std::move(it->second);
        pending_.erase(it);
        action();
    }
    if (targetMs > nowMs) nowMs = targetMs;
}

void FakeClock::Sleep(std::uint32_t milliseconds) {
    sleeps.push_back(milliseconds);
    sleptMs_ += milliseconds;
    AdvanceTo(nowMs + milliseconds);
}

std::int64_t FakeClock::SleptMs() const { return sleptMs_; }

std::int64_t FakeClock::DaysFromCivil(int y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

platform::SystemTime FakeClock::FromUnixMs(std::int64_t ms) {
    std::int64_t days = ms >= 0 ? ms / 86400000 : -((-ms + 86399999) / 86400000);
    std::int64_t rem = ms - days * 86400000;
    platform::SystemTime t;
    std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    t.year = static_cast<std::uint16_t>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
    t.month = static_cast<std::uint16_t>(m);
    t.day = static_cast<std::uint16_t>(d);
    t.dayOfWeek = static_cast<std::uint16_t>((days % 7 + 11) % 7);  // 1970-01-01 was a Thursday
    t.hour = static_cast<std::uint16_t>(rem / 3600000);
    t.minute = static_cast<std::uint16_t>(rem / 60000 % 60);
    t.second = static_cast<std::uint16_t>(rem / 1000 % 60);
    t.milliseconds = static_cast<std::uint16_t>(rem % 1000);
    return t;
}

std::int64_t FakeClock::ToUnixMs(const platform::SystemTime& t) {
    return DaysFromCivil(t.year, t.month, t.day) * 86400000 + t.hour * 3600000LL +
           t.minute * 60000LL + t.second * 1000LL + t.milliseconds;
}

void FakeClock::SetLocal(int year, int month, int day, int hour, int minute, int second, int ms) {
    platform::SystemTime t;
    t.year = static_cast<std::uint16_t>(year);
    t.month = static_cast<std::uint16_t>(month);
    t.day = static_cast<std::uint16_t>(day);
    t.hour = static_cast<std::uint16_t>(hour);
    t.minute = static_cast<std::uint16_t>(minute);
    t.second = static_cast<std::uint16_t>(second);
    t.milliseconds = static_cast<std::uint16_t>(ms);
    nowMs = ToUnixMs(t) - localBiasMinutes * 60000LL;
}

platform::SystemTime FakeClock::GetLocalTime() {
    return FromUnixMs(nowMs + localBiasMinutes * 60000LL);
}

std::int64_t FakeClock::Time64() {
    return nowMs >= 0 ? nowMs / 1000 : -((-nowMs + 999) / 1000);
}

bool FakeClock::LocalTime64(std::int64_t utcSeconds, platform::SystemTime* local) {
    if (utcSeconds < 0) return false;
    *local = FromUnixMs((utcSeconds + localBiasMinutes * 60LL) * 1000);
    local->milliseconds = 0;
    return true;
}

bool FakeClock::FileTimeToLocalSystemTime(std::uint64_t fileTime, platform::SystemTime* local) {
    // FILETIME values past 0x8000000000000000 are refused by Windows.
    if (fileTime >= 0x8000000000000000ULL) return false;
    const std::int64_t unixMs =
        static_cast<std::int64_t>(fileTime / 10000) - 11644473600000LL + localBiasMinutes * 60000LL;
    if (unixMs < -11644473600000LL) return false;
    *local = FromUnixMs(unixMs);
    return true;
}

namespace {
template <typename Char>
std::basic_string<Char> Format(const platform::SystemTime& t, const std::basic_string<Char>& pic,
                               const std::string& am, const std::string& pm) {
    // The subset of GetTimeFormat pictures the agent uses: h hh H HH m mm s ss
    // t tt and '...' literals.
    std::basic_string<Char> out;
    auto two = [&](int v, bool pad) {
        if (pad || v >= 10) out.push_back(static_cast<Char>('0' + v / 10 % 10));
        out.push_back(static_cast<Char>('0' + v % 10));
    };
    for (std::size_t i = 0; i < pic.size();) {
        Char c = pic[i];
        std::size_t n = 1;
        while (i + n < pic.size() && pic[i + n] == c) ++n;
        if (c == '\'') {
            std::size_t end = pic.find(static_cast<Char>('\''), i + 1);
            if (end == std::basic_string<Char>::npos) end = pic.size();
            out.append(pic, i + 1, end - i - 1);
            i = end + 1;
            continue;
        }
        switch (c) {
            case 'h': { int h = t.hour % 12; two(h == 0 ? 12 : h, n >= 2); break; }
            case 'H': two(t.hour, n >= 2); break;
            case 'm': two(t.minute, n >= 2); break;
            case 's': two(t.second, n >= 2); break;
            case 't': {
                const std::string& d = t.hour < 12 ? am : pm;
                if (n == 1) { if (!d.empty()) out.push_back(static_cast<Char>(d[0])); }
                else for (char ch : d) out.push_back(static_cast<Char>(ch));
                break;
            }
            default: out.append(n, c); break;
        }
        i += n;
    }
    return out;
}
}  // namespace

std::string FakeClock::FormatTimeA(const platform::SystemTime& time, const std::string& picture) {
    return Format<char>(time, picture, am, pm);
}

std::wstring FakeClock::FormatTimeW(const platform::SystemTime& time, const std::wstring& picture) {
    return Format<wchar_t>(time, picture, am, pm);
}

}  // namespace fake
