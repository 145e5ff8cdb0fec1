// The parts of the Win32 layer the contract suite cannot share with the
// simulation: processes, sessions, the account, the command line and the
// folders, as a real system answers them (run under Wine). The snapshot's
// and the privilege's contracts are the contract suite's.
#include "platform/win32/WinHeaders.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <cwctype>
#include "platform/win32/Win32Platform.h"

namespace {

std::wstring Lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

class Win32ProcessesTest : public ::testing::Test {
protected:
    win32::Win32Platform machine_;
    platform::IProcesses& processes() { return machine_.processes; }
};

TEST_F(Win32ProcessesTest, SnapshotHoldsThisProcessByFileNameOnly) {
    std::vector<platform::ProcessEntry> list{{1234, L"junk"}};
    ASSERT_TRUE(processes().SnapshotProcesses(&list, nullptr));
    const std::uint32_t self = processes().GetCurrentProcessId();
    EXPECT_EQ(self, ::GetCurrentProcessId());
    auto found = std::find_if(list.begin(), list.end(),
                              [&](const platform::ProcessEntry& e) { return e.processId == self; });
    ASSERT_NE(found, list.end()) << "the walk reaches past the first record";
    EXPECT_EQ(Lower(found->exeFile), L"win32_tests.exe") << "a file name, not a path";
    EXPECT_EQ(std::count_if(list.begin(), list.end(),
                            [](const platform::ProcessEntry& e) { return e.exeFile == L"junk"; }),
              0)
        << "the list is replaced, not appended to";
}

TEST_F(Win32ProcessesTest, SessionOfThisProcessAndOfNoProcess) {
    std::uint32_t session = 0xDEADBEEF;
    ASSERT_TRUE(processes().ProcessIdToSessionId(processes().GetCurrentProcessId(), &session));
    DWORD expected = 0;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &expected);
    EXPECT_EQ(session, expected);

    session = 0xDEADBEEF;
    EXPECT_FALSE(processes().ProcessIdToSessionId(0xFFFFFFF0u, &session));
    EXPECT_EQ(session, 0xDEADBEEFu) << "untouched on failure";
}

TEST_F(Win32ProcessesTest, UserNameAndItsCapacity) {
    std::wstring name = L"junk";
    ASSERT_TRUE(processes().GetUserName(1024, &name));
    EXPECT_FALSE(name.empty());
    EXPECT_NE(name, L"junk");

    std::wstring small = L"unchanged";
    EXPECT_FALSE(processes().GetUserName(static_cast<std::uint32_t>(name.size()), &small))
        << "no room for the terminator";
    EXPECT_EQ(small, L"unchanged");
}

TEST_F(Win32ProcessesTest, CommandLineStartsWithTheProgram) {
    const std::vector<std::wstring> args = processes().CommandLineArgs();
    ASSERT_FALSE(args.empty());
    EXPECT_NE(Lower(args[0]).find(L"win32_tests"), std::wstring::npos);
}

TEST_F(Win32ProcessesTest, HiddenProcessStartsAndAMissingProgramReportsWhy) {
    const std::wstring system = machine_.shell.GetSystemDirectory(512);
    ASSERT_FALSE(system.empty());
    std::uint32_t error = 0xDEADBEEF;
    EXPECT_TRUE(processes().CreateHiddenProcess(L"\"" + system + L"\\cmd.exe\" /c exit 0", &error));
    EXPECT_EQ(error, 0xDEADBEEFu) << "untouched on success";

    error = 0;
    EXPECT_FALSE(processes().CreateHiddenProcess(L"\"" + system + L"\\no such program.exe\" /a",
                                                 &error));
    EXPECT_EQ(error, static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(processes().GetLastError(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND))
        << "the error survives the layer's own clean-up";
}

TEST_F(Win32ProcessesTest, FolderPathsOfTheSystem) {
    std::wstring common = L"junk";
    ASSERT_TRUE(machine_.shell.GetFolderPath(platform::CsidlCommonAppData, &common));
    EXPECT_EQ(Lower(common), L"c:\\programdata");
    EXPECT_EQ(machine_.shell.GetSystemDirectory(5), L"") << "too small a buffer gives nothing";
    EXPECT_EQ(Lower(machine_.shell.GetSystemDirectory(512)), L"c:\\windows\\system32");
}

}  // namespace
