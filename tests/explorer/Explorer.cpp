// The explorer's lifetimes: generated from a seed, run on the simulated
// machine through the fault-injecting seam, and held to the invariants.
#include <algorithm>
#include <cstdio>
#include <deque>
#include <exception>
#include <functional>
#include <optional>
#include <sstream>
#include <utility>

#include "window/FatalFailure.h"
#include "agent/QuorvaDlg.h"
#include "tests/explorer/Lifetime.h"
#include "tests/fakes/LogReader.h"
#include "tests/fakes/RuleBook.h"
#include "tests/fakes/ScriptedService.h"
#include "tests/fakes/StandardMachine.h"

using platform::BOOL;
using platform::MessageResult;
namespace wm = platform::wm;

namespace explorer {
namespace {

// ---- the seed's random numbers (splitmix64) ----
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ULL + 0x632BE59BD9B4E019ULL) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // 0 .. n-1
    std::uint64_t Below(std::uint64_t n) { return n == 0 ? 0 : Next() % n; }
    bool Chance(int percent) { return Below(100) < static_cast<std::uint64_t>(percent); }
    template <class T>
    const T& Pick(const std::vector<T>& items) { return items[Below(items.size())]; }

private:
    std::uint64_t state_;
};

constexpr std::intptr_t kShutdown = 0;
constexpr std::intptr_t kLogoff = static_cast<std::intptr_t>(0x80000000u);
constexpr std::intptr_t kCloseApp = 0x1;
constexpr std::intptr_t kCritical = 0x40000000;

const std::vector<std::intptr_t> kRequests = {
    kShutdown, kShutdown, kLogoff, kLogoff, kCloseApp, kCritical, kLogoff | kCritical, kLogoff | kCloseApp,
};

const std::vector<std::wstring> kUsers = {
    L"jsmith", L"jsmith", L"Jos\u00E9", L"\u0418\u0432\u0430\u043D", L"\u0141ukasz", L"R&D <lab>",
};

std::string Utf8(const std::wstring& text) { return fake::Utf8(text); }

std::string RequestName(std::intptr_t lParam) {
    std::string name;
    const auto bits = static_cast<std::uint32_t>(lParam);
    if (bits & platform::EndSessionLogoff) name += "logoff";
    if (bits & platform::EndSessionCloseApp) name += name.empty() ? "closeapp" : "|closeapp";
    if (bits & platform::EndSessionCritical) name += name.empty() ? "critical" : "|critical";
    return name.empty() ? "shutdown" : name;
}

const char* EventName(Event::Kind kind) {
    switch (kind) {
        case Event::Query: return "WM_QUERYENDSESSION";
        case Event::EndSessionFalse: return "WM_ENDSESSION FALSE";
        case Event::ServiceDies: return "service dies";
        case Event::HandOffDeleted: return "hand-off file deleted";
        case Event::GarbageProcId: return "service writes a garbage Proc ID";
        case Event::LogHeld: return "log held 300 ms";
    }
    return "?";
}

bool IsLogoff(std::intptr_t lParam) { return (static_cast<std::uint32_t>(lParam) & platform::EndSessionLogoff) != 0; }
bool IsClose(std::intptr_t lParam) {
    const auto bits = static_cast<std::uint32_t>(lParam);
    return (bits & platform::EndSessionLogoff) == 0 && (bits & platform::EndSessionCloseApp) != 0;
}

// Thrown by the clock at the bound of virtual time.
struct Bound {};
// Thrown when Windows ends the session (WM_ENDSESSION TRUE returned): the
// process goes with it.
struct SessionOver {};

constexpr std::int64_t kBoundMs = 10LL * 60 * 1000;

}  // namespace

Lifetime Generate(std::uint64_t seed) {
    Random r(seed);
    Lifetime l;
    l.seed = seed;
    const auto copy = r.Below(100);
    l.copy = copy < 55 ? Copy::Setup : copy < 85 ? Copy::Ordinary : Copy::System;
    l.secondCopy = r.Chance(15);
    l.xp = r.Chance(30);
    l.privilegeHeld = r.Chance(70);
    l.threadCodePage = r.Chance(20) ? 1251 : 1252;
    l.systemCodePage = r.Chance(20) ? 1251 : 1252;
    l.user = r.Pick(kUsers);
    l.serviceRunning = r.Chance(92);
    const auto reply = r.Below(100);
    l.reply = reply < 80 ? 0 : reply < 95 ? 1 : 2;
    l.answerDelayMs = r.Chance(50) ? 0 : static_cast<std::int64_t>(r.Below(9000));
    l.deployerRunMs = static_cast<std::int64_t>(r.Below(40000));
    l.registryValues = r.Chance(95);
    l.restartSetting = r.Chance(20);
    l.postFolderDenied = r.Chance(8);
    l.reportNamesPending = r.Chance(8);
    l.reusePids = r.Chance(20);
    l.terminalServices = r.Chance(25);
    if (r.Chance(10)) l.badLengthSnapshots = 1 + static_cast<int>(r.Below(4));
    l.answeredTrueEnds = r.Chance(70);
    const int events = static_cast<int>(r.Below(5));
    for (int i = 0; i < events; ++i) {
        Event e;
        // Most requests come early: the start-up is where the rules meet.
        e.atMs = r.Chance(50) ? static_cast<std::int64_t>(r.Below(6000)) : static_cast<std::int64_t>(r.Below(90000));
        const auto kind = r.Below(100);
        e.kind = kind < 62 ? Event::Query
                 : kind < 70 ? Event::EndSessionFalse
                 : kind < 77 ? Event::ServiceDies
                 : kind < 84 ? Event::HandOffDeleted
                 : kind < 92 ? Event::GarbageProcId
                             : Event::LogHeld;
        if (e.kind == Event::Query) e.lParam = r.Pick(kRequests);
        l.events.push_back(e);
    }
    // A service that writes garbage for its answer writes no other.
    for (const Event& e : l.events)
        if (e.kind == Event::GarbageProcId) l.reply = 2;
    std::stable_sort(l.events.begin(), l.events.end(),
                     [](const Event& a, const Event& b) { return a.atMs < b.atMs; });
    if (r.Chance(3)) {
        // The hand-off file is held for a moment when the agent clears it.
        l.faults.push_back({"Files.DeleteFile", 1, 32});
        l.faults.push_back({"Profile.WriteSection", 1, 32});
    } else if (r.Chance(4)) {
        // shutdown.exe cannot start for "/a" nor "-a": the cancel falls back
        // to AbortSystemShutdown, which fails when no shutdown is pending.
        l.faults.push_back({"Processes.CreateHiddenProcess", 1, 2});
        l.faults.push_back({"Processes.CreateHiddenProcess", 2, 2});
        l.faults.push_back({"Shutdown.AbortSystemShutdown", 1, 1116});
    } else if (r.Chance(55)) {
        const int faults = 1 + static_cast<int>(r.Below(3));
        for (int i = 0; i < faults; ++i) {
            const FaultRow& row = FaultTable()[r.Below(FaultTable().size())];
            l.faults.push_back({row.call, 1 + static_cast<int>(r.Below(6)), row.errors[r.Below(row.errors.size())]});
        }
    }
    // Drawn last, so every earlier seed keeps its lifetime. With a limit, half
    // the scripts hang: only the limit ends their wait.
    if (r.Chance(25)) {
        l.scriptWaitLimit = 1 + static_cast<std::uint32_t>(r.Below(120));
        if (r.Chance(50)) l.deployerRunMs = 60LL * 60 * 1000;
    }
    return l;
}

std::string Describe(const Lifetime& l) {
    std::ostringstream o;
    o << "seed " << l.seed << ": "
      << (l.copy == Copy::Setup ? "setup copy" : l.copy == Copy::Ordinary ? "ordinary copy" : "SYSTEM copy")
      << (l.secondCopy ? " beside another copy" : "") << ", " << (l.xp ? "XP rules" : "Vista rules")
      << (l.privilegeHeld ? "" : ", no shutdown privilege") << ", user " << Utf8(l.user)
      << ", thread code page " << l.threadCodePage << ", system code page " << l.systemCodePage
      << (l.serviceRunning ? "" : ", service not running")
      << ", service " << (l.reply == 0 ? "answers Proc ID" : l.reply == 1 ? "answers Err_Desc" : "never answers")
      << " after " << l.answerDelayMs << " ms, script " << l.deployerRunMs << " ms"
      << (l.registryValues ? "" : ", no registry values") << (l.restartSetting ? ", Shutdown Setting 4" : "")
      << (l.postFolderDenied ? ", post folder not writable" : "")
      << (l.reportNamesPending ? ", report names delete-pending" : "") << (l.reusePids ? ", ids reused" : "")
      << (l.terminalServices ? ", Terminal Services" : "")
      << (l.badLengthSnapshots ? ", " + std::to_string(l.badLengthSnapshots) + " snapshots fail with ERROR_BAD_LENGTH" : "")
      << (l.answeredTrueEnds ? "" : ", a request answered 1 does not end the session")
      << (l.scriptWaitLimit ? ", ScriptWaitLimit " + std::to_string(l.scriptWaitLimit) + " s" : "") << "\n";
    for (const Event& e : l.events) {
        o << "  at +" << e.atMs << " ms: " << EventName(e.kind);
        if (e.kind == Event::Query) o << " " << RequestName(e.lParam);
        o << "\n";
    }
    for (const Fault& f : l.faults) o << "  fault: call " << f.nth << " of " << f.call << " fails with " << f.error << "\n";
    return o.str();
}

Outcome Run(const Lifetime& l, bool keepTrace) {
    Outcome out;
    const auto violation = [&out](const std::string& kind, const std::string& detail) {
        out.violations.push_back(kind + ": " + detail);
    };

    fake::FakeMachine m;
    fake::StandardOptions o;
    o.userName = l.copy == Copy::System ? L"SYSTEM" : l.user;
    o.session = l.copy == Copy::System ? 0 : 1;
    o.setup = l.copy == Copy::Setup;
    o.serviceRunning = l.serviceRunning;
    o.registryValues = l.registryValues;
    if (l.restartSetting) o.shutdownSetting = 4;
    const fake::StandardMachine info = fake::InstallStandardMachine(m, o);
    if (l.scriptWaitLimit)
        m.registry.SetDword(platform::HKeyLocalMachine, L"SOFTWARE\\VORLAN", L"ScriptWaitLimit", l.scriptWaitLimit);
    m.text.codePage = l.threadCodePage;
    m.files.systemCodePage = l.systemCodePage;
    m.text.systemCodePage = l.systemCodePage;
    m.shell.blockReasonMissing = l.xp;
    m.shutdown.privilegeHeld = l.privilegeHeld;
    m.processes.reuseIds = l.reusePids;
    m.processes.snapshotBadLengthFailures = l.badLengthSnapshots;
    if (l.secondCopy) m.processes.Start(L"quorva.exe", o.session);
    const std::int64_t start = m.clock.nowMs;
    const std::wstring postFolder = o.installDir + L"QVRTPostLogs";
    if (l.postFolderDenied) {
        m.files.MakeFolder(postFolder);
        m.files.DenyWrite(postFolder);
    }
    if (l.reportNamesPending) {
        for (int second = 0; second < 200; ++second) {
            const auto t = fake::FakeClock::FromUnixMs(start + m.clock.localBiasMinutes * 60000LL + second * 1000LL);
            wchar_t stamp[32];
            std::swprintf(stamp, 32, L"%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
            m.files.DeletePending(postFolder + L"\\wpdcmagntevntstiu_N_" + stamp + L".xml");
        }
    }

    fake::ScriptedService::Options so;
    so.reply = l.reply == 0 ? fake::ScriptedService::Reply::ProcId
               : l.reply == 1 ? fake::ScriptedService::Reply::Error
                              : fake::ScriptedService::Reply::Never;
    so.answerDelayMs = l.answerDelayMs;
    so.deployerRunMs = l.deployerRunMs;
    so.deployerSession = o.session;
    fake::ScriptedService service(m, info.scriptDataDir, so);
    service.WatchUser(o.userName);
    service.Start();

    const auto trace = [&](const std::string& line) {
        if (keepTrace) {
            char at[32];
            std::snprintf(at, sizeof at, "+%lld ms ", static_cast<long long>(m.clock.nowMs - start));
            out.trace.push_back(at + line);
        }
    };

    // ---- what the run observes ----
    struct Sent {
        std::uint32_t message;
        std::uintptr_t wParam;
        std::intptr_t lParam;
    };
    struct Answer {
        std::intptr_t lParam;
        std::intptr_t result;
    };
    std::deque<Sent> queue;
    std::vector<Answer> answers;
    struct Issue {
        bool logoff;
        std::size_t answersBefore;
    };
    std::vector<Issue> issues;
    std::size_t reportsStored = 0;
    bool inAgent = false, sessionOver = false;
    std::uint32_t lastSleep = 0;
    std::size_t firedEvents = 0;
    CQuorvaDlg* agentPtr = nullptr;
    std::uint32_t countSeen = 0;
    std::int64_t firstQueryAtMs = -1;

    const auto checkState = [&]() {
        if (!agentPtr) return;
        const CQuorvaDlg& a = *agentPtr;
        if (a.m_uICountForOnce < countSeen) violation("state", "m_uICountForOnce went back");
        countSeen = a.m_uICountForOnce;
        for (BOOL flag : {a.m_bFlagForFirstTimeLogoff, a.m_bFlagForFirstShutDown, a.m_bFlagForReissue,
                          a.m_bSetupMode, a.m_bLogFailed, a.m_bFlagForRestart, a.m_bFlagForShutDown})
            if (flag != 0 && flag != 1) violation("state", "a flag holds neither 0 nor 1");
    };

    SeamObserver observer;
    observer.issued = [&](bool logoff, bool viaExitWindows) {
        trace(std::string(viaExitWindows ? "ExitWindowsEx " : "shutdown.exe ") + (logoff ? "logoff" : "shutdown"));
        issues.push_back({logoff, answers.size()});
        // Only a script whose Proc ID the agent read can be waited for: an
        // answer lost with a hand-off file someone deleted is not known.
        const bool taskKillAck = !m.JournalOf({"Service ack"}).empty();
        for (const auto& request : service.requests) {
            const std::wstring pid = std::to_wstring(request.pid);
            const bool known = agentPtr && (agentPtr->m_szScriptProcId == pid || agentPtr->m_szScriptProcId2 == pid ||
                                            agentPtr->m_szScriptProcId3 == pid);
            // The administrator's limit lets a hung script go, at the
            // earliest that long after the first request reached the agent.
            const bool limitPassed = l.scriptWaitLimit != 0 && firstQueryAtMs >= 0 &&
                                     m.clock.nowMs - firstQueryAtMs >= l.scriptWaitLimit * 1000LL;
            if (request.pid != 0 && known && m.processes.IsRunning(request.pid) && !taskKillAck && !limitPassed)
                violation("order", "session end issued while script " + std::to_string(request.pid) + " runs");
        }
    };
    observer.beforeSleep = [&](std::uint32_t ms) {
        lastSleep = ms;
        checkState();
    };
    observer.reportStored = [&]() { ++reportsStored; };

    FaultyPlatform seam(m, l.faults, observer);
    CQuorvaDlg agent(seam.os());
    agentPtr = &agent;

    const auto deliver = [&]() {
        while (!queue.empty() && !agent.m_bEnded) {
            const Sent s = queue.front();
            queue.pop_front();
            if (s.message == wm::QueryEndSession) {
                trace("deliver WM_QUERYENDSESSION " + RequestName(s.lParam));
                if (firstQueryAtMs < 0) firstQueryAtMs = m.clock.nowMs;
                const MessageResult r = agent.WindowProc(s.message, s.wParam, s.lParam);
                answers.push_back({s.lParam, r.result});
                trace("answered " + std::to_string(r.result));
                m.shell.QueryEndSessionAnswered(r.result);
                if (r.result != 0 && l.answeredTrueEnds) queue.push_front({wm::EndSession, 1, s.lParam});
            } else {
                trace(std::string("deliver WM_ENDSESSION ") + (s.wParam ? "TRUE" : "FALSE"));
                agent.WindowProc(s.message, s.wParam, s.lParam);
                if (s.wParam) {
                    sessionOver = true;
                    throw SessionOver{};
                }
            }
            checkState();
        }
    };
    // A session end that asks the programs asks the agent too; one it made
    // itself finds it ended, so the question is never delivered.
    m.shutdown.terminalServices = l.terminalServices;
    m.shutdown.whoAsks = [&](std::uint32_t flags) {
        const bool logoff = (flags & 0x0Bu) == 0;
        queue.push_back({wm::QueryEndSession, 0, logoff ? kLogoff : kShutdown});
        m.shell.QueryEndSessionSent(m.clock);
    };
    m.shell.whileDeletingTab = [&]() {
        if (queue.empty()) return;
        fake::rules::Fired(fake::rules::kSentDuringCom);
        deliver();
    };

    for (const Event& e : l.events) {
        m.clock.At(start + e.atMs, [&, e]() {
            ++firedEvents;
            trace(std::string("event ") + EventName(e.kind) + (e.kind == Event::Query ? " " + RequestName(e.lParam) : ""));
            switch (e.kind) {
                case Event::Query:
                    if (inAgent) fake::rules::Fired(fake::rules::kSentHeldBySleep);
                    queue.push_back({wm::QueryEndSession, 0, e.lParam});
                    m.shell.QueryEndSessionSent(m.clock);
                    break;
                case Event::EndSessionFalse:
                    if (inAgent) fake::rules::Fired(fake::rules::kSentHeldBySleep);
                    queue.push_back({wm::EndSession, 0, 0});
                    break;
                case Event::ServiceDies:
                    m.processes.Exit(info.servicePid);
                    break;
                case Event::HandOffDeleted:
                    m.files.Remove(info.procDetailsIni);
                    break;
                case Event::GarbageProcId: {
                    const wchar_t* section = L"Process Details";
                    if (l.reply == 2 && !m.files.GetString(section, L"Process Name", L"", 1024, info.procDetailsIni).empty() &&
                        m.files.GetString(section, L"Proc ID", L"", 1024, info.procDetailsIni).empty())
                        m.files.WriteString(section, L"Proc ID", L"0x1F?", info.procDetailsIni);
                    break;
                }
                case Event::LogHeld: {
                    const std::wstring log = fake::LogPath(m, o.userName);
                    if (m.files.Exists(log)) {
                        m.files.Lock(log);
                        m.clock.After(300, [&m, log]() { m.files.Unlock(log); });
                    }
                    break;
                }
            }
        });
    }
    m.clock.At(start + kBoundMs, []() { throw Bound{}; });

    bool endedByWindows = false, bound = false, terminated = false;
    try {
        inAgent = true;
        const BOOL started = agent.OnInitDialog();
        trace("OnInitDialog returned " + std::to_string(started));
        inAgent = false;
        checkState();
        // The modal loop: sent messages are delivered as they come; an idle
        // resident copy waits for the next one.
        while (!agent.m_bEnded) {
            if (!queue.empty()) {
                inAgent = true;
                deliver();
                inAgent = false;
                continue;
            }
            if (firedEvents >= l.events.size()) break;
            m.clock.AdvanceTo(start + l.events[firedEvents].atMs);
        }
    } catch (const fake::ProcessEnded&) {
        endedByWindows = true;
        trace("ended by Windows for blocking the session end");
    } catch (const SessionOver&) {
        trace("the session ended");
    } catch (const Bound&) {
        bound = true;
    } catch (const std::bad_alloc&) {
        // Memory Windows could not give: the exception leaves the window
        // procedure, and in the real program it reaches std::terminate and
        // its handler.
        trace("std::bad_alloc reached std::terminate");
        terminated = true;
    } catch (const std::exception& e) {
        violation("exception", std::string("escaped the agent: ") + e.what());
    } catch (...) {
        violation("exception", "an exception escaped the agent");
    }
    if (terminated) {
        SetFatalFailureAgent(&agent);
        try {
            EndAfterFatalFailure();
            violation("terminate", "the terminate handler returned");
        } catch (const fake::ProcessEnded&) {
            trace("the process ended after the failure");
            const fake::LogFile last = fake::ReadLog(m, o.userName);
            if (last.exists && !seam.logWriteFailed &&
                (last.entries.empty() || last.entries.back().val1 != "Ended after a failure in the program"))
                violation("lost", "the process ended after a failure without a log record");
        } catch (...) {
            violation("terminate", "the terminate handler threw");
        }
        SetFatalFailureAgent(nullptr);
    }
    checkState();
    const bool system = l.copy == Copy::System;

    // ---- the agent ends, or waits only where it means to ----
    if (bound) {
        bool scriptRuns = false;
        for (const auto& request : service.requests)
            if (request.pid != 0 && m.processes.IsRunning(request.pid)) scriptRuns = true;
        const bool serviceRuns = m.processes.CountRunning(L"quorvahost.exe") > 0;
        // Waiting for the service's answer is meant only while the service
        // can see the request: a hand-off file without it is never answered.
        const wchar_t* section = L"Process Details";
        const bool requestVisible =
            !m.files.GetString(section, L"Process Name", L"", 1024, info.procDetailsIni).empty() &&
            !m.files.GetString(section, L"Process Arguments", L"", 1024, info.procDetailsIni).empty();
        // With the administrator's limit (at most two minutes here) a held
        // session end waits for neither the service nor the script at the bound.
        // (A registry read Windows failed leaves the agent without it.)
        const bool limited = l.scriptWaitLimit != 0 && l.copy == Copy::Setup &&
                             !seam.injected.count("Registry.OpenKey") && !seam.injected.count("Registry.QueryValue");
        const bool meant = !limited && ((lastSleep == 5000 && scriptRuns) ||
                                        (lastSleep == 1000 && serviceRuns && requestVisible) ||
                                        (lastSleep == 50 && serviceRuns));
        if (!meant) violation("stuck", "still waiting at the bound, last wait " + std::to_string(lastSleep) + " ms");
    }

    // ---- no Windows rule ends the agent while it holds a request ----
    // Exceptions: the SYSTEM copy (by design it answers 0 and issues
    // nothing); an ordinary copy, which holds nothing back (it answers 1)
    // and is ended with the session it lets go.
    if (endedByWindows && l.copy == Copy::Setup)
        violation("ended", "Windows ended the agent while it held a session end back");

    // ---- a session end answered 0 is issued afterwards, of the kind last requested ----
    // Exceptions (by design or by Windows): the SYSTEM copy answers 0 and
    // leaves everything to the user's copy; a session that Windows ended
    // anyway (WM_ENDSESSION TRUE) owes nothing more; a run stopped at the
    // bound is judged by the wait above.
    std::optional<std::size_t> firstHeld;
    for (std::size_t i = 0; i < answers.size(); ++i)
        if (answers[i].result == 0 && !IsClose(answers[i].lParam)) {
            firstHeld = i;
            break;
        }
    const fake::LogFile log = fake::ReadLog(m, o.userName);
    bool errorRecorded = false;
    for (const auto& entry : log.entries)
        if (entry.type == "ERROR" &&
            (entry.module == "FunctionToForgetShutDown" || entry.module == "IssueHeldSessionEnd"))
            errorRecorded = true;
    // A process that ended after a failure holds nothing back any more:
    // Windows goes on with its session end without it.
    if (firstHeld && !system && !sessionOver && !bound && !endedByWindows && !terminated) {
        std::optional<bool> lastLogoff;
        for (const Answer& a : answers)
            if (!IsClose(a.lParam)) lastLogoff = IsLogoff(a.lParam);
        const Issue* issued = nullptr;
        for (const Issue& i : issues)
            if (i.answersBefore >= *firstHeld) issued = &i;
        // A copy that ended before its start-up named the log folder has
        // nowhere to say why.
        if (!issued && !errorRecorded && log.exists)
            violation("unissued", "a session end answered 0 was never issued, and no ERROR record says why");
        else if (issued && lastLogoff && issued->logoff != *lastLogoff)
            violation("kind", std::string("issued a ") + (issued->logoff ? "logoff" : "shutdown") +
                                  " but the last request was a " + (*lastLogoff ? "logoff" : "shutdown"));
    }

    // ---- every hand-off that got an answer leaves a report, or an ERROR record ----
    if (!seam.logWriteFailed && !terminated) {
        std::size_t posts = 0, reportErrors = 0;
        for (const auto& entry : log.entries) {
            if (entry.module != "WebPostEventData") continue;
            if (entry.val1 == "web Post") ++posts;
            else if (entry.type == "ERROR") ++reportErrors;
        }
        if (posts > reportsStored + reportErrors)
            violation("report", std::to_string(posts) + " reports made, " + std::to_string(reportsStored) +
                                    " stored, " + std::to_string(reportErrors) + " ERROR records");
    }

    // ---- every log file stays well formed ----
    for (const std::wstring& name : m.files.List(info.dataDir + L"ApplicationLog")) {
        const auto bytes = m.files.Read(info.dataDir + L"ApplicationLog\\" + name);
        if (!bytes || bytes->empty()) continue;
        bool ok = (*bytes)[0] == '#' && bytes->size() >= 2 && bytes->compare(bytes->size() - 2, 2, "\r\n") == 0;
        for (std::size_t i = 0; ok && i < bytes->size(); ++i)
            if ((*bytes)[i] == '\n' && (i == 0 || (*bytes)[i - 1] != '\r')) ok = false;
        if (!ok) violation("log", "log file " + Utf8(name) + " is not header, records and CR LF");
    }

    // ---- every report is well-formed XML ----
    for (const std::wstring& name : m.files.List(postFolder)) {
        const auto bytes = m.files.Read(postFolder + L"\\" + name);
        if (!bytes) continue;
        const std::string& t = *bytes;
        const std::string open = "<wpdcmagntevntstiu>", close = "</wpdcmagntevntstiu>";
        bool ok = t.rfind(open, 0) == 0 && t.size() > open.size() + close.size() &&
                  t.compare(t.size() - close.size(), close.size(), close) == 0;
        if (ok) ok = std::count(t.begin(), t.end(), '<') == 18 && std::count(t.begin(), t.end(), '>') == 18;
        for (std::size_t i = 0; ok && i < t.size(); ++i)
            if (t[i] == '&' && t.compare(i, 5, "&amp;") != 0 && t.compare(i, 4, "&lt;") != 0 && t.compare(i, 4, "&gt;") != 0)
                ok = false;
        if (!ok) violation("xml", "report " + Utf8(name) + " is not well-formed");
    }

    // ---- the hand-off file is ready for the next request after a hand-off ----
    // (unless someone else deleted it; the next hand-off makes it again)
    bool handedOff = false, deletedByOthers = false;
    for (const auto& entry : log.entries)
        if (entry.val2 == "Proc ID found") handedOff = true;
    for (std::size_t i = 0; i < firedEvents && i < l.events.size(); ++i)
        if (l.events[i].kind == Event::HandOffDeleted) deletedByOthers = true;
    // (A copy that Windows ended, or that ended after a failure, may stop
    // between reading the answer and clearing the file.)
    if (handedOff && !deletedByOthers && !terminated && !endedByWindows) {
        const wchar_t* section = L"Process Details";
        if (!m.files.Exists(info.procDetailsIni))
            violation("handoff", "the hand-off file is gone after the hand-off");
        else if (!m.files.GetString(section, L"Proc ID", L"", 1024, info.procDetailsIni).empty() ||
                 !m.files.GetString(section, L"Err_Desc", L"", 1024, info.procDetailsIni).empty())
            violation("handoff", "the hand-off file still holds the last answer");
    }

    // ---- the service gets the user's name intact ----
    for (const auto& request : service.requests) {
        const std::wstring tail = L"<<>>" + o.userName;
        if (request.processArguments.size() < tail.size() ||
            request.processArguments.compare(request.processArguments.size() - tail.size(), tail.size(), tail) != 0)
            violation("name", "the service read the arguments " + Utf8(request.processArguments));
    }

    out.injected = seam.injected;
    if (keepTrace) {
        for (const auto& [call, count] : seam.injected) trace("injected " + call + " x" + std::to_string(count));
        for (const auto& line : m.journal) out.trace.push_back("  journal: " + line);
        for (const auto& e : log.entries)
            out.trace.push_back("  log: " + e.module + "|" + e.type + "|" + e.val1 + "|" + e.val2 + "|" + e.val3);
    }
    return out;
}

Lifetime Shrink(const Lifetime& failing, const std::string& violation) {
    const std::string kind = violation.substr(0, violation.find(':'));
    const auto stillFails = [&kind](const Lifetime& candidate) {
        for (const std::string& v : Run(candidate, false).violations)
            if (v.rfind(kind + ":", 0) == 0) return true;
        return false;
    };
    Lifetime best = failing;
    bool progress = true;
    while (progress) {
        progress = false;
        for (std::size_t i = 0; i < best.events.size(); ++i) {
            Lifetime c = best;
            c.events.erase(c.events.begin() + static_cast<std::ptrdiff_t>(i));
            if (stillFails(c)) { best = c; progress = true; --i; }
        }
        for (std::size_t i = 0; i < best.faults.size(); ++i) {
            Lifetime c = best;
            c.faults.erase(c.faults.begin() + static_cast<std::ptrdiff_t>(i));
            if (stillFails(c)) { best = c; progress = true; --i; }
        }
        const std::vector<std::function<bool(Lifetime&)>> simpler = {
            [](Lifetime& c) { return std::exchange(c.secondCopy, false); },
            [](Lifetime& c) { return std::exchange(c.reusePids, false); },
            [](Lifetime& c) { return std::exchange(c.badLengthSnapshots, 0) != 0; },
            [](Lifetime& c) { return std::exchange(c.terminalServices, false); },
            [](Lifetime& c) { return std::exchange(c.reportNamesPending, false); },
            [](Lifetime& c) { return std::exchange(c.postFolderDenied, false); },
            [](Lifetime& c) { return std::exchange(c.restartSetting, false); },
            [](Lifetime& c) { return !std::exchange(c.registryValues, true); },
            [](Lifetime& c) { return !std::exchange(c.serviceRunning, true); },
            [](Lifetime& c) { return !std::exchange(c.privilegeHeld, true); },
            [](Lifetime& c) { return !std::exchange(c.answeredTrueEnds, true); },
            [](Lifetime& c) { return std::exchange(c.answerDelayMs, 0) != 0; },
            [](Lifetime& c) { return std::exchange(c.reply, 0) != 0; },
            [](Lifetime& c) { return std::exchange(c.threadCodePage, 1252u) != 1252; },
            [](Lifetime& c) { return std::exchange(c.systemCodePage, 1252u) != 1252; },
            [](Lifetime& c) { return std::exchange(c.user, std::wstring(L"jsmith")) != L"jsmith"; },
            [](Lifetime& c) { return std::exchange(c.xp, false); },
            [](Lifetime& c) { return std::exchange(c.deployerRunMs, 1000) > 1000; },
            [](Lifetime& c) { return c.copy != Copy::Setup && (c.copy = Copy::Setup, true); },
        };
        for (const auto& simplify : simpler) {
            Lifetime c = best;
            if (simplify(c) && stillFails(c)) { best = c; progress = true; }
        }
    }
    return best;
}

}  // namespace explorer
