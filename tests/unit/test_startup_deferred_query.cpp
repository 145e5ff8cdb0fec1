// A session-end request can reach the window while the start-up is still
// running: the taskbar call waits on another process, and a message sent to
// the window meanwhile is delivered right there, before any path exists.
#include <functional>
#include <optional>

#include "tests/unit/test_session_fixture.h"

using platform::BOOL;
using platform::FALSE_;
using platform::TRUE_;
namespace wm = platform::wm;

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
    // A fresh agent whose start-up receives a close request and the
    // WM_ENDSESSION that confirms (or withdraws) it.
    BOOL StartWithCloseDuringStartUp(bool ending) {
        agent = std::make_unique<CQuorvaDlg>(m.os());
        m.shell.whileDeletingTab = [this, ending] {
            m.shell.whileDeletingTab = nullptr;
            answer = agent->WindowProc(wm::QueryEndSession, 0, kCloseApp).result;
            agent->WindowProc(wm::EndSession, ending ? 1 : 0, kCloseApp);
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

// An installer's close request and its WM_ENDSESSION, both during the
// start-up: confirmed (true), the agent ends once the start-up is over;
// withdrawn (false), it stays with its block reason in place.
class DeferredCloseTest : public DeferredQueryTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DeferredCloseTest, CloseRequestAndItsEndSessionDuringStartUp) {
    const bool ending = GetParam();
    Install();
    m.processes.args = {L"quorva.exe", L"setup"};
    EXPECT_EQ(StartWithCloseDuringStartUp(ending), TRUE_);
    EXPECT_EQ(answer, TRUE_);
    EXPECT_EQ(agent->m_bEnded, ending);
    EXPECT_EQ(agent->m_bCloseRequested, ending);
    EXPECT_TRUE(m.JournalOf({"ExitWindowsEx", "CreateProcess"}).empty());
    EXPECT_EQ(m.shell.blockReason.has_value(), !ending);
}

INSTANTIATE_TEST_SUITE_P(ConfirmedOrWithdrawn, DeferredCloseTest, ::testing::Bool());

// Two requests held during the start-up: Windows cancelled the first when it
// was answered 0, so only the later one is handled, of its own kind. An
// installer's close, confirmed first, ends the copy before it comes to the
// held one: that one is still issued, unforced, with no script.
TEST_F(DeferredQueryTest, LaterHeldRequestReplacesTheEarlierOne) {
    struct Case {
        std::intptr_t first, later;
        std::string exitWindows;
        std::size_t scripts = 1;
    };
    for (const Case c : {Case{kShutdown, kLogoff, "ExitWindowsEx 4 0"}, Case{kLogoff, kShutdown, "ExitWindowsEx 13 0"},
                         Case{kCloseApp, kLogoff, "ExitWindowsEx 0 0", 0}}) {
        SCOPED_TRACE(c.exitWindows);
        fake::FakeMachine machine;
        fake::StandardOptions options;
        options.setup = true;
        const auto layout = fake::InstallStandardMachine(machine, options);
        fake::ScriptedService stand_in(machine, layout.scriptDataDir);
        stand_in.WatchUser(options.userName);
        stand_in.Start();
        CQuorvaDlg held(machine.os());
        std::vector<std::intptr_t> answers;
        machine.shell.whileDeletingTab = [&] {
            machine.shell.whileDeletingTab = nullptr;
            answers.push_back(held.WindowProc(wm::QueryEndSession, 0, c.first).result);
            if (c.first == kCloseApp) held.WindowProc(wm::EndSession, 1, c.first);
            answers.push_back(held.WindowProc(wm::QueryEndSession, 0, c.later).result);
        };
        held.OnInitDialog();
        EXPECT_EQ(answers, (std::vector<std::intptr_t>{c.first == kCloseApp ? TRUE_ : FALSE_, FALSE_}));
        EXPECT_EQ(machine.JournalOf({"ExitWindowsEx"}), std::vector<std::string>{c.exitWindows});
        ASSERT_EQ(stand_in.requests.size(), c.scripts) << "one script, for the later request";
        if (c.scripts == 0) continue;
        EXPECT_EQ(stand_in.requests[0].processArguments,
                  std::wstring(c.later == kLogoff ? L"Logoff<<>>" : L"shutdown<<>>") + options.userName);
    }
}

// A resident copy answers a request held during the start-up with 0. When
// it then cannot handle it, Windows must not be left waiting: the agent
// issues that session end itself, unforced, with one log record.
struct HeldCase {
    const char* name;
    std::intptr_t lParam;
    std::optional<std::uint32_t> shutdownSetting;
    std::function<void(fake::StandardOptions&, fake::FakeMachine&)> arrange;
    std::string exitWindows;   // the one ExitWindowsEx call
    std::string record;        // the last log record, "" when there is no log yet
    std::vector<std::uint32_t> waits;  // every wait of the run, the start-up's and the restart check's
    // The issue that Windows refused, recorded after `record`; "" when it was not refused.
    std::string refused = "";
};

TEST_F(DeferredQueryTest, HeldRequestThatCannotBeHandledIsIssuedUnforced) {
    const auto record = [](const char* why, const char* how) {
        return Line("IssueHeldSessionEnd", "INFO", "Issuing held session end unforced", why, how);
    };
    const std::vector<HeldCase> cases{
        {"no template", kLogoff, std::nullopt,
         [](fake::StandardOptions& o, fake::FakeMachine&) {
             o.logonTemplate = o.logoffTemplate = o.shutdownTemplate = false;
         },
         "ExitWindowsEx 0 0", "", {2000, 1000}},
        {"deployer missing", kShutdown, 4u, [](fake::StandardOptions& o, fake::FakeMachine&) { o.deployer = false; },
         "ExitWindowsEx 2 0", record("Start-up ended", "Rebooting"), {2000, 1000}},
        {"no logoff or shutdown template", kShutdown, std::nullopt,
         [](fake::StandardOptions& o, fake::FakeMachine&) { o.logoffTemplate = o.shutdownTemplate = false; },
         "ExitWindowsEx 9 0", record("Start-up ended", "Shutting down"), {2000, 1000, 2000, 2000, 2000, 2000, 2000}},
        {"no session id", kLogoff, std::nullopt,
         [](fake::StandardOptions&, fake::FakeMachine& machine) { machine.processes.sessionLookupFails.insert(0); },
         "ExitWindowsEx 0 0", record("Start-up ended", "Logging Off"), {2000, 1000}},
        {"service gone", kShutdown, 4u,
         [](fake::StandardOptions& o, fake::FakeMachine&) { o.serviceRunning = false; }, "ExitWindowsEx 2 0",
         record("Script not run", "Rebooting"), {2000, 1000}},
        // A standard user on a server: Windows was told to wait, and the agent
        // cannot end the session for it; the log says so.
        {"service gone, no shutdown privilege", kShutdown, 4u,
         [](fake::StandardOptions& o, fake::FakeMachine& machine) {
             o.serviceRunning = false;
             machine.shutdown.privilegeHeld = false;
         },
         "ExitWindowsEx 2 0 failed", record("Script not run", "Rebooting"), {2000, 1000},
         Line("IssueHeldSessionEnd", "ERROR", "Held session end not issued", "Script not run", "Rebooting")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake::FakeMachine machine;
        fake::StandardOptions options;
        options.setup = true;
        options.shutdownSetting = c.shutdownSetting;
        c.arrange(options, machine);
        const auto layout = fake::InstallStandardMachine(machine, options);
        if (machine.processes.sessionLookupFails.count(0)) {
            machine.processes.sessionLookupFails = {layout.agentPid};
        }
        CQuorvaDlg held(machine.os());
        std::intptr_t heldAnswer = -1;
        bool reasonWhenAsked = false;
        // Once, at the start-up's own taskbar call.
        machine.shell.whileDeletingTab = [&] {
            if (heldAnswer != -1) return;
            reasonWhenAsked = machine.shell.blockReason.has_value();
            heldAnswer = held.WindowProc(wm::QueryEndSession, 0, c.lParam).result;
        };
        held.OnInitDialog();

        EXPECT_EQ(heldAnswer, FALSE_);
        // Vista and later end a window-less program that vetoes without a
        // reason registered before the question came.
        EXPECT_TRUE(reasonWhenAsked) << "the reason was in place before the request came";
        EXPECT_TRUE(machine.shell.blockReason.has_value()) << "and while the held session end was issued";
        EXPECT_TRUE(held.m_bEnded);
        EXPECT_EQ(machine.JournalOf({"ExitWindowsEx"}), std::vector<std::string>{c.exitWindows});
        const auto entries = fake::ReadLog(machine).entries;
        if (c.record.empty()) {
            EXPECT_TRUE(entries.empty());
            EXPECT_TRUE(machine.files.List(L"ApplicationLog").empty()) << "no log beside the agent";
        } else {
            ASSERT_GE(entries.size(), c.refused.empty() ? 1u : 2u);
            const auto line = [](const fake::LogEntry& e) { return Line(e.module, e.type, e.val1, e.val2, e.val3); };
            if (c.refused.empty()) {
                EXPECT_EQ(line(entries.back()), c.record);
            } else {
                EXPECT_EQ(line(entries[entries.size() - 2]), c.record);
                EXPECT_EQ(line(entries.back()), c.refused);
            }
            EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                                    [](const fake::LogEntry& l) { return l.module == "IssueHeldSessionEnd"; }),
                      c.refused.empty() ? 1 : 2);
            const auto events = fake::ReadEvents(machine);
            const std::string why = c.record.substr(0, c.record.rfind('|')).substr(c.record.find("unforced|") + 9);
            EXPECT_NE(std::find(events.begin(), events.end(), "1003 2|jsmith|" + why), events.end()) << why;
        }
        EXPECT_EQ(machine.clock.sleeps, c.waits);
        EXPECT_EQ(machine.shutdown.openTokens, 0u);
        EXPECT_FALSE(machine.shutdown.privilegeEnabled) << "the privilege is given back";
    }
}

}  // namespace
