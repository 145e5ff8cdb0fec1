#include <gtest/gtest.h>
#include <utility>
#include "agent/Common.h"
#include "records/ApplicationLog.h"
#include "tests/fakes/LogReader.h"
#include "tests/fakes/StandardMachine.h"

namespace {

const std::wstring kLogFolder = L"C:\\ProgramData\\Vorlan\\ApplicationLog";
const std::wstring kTodaysFile = kLogFolder + L"\\quorva_05032026_[jsmith].Log";
const std::string kHeader =
    "#Software: quorva\r\n#Version: 12.0.0.14\r\n#Date: 05/03/2026 03:04:05 PM\r\n"
    "#Fields:\tdtime\tmodule\ttype\tval1\tval2\tval3\r\n";

class ApplicationLog : public ::testing::Test {
protected:
    explicit ApplicationLog(fake::StandardOptions options = {}) {
        info = fake::InstallStandardMachine(m, options);
        agent.m_strDataDir = info.dataDir;
        agent.m_szUserName = options.userName;
        m.clock.SetLocal(2026, 3, 5, 15, 4, 5);
    }
    void Log(const char* type, const char* v1, const char* v2, const char* v3,
             const char* software = "quorva", const char* module = "OnInitDialog") {
        WriteLogFile(kVersion, module, agent, software, type, v1, v2, v3);
    }
    std::string File(const std::wstring& path = kTodaysFile) { return m.files.Read(path).value_or("<none>"); }

    fake::FakeMachine m;
    fake::StandardMachine info;
    CQuorvaDlg agent{m.os()};
};

TEST_F(ApplicationLog, FirstCallOfTheDayWritesTheHeaderThenTheEntry) {
    Log("Information", "Success", "Application started", "");
    EXPECT_EQ(File(), kHeader + "05/03/2026 03:04:05 PM\tOnInitDialog\tINFO\tSuccess\tApplication started\t\r\n");
    EXPECT_EQ(agent.m_bLogFailed, 0);
}

TEST_F(ApplicationLog, LaterCallsOfTheDayAppendOnlyTheirEntry) {
    Log("Information", "a", "b", "c", "Quorva");
    m.clock.Sleep(61000);
    Log("ERROR", "d", "e", "f", "quorva", "WindowProc");
    auto log = fake::ReadLog(m);
    ASSERT_TRUE(log.exists);
    ASSERT_EQ(log.header.size(), 4u);
    EXPECT_EQ(log.header[0], "#Software: Quorva") << "the call that created the file names it";
    ASSERT_EQ(log.entries.size(), 2u);
    EXPECT_EQ(log.entries[1].time, "03:05:06 PM");
    EXPECT_EQ(log.entries[1].module, "WindowProc");
    EXPECT_EQ(log.entries[1].type, "ERROR");
    EXPECT_EQ(m.files.List(kLogFolder).size(), 1u) << "both spellings address one file";
}

TEST_F(ApplicationLog, ANewDayStartsANewFileAfterMidnight) {
    m.clock.SetLocal(2026, 3, 5, 23, 59, 59);
    Log("Information", "before", "", "");
    m.clock.Sleep(2000);
    Log("Information", "after", "", "");
    auto yesterday = fake::ParseLog(File(kLogFolder + L"\\quorva_05032026_[jsmith].Log"));
    auto today = fake::ParseLog(File(kLogFolder + L"\\quorva_06032026_[jsmith].Log"));
    ASSERT_EQ(yesterday.entries.size(), 1u);
    ASSERT_EQ(today.entries.size(), 1u);
    EXPECT_EQ(today.header[2], "#Date: 06/03/2026 12:00:01 AM");
    EXPECT_EQ(today.entries[0].date, "06/03/2026");
    EXPECT_EQ(today.entries[0].time, "12:00:01 AM");
    EXPECT_EQ(today.entries[0].val1, "after");
}

TEST_F(ApplicationLog, TheDaysFileStartsAgainAtTwoMebibytes) {
    m.files.PutFile(kTodaysFile, std::string(2097151, 'x'));
    Log("Information", "kept", "", "");
    EXPECT_EQ(File().size(), 2097151u + std::string("05/03/2026 03:04:05 PM\tOnInitDialog\tINFO\tkept\t\t\r\n").size());
    EXPECT_EQ(File().find('#'), std::string::npos) << "no header for an existing file";

    m.files.PutFile(kTodaysFile, std::string(2097152, 'x'));
    Log("Information", "fresh", "", "");
    EXPECT_EQ(File(), kHeader + "05/03/2026 03:04:05 PM\tOnInitDialog\tINFO\tfresh\t\t\r\n");
}

TEST_F(ApplicationLog, AFileHeldByAnotherProcessIsNeitherDeletedNorWritten) {
    m.files.PutFile(kTodaysFile, std::string(3000000, 'x'));
    m.files.Lock(kTodaysFile);
    Log("Information", "lost", "", "");
    EXPECT_EQ(agent.m_bLogFailed, 1);
    m.files.Unlock(kTodaysFile);
    EXPECT_EQ(File().size(), 3000000u);
}

// ---- an open refused for a moment ----

// Sharing: held without sharing. ByteRange: held with sharing and a
// byte-range lock (a virus scanner); the log's own open shares nothing, so it
// meets the holder's open first: a sharing violation, never a lock violation.
// TakenFirst: a new day's file, created (with its header) and held by the
// user's other copy between the agent's look and its open.
enum class Hold { Sharing, ByteRange, AccessDenied, TakenFirst };

struct HeldLogCase {
    const char* name;
    Hold hold;
    std::int64_t heldMs;    // released after this long; -1: never
    bool written;           // the entry reaches the file in the end
    std::size_t pauses;     // 50 ms waits before it is written or lost
};

class HeldLogFile : public ApplicationLog, public ::testing::WithParamInterface<HeldLogCase> {};

TEST_P(HeldLogFile, SharingViolationsAreTriedAgainOthersFailAtOnce) {
    const HeldLogCase c = GetParam();
    Log("Information", "before", "", "");
    switch (c.hold) {
        case Hold::Sharing: m.files.Lock(kTodaysFile); break;
        case Hold::ByteRange: m.files.LockRange(kTodaysFile); break;
        case Hold::AccessDenied: m.files.DenyWrite(kTodaysFile); break;
        case Hold::TakenFirst:
            m.files.beforeAppend = [this, made = File(), done = false](const std::wstring&) mutable {
                if (std::exchange(done, true)) return;
                m.files.PutFile(kTodaysFile, made);
                m.files.Lock(kTodaysFile);
            };
            m.files.Remove(kTodaysFile);
            break;
    }
    if (c.heldMs >= 0)
        m.clock.After(c.heldMs, [this] {
            m.files.Unlock(kTodaysFile);
            m.files.UnlockRange(kTodaysFile);
        });
    const std::size_t sleepsBefore = m.clock.sleeps.size();

    Log("Information", "held", "", "");

    const std::vector<std::uint32_t> pauses(m.clock.sleeps.begin() + static_cast<std::ptrdiff_t>(sleepsBefore),
                                            m.clock.sleeps.end());
    EXPECT_EQ(pauses, std::vector<std::uint32_t>(c.pauses, 50u));
    EXPECT_EQ(agent.m_bLogFailed, c.written ? 0 : 1);
    m.files.Unlock(kTodaysFile);
    m.files.UnlockRange(kTodaysFile);
    const auto log = fake::ReadLog(m);
    std::vector<std::string> values;
    for (const auto& e : log.entries) values.push_back(e.val1);
    std::vector<std::string> expected{"before"};
    if (c.written) expected.push_back("held");
    EXPECT_EQ(values, expected);
    EXPECT_EQ(log.header.size(), 4u) << "one header";
    EXPECT_EQ(log.bytes.find("#Software", 1), std::string::npos) << "and none later";
}

INSTANTIATE_TEST_SUITE_P(
    Holds, HeldLogFile,
    ::testing::Values(HeldLogCase{"ReleasedBeforeTheFirstRetry", Hold::Sharing, 30, true, 1},
                      HeldLogCase{"ReleasedAfterThreeRetries", Hold::Sharing, 120, true, 3},
                      HeldLogCase{"HeldLongerThanFiveRetries", Hold::Sharing, 1000, false, 5},
                      HeldLogCase{"NeverReleased", Hold::Sharing, -1, false, 5},
                      HeldLogCase{"SharedHolderWithALockReleased", Hold::ByteRange, 80, true, 2},
                      HeldLogCase{"SharedHolderWithALockKept", Hold::ByteRange, -1, false, 5},
                      HeldLogCase{"AccessDeniedIsNotRetried", Hold::AccessDenied, -1, false, 0},
                      HeldLogCase{"NewFileTakenFirstGetsOneHeader", Hold::TakenFirst, 30, true, 1}),
    [](const ::testing::TestParamInfo<HeldLogCase>& info) { return std::string(info.param.name); });

TEST_F(ApplicationLog, TypesAreNormalised) {
    const std::string type99(99, 't');
    const std::string type150 = std::string(99, 'u') + std::string(51, 'v');
    Log("information", "", "", "");
    Log("INFORMATION", "", "", "");
    Log("Err", "", "", "");
    Log(" m_uICountForOnce >1  ", "", "", "");
    Log("Logoff Recieved  for the 1st time", "", "", "");
    Log("caf\xe9 info", "", "", "");
    Log(type99.c_str(), "", "", "");
    Log(type150.c_str(), "", "", "");
    Log("Informatio", "", "", "");
    Log("Xnformation", "", "", "");
    Log("lazy", "", "", "");
    auto log = fake::ReadLog(m);
    ASSERT_EQ(log.entries.size(), 11u);
    EXPECT_EQ(log.entries[0].type, "INFO");
    EXPECT_EQ(log.entries[1].type, "INFO");
    EXPECT_EQ(log.entries[2].type, "ERR");
    EXPECT_EQ(log.entries[3].type, " M_UICOUNTFORONCE >1  ");
    EXPECT_EQ(log.entries[4].type, "LOGOFF RECIEVED  FOR THE 1ST TIME");
    EXPECT_EQ(log.entries[5].type, "CAF\xe9 INFO") << "only ASCII letters change";
    EXPECT_EQ(log.entries[6].type, std::string(99, 'T'));
    EXPECT_EQ(log.entries[7].type, std::string(99, 'U')) << "cut to 99 characters";
    EXPECT_EQ(log.entries[8].type, "INFORMATIO") << "only the whole word is INFO";
    EXPECT_EQ(log.entries[9].type, "XNFORMATION");
    EXPECT_EQ(log.entries[10].type, "LAZY");
}

// Every ERROR record is also an entry of the "quorva" source in the
// Application log. When the log refuses one, a single record says so, no
// further entry is tried, and the log file goes on as before.
TEST_F(ApplicationLog, ErrorRecordsBecomeEventsAndARefusedEventIsRecordedOnce) {
    ::Log(agent, {.module = "WindowProc", .type = "ERROR", .val1 = "a", .val2 = "b", .val3 = "c"});
    ::Log(agent, {.module = "WindowProc", .val1 = "no event"});
    m.eventLog.reportError = 1502;  // ERROR_LOG_FILE_FULL
    for (const char* v : {"d", "e"}) ::Log(agent, {.module = "WindowProc", .type = "ERROR", .val1 = v});

    EXPECT_EQ(fake::ReadEvents(m), std::vector<std::string>{"1005 1|jsmith|WindowProc|a|b|c"});
    EXPECT_EQ(m.eventLog.reported.at(0).source, L"quorva");
    std::vector<std::string> lines;
    for (const auto& r : fake::ReadLog(m).entries) lines.push_back(r.module + "|" + r.val1 + "|" + r.val2 + "|" + r.val3);
    EXPECT_EQ(lines, (std::vector<std::string>{"WindowProc|a|b|c", "WindowProc|no event||", "WindowProc|d||",
                                               "ReportAgentEvent|Event log entries not written|ReportEventW|1502",
                                               "WindowProc|e||"}));
}

TEST_F(ApplicationLog, ValuesAreWrittenAsPassedInTextMode) {
    Log("Information", nullptr, "line one\r\nline two\nend", "a\tb \xe9\x80");
    const std::string bytes = File();
    EXPECT_NE(bytes.find("\tINFO\t(null)\tline one\r\r\nline two\r\nend\ta\tb \xe9\x80\r\n"), std::string::npos);
    auto log = fake::ReadLog(m);
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0].val1, "(null)");
    EXPECT_EQ(log.entries[0].val2, "line one\r\nline two\nend");
}

TEST_F(ApplicationLog, TheFolderIsCreatedWhenMissing) {
    m.files.Remove(kLogFolder);
    Log("Information", "x", "", "");
    EXPECT_TRUE(m.files.IsFolder(kLogFolder));
    EXPECT_EQ(m.JournalOf({"CreateDirectory"}), std::vector<std::string>{"CreateDirectory " + fake::Utf8(kLogFolder)});
    EXPECT_EQ(fake::ReadLog(m).entries.size(), 1u);
    EXPECT_EQ(agent.m_bLogFailed, 0);
}

TEST_F(ApplicationLog, AMissingParentFolderFailsEveryCall) {
    m.files.Remove(L"C:\\ProgramData\\Vorlan");
    Log("Information", "x", "", "");
    Log("Information", "y", "", "");
    EXPECT_EQ(agent.m_bLogFailed, 1);
    EXPECT_FALSE(m.files.Exists(L"C:\\ProgramData\\Vorlan")) << "only the last level would be created";
}

TEST_F(ApplicationLog, AUserNameOutsideTheCodePageStillGetsItsLog) {
    agent.m_szUserName = L"\u0416anna";
    Log("Information", "x", "", "");
    EXPECT_EQ(agent.m_bLogFailed, 0);
    EXPECT_TRUE(m.files.Read(kLogFolder + L"\\quorva_05032026_[\u0416anna].Log").has_value());
    EXPECT_FALSE(m.files.Read(kLogFolder + L"\\quorva_05032026_[?anna].Log").has_value());
}

TEST_F(ApplicationLog, APathTooLongForWindowsFailsLikeAFailedOpen) {
    // C:\ProgramData\Vorlan\ApplicationLog\quorva_05032026_[ is 54 characters,
    // "].Log" 5 more: a 200-character name makes 259, one more makes 260.
    agent.m_szUserName = std::wstring(200, L'n');
    Log("Information", "fits", "", "");
    EXPECT_EQ(agent.m_bLogFailed, 0);
    agent.m_szUserName = std::wstring(201, L'n');
    Log("Information", "too long", "", "");
    EXPECT_EQ(agent.m_bLogFailed, 1);
    EXPECT_EQ(m.files.List(kLogFolder).size(), 1u);
}

}  // namespace
