// The XML event reports left in the post folder for every script hand-off.
#include "records/EventReport.h"

#include <array>
#include <cstdint>
#include <cwchar>
#include <string>

#include "agent/Common.h"
#include "records/ApplicationLog.h"
#include "system/Registry.h"

namespace {

// The report buffer holds 1023 characters and its terminator; whoever reads
// the reports expects nothing longer.
constexpr std::size_t kMaxReportLength = 1023;
// The folder and file paths were sized for 1000 characters.
constexpr std::size_t kMaxPathLength = 999;
// How many later seconds are tried when report names are taken. A terminal
// server's logon or shutdown storm writes hundreds of reports within a few
// seconds, and every one of them must be kept; a day's worth of names is a
// bound that only a folder no longer being emptied can reach.
constexpr int kNameAttempts = 24 * 60 * 60;
// A name refused with ERROR_ACCESS_DENIED may be one still being deleted
// (another program holds the file open): the next seconds' names are tried,
// a few only, for a folder the user may not write refuses every name alike.
constexpr int kDeniedAttempts = 5;

struct ReportValues {
    std::wstring regId, regType, user, evnt, date, time, status, faildesc;
};

std::wstring Compose(const ReportValues& v) {
    std::wstring text = L"<wpdcmagntevntstiu>\n";
    const auto element = [&text](const wchar_t* tag, const std::wstring& value) {
        text += L"\t\t\t\t\t\t<";
        text += tag;
        text += L'>';
        text += value;
        text += L"</";
        text += tag;
        text += L">\n";
    };
    element(L"regid", v.regId);
    element(L"regtype", v.regType);
    element(L"user", v.user);
    element(L"evnt", v.evnt);
    element(L"scandt", v.date + L' ' + v.time);
    element(L"exever", kVersionW);
    element(L"status", v.status);
    element(L"faildesc", v.faildesc);
    text += L"\t\t\t\t\t\t</wpdcmagntevntstiu>";
    return text;
}

std::wstring EscapeChar(wchar_t c) {
    switch (c) {
        case L'&': return L"&amp;";
        case L'<': return L"&lt;";
        case L'>': return L"&gt;";
        default: return std::wstring(1, c);
    }
}

// The escaped form of the longest start of `raw` that fits `budget`
// characters. Never ends between the halves of a surrogate pair or inside an
// entity, so what is left stays readable text.
std::wstring EscapedPrefix(const std::wstring& raw, std::size_t budget) {
    std::wstring out;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        std::wstring piece = EscapeChar(raw[i]);
        // A pair stays whole; a half without its other half is no character
        // and is left to the ANSI conversion, which makes it the code page's
        // default character. Either way the next character is escaped on its own.
        const bool highSurrogate = raw[i] >= 0xD800 && raw[i] <= 0xDBFF;
        if (highSurrogate && i + 1 < raw.size() && raw[i + 1] >= 0xDC00 && raw[i + 1] <= 0xDFFF)
            piece += raw[++i];
        if (out.size() + piece.size() > budget) break;
        out += piece;
    }
    return out;
}

std::wstring Escaped(const std::wstring& raw) { return EscapedPrefix(raw, std::wstring::npos); }

// Markup-significant characters are escaped, and a report that would not fit
// its 1023 characters loses text from its values, the failure description
// first, never from its tags.
std::wstring BuildReport(const ReportValues& raw) {
    ReportValues v = raw;
    std::array<std::pair<std::wstring*, const std::wstring*>, 5> shortenable = {{
        {&v.faildesc, &raw.faildesc},
        {&v.user, &raw.user},
        {&v.regType, &raw.regType},
        {&v.regId, &raw.regId},
        {&v.evnt, &raw.evnt},
    }};
    for (auto& [value, source] : shortenable) *value = Escaped(*source);
    for (auto& [value, source] : shortenable) {
        const std::size_t length = Compose(v).size();
        if (length <= kMaxReportLength) break;
        const std::size_t excess = length - kMaxReportLength;
        const std::size_t keep = value->size() > excess ? value->size() - excess : 0;
        *value = EscapedPrefix(*source, keep);
    }
    return Compose(v);
}

std::wstring TwoDigits(int n) {
    wchar_t text[16];
    std::swprintf(text, 16, L"%02d", n);
    return text;
}

std::wstring FileStamp(const platform::SystemTime& t) {
    wchar_t text[64];
    std::swprintf(text, 64, L"%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return text;
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && IsLeapYear(year)) return 29;
    return (month >= 1 && month <= 12) ? days[month - 1] : 31;
}

// The calendar second after `t`, for the name of a report whose own second's
// name is already taken.
platform::SystemTime NextSecond(platform::SystemTime t) {
    if (++t.second < 60) return t;
    t.second = 0;
    if (++t.minute < 60) return t;
    t.minute = 0;
    if (++t.hour < 24) return t;
    t.hour = 0;
    if (++t.day <= DaysInMonth(t.year, t.month)) return t;
    t.day = 1;
    if (++t.month <= 12) return t;
    t.month = 1;
    ++t.year;
    return t;
}

}  // namespace

void WebPostEventData(const std::wstring& user, const std::wstring& faildesc, CQuorvaDlg& agent,
                      const std::wstring& evnt, int status) {
    CRegistry registry(agent.os.registry);

    const platform::SystemTime now = agent.os.clock.GetLocalTime();
    ReportValues values;
    values.date = TwoDigits(now.month) + L'/' + TwoDigits(now.day) + L'/';
    {
        wchar_t year[16];
        std::swprintf(year, 16, L"%04d", now.year);
        values.date += year;
    }
    values.time = agent.os.clock.FormatTimeW(now, L"HH':'mm':'ss");

    // All four identity values must be present before a report is made, even
    // the two the report does not carry.
    struct IdentityRead {
        const wchar_t* valueName;
        WideBuffer<512>* field;
        const char* logName;
    };
    const IdentityRead reads[] = {
        {L"REGID", &agent.m_szRegId, "Regid"},
        {L"TYPE", &agent.m_szRegType, "Type"},
        {L"MEMBERID", &agent.m_szMemberId, "MEMBER ID"},
        {L"SITEID", &agent.m_szSiteId, "SITE ID"},
    };
    for (const IdentityRead& read : reads) {
        if (registry.ReadProductValue(read.valueName, *read.field)) continue;
        *read.field = L"0";
        const std::string error = Ansi(agent, registry.m_szError.str());
        Log(agent, {.module = "WebPostEventData", .val1 = read.logName, .val2 = "Not Found", .val3 = error});
        return;
    }

    values.regId = agent.m_szRegId.str();
    values.regType = agent.m_szRegType.str();
    values.user = user;
    values.evnt = evnt;
    values.status = status == 1 ? L"1" : L"0";
    values.faildesc = faildesc;
    const std::wstring report = BuildReport(values);

    const std::string reportAnsi = Ansi(agent, report);
    Log(agent, {.module = "WebPostEventData", .val1 = "web Post", .val2 = reportAnsi, .val3 = " "});
    WritePostLogFile(agent, report);
}

void WritePostLogFile(CQuorvaDlg& agent, const std::wstring& text) {
    platform::IFiles& files = agent.os.files;
    platform::SystemTime stamp = agent.os.clock.GetLocalTime();
    const std::wstring folder = agent.m_strInstallDir + L"QVRTPostLogs";
    const auto pathFor = [&folder](const platform::SystemTime& t) {
        return folder + L"\\wpdcmagntevntstiu_N_" + FileStamp(t) + L".xml";
    };
    if (pathFor(stamp).size() > kMaxPathLength) return;

    if (!PathExists(files, folder)) {
        std::uint32_t error = 0;
        files.CreateDirectory(folder, &error);
        // Attributes that could not be read are never written back as all bits set.
        const std::uint32_t attributes = files.GetAttributes(folder);
        if (attributes != 0xFFFFFFFFu) files.SetAttributes(folder, attributes | 0x80u);
    }

    // Each report is a file of its own: agents of several users share the
    // folder, and two reports appended into one file make it unreadable.
    // A taken name moves the report to the next second's name: the names keep
    // their form and their order, and CREATE_NEW never lets one report land
    // in another's file.
    const std::string bytes = ToTextMode(Ansi(agent, text));
    const std::wstring firstPath = pathFor(stamp);
    std::wstring lastPath = firstPath;
    int denied = 0;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::uint32_t error = 0;
        lastPath = pathFor(stamp);
        if (files.CreateNewFile(lastPath, bytes, &error)) return;
        const bool taken = error == platform::err::FileExists || error == platform::err::AlreadyExists ||
                           (error == platform::err::AccessDenied && ++denied < kDeniedAttempts);
        if (!taken) {
            // A folder the user may not write, names still being deleted
            // every time, a full disk: the report is lost, and the log says
            // so with the error.
            const std::string path = Ansi(agent, lastPath), code = "Error " + std::to_string(error);
            Log(agent, {.module = "WebPostEventData", .type = "ERROR", .val1 = "Report not stored",
                        .val2 = path, .val3 = code});
            return;
        }
        stamp = NextSecond(stamp);
    }
    // The report text itself is in the log already (the "web Post" entry).
    const std::string from = Ansi(agent, firstPath), to = Ansi(agent, lastPath);
    Log(agent, {.module = "WebPostEventData", .type = "ERROR", .val1 = "Report not stored: every name taken",
                .val2 = from, .val3 = to});
}
