// The XML event reports: their exact text, the registration values they need,
// escaping, size, and the files they are stored in.
#include <functional>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "agent/QuorvaDlg.h"
#include "records/EventReport.h"
#include "tests/fakes/FakeMachine.h"
#include "tests/fakes/LogReader.h"
#include "tests/fakes/StandardMachine.h"

namespace {

const std::wstring kInstall = L"C:\\Program Files\\VORLAN\\";
const std::wstring kPostFolder = kInstall + L"QVRTPostLogs";

std::string Report(const std::string& regid, const std::string& regtype, const std::string& user,
                   const std::string& evnt, const std::string& scandt, const std::string& status,
                   const std::string& faildesc, const std::string& eol) {
    const std::string tabs = "\t\t\t\t\t\t";
    return "<wpdcmagntevntstiu>" + eol + tabs + "<regid>" + regid + "</regid>" + eol + tabs +
           "<regtype>" + regtype + "</regtype>" + eol + tabs + "<user>" + user + "</user>" + eol +
           tabs + "<evnt>" + evnt + "</evnt>" + eol + tabs + "<scandt>" + scandt + "</scandt>" +
           eol + tabs + "<exever>12.0.0.14</exever>" + eol + tabs + "<status>" + status +
           "</status>" + eol + tabs + "<faildesc>" + faildesc + "</faildesc>" + eol + tabs +
           "</wpdcmagntevntstiu>";
}

std::string Between(const std::string& text, const std::string& open, const std::string& close) {
    const auto from = text.find(open);
    const auto to = text.find(close);
    if (from == std::string::npos || to == std::string::npos) return "<missing>";
    return text.substr(from + open.size(), to - from - open.size());
}

class EventReportTest : public ::testing::Test {
protected:
    void SetUp() override { Install({}); }

    void Install(const fake::StandardOptions& options) {
        info = fake::InstallStandardMachine(m, options);
        agent = std::make_unique<CQuorvaDlg>(m.os());
        agent->m_szUserName = options.userName;
        agent->m_strDataDir = info.dataDir;
        agent->m_strInstallDir = options.installDir;
        m.clock.SetLocal(2014, 12, 25, 15, 4, 5);
    }

    std::wstring ReportPath(const std::wstring& stamp) {
        return kPostFolder + L"\\wpdcmagntevntstiu_N_" + stamp + L".xml";
    }
    std::vector<std::wstring> PostFiles() {
        return m.files.IsFolder(kPostFolder) ? m.files.List(kPostFolder) : std::vector<std::wstring>{};
    }
    std::vector<fake::LogEntry> Log() { return fake::ReadLog(m, L"jsmith").entries; }
    // The report text of the latest "web Post" entry. The report holds tabs
    // itself, so the reader's last two columns are joined again.
    std::string LoggedReport() {
        const auto log = Log();
        if (log.empty() || log.back().val1 != "web Post") return "<no web Post entry>";
        const std::string joined = log.back().val2 + "\t" + log.back().val3;
        if (joined.size() < 2 || joined.substr(joined.size() - 2) != "\t ") return "<no blank val3>";
        return joined.substr(0, joined.size() - 2);
    }

    fake::FakeMachine m;
    fake::StandardMachine info;
    std::unique_ptr<CQuorvaDlg> agent;
};

TEST_F(EventReportTest, SuccessfulLogonWritesTheTenLinesAndLogsThem) {
    WebPostEventData(L"jsmith", L"", *agent, L"Logon", 1);

    const auto file = m.files.Read(ReportPath(L"20141225150405"));
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(*file, Report("4F2A-91C0", "2", "jsmith", "Logon", "12/25/2014 15:04:05", "1", "",
                            "\r\n"));
    EXPECT_EQ(PostFiles().size(), 1u);

    const auto log = Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].module, "WebPostEventData");
    EXPECT_EQ(log[0].type, "INFO");
    EXPECT_EQ(log[0].val1, "web Post");
    EXPECT_EQ(LoggedReport(),
              Report("4F2A-91C0", "2", "jsmith", "Logon", "12/25/2014 15:04:05", "1", "", "\n"));

    EXPECT_EQ(agent->m_szMemberId.str(), L"1187");
    EXPECT_EQ(agent->m_szSiteId.str(), L"52");
    EXPECT_EQ(m.registry.OpenKeyCount(), 0u);
}

TEST_F(EventReportTest, AnyStatusButOneIsAFailure) {
    WebPostEventData(L"jsmith", L"Access is denied.", *agent, L"Shutdown", 2);
    const auto file = m.files.Read(ReportPath(L"20141225150405"));
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(Between(*file, "<status>", "</status>"), "0");
    EXPECT_EQ(Between(*file, "<faildesc>", "</faildesc>"), "Access is denied.");
    EXPECT_EQ(Between(*file, "<evnt>", "</evnt>"), "Shutdown");
}

// ---- the registration values ----

struct MissingValueCase {
    const wchar_t* valueName;
    const char* logName;
    std::size_t opensBeforeStop;
};

class MissingRegistrationValue : public EventReportTest,
                                 public ::testing::WithParamInterface<MissingValueCase> {};

TEST_P(MissingRegistrationValue, StopsWithOneNotFoundEntryAndNoReport) {
    const MissingValueCase c = GetParam();
    m.registry.DeleteValue(platform::HKeyLocalMachine, fake::kProductKey, c.valueName);
    agent->m_szSiteId = L"untouched";
    m.registry.opens.clear();

    WebPostEventData(L"jsmith", L"", *agent, L"Logon", 1);

    EXPECT_EQ(m.registry.opens.size(), c.opensBeforeStop) << "no value after the missing one is read";
    const auto log = Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].module, "WebPostEventData");
    EXPECT_EQ(log[0].val1, c.logName);
    EXPECT_EQ(log[0].val2, "Not Found");
    EXPECT_EQ(log[0].val3.rfind("RegQueryValueEx [2]::", 0), 0u) << log[0].val3;
    EXPECT_TRUE(PostFiles().empty());
    EXPECT_EQ(m.registry.OpenKeyCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(EachValue, MissingRegistrationValue,
                         ::testing::Values(MissingValueCase{L"REGID", "Regid", 1},
                                           MissingValueCase{L"TYPE", "Type", 2},
                                           MissingValueCase{L"MEMBERID", "MEMBER ID", 3},
                                           MissingValueCase{L"SITEID", "SITE ID", 4}));

TEST_F(EventReportTest, MissingValueIsRecordedAsZeroAndLaterOnesKeepTheirOldText) {
    m.registry.DeleteValue(platform::HKeyLocalMachine, fake::kProductKey, L"MEMBERID");
    agent->m_szSiteId = L"untouched";
    WebPostEventData(L"jsmith", L"", *agent, L"Logon", 1);
    EXPECT_EQ(agent->m_szRegId.str(), L"4F2A-91C0");
    EXPECT_EQ(agent->m_szMemberId.str(), L"0");
    EXPECT_EQ(agent->m_szSiteId.str(), L"untouched");
}

TEST_F(EventReportTest, MissingProductKeyLogsTheOpenFailure) {
    m.registry.DeleteKey(platform::HKeyLocalMachine, fake::kProductKey);
    WebPostEventData(L"jsmith", L"", *agent, L"Logon", 1);
    const auto log = Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].val1, "Regid");
    EXPECT_EQ(log[0].val3.rfind("RegOpenKeyEx [2]::", 0), 0u) << log[0].val3;
    EXPECT_TRUE(PostFiles().empty());
}

// ---- what the values may hold ----

TEST_F(EventReportTest, MarkupInValuesIsEscapedAndPercentSignsStay) {
    m.registry.SetString(platform::HKeyLocalMachine, fake::kProductKey, L"REGID", L"</regid>");
    WebPostEventData(L"a&b", L"100% <done> & more", *agent, L"Logon", 0);

    const auto file = m.files.Read(ReportPath(L"20141225150405"));
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(*file, Report("&lt;/regid&gt;", "2", "a&amp;b", "Logon", "12/25/2014 15:04:05", "0",
                            "100% &lt;done&gt; &amp; more", "\r\n"));
    EXPECT_EQ(agent->m_szRegId.str(), L"</regid>") << "the state keeps the value as read";
}

TEST_F(EventReportTest, CharactersOutsideTheCodePageBecomeTheDefaultCharacter) {
    WebPostEventData(L"\u738B\u5C0F\u660E", L"", *agent, L"Logon", 1);
    const auto file = m.files.Read(ReportPath(L"20141225150405"));
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(Between(*file, "<user>", "</user>"), "???");
}

TEST_F(EventReportTest, SurrogateHalvesAloneBecomeTheDefaultCharacterAndTakeNothingAlong) {
    struct Case {
        std::wstring faildesc;
        std::string written;
    };
    // A pair is one character the page lacks, written as its two halves are.
    const std::wstring pair{static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)};
    for (const Case& c : {Case{std::wstring(L"a") + static_cast<wchar_t>(0xD800) + L"&b", "a?&amp;b"},
                          Case{std::wstring(L"a") + static_cast<wchar_t>(0xDBFF) + L"<", "a?&lt;"},
                          Case{std::wstring(L"a") + static_cast<wchar_t>(0xDC00) + L">", "a?&gt;"},
                          Case{L"&" + pair + L"&", "&amp;??&amp;"}}) {
        SCOPED_TRACE(c.written);
        m.files.Remove(kPostFolder);
        WebPostEventData(L"jsmith", c.faildesc, *agent, L"Logon", 0);
        const auto file = m.files.Read(ReportPath(L"20141225150405"));
        ASSERT_TRUE(file.has_value());
        EXPECT_EQ(Between(*file, "<faildesc>", "</faildesc>"), c.written);
    }
}

TEST_F(EventReportTest, OverlongFailureDescriptionIsShortenedAndTheReportStaysWhole) {
    const std::wstring longError(2000, L'x');
    WebPostEventData(L"jsmith", longError, *agent, L"Logon", 0);

    const auto file = m.files.Read(ReportPath(L"20141225150405"));
    ASSERT_TRUE(file.has_value());
    const std::string logged = LoggedReport();
    EXPECT_EQ(logged.size(), 1023u) << "the text fills its buffer exactly";
    const std::string faildesc = Between(*file, "<faildesc>", "</faildesc>");
    EXPECT_EQ(faildesc, std::string(faildesc.size(), 'x'));
    EXPECT_EQ(*file, Report("4F2A-91C0", "2", "jsmith", "Logon", "12/25/2014 15:04:05", "0",
                            faildesc, "\r\n"));
}

TEST_F(EventReportTest, ShorteningNeverCutsAnEscapeInHalf) {
    WebPostEventData(L"jsmith", std::wstring(400, L'&'), *agent, L"Logon", 0);
    const std::string logged = LoggedReport();
    const std::string faildesc = Between(logged, "<faildesc>", "</faildesc>");
    ASSERT_FALSE(faildesc.empty());
    EXPECT_EQ(faildesc.size() % 5, 0u);
    for (std::size_t i = 0; i < faildesc.size(); i += 5) EXPECT_EQ(faildesc.substr(i, 5), "&amp;");
    EXPECT_LE(logged.size(), 1023u);

    // Nor a surrogate pair (each pair shows as "??"), wherever the cut falls.
    std::wstring pairs;
    for (int i = 0; i < 500; ++i) pairs += L"\xD800\xDC00\xDBFF\xDFFF";
    for (const std::wstring& before : {L"", L"x", L"xx", L"xxx"}) {
        WebPostEventData(L"jsmith", before + pairs, *agent, L"Logon", 0);
        const std::string cut = Between(LoggedReport(), "<faildesc>", "</faildesc>");
        EXPECT_EQ(cut.size() % 2, before.size() % 2) << cut.size();
    }
}

TEST_F(EventReportTest, OtherValuesAreShortenedOnceTheFailureDescriptionIsGone) {
    const std::wstring longUser(1023, L'u');
    WebPostEventData(longUser, L"some failure", *agent, L"Logon", 0);
    const std::string logged = LoggedReport();
    EXPECT_EQ(logged.size(), 1023u);
    EXPECT_EQ(Between(logged, "<faildesc>", "</faildesc>"), "");
    const std::string user = Between(logged, "<user>", "</user>");
    EXPECT_GT(user.size(), 500u);
    EXPECT_EQ(user, std::string(user.size(), 'u'));
    EXPECT_EQ(Between(logged, "<regid>", "</regid>"), "4F2A-91C0");
    EXPECT_NE(logged.find("\t\t\t\t\t\t</wpdcmagntevntstiu>"), std::string::npos);
}

// ---- the report files ----

TEST_F(EventReportTest, ReportsOfOneSecondEachGetAFileOfTheirOwn) {
    WebPostEventData(L"jsmith", L"", *agent, L"Logon", 1);
    WebPostEventData(L"jsmith", L"", *agent, L"Logoff", 1);

    EXPECT_EQ(PostFiles().size(), 2u);
    const auto first = m.files.Read(ReportPath(L"20141225150405"));
    const auto second = m.files.Read(ReportPath(L"20141225150406"));
    ASSERT_TRUE(first.has_value());
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(Between(*first, "<evnt>", "</evnt>"), "Logon");
    EXPECT_EQ(*second, Report("4F2A-91C0", "2", "jsmith", "Logoff", "12/25/2014 15:04:05", "1",
                              "", "\r\n"));
}

// ---- the name search when names are taken ----

struct TakenNamesCase {
    const char* name;
    platform::SystemTime now;  // local time of the report
    int taken;                 // names taken, from the report's own second on
    const wchar_t* stored;     // the name the report gets; nullptr: dropped
    int pending = 0;           // names after those still being deleted (ERROR_ACCESS_DENIED)
};

class TakenReportNames : public EventReportTest, public ::testing::WithParamInterface<TakenNamesCase> {};

TEST_P(TakenReportNames, ReportTakesTheNextFreeSecondsName) {
    const TakenNamesCase c = GetParam();
    m.clock.SetLocal(c.now.year, c.now.month, c.now.day, c.now.hour, c.now.minute, c.now.second);
    platform::SystemTime t = m.clock.GetLocalTime();
    for (int i = 0; i < c.taken; ++i) {
        wchar_t stamp[32];
        std::swprintf(stamp, 32, L"%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute,
                      t.second);
        m.files.PutFile(ReportPath(stamp), "taken");
        t = fake::FakeClock::FromUnixMs(fake::FakeClock::ToUnixMs(t) + 1000);
    }
    for (int i = 0; i < c.pending; ++i) {
        wchar_t stamp[32];
        std::swprintf(stamp, 32, L"%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
        m.files.DeletePending(ReportPath(stamp));
        t = fake::FakeClock::FromUnixMs(fake::FakeClock::ToUnixMs(t) + 1000);
    }

    WebPostEventData(L"jsmith", L"", *agent, L"Logon", 1);

    EXPECT_EQ(PostFiles().size(), static_cast<std::size_t>(c.taken) + (c.stored ? 1 : 0));
    std::size_t untouched = 0;
    for (const auto& name : PostFiles())
        if (*m.files.Read(kPostFolder + L"\\" + name) == "taken") ++untouched;
    EXPECT_EQ(untouched, static_cast<std::size_t>(c.taken)) << "no other report's file is written";
    const auto log = Log();
    if (c.stored) {
        const auto file = m.files.Read(ReportPath(c.stored));
        ASSERT_TRUE(file.has_value());
        EXPECT_EQ(Between(*file, "<evnt>", "</evnt>"), "Logon");
        EXPECT_EQ(log.back().val1, "web Post");
    } else {
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[0].val1, "web Post") << "the log still holds the report";
        EXPECT_EQ(log[1].type, "ERROR");
        EXPECT_EQ(log[1].val1, "Report not stored: every name taken");
        EXPECT_EQ(log[1].val2, fake::Utf8(ReportPath(L"20141225150405")));
        EXPECT_EQ(log[1].val3, fake::Utf8(ReportPath(L"20141226150404")));
    }
}

constexpr platform::SystemTime At(int year, int month, int day, int hour, int minute, int second) {
    return {static_cast<std::uint16_t>(year), static_cast<std::uint16_t>(month), 0,
            static_cast<std::uint16_t>(day), static_cast<std::uint16_t>(hour),
            static_cast<std::uint16_t>(minute), static_cast<std::uint16_t>(second), 0};
}

INSTANTIATE_TEST_SUITE_P(
    Names, TakenReportNames,
    ::testing::Values(
        TakenNamesCase{"OwnSecondFree", At(2014, 12, 25, 15, 4, 5), 0, L"20141225150405"},
        TakenNamesCase{"OwnSecondTaken", At(2014, 12, 25, 15, 4, 5), 1, L"20141225150406"},
        TakenNamesCase{"NamesStillBeingDeletedArePassed", At(2014, 12, 25, 15, 4, 5), 1, L"20141225150410", 4},
        TakenNamesCase{"AMinuteTaken", At(2014, 12, 25, 15, 4, 5), 60, L"20141225150505"},
        TakenNamesCase{"AStormOfReports", At(2014, 12, 25, 15, 4, 5), 500, L"20141225151225"},
        TakenNamesCase{"RollsOverTheYear", At(2014, 12, 31, 23, 59, 59), 1, L"20150101000000"},
        TakenNamesCase{"RollsOverALeapDay", At(2016, 2, 28, 23, 59, 58), 2, L"20160229000000"},
        TakenNamesCase{"RollsOverTheLeapDay", At(2016, 2, 29, 23, 59, 59), 1, L"20160301000000"},
        TakenNamesCase{"RollsOverACommonFebruary", At(2015, 2, 28, 23, 59, 59), 1, L"20150301000000"},
        TakenNamesCase{"RollsOverACenturysFebruary", At(2100, 2, 28, 23, 59, 59), 1, L"21000301000000"},
        TakenNamesCase{"RollsOver2000sLeapDay", At(2000, 2, 28, 23, 59, 59), 1, L"20000229000000"},
        TakenNamesCase{"ADayTakenDropsTheReportAndSaysSo", At(2014, 12, 25, 15, 4, 5), 86400, nullptr}),
    [](const ::testing::TestParamInfo<TakenNamesCase>& info) { return std::string(info.param.name); });

TEST_F(EventReportTest, TakenLastSecondOfEveryMonthGivesTheFirstOfTheNext) {
    auto stamp = [](const platform::SystemTime& t) {
        wchar_t text[32];
        std::swprintf(text, 32, L"%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
        return std::wstring(text);
    };
    for (int month = 2; month <= 13; ++month) {  // the ends of the months of 2015, a common year
        m.files.Remove(kPostFolder);
        m.clock.SetLocal(2015 + month / 13, (month - 1) % 12 + 1, 1, 0, 0, 0);
        const std::wstring first = stamp(m.clock.GetLocalTime());
        m.clock.nowMs -= 1000;
        m.files.PutFile(ReportPath(stamp(m.clock.GetLocalTime())), "taken");
        WebPostEventData(L"jsmith", L"", *agent, L"Logon", 1);
        EXPECT_TRUE(m.files.Exists(ReportPath(first))) << fake::Utf8(first);
    }
}

TEST_F(EventReportTest, FirstReportCreatesThePostFolder) {
    ASSERT_FALSE(m.files.Exists(kPostFolder));
    WebPostEventData(L"jsmith", L"", *agent, L"Logon", 1);
    EXPECT_TRUE(m.files.IsFolder(kPostFolder));
    EXPECT_EQ(m.JournalOf({"CreateDirectory", "SetFileAttributes", "CreateNewFile"}),
              (std::vector<std::string>{
                  "CreateDirectory C:\\Program Files\\VORLAN\\QVRTPostLogs",
                  "SetFileAttributes C:\\Program Files\\VORLAN\\QVRTPostLogs 0x90",
                  "CreateNewFile C:\\Program Files\\VORLAN\\QVRTPostLogs\\wpdcmagntevntstiu_N_20141225150405.xml"}));
}

// A report that cannot be stored for any reason but a taken name is lost;
// the log says so, with the error, beside the "web Post" entry that holds its text.
TEST_F(EventReportTest, ReportThatCannotBeStoredLeavesAnErrorRecord) {
    const std::wstring folder = L"C:\\Program Files\\VORLAN\\QVRTPostLogs";
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"install folder gone", [&] { agent->m_strInstallDir = L"C:\\Gone\\VORLAN\\"; }, "Error 3"},
        {"report names still being deleted, five seconds of them",
         [&] {
             m.files.MakeFolder(folder);
             for (const wchar_t* second : {L"05", L"06", L"07", L"08", L"09"})
                 m.files.DeletePending(folder + L"\\wpdcmagntevntstiu_N_201412251504" + second + L".xml");
         },
         "Error 5"},
        {"post folder not writable for the user",
         [&] {
             m.files.MakeFolder(folder);
             m.files.DenyWrite(folder);
         },
         "Error 5"},
    };
    // One machine for the rows, in this order: each row's cause stays.
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        agent->m_strInstallDir = L"C:\\Program Files\\VORLAN\\";
        c.arrange();
        const std::size_t before = Log().size();
        WebPostEventData(L"jsmith", L"", *agent, L"Logon", 1);
        EXPECT_FALSE(m.files.Exists(L"C:\\Gone"));
        EXPECT_TRUE(PostFiles().empty());
        const auto log = Log();
        ASSERT_EQ(log.size(), before + 2);
        EXPECT_EQ(log[before].val1, "web Post");
        EXPECT_EQ(log[before + 1].type, "ERROR");
        EXPECT_EQ(log[before + 1].val1, "Report not stored");
        EXPECT_EQ(log[before + 1].val3, c.error);
    }
}

}  // namespace
