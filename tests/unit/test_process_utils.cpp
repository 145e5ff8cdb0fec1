// Launching programs, following the deployer's processes, counting the
// service and the agents of a session, reading the hand-off file.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "agent/QuorvaDlg.h"
#include "scripts/HandOffFile.h"
#include "scripts/ProcessUtils.h"
#include "tests/fakes/FakeMachine.h"
#include "tests/fakes/LogReader.h"
#include "tests/fakes/StandardMachine.h"

namespace {

class ProcessUtilsTest : public ::testing::Test {
protected:
    void SetUp() override {
        info = fake::InstallStandardMachine(m);
        agent = std::make_unique<CQuorvaDlg>(m.os());
        agent->m_szUserName = L"jsmith";
        agent->m_strDataDir = info.dataDir;
        agent->m_strDeployerPath = info.deployerPath;
        agent->m_strScriptImagePath = info.deployerPath;
    }

    std::vector<fake::LogEntry> Log() { return fake::ReadLog(m, L"jsmith").entries; }

    fake::FakeMachine m;
    fake::StandardMachine info;
    std::unique_ptr<CQuorvaDlg> agent;
};

// ---- ExecuteProcess ----

TEST_F(ProcessUtilsTest, ExecuteProcessQuotesThePathSoBlanksCannotStartAnotherProgram) {
    EXPECT_TRUE(ExecuteProcess(*agent, L"C:\\Program Files\\VORLAN\\QVRT\\quorvarun.exe",
                               L"Logoff<<>>jsmith"));
    ASSERT_EQ(m.processes.launched.size(), 1u);
    EXPECT_EQ(m.processes.launched[0],
              L"\"C:\\Program Files\\VORLAN\\QVRT\\quorvarun.exe\" Logoff<<>>jsmith");
}

TEST_F(ProcessUtilsTest, ExecuteProcessStartsNothingWithoutAProgramPath) {
    EXPECT_FALSE(ExecuteProcess(*agent, L"", L"/a"));
    EXPECT_TRUE(m.processes.launched.empty());
}

TEST_F(ProcessUtilsTest, ExecuteProcessReportsAFailedStart) {
    m.processes.onCreateProcess = [](const std::wstring&) { return false; };
    EXPECT_FALSE(ExecuteProcess(*agent, L"C:\\windows\\system32\\shutdown.exe", L"/a"));
    EXPECT_EQ(m.processes.launched.size(), 1u);
}

TEST_F(ProcessUtilsTest, ExecuteProcessRefusesCommandLinesWindowsWouldRefuse) {
    // Quotes (2) and the blank (1) come on top of path and arguments; the
    // limit is 32767 characters with the terminator.
    const std::wstring args = L"/a";
    const std::wstring fits(32766 - 3 - args.size(), L'p');
    EXPECT_TRUE(ExecuteProcess(*agent, fits, args));
    EXPECT_EQ(m.processes.launched.back().size(), 32766u);

    const std::wstring tooLong(fits.size() + 1, L'p');
    EXPECT_FALSE(ExecuteProcess(*agent, tooLong, args));
    EXPECT_EQ(m.processes.launched.size(), 1u) << "a refused command line is never started";

    EXPECT_FALSE(ExecuteProcess(*agent, L"C:\\a\" evil.exe \"", L"x"));
    EXPECT_EQ(m.processes.launched.size(), 1u) << "a quote would end the quoting early";
}

// ---- RunningInterface ----

TEST_F(ProcessUtilsTest, RunningInterfaceCountsOnlyTheDeployerWithTheStoredId) {
    const std::uint32_t first = m.processes.Start(L"quorvarun.exe", 1);
    const std::uint32_t second = m.processes.Start(L"quorvarun.exe", 1);
    agent->m_szScriptProcId2 = std::to_wstring(second);

    EXPECT_EQ(RunningInterface(*agent, L"quorvarun.exe", ProcIdVariant::SessionEnd), 1);

    const auto log = Log();
    ASSERT_EQ(log.size(), 3u);
    const std::string image = "C:\\Program Files\\VORLAN\\QVRT\\quorvarun.exe";
    for (int i : {0, 1}) {
        EXPECT_EQ(log[i].module, "RunningInterface");
        EXPECT_EQ(log[i].type, "INFO");
        EXPECT_EQ(log[i].val1, "File Name Matched ");
        EXPECT_EQ(log[i].val2, image);
        EXPECT_EQ(log[i].val3, "");
    }
    EXPECT_EQ(log[2].module, "RunningInterface");
    EXPECT_EQ(log[2].val1, "PID Matched ");
    EXPECT_EQ(log[2].val2, "A running instance of process found");
    EXPECT_EQ(log[2].val3, std::to_string(second));
    (void)first;
}

TEST_F(ProcessUtilsTest, RunningInterfaceVariantsCompareWithTheirOwnStoredId) {
    const std::uint32_t logon = m.processes.Start(L"quorvarun.exe", 1);
    const std::uint32_t sessionEnd = m.processes.Start(L"quorvarun.exe", 1);
    const std::uint32_t nested = m.processes.Start(L"quorvarun.exe", 1);
    agent->m_szScriptProcId = std::to_wstring(logon);
    agent->m_szScriptProcId2 = std::to_wstring(sessionEnd);
    agent->m_szScriptProcId3 = std::to_wstring(nested);

    for (auto [variant, expected] : {std::pair{ProcIdVariant::Logon, logon},
                                     std::pair{ProcIdVariant::SessionEnd, sessionEnd},
                                     std::pair{ProcIdVariant::Nested, nested}}) {
        const std::size_t before = Log().size();
        EXPECT_EQ(RunningInterface(*agent, L"quorvarun.exe", variant), 1);
        const auto log = Log();
        std::vector<std::string> matched;
        for (std::size_t i = before; i < log.size(); ++i)
            if (log[i].val1 == "PID Matched ") matched.push_back(log[i].val3);
        EXPECT_EQ(matched, std::vector<std::string>{std::to_string(expected)});
    }
    m.processes.Exit(nested);
    EXPECT_EQ(RunningInterface(*agent, L"quorvarun.exe", ProcIdVariant::Nested), 0);
}

TEST_F(ProcessUtilsTest, RunningInterfaceComparesIdsAsText) {
    const std::uint32_t pid = m.processes.Start(L"quorvarun.exe", 1);

    agent->m_szScriptProcId2 = L"0" + std::to_wstring(pid);
    EXPECT_EQ(RunningInterface(*agent, L"quorvarun.exe", ProcIdVariant::SessionEnd), 0);

    agent->m_szScriptProcId2.clear();
    EXPECT_EQ(RunningInterface(*agent, L"quorvarun.exe", ProcIdVariant::SessionEnd), 0);

    agent->m_szScriptProcId2 = L"abc";
    EXPECT_EQ(RunningInterface(*agent, L"quorvarun.exe", ProcIdVariant::SessionEnd), 0);

    // Each look still notes the deployer's name, never a PID match.
    const auto log = Log();
    ASSERT_EQ(log.size(), 3u);
    for (const auto& entry : log) EXPECT_EQ(entry.val1, "File Name Matched ");
}

TEST_F(ProcessUtilsTest, RunningInterfaceIgnoresImagesNotSpelledAsInTheDeployerPath) {
    const std::uint32_t pid = m.processes.Start(L"QUORVARUN.EXE", 1);
    m.processes.Start(L"notepad.exe", 1);
    agent->m_szScriptProcId2 = std::to_wstring(pid);

    EXPECT_EQ(RunningInterface(*agent, L"quorvarun.exe", ProcIdVariant::SessionEnd), 0);
    EXPECT_TRUE(Log().empty());
}

TEST_F(ProcessUtilsTest, ProcessWalksCountNothingWithoutASnapshotAndTheScriptWaitCannotTell) {
    const std::uint32_t pid = m.processes.Start(L"quorvarun.exe", 1);
    agent->m_szScriptProcId2 = std::to_wstring(pid);
    m.processes.snapshotFails = true;

    EXPECT_EQ(RunningInterface(*agent, L"quorvarun.exe", ProcIdVariant::SessionEnd), -1)
        << "a script no look could see is not taken for ended";
    EXPECT_EQ(CountServiceInstances(*agent), 0);
    EXPECT_EQ(CountSessionInstances(*agent, 1), 0);
    EXPECT_EQ(m.processes.snapshots, 3) << "only ERROR_BAD_LENGTH is worth a second call";
}

TEST_F(ProcessUtilsTest, SnapshotFailingForAMomentIsTakenAgainAtOnce) {
    struct Case {
        int badLengthFailures, services, snapshots;
    };
    // Four tries in all, without a wait between them.
    for (const Case c : {Case{1, 1, 2}, Case{3, 1, 4}, Case{4, 0, 4}}) {
        SCOPED_TRACE(c.badLengthFailures);
        m.processes.snapshots = 0;
        m.processes.snapshotBadLengthFailures = c.badLengthFailures;
        EXPECT_EQ(CountServiceInstances(*agent), c.services);
        EXPECT_EQ(m.processes.snapshots, c.snapshots);
        m.processes.snapshotBadLengthFailures = 0;
    }
    EXPECT_TRUE(m.clock.sleeps.empty());
}

// ---- counting the service and the agents ----

TEST_F(ProcessUtilsTest, CountServiceInstancesIgnoresLetterCase) {
    EXPECT_EQ(CountServiceInstances(*agent), 1);
    m.processes.Start(L"QuorvaHost.EXE", 0);
    EXPECT_EQ(CountServiceInstances(*agent), 2);
    m.processes.Exit(info.servicePid);
    EXPECT_EQ(CountServiceInstances(*agent), 1);
}

TEST_F(ProcessUtilsTest, CountSessionInstancesCountsAgentsOfThatSessionOnly) {
    EXPECT_EQ(CountSessionInstances(*agent, 1), 1) << "the calling agent alone";

    m.processes.Start(L"quorva.exe", 2);
    EXPECT_EQ(CountSessionInstances(*agent, 1), 1);
    EXPECT_EQ(CountSessionInstances(*agent, 2), 1);

    m.processes.Start(L"Quorva.exe", 1);
    EXPECT_EQ(CountSessionInstances(*agent, 1), 2);
}

TEST_F(ProcessUtilsTest, CountSessionInstancesSkipsAgentsWhoseSessionIsUnreadable) {
    const std::uint32_t other = m.processes.Start(L"quorva.exe", 1);
    m.processes.sessionLookupFails.insert(other);
    EXPECT_EQ(CountSessionInstances(*agent, 1), 1);
}

// ---- ReadProcessDetail ----

TEST_F(ProcessUtilsTest, ReadProcessDetailReadsOneKeyOfTheHandOffFile) {
    WideBuffer<1024> buffer;
    buffer = L"stale";
    ReadProcessDetail(*agent, L"Proc ID", buffer, info.procDetailsIni);
    EXPECT_TRUE(buffer.empty()) << "absent file";

    m.files.PutFile(info.procDetailsIni,
                    "junk line\r\n[Process Details]\r\nProc ID=4242\r\nErr_Desc=" +
                        std::string(2000, 'e') + "\r\n");
    ReadProcessDetail(*agent, L"Proc ID", buffer, info.procDetailsIni);
    EXPECT_EQ(buffer.str(), L"4242");
    ReadProcessDetail(*agent, L"Err_Desc", buffer, info.procDetailsIni);
    EXPECT_EQ(buffer.size(), 1023u);
    ReadProcessDetail(*agent, L"Process Name", buffer, info.procDetailsIni);
    EXPECT_TRUE(buffer.empty()) << "absent key";
}

}  // namespace
