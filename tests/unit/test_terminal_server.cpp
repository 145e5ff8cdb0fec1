// Many users' agents on one machine at once: logon and shutdown storms, a
// user's two copies meeting on the day's log, and two users' re-handlings on
// the one task-kill file. Every copy runs the real start-up and session-end
// code on the simulated terminal server's one virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/fakes/LogReader.h"
#include "tests/fakes/TerminalServerScenario.h"

namespace {

using fake::AgentCopy;
using fake::ScenarioOptions;
using fake::TerminalServerScenario;

std::string Element(const std::string& text, const std::string& tag) {
    const std::string open = "<" + tag + ">", close = "</" + tag + ">";
    const auto from = text.find(open);
    const auto to = text.find(close);
    if (from == std::string::npos || to == std::string::npos || to < from) return "<missing>";
    return text.substr(from + open.size(), to - from - open.size());
}

// A report as the post folder's reader sees it: ten CR LF separated lines,
// the root element around eight children, one of each.
::testing::AssertionResult WellFormedReport(const std::string& text) {
    static const char* const kChildren[] = {"regid", "regtype", "user",   "evnt",
                                            "scandt", "exever", "status", "faildesc"};
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find("\r\n", from)) != std::string::npos; from = at + 2)
        lines.push_back(text.substr(from, at - from));
    lines.push_back(text.substr(from));
    if (lines.size() != 10) return ::testing::AssertionFailure() << lines.size() << " lines:\n" << text;
    if (lines[0] != "<wpdcmagntevntstiu>" || lines[9] != "\t\t\t\t\t\t</wpdcmagntevntstiu>")
        return ::testing::AssertionFailure() << "root element:\n" << text;
    for (std::size_t i = 0; i < 8; ++i) {
        const std::string tag = kChildren[i];
        const std::string& line = lines[i + 1];
        if (line.rfind("\t\t\t\t\t\t<" + tag + ">", 0) != 0 ||
            line.size() < tag.size() + 3 || line.substr(line.size() - tag.size() - 3) != "</" + tag + ">")
            return ::testing::AssertionFailure() << "line " << i + 2 << ": " << line;
    }
    return ::testing::AssertionSuccess();
}

// The user named in the file name of a hand-off request.
std::string UserOfHandOffFile(const std::wstring& file) {
    const std::wstring prefix = L"quorvaProcDetails_";
    const auto at = file.find(prefix) + prefix.size();
    return fake::Utf8(file.substr(at, file.size() - at - 4));
}

std::size_t CountOf(const std::vector<std::uint32_t>& sleeps, std::uint32_t ms) {
    return static_cast<std::size_t>(std::count(sleeps.begin(), sleeps.end(), ms));
}

// ---- logon storm ----

TEST(TerminalServer, LogonStormOf500UsersKeepsEveryReportEveryLogAndEmptiesEveryHandOffFile) {
    TerminalServerScenario s(fake::StormCopies(500, false));
    s.Run();

    std::set<std::string> usersReported;
    const auto reports = s.Reports();
    EXPECT_EQ(reports.size(), 500u);
    for (const auto& [name, text] : reports) {
        EXPECT_TRUE(WellFormedReport(text)) << fake::Utf8(name);
        EXPECT_EQ(Element(text, "evnt"), "Logon");
        EXPECT_EQ(Element(text, "status"), "1");
        usersReported.insert(Element(text, "user"));
    }
    EXPECT_EQ(usersReported.size(), 500u) << "each user's report in a file of its own";

    EXPECT_EQ(s.LogFiles().size(), 500u);
    for (std::size_t i = 0; i < s.copies.size(); ++i) {
        const std::wstring& user = s.copies[i].user;
        SCOPED_TRACE(fake::Utf8(user));
        const auto& out = s.outcomes[i];
        EXPECT_EQ(out.startUp, 1);
        EXPECT_EQ(out.logFailed, 0);
        EXPECT_TRUE(out.ended);
        EXPECT_FALSE(out.logonProcId.empty());
        const auto handOff = s.server.machine.files.Read(s.HandOffFile(user));
        ASSERT_TRUE(handOff.has_value());
        EXPECT_EQ(*handOff, "");
    }
    for (const auto& agent : s.server.agents()) EXPECT_FALSE(agent->abandoned);

    // The service took one request from each copy, and no copy is left running.
    ASSERT_EQ(s.service->requests.size(), 500u);
    EXPECT_EQ(s.server.machine.processes.CountRunning(L"quorva.exe"), 0u);
}

// ---- shutdown storm ----

TEST(TerminalServer, ShutdownStormOf200ResidentCopiesHandsOffReportsAndReissuesEach) {
    ScenarioOptions options;
    options.shutdownAtMs = 60000;
    // Scripts of three seconds: each look at the processes logs every
    // user's running deployer, so longer scripts only add log lines.
    options.deployerRunMs = 3000;
    TerminalServerScenario s(fake::StormCopies(200, true), options);
    s.Run();

    // 200 hand-offs, each answered in the file of the user who asked.
    ASSERT_EQ(s.service->requests.size(), 200u);
    std::map<std::string, std::uint32_t> deployerOf;
    for (const auto& request : s.service->requests) {
        const std::string user = UserOfHandOffFile(request.file);
        EXPECT_EQ(fake::Utf8(request.processArguments), "shutdown<<>>" + user);
        EXPECT_TRUE(deployerOf.emplace(user, request.pid).second) << user << " asked twice";
    }

    std::size_t shutdownReports = 0;
    for (const auto& [name, text] : s.Reports()) {
        EXPECT_TRUE(WellFormedReport(text)) << fake::Utf8(name);
        if (Element(text, "evnt") == "Shutdown" && Element(text, "status") == "1") ++shutdownReports;
    }
    EXPECT_EQ(shutdownReports, 200u);

    for (std::size_t i = 0; i < s.copies.size(); ++i) {
        const std::string user = fake::Utf8(s.copies[i].user);
        SCOPED_TRACE(user);
        const auto& out = s.outcomes[i];
        const auto& agent = *s.server.agents()[i];
        EXPECT_EQ(out.startUp, 1);
        EXPECT_EQ(out.queryAnswer, 0);
        EXPECT_EQ(fake::Utf8(out.sessionEndProcId), std::to_string(deployerOf[user]))
            << "the agent waits for the script the service started for its own user";
        EXPECT_EQ(agent.shutdown.exitWindowsFlags, std::vector<std::uint32_t>{13u}) << "one forced shutdown";
        EXPECT_EQ(std::count(agent.launched.begin(), agent.launched.end(),
                             L"\"C:\\windows\\system32\\shutdown.exe\" -s -f -t 00"),
                  1);
        EXPECT_TRUE(out.ended);
        EXPECT_FALSE(agent.abandoned);
    }
}

// ---- one user's two copies ----

// The logon copy and the resident copy start together; the session ends
// while the logon request still waits for the service's answer. The file
// holds one request, so the resident copy waits for its turn until the logon
// copy has read its answer: each copy reads the answer to its own request.
TEST(TerminalServer, AUsersTwoCopiesMeetOnTheDaysLogAndTakeTurnsAtTheHandOffFile) {
    ScenarioOptions options;
    options.shutdownAtMs = 5000;
    options.maxAnswerDelayMs = 25000;  // the logon request is answered after 18 s, the next at once
    TerminalServerScenario s({AgentCopy{L"jsmith", 1, false, 0}, AgentCopy{L"jsmith", 1, true, 0}}, options);
    s.Run();

    const auto& ordinary = s.outcomes[0];
    const auto& resident = s.outcomes[1];
    EXPECT_EQ(ordinary.startUp, 1);
    EXPECT_EQ(ordinary.logFailed, 0);
    EXPECT_TRUE(ordinary.ended) << "the logon copy ends after its report";
    EXPECT_EQ(resident.startUp, 1);
    EXPECT_EQ(resident.logFailed, 0);
    EXPECT_EQ(resident.queryAnswer, 0) << "the resident copy holds the session end for its script";

    // The two opens did meet: one copy waited for the other's entry.
    const std::size_t retries = CountOf(s.server.agents()[0]->sleeps, 50) + CountOf(s.server.agents()[1]->sleeps, 50);
    EXPECT_GE(retries, 1u);

    const auto& requests = s.service->requests;
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].processArguments, L"Logon<<>>jsmith");
    EXPECT_EQ(requests[1].processArguments, L"shutdown<<>>jsmith");
    EXPECT_LT(requests[0].answeredAtMs, requests[1].atMs) << "the second request waited for the first's answer";
    EXPECT_EQ(ordinary.logonProcId, requests[0].answer);
    EXPECT_EQ(resident.sessionEndProcId, requests[1].answer);

    const auto log = fake::ReadLog(s.server.machine, L"jsmith");
    EXPECT_EQ(log.header.size(), 4u) << "one header for the day's file";
    std::size_t started = 0, copiesNoted = 0, turnsWaited = 0;
    for (const auto& e : log.entries) {
        if (e.val1 == "Application started") ++started;
        if (e.val2 == "A running interface of quorva exe already exists for this session") ++copiesNoted;
        if (e.val1 == "Waiting for the hand-off turn") ++turnsWaited;
    }
    EXPECT_EQ(started, 2u);
    EXPECT_EQ(copiesNoted, 2u);
    EXPECT_EQ(turnsWaited, 1u);
    ASSERT_EQ(s.Reports().size(), 2u);
    EXPECT_EQ(Element(s.Reports()[0].second, "evnt"), "Logon");
    EXPECT_EQ(Element(s.Reports()[1].second, "evnt"), "Shutdown");
}

// ---- the one task-kill file of the machine ----

// Two users' resident copies find, at the same moment, that their session end
// changed kind, and each asks the service through the shared task-kill file
// to end its first script. The file holds one request: a request written
// while the other user's is still pending replaces it, the service ends only
// the process named last, and both agents take the file's deletion as their
// acknowledgement. Neither waits for ever; the replaced user's first script
// is not ended early but runs to its own end beside the new one.
TEST(TerminalServer, TwoUsersRehandlingsShareTheTaskKillFileAndTheLaterRequestWins) {
    ScenarioOptions options;
    options.shutdownAtMs = 30000;
    options.logoffCameBefore = true;
    options.maxAnswerDelayMs = 0;
    TerminalServerScenario s({AgentCopy{L"alice", 1, true, 0}, AgentCopy{L"bob", 2, true, 0}}, options);
    s.Run();

    for (const auto& agent : s.server.agents()) {
        SCOPED_TRACE(fake::Utf8(agent->identity.userName));
        EXPECT_FALSE(agent->abandoned) << "no agent waits for ever";
        EXPECT_EQ(agent->shutdown.exitWindowsFlags.size(), 2u) << "nested level and first level re-issue";
    }
    for (const auto& out : s.outcomes) EXPECT_TRUE(out.ended);

    // First scripts, then the nested handlings' scripts.
    ASSERT_EQ(s.service->requests.size(), 4u);
    std::map<std::string, std::uint32_t> firstScript;
    for (std::size_t i = 0; i < 2; ++i)
        firstScript[UserOfHandOffFile(s.service->requests[i].file)] = s.service->requests[i].pid;
    ASSERT_EQ(firstScript.size(), 2u);

    // alice writes her request first and bob's replaces it before the
    // service looks: only bob's first script is ended by the service.
    EXPECT_EQ(s.service->killed, std::vector<std::uint32_t>{firstScript["bob"]});
    EXPECT_FALSE(s.server.machine.files.Exists(s.TaskKillFile()));
    const auto writes = s.server.machine.JournalOf({"WritePrivateProfileString [Task_To_Kill]"});
    ASSERT_EQ(writes.size(), 4u) << "two requests from each user";
    EXPECT_NE(writes[2].find("Proc_ID=" + std::to_string(firstScript["alice"])), std::string::npos);
    EXPECT_NE(writes[3].find("Proc_ID=" + std::to_string(firstScript["bob"])), std::string::npos);
}

}  // namespace
