#include "tests/fakes/TerminalServerScenario.h"

#include <cstdio>
#include <set>

#include "agent/QuorvaDlg.h"

namespace wm = platform::wm;

namespace fake {
namespace {

// A fixed scatter of 0..range: the same storm every run.
std::int64_t Scatter(std::size_t index, std::int64_t range) {
    if (range <= 0) return 0;
    const std::uint64_t mixed = (static_cast<std::uint64_t>(index) + 1) * 2654435761u;
    return static_cast<std::int64_t>(mixed % static_cast<std::uint64_t>(range + 1));
}

}  // namespace

std::wstring StormUser(std::size_t index) {
    wchar_t name[32];
    std::swprintf(name, 32, L"user%04zu", index + 1);
    return name;
}

std::vector<AgentCopy> StormCopies(std::size_t users, bool resident, std::int64_t spreadMs) {
    std::vector<AgentCopy> copies;
    for (std::size_t i = 0; i < users; ++i)
        copies.push_back({StormUser(i), static_cast<std::uint32_t>(i + 1), resident, Scatter(i, spreadMs)});
    return copies;
}

TerminalServerScenario::TerminalServerScenario(std::vector<AgentCopy> copyList, ScenarioOptions scenarioOptions)
    : copies(std::move(copyList)), options(scenarioOptions), outcomes(copies.size()) {
    FakeMachine& m = server.machine;
    StandardOptions standard;
    standard.userName = copies.empty() ? L"jsmith" : copies.front().user;
    info = InstallStandardMachine(m, standard);
    // The standard machine's own agent process is not one of these copies.
    m.processes.Exit(info.agentPid);
    startMs = m.clock.nowMs;

    ScriptedService::Options serviceOptions;
    serviceOptions.pollMs = options.servicePollMs;
    serviceOptions.deployerRunMs = options.deployerRunMs;
    for (std::size_t i = 0; i < copies.size(); ++i)
        serviceOptions.answerDelays.push_back(Scatter(i * 7 + 3, options.maxAnswerDelayMs));
    service = std::make_unique<ScriptedService>(m, info.scriptDataDir, serviceOptions);
    std::set<std::wstring> watched;
    for (const AgentCopy& copy : copies)
        if (watched.insert(copy.user).second) service->WatchUser(copy.user);
    service->Start();

    for (std::size_t i = 0; i < copies.size(); ++i) {
        const AgentCopy& copy = copies[i];
        SessionAgent::Identity identity;
        identity.userName = copy.user;
        identity.session = copy.session;
        identity.args = {standard.installDir + L"quorva.exe"};
        if (copy.resident) identity.args.push_back(L"setup");
        identity.startAtMs = startMs + copy.startDelayMs;
        server.Launch(identity, [this, i](platform::Platform& os) {
            CopyOutcome& out = outcomes[i];
            CQuorvaDlg agent(os);
            out.startUp = agent.OnInitDialog();
            out.logFailed = agent.m_bLogFailed;
            out.logonProcId = agent.m_szScriptProcId.str();
            if (copies[i].resident && !agent.m_bEnded && options.shutdownAtMs >= 0) {
                if (options.logoffCameBefore) agent.m_bFlagForFirstTimeLogoff = 1;
                const std::int64_t at = startMs + options.shutdownAtMs;
                const std::int64_t now = server.machine.clock.nowMs;
                if (at > now) os.clock.Sleep(static_cast<std::uint32_t>(at - now));
                out.queryAnswer = agent.WindowProc(wm::QueryEndSession, 0, 0).result;
                out.sessionEndProcId = agent.m_szScriptProcId2.str();
            }
            out.ended = agent.m_bEnded;
        });
    }
}

void TerminalServerScenario::Run() { server.Run(startMs + 48LL * 3600 * 1000); }

std::vector<std::pair<std::wstring, std::string>> TerminalServerScenario::Reports() const {
    std::vector<std::pair<std::wstring, std::string>> reports;
    const std::wstring folder = info.deployerPath.substr(0, info.deployerPath.find(L"QVRT\\")) + L"QVRTPostLogs";
    for (const auto& name : server.machine.files.List(folder))
        reports.emplace_back(name, server.machine.files.Read(folder + L"\\" + name).value_or("<folder>"));
    return reports;
}

std::vector<std::wstring> TerminalServerScenario::LogFiles() const {
    return server.machine.files.List(info.dataDir + L"ApplicationLog");
}

std::wstring TerminalServerScenario::HandOffFile(const std::wstring& user) const {
    return info.scriptDataDir + L"quorvaProcDetails_" + user + L".ini";
}

}  // namespace fake
