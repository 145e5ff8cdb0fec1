// A session-end request can reach the window while the start-up is still
// running: the taskbar call waits on another process, and a message sent to
// the window meanwhile is delivered right there, before any path exists.
#include "tests/unit/test_session_fixture.h"

namespace {

using namespace session_test;

class DeferredQueryTest : public SessionEndTest {
protected:
    std::intptr_t answer = -1;

    // A fresh agent whose start-up receives `lParam` in its taskbar step.
    BOOL StartWithRequestDuringStartUp(std::intptr_t lParam) {
        agent = std::make_unique<CQuorvaDlg>(m.os());
        m.shell.whileDeletingTab = [this, lParam] {
            m.shell.whileDeletingTab = nullptr;
            answer = agent->WindowProc(wm::QueryEndSession, 0, lParam).result;
        };
        return agent->OnInitDialog();
    }
    std::size_t IndexOf(const std::vector<std::string>& lines, const std::string& prefix) {
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (lines[i].rfind(prefix, 0) == 0) return i;
        return lines.size();
    }
};

TEST_F(DeferredQueryTest, ResidentCopyHoldsTheRequestAndHandlesItAfterStartUp) {
    fake::StandardOptions options;
    Install(options);
    m.processes.args = {L"quorva.exe", L"setup"};

    EXPECT_EQ(StartWithRequestDuringStartUp(kLogoff), TRUE_);
    EXPECT_EQ(answer, FALSE_) << "a resident copy holds the session end back";
    const auto lines = Log();
    const std::size_t startedEnd =
        IndexOf(lines, "OnInitDialog|INFO|Success|The Logon script will not be executed");
    const std::size_t firstRequest = IndexOf(lines, "WindowProc|INFO|SHUTDOWN RECIEVED");
    ASSERT_LT(startedEnd, lines.size());
    ASSERT_LT(firstRequest, lines.size());
    EXPECT_LT(startedEnd, firstRequest) << "the request was handled before the start-up had finished";
    EXPECT_EQ(lines.back(), Line("FunctionToForgetShutDown", "INFO", "exe stopped", "Logging Off"));
    EXPECT_EQ(Journal({"ExitWindowsEx"}), (std::vector<std::string>{"ExitWindowsEx 4 0"}));
    EXPECT_TRUE(agent->m_bEnded);
    // Nothing landed beside the agent while its paths were still empty.
    EXPECT_TRUE(m.files.List(L"ApplicationLog").empty());
    EXPECT_TRUE(m.files.List(L"QVRTPostLogs").empty());
}

TEST_F(DeferredQueryTest, OrdinaryCopyLetsTheSessionEndGoOn) {
    Install();
    m.processes.args = {L"quorva.exe"};

    EXPECT_EQ(StartWithRequestDuringStartUp(kShutdown), TRUE_);
    EXPECT_EQ(answer, TRUE_);
    // The logon hand-off ran to its end and no session-end handling followed.
    const auto lines = Log();
    EXPECT_EQ(IndexOf(lines, "WindowProc|"), lines.size());
    EXPECT_TRUE(Journal({"ExitWindowsEx"}).empty());
}

TEST_F(DeferredQueryTest, CloseRequestDuringStartUpIsLetGo) {
    Install();
    m.processes.args = {L"quorva.exe", L"SETUP"};

    EXPECT_EQ(StartWithRequestDuringStartUp(kCloseApp), TRUE_);
    EXPECT_EQ(answer, TRUE_);
    EXPECT_TRUE(agent->m_bCloseRequested);
    EXPECT_FALSE(agent->m_bEnded) << "the agent ends when WM_ENDSESSION confirms the close";
    EXPECT_TRUE(Journal({"ExitWindowsEx", "CreateProcess"}).empty());
}

}  // namespace
