#include <gtest/gtest.h>
#include "agent/Common.h"
#include "window/FatalFailure.h"
#include "tests/fakes/LogReader.h"
#include "tests/fakes/StandardMachine.h"

using platform::MessageResult;
namespace wm = platform::wm;

namespace {

using Journal = std::vector<std::string>;

class AgentWindow : public ::testing::Test {
protected:
    AgentWindow() { fake::InstallStandardMachine(m); }
    Journal Shell() {
        return m.JournalOf({"ModifyStyleEx", "SetWindowPos", "ShowWindow", "Co", "DeleteTab", "TaskbarList",
                            "EndDialog", "PostQuitMessage"});
    }
    fake::FakeMachine m;
    CQuorvaDlg agent{m.os()};
};

TEST_F(AgentWindow, HidingLeavesAToolWindowOfNoSizeThatIsNotShown) {
    m.shell.x = 40;
    m.shell.y = 30;
    agent.HideWindow();
    EXPECT_EQ(Shell(), (Journal{"ModifyStyleEx remove 0x00040000 add 0x00000000",
                                "ModifyStyleEx remove 0x00000000 add 0x00000080",
                                "SetWindowPos 0xA0040 0 0 0 0 0x82", "ShowWindow 0"}));
    EXPECT_EQ(m.shell.exStyle & platform::WsExAppWindow, 0u);
    EXPECT_EQ(m.shell.exStyle & platform::WsExToolWindow, platform::WsExToolWindow);
    EXPECT_EQ(m.shell.width, 0);
    EXPECT_EQ(m.shell.height, 0);
    EXPECT_EQ(m.shell.x, 40) << "the position is kept";
    EXPECT_FALSE(m.shell.visible);
}

TEST_F(AgentWindow, EveryMessageRemovesTheTaskbarButtonInItsOwnApartment) {
    agent.PreTranslateMessage();
    agent.PreTranslateMessage();
    EXPECT_EQ(Shell(), (Journal{"CoInitialize", "DeleteTab", "CoUninitialize", "CoInitialize", "DeleteTab",
                                "CoUninitialize"}));
    EXPECT_EQ(m.shell.comApartments, 0);
}

TEST_F(AgentWindow, StartUpKeepsItsApartment) {
    agent.RemoveTaskbarButton(false);
    EXPECT_EQ(Shell(), (Journal{"CoInitialize", "DeleteTab"}));
    EXPECT_EQ(m.shell.comApartments, 1);
}

TEST_F(AgentWindow, WithoutTheTaskbarObjectTheApartmentIsStillGivenBack) {
    m.shell.taskbarFails = true;
    agent.PreTranslateMessage();
    EXPECT_EQ(Shell(), (Journal{"CoInitialize", "TaskbarList failed", "CoUninitialize"}));
    EXPECT_EQ(m.shell.comApartments, 0);
}

TEST_F(AgentWindow, EndAgentEndsTheModalRunThenPostsQuit) {
    agent.EndAgent();
    EXPECT_EQ(Shell(), (Journal{"EndDialog IDOK", "PostQuitMessage 0"}));
    EXPECT_TRUE(agent.m_bEnded);
    ASSERT_TRUE(m.shell.quitCode.has_value());
    EXPECT_EQ(*m.shell.quitCode, 0);
}

TEST_F(AgentWindow, OnOkEndsTheModalRunAndNothingElse) {
    agent.OnOK();
    EXPECT_EQ(Shell(), (Journal{"EndDialog IDOK"}));
    EXPECT_FALSE(agent.m_bEnded);
}

TEST_F(AgentWindow, EndAgentCallsTheOverriddenOnOk) {
    struct Recording : CQuorvaDlg {
        using CQuorvaDlg::CQuorvaDlg;
        int okCalls = 0;
        void OnOK() override { ++okCalls; }
    } window(m.os());
    window.EndAgent();
    EXPECT_EQ(window.okCalls, 1);
    EXPECT_EQ(Shell(), (Journal{"PostQuitMessage 0"}));
}

TEST_F(AgentWindow, OnlyTheSessionEndMessagesAreTheAgentsOwn) {
    for (std::uint32_t message : {wm::Close, wm::Paint, wm::Destroy, wm::QueryDragIcon, wm::SetIcon}) {
        MessageResult r = agent.WindowProc(message, 0, 0);
        EXPECT_FALSE(r.handled) << message;
    }
    EXPECT_TRUE(Shell().empty());
    MessageResult end = agent.WindowProc(wm::EndSession, 0, 0);
    EXPECT_TRUE(end.handled);
    EXPECT_EQ(end.result, 0);
}

TEST(SharedHelpers, PathExistsSearchesTheWideName) {
    fake::FakeMachine m;
    m.files.PutFile(L"C:\\Data\\a.txt", "");
    m.files.PutFile(L"C:\\Data\\Trigger\\Site_Logon.xml", "");
    EXPECT_FALSE(PathExists(m.files, L"C:\\Data\\\u0416.txt")) << "not a wildcard";
    EXPECT_TRUE(PathExists(m.files, L"C:\\Data\\a.txt"));
    EXPECT_TRUE(PathExists(m.files, L"C:\\Data\\Trigger\\*_Logon.xml"));
    EXPECT_FALSE(PathExists(m.files, L"C:\\Data\\Trigger\\*_Shutdown.xml"));
    EXPECT_TRUE(PathExists(m.files, L"C:\\Data"));
    EXPECT_FALSE(PathExists(m.files, L"C:\\Data\\"));
}

TEST(SharedHelpers, CaseFoldingCoversAsciiAndLatin1) {
    EXPECT_TRUE(EqualsNoCase(L"SYSTEM AZ", L"system az"));
    EXPECT_TRUE(EqualsNoCase(L"\u00c9LAN", L"\u00e9lan"));
    EXPECT_FALSE(EqualsNoCase(L"SYSTEM", L"SYSTEMS"));
    EXPECT_FALSE(EqualsNoCase(L"\u00d7", L"\u00f7")) << "the multiplication sign is no letter";
    EXPECT_EQ(ToLowerCopy(L"QuorvaHost.EXE \u00c5"), L"quorvahost.exe \u00e5");
}

TEST(SharedHelpers, TextModeTurnsEveryLineFeedIntoCrLf) {
    EXPECT_EQ(ToTextMode("a\nb\r\nc"), "a\r\nb\r\r\nc");
    EXPECT_EQ(ToTextMode(""), "");
    EXPECT_EQ(ToTextMode("\n\n"), "\r\n\r\n");
}

TEST(SharedHelpers, SystemAccountIgnoresCase) {
    fake::FakeMachine m;
    CQuorvaDlg agent(m.os());
    agent.m_szUserName = L"System";
    EXPECT_TRUE(IsSystemAccount(agent));
    agent.m_szUserName = L"SYSTEM1";
    EXPECT_FALSE(IsSystemAccount(agent));
}

TEST(SharedHelpers, CreateEmptyFileKeepsWhatIsThere) {
    fake::FakeMachine m;
    CQuorvaDlg agent(m.os());
    m.files.MakeFolder(L"C:\\ProgramData\\Vorlan\\QVRT");
    const std::wstring ini = L"C:\\ProgramData\\Vorlan\\QVRT\\quorvaProcDetails_jsmith.ini";
    CreateEmptyFile(agent, ini);
    EXPECT_EQ(m.files.Read(ini), std::optional<std::string>(""));
    m.files.PutFile(ini, "[Process Details]\r\n");
    CreateEmptyFile(agent, ini);
    EXPECT_EQ(m.files.Read(ini), std::optional<std::string>("[Process Details]\r\n"));
    CreateEmptyFile(agent, L"C:\\Missing\\x.ini");
    EXPECT_FALSE(m.files.Exists(L"C:\\Missing"));
}

}  // namespace

namespace {

// A failure the C++ library gives up on ends the process at once, without the
// run-time library's modal box, and the log says why where a log exists.
TEST_F(AgentWindow, FatalFailureEndsTheProcessAtOnceWithALogRecordWhereThereIsALog) {
    struct Case {
        const char* name;
        bool startedUp;  // the start-up named the log folder
        bool record;
    };
    for (const Case c : {Case{"after the start-up", true, true}, Case{"early in the start-up", false, false}}) {
        SCOPED_TRACE(c.name);
        fake::FakeMachine machine;
        const auto info = fake::InstallStandardMachine(machine);
        CQuorvaDlg dying(machine.os());
        dying.m_szUserName = L"jsmith";
        if (c.startedUp) dying.m_strDataDir = info.dataDir;
        SetFatalFailureAgent(&dying);
        EXPECT_THROW(EndAfterFatalFailure(), fake::ProcessEnded);
        EXPECT_EQ(FatalFailureAgent(), nullptr);
        EXPECT_EQ(machine.JournalOf({"TerminateProcess", "Runtime"}), (Journal{"TerminateProcess 3"}));
        const auto log = fake::ReadLog(machine, L"jsmith");
        ASSERT_EQ(log.exists, c.record);
        if (c.record) {
            EXPECT_EQ(log.entries.back().type, "ERROR");
            EXPECT_EQ(log.entries.back().val1, "Ended after a failure in the program");
        }
    }
    // Without an agent the caller ends the process itself.
    SetFatalFailureAgent(nullptr);
    EndAfterFatalFailure();
}

}  // namespace
