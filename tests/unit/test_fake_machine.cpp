// The simulated machine where the contract suite cannot reach: its hooks, the
// journal, and the rules Wine follows differently from Windows.
#include <gtest/gtest.h>
#include "tests/fakes/LogReader.h"
#include "tests/fakes/StandardMachine.h"

namespace {

using Journal = std::vector<std::string>;

TEST(FakeFiles, QuestionMarksFollowTheDosRules) {
    // Windows matches '?' against nothing at a dot or the end of the name.
    fake::FakeMachine m;
    m.files.PutFile(L"C:\\d\\file.txt", "");
    EXPECT_TRUE(m.files.FindFirstExists(L"C:\\d\\file?.txt"));
    EXPECT_TRUE(m.files.FindFirstExists(L"C:\\d\\file.txt?"));
    EXPECT_TRUE(m.files.FindFirstExists(L"C:\\d\\*.*"));
    EXPECT_FALSE(m.files.FindFirstExists(L"C:\\d\\fil?"));
    m.files.PutFile(L"C:\\d\\README", "");
    EXPECT_TRUE(m.files.FindFirstExists(L"C:\\d\\READ*.*")) << "\".*\" also matches no extension";
}

TEST(FakeFiles, DeniedAndReadOnlyFilesRefuseWrites) {
    fake::FakeMachine m;
    m.files.PutFile(L"C:\\d\\a.ini", "x");
    m.files.DenyWrite(L"C:\\d\\a.ini");
    m.files.DenyWrite(L"C:\\d\\new.ini");
    std::uint32_t error = 0;
    EXPECT_FALSE(m.files.AppendBytes(L"C:\\d\\a.ini", "y", platform::Share::None, &error));
    EXPECT_EQ(error, platform::err::AccessDenied);
    EXPECT_FALSE(m.files.AppendBytes(L"C:\\d\\new.ini", "y", platform::Share::None, &error));
    EXPECT_FALSE(m.files.Exists(L"C:\\d\\new.ini"));
    EXPECT_FALSE(m.files.WriteString(L"S", L"k", L"v", L"C:\\d\\a.ini"));
    EXPECT_FALSE(m.files.DeleteFile(L"C:\\d\\a.ini"));
    EXPECT_EQ(m.files.ExclusiveFileSize(L"C:\\d\\a.ini"), 1) << "reading is still allowed";

    m.files.PutFile(L"C:\\d\\ro.ini", "x");
    m.files.SetAttributes(L"C:\\d\\ro.ini", 0x01);
    EXPECT_FALSE(m.files.AppendBytes(L"C:\\d\\ro.ini", "y", platform::Share::None, &error));
    EXPECT_EQ(error, platform::err::AccessDenied);
    EXPECT_FALSE(m.files.DeleteFile(L"C:\\d\\ro.ini"));
}

// What another open meets while one of the seam's writes holds a file: the
// sharing rules of CreateFileW. No open shares deletion.
struct HeldOpenCase {
    const char* name;
    platform::Share heldWith;
    // Results, while held, of: append without sharing, append with sharing,
    // the exclusive size query, deletion, a profile read, a profile write.
    std::vector<std::string> meets;
};

class HeldOpen : public ::testing::TestWithParam<HeldOpenCase> {};

TEST_P(HeldOpen, OtherOpensFollowTheSharingRules) {
    const HeldOpenCase c = GetParam();
    fake::FakeMachine m;
    const std::wstring file = L"C:\\d\\shared.ini";
    m.files.PutFile(file, "[S]\r\nk=v\r\n");
    std::vector<std::string> meets;
    bool inner = false;
    m.files.whileOpen = [&](const std::wstring&) {
        if (inner) return;
        inner = true;
        std::uint32_t error = 0;
        const auto append = [&](platform::Share share) {
            error = 0;
            return m.files.AppendBytes(file, "", share, &error) ? std::string("ok") : std::to_string(error);
        };
        meets.push_back(append(platform::Share::None));
        meets.push_back(append(platform::Share::ReadWrite));
        meets.push_back(std::to_string(m.files.ExclusiveFileSize(file)));
        meets.push_back(m.files.DeleteFile(file) ? "deleted" : "kept");
        meets.push_back(fake::Utf8(m.files.GetString(L"S", L"k", L"default", 64, file)));
        meets.push_back(m.files.WriteString(L"S", L"k2", L"w", file) ? "written" : "refused");
    };
    std::uint32_t error = 0;
    ASSERT_TRUE(m.files.AppendBytes(file, "", c.heldWith, &error));
    EXPECT_EQ(meets, c.meets);
    EXPECT_GT(m.files.ExclusiveFileSize(file), 0) << "released once the call is over";
}

INSTANTIATE_TEST_SUITE_P(
    Modes, HeldOpen,
    ::testing::Values(HeldOpenCase{"WithoutSharing", platform::Share::None,
                                   {"32", "32", "-1", "kept", "default", "refused"}},
                      HeldOpenCase{"WithReadWriteSharing", platform::Share::ReadWrite,
                                   {"32", "ok", "-1", "kept", "v", "written"}}),
    [](const ::testing::TestParamInfo<HeldOpenCase>& info) { return std::string(info.param.name); });

TEST(FakeFiles, LongPathsAreRefusedAsWindowsDoes) {
    fake::FakeMachine m;
    m.files.MakeFolder(L"C:\\d");
    std::wstring path = L"C:\\d\\" + std::wstring(255, L'x');  // 260 characters
    std::uint32_t error = 0;
    EXPECT_FALSE(m.files.AppendBytes(path, "y", platform::Share::None, &error));
    EXPECT_EQ(error, platform::err::FilenameExcedRange);
    path.pop_back();
    EXPECT_TRUE(m.files.AppendBytes(path, "y", platform::Share::None, &error));
    EXPECT_FALSE(m.files.CreateDirectory(L"C:\\d\\" + std::wstring(244, L'f'), &error));
    EXPECT_EQ(error, platform::err::FilenameExcedRange) << "folders leave room for an 8.3 name";
}

TEST(FakeFiles, UnicodeProfileFilesStayUnicode) {
    fake::FakeMachine m;
    const std::wstring ini = L"C:\\d\\u.ini";
    m.files.PutFile(ini, std::string("\xFF\xFE", 2));
    EXPECT_TRUE(m.files.WriteString(L"Process Details", L"Process Arguments", L"Logon<<>>\u0141ukasz", ini));
    EXPECT_EQ(m.files.GetString(L"Process Details", L"Process Arguments", L"", 1024, ini), L"Logon<<>>\u0141ukasz");
    const std::wstring ansi = L"C:\\d\\a.ini";
    EXPECT_TRUE(m.files.WriteString(L"Process Details", L"Process Arguments", L"Logon<<>>\u0141ukasz", ansi));
    EXPECT_EQ(*m.files.Read(ansi), "[Process Details]\r\nProcess Arguments=Logon<<>>Lukasz\r\n")
        << "an ANSI file takes the best fit";
}

TEST(FakeFiles, EffectsAreJournaledInOrder) {
    fake::FakeMachine m;
    m.files.MakeFolder(L"C:\\d");
    std::uint32_t error = 0;
    m.files.CreateDirectory(L"C:\\d\\e", &error);
    m.files.WriteString(L"S", L"k", L"v", L"C:\\d\\e\\x.ini");
    m.files.WriteSection(L"S", std::wstring(), L"C:\\d\\e\\x.ini");
    m.files.DeleteFile(L"C:\\d\\e\\x.ini");
    m.files.CreateNewFile(L"C:\\d\\e\\r.xml", "<r/>", &error);
    m.files.AppendBytes(L"C:\\d\\e\\log.txt", "not journaled", platform::Share::None, &error);
    EXPECT_EQ(m.journal, (Journal{"CreateDirectory C:\\d\\e", "WritePrivateProfileString [S] k=v C:\\d\\e\\x.ini",
                                  "WritePrivateProfileSection [S]  C:\\d\\e\\x.ini", "DeleteFile C:\\d\\e\\x.ini",
                                  "CreateNewFile C:\\d\\e\\r.xml"}));
}

TEST(FakeRegistry, OpensAreRecordedAndCounted) {
    fake::FakeRegistry reg;
    reg.SetString(platform::HKeyLocalMachine, L"SOFTWARE\\VORLAN", L"REGID", L"r");
    platform::Handle a = 0, b = 0;
    EXPECT_EQ(reg.OpenKey(platform::HKeyLocalMachine, L"software\\vorlan", platform::KeyRead, &a), 0);
    EXPECT_EQ(reg.OpenKey(platform::HKeyLocalMachine, L"SOFTWARE", 0x2001B, &b), 0);
    EXPECT_EQ(reg.OpenKeyCount(), 2u);
    EXPECT_NE(a, b);
    EXPECT_EQ(reg.opens[1].access, 0x2001Bu);
    EXPECT_EQ(reg.CloseKey(a), 0);
    EXPECT_EQ(reg.CloseKey(a), static_cast<std::int32_t>(platform::err::InvalidHandle)) << "closed once only";
    std::uint32_t size = 4, type = 0;
    std::uint8_t data[4];
    EXPECT_EQ(reg.QueryValue(a, L"REGID", &type, data, &size), static_cast<std::int32_t>(platform::err::InvalidHandle));
    EXPECT_EQ(reg.CloseKey(b), 0);
    EXPECT_EQ(reg.OpenKeyCount(), 0u);
    EXPECT_EQ(reg.OpenKey(platform::HKeyCurrentUser, L"SOFTWARE\\VORLAN", platform::KeyRead, &a),
              static_cast<std::int32_t>(platform::err::FileNotFound)) << "the hives are separate";
}

TEST(FakeProcesses, TableSessionsAndLaunches) {
    fake::FakeMachine m;
    const auto first = m.processes.Start(L"quorvarun.exe", 1);
    const auto second = m.processes.Start(L"QuorvaRun.EXE", 2);
    EXPECT_GT(second, first);
    EXPECT_EQ(m.processes.CountRunning(L"quorvarun.exe"), 2u);
    std::uint32_t session = 99;
    EXPECT_TRUE(m.processes.ProcessIdToSessionId(second, &session));
    EXPECT_EQ(session, 2u);
    m.processes.sessionLookupFails.insert(first);
    EXPECT_FALSE(m.processes.ProcessIdToSessionId(first, &session));
    m.processes.Exit(first);
    EXPECT_FALSE(m.processes.IsRunning(first));
    std::vector<platform::ProcessEntry> snapshot;
    ASSERT_TRUE(m.processes.SnapshotProcesses(&snapshot, nullptr));
    EXPECT_EQ(snapshot.front().exeFile, L"[System Process]");
    EXPECT_EQ(snapshot.back().processId, second);

    std::uint32_t error = 0;
    m.processes.onCreateProcess = [&](const std::wstring& line) { return line.find(L"/a") != std::wstring::npos; };
    EXPECT_TRUE(m.processes.CreateHiddenProcess(L"\"C:\\windows\\system32\\shutdown.exe\" /a", &error));
    EXPECT_FALSE(m.processes.CreateHiddenProcess(L"\"C:\\windows\\system32\\shutdown.exe\" -r", &error));
    EXPECT_EQ(error, 2u);
    EXPECT_EQ(m.journal, (Journal{"CreateProcess \"C:\\windows\\system32\\shutdown.exe\" /a",
                                  "CreateProcess \"C:\\windows\\system32\\shutdown.exe\" -r"}));

    std::wstring name;
    EXPECT_FALSE(m.processes.GetUserName(6, &name)) << "jsmith needs 7 characters with its terminator";
    EXPECT_TRUE(m.processes.GetUserName(7, &name));
    EXPECT_EQ(name, L"jsmith");
}

TEST(FakeShutdownAndShell, CallsAreJournaledWithTheirFailures) {
    fake::FakeMachine m;
    m.shutdown.exitWindowsFails = true;
    auto token = m.shutdown.OpenProcessToken();
    EXPECT_TRUE(m.shutdown.SetShutdownPrivilege(token, true, nullptr));
    EXPECT_FALSE(m.shutdown.ExitWindowsEx(platform::EwxReboot | platform::EwxForce, 0));
    m.shutdown.CloseToken(token);
    auto user32 = m.shell.LoadLibrary(L"C:\\windows\\system32\\user32.dll");
    bool found = false;
    EXPECT_TRUE(m.shell.ShutdownBlockReasonCreate(user32, m.shell.window, L"Please wait", &found));
    EXPECT_TRUE(found);
    EXPECT_EQ(m.shell.blockReason, std::optional<std::wstring>(L"Please wait"));
    EXPECT_TRUE(m.shell.ShutdownBlockReasonDestroy(user32, m.shell.window, &found));
    EXPECT_FALSE(m.shell.ShutdownBlockReasonDestroy(user32, m.shell.window, &found)) << "nothing left to destroy";
    m.shell.FreeLibrary(user32);
    m.shell.blockReasonMissing = true;
    EXPECT_FALSE(m.shell.ShutdownBlockReasonCreate(user32, m.shell.window, L"x", &found));
    EXPECT_FALSE(found);
    EXPECT_EQ(m.journal,
              (Journal{"OpenProcessToken", "AdjustTokenPrivileges enable", "ExitWindowsEx 6 0 failed", "CloseToken",
                       "LoadLibrary C:\\windows\\system32\\user32.dll", "ShutdownBlockReasonCreate Please wait",
                       "ShutdownBlockReasonDestroy", "ShutdownBlockReasonDestroy", "FreeLibrary",
                       "ShutdownBlockReasonCreate x missing"}));
    EXPECT_EQ(m.shell.loadedLibraries, 0);
}

TEST(FakeShutdownAndShell, ATokenWithoutThePrivilegeIsAdjustedWithNotAllAssigned) {
    fake::FakeMachine m;
    m.shutdown.privilegeHeld = false;
    auto token = m.shutdown.OpenProcessToken();
    std::uint32_t error = 0;
    EXPECT_TRUE(m.shutdown.SetShutdownPrivilege(token, true, &error)) << "the call itself succeeds";
    EXPECT_EQ(error, platform::err::NotAllAssigned);
    EXPECT_FALSE(m.shutdown.ExitWindowsEx(platform::EwxShutdown | platform::EwxPowerOff, 0));
    EXPECT_FALSE(m.shutdown.ExitWindowsEx(platform::EwxReboot, 0));
    EXPECT_TRUE(m.shutdown.ExitWindowsEx(platform::EwxLogoff, 0)) << "a logoff needs no privilege";
    m.shutdown.CloseToken(token);
    EXPECT_EQ(m.journal, (Journal{"OpenProcessToken", "AdjustTokenPrivileges enable not all assigned",
                                  "ExitWindowsEx 9 0 failed", "ExitWindowsEx 2 0 failed", "ExitWindowsEx 0 0",
                                  "CloseToken"}));

    std::vector<platform::ProcessEntry> snapshot{{1, L"junk"}};
    m.processes.snapshotBadLengthFailures = 1;
    EXPECT_FALSE(m.processes.SnapshotProcesses(&snapshot, &error));
    EXPECT_EQ(error, platform::err::BadLength);
    EXPECT_TRUE(snapshot.empty());
    EXPECT_TRUE(m.processes.SnapshotProcesses(&snapshot, &error)) << "only for a moment";
}

TEST(StandardMachine, LaysOutAnInstalledMachine) {
    fake::FakeMachine m;
    fake::StandardOptions o;
    o.logoffTemplate = false;
    o.setup = true;
    o.shutdownSetting = 4;
    auto info = fake::InstallStandardMachine(m, o);
    EXPECT_TRUE(m.files.FindFirstExists(L"C:\\Program Files\\VORLAN\\QVRT\\Trigger\\*_Logon.xml"));
    EXPECT_FALSE(m.files.FindFirstExists(L"C:\\Program Files\\VORLAN\\QVRT\\Trigger\\*_Logoff.xml"));
    EXPECT_TRUE(m.files.Exists(info.deployerPath));
    EXPECT_TRUE(m.files.IsFolder(L"C:\\ProgramData\\Vorlan\\QVRT"));
    EXPECT_EQ(m.processes.CountRunning(L"quorvahost.exe"), 1u);
    EXPECT_EQ(m.processes.currentProcessId, info.agentPid);
    EXPECT_EQ(m.processes.CommandLineArgs().back(), L"setup");
    EXPECT_EQ(info.procDetailsIni, L"C:\\ProgramData\\Vorlan\\QVRT\\quorvaProcDetails_jsmith.ini");
    std::uint32_t session = 0;
    ASSERT_TRUE(m.processes.ProcessIdToSessionId(info.agentPid, &session));
    EXPECT_EQ(session, 1u);
    platform::Handle key = 0;
    ASSERT_EQ(m.registry.OpenKey(platform::HKeyCurrentUser, fake::kExplorerKey, platform::KeyRead, &key), 0);
    std::uint8_t data[4];
    std::uint32_t size = 4, type = 0;
    EXPECT_EQ(m.registry.QueryValue(key, L"Shutdown Setting", &type, data, &size), 0);
    EXPECT_EQ(data[0], 4);
    m.registry.CloseKey(key);
}

TEST(LogReader, SplitsEntriesWithMultiLineValues) {
    auto log = fake::ParseLog(
        "#Software: quorva\r\n#Version: 12.0.0.14\r\n#Date: 05/03/2026 03:04:05 PM\r\n"
        "#Fields:\tdtime\tmodule\ttype\tval1\tval2\tval3\r\n"
        "05/03/2026 03:04:05 PM\tWebPostEventData\tINFO\tweb Post\t<a>\r\r\n</a>\r\n\tdone\r\n"
        "05/03/2026 03:04:06 PM\tWindowProc\tINFO\t(null)\t\t\r\n");
    ASSERT_EQ(log.header.size(), 4u);
    ASSERT_EQ(log.entries.size(), 2u);
    EXPECT_EQ(log.entries[0].val2, "<a>\r\n</a>\n");
    EXPECT_EQ(log.entries[0].val3, "done");
    EXPECT_EQ(log.entries[1].time, "03:04:06 PM");
    EXPECT_EQ(log.entries[1].val1, "(null)");
}

}  // namespace
