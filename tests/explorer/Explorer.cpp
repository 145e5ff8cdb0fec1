// The explorer's machines: generated from a seed, their copies run one after
// another on one simulated machine through the fault-injecting seam, and
// each lifetime judged by what the machine recorded (fake::GroundTruth, the
// service's requests, the files on disk), not by the agent's own log.
#include <algorithm>
#include <cstdio>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <utility>

#include "window/FatalFailure.h"
#include "agent/QuorvaDlg.h"
#include "tests/explorer/Lifetime.h"
#include "tests/fakes/LogReader.h"
#include "tests/fakes/ProgramOnTheClock.h"
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
    std::int64_t Ms(std::int64_t n) { return static_cast<std::int64_t>(Below(static_cast<std::uint64_t>(n))); }
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
const wchar_t* const kSection = L"Process Details";

const std::vector<std::intptr_t> kRequests = {
    kShutdown, kShutdown, kLogoff, kLogoff, kCloseApp, kCritical, kLogoff | kCritical, kLogoff | kCloseApp,
};

const std::vector<std::wstring> kUsers = {
    L"jsmith", L"jsmith", L"Jos\u00E9", L"\u0418\u0432\u0430\u043D", L"\u0141ukasz", L"R&D <lab>",
};

// Local start times next to the calendar's edges: midnight, a month's and a
// year's end, a leap day, and the nights daylight saving time begins and ends.
const std::vector<platform::SystemTime> kStarts = {
    {2026, 3, 4, 5, 14, 30, 0, 0},  {2026, 1, 31, 6, 23, 58, 30, 0}, {2026, 12, 4, 31, 23, 59, 0, 0},
    {2028, 2, 1, 28, 23, 59, 10, 0}, {2026, 3, 0, 29, 1, 58, 0, 0},   {2026, 10, 0, 25, 2, 58, 0, 0},
    {2026, 6, 2, 30, 23, 57, 0, 0},
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
    static const char* const names[] = {
        "WM_QUERYENDSESSION", "WM_ENDSESSION FALSE", "service dies", "service starts", "hand-off file deleted",
        "service writes a garbage Proc ID", "log held 300 ms", "the user forces the end", "daylight saving time changes",
    };
    return names[kind];
}

const char* PlantedName(Planted p) {
    static const char* const names[] = {
        "", ", hand-off file holds an old request and its Proc ID", ", hand-off file holds an old Err_Desc",
        ", hand-off file holds the Proc ID of an unrelated process", ", hand-off file holds a non-numeric Proc ID",
        ", hand-off file holds overlong values",
    };
    return names[static_cast<int>(p)];
}

bool IsLogoff(std::intptr_t lParam) { return (static_cast<std::uint32_t>(lParam) & platform::EndSessionLogoff) != 0; }
bool IsClose(std::intptr_t lParam) {
    const auto bits = static_cast<std::uint32_t>(lParam);
    return (bits & platform::EndSessionLogoff) == 0 && (bits & platform::EndSessionCloseApp) != 0;
}

// Restart, or else logoff, or else a shutdown of either sort.
int KindClass(fake::EndKind k) { return k == fake::EndKind::Restart ? 2 : k == fake::EndKind::Logoff ? 0 : 1; }

bool StartsWith(const std::wstring& text, const std::wstring& prefix) { return text.rfind(prefix, 0) == 0; }
bool EndsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Thrown by the clock at the bound of virtual time.
struct Bound {};
// Thrown when the session ends around the agent (WM_ENDSESSION TRUE returned,
// or the user forced it): the process goes with it.
struct SessionOver {};

constexpr std::int64_t kBoundMs = 10LL * 60 * 1000;
// Report names the agent is expected to get past when they are taken or
// still being deleted.
// (Runs of two: a few reports in a row still pass fewer than five such names.)
constexpr int kPendingNamesWithinBound = 2;

std::vector<Fault> GenerateFaults(Random& r) {
    std::vector<Fault> faults;
    const auto burst = [&](const char* call, int from, int length, std::uint32_t error) {
        for (int k = 0; k < length; ++k) faults.push_back({call, from + k, error});
    };
    if (r.Chance(3)) {
        // The hand-off file is held when the agent clears it, at times for
        // longer than the agent tries.
        const int length = 1 + static_cast<int>(r.Below(8));
        burst("Files.DeleteFile", 1, length, 32);
        burst("Profile.WriteSection", 1, length, 32);
    } else if (r.Chance(4)) {
        // shutdown.exe cannot start for "/a" nor "-a": the cancel falls back
        // to AbortSystemShutdown, which fails when no shutdown is pending.
        burst("Processes.CreateHiddenProcess", 1, 2, 2);
        faults.push_back({"Shutdown.AbortSystemShutdown", 1, 1116});
    } else if (r.Chance(55)) {
        const int count = 1 + static_cast<int>(r.Below(3));
        for (int i = 0; i < count; ++i) {
            const FaultRow& row = FaultTable()[r.Below(FaultTable().size())];
            // Any call of the method, the first few most often; a burst
            // outlasts every retry loop.
            const int nth = 1 + static_cast<int>(r.Below(r.Chance(50) ? 6 : 120));
            const int length = r.Chance(15) ? 2 + static_cast<int>(r.Below(8)) : 1;
            burst(row.call, nth, length, row.errors[r.Below(row.errors.size())]);
        }
    }
    return faults;
}

Lifetime GenerateLifetime(Random& r, const Machine& m, std::size_t index) {
    Lifetime l;
    const Copy before = index == 0 ? Copy::System : m.lifetimes.back().copy;
    const auto copy = r.Below(100);
    l.copy = copy < 45 ? Copy::Setup : copy < 85 ? Copy::Ordinary : Copy::System;
    if (index > 0 && before == Copy::Ordinary && r.Chance(70)) {
        // The resident copy of the same logon, once the logon copy is done.
        l.copy = Copy::Setup;
        l.sameBootAfterMs = 1 + r.Ms(90000);
    } else if (index > 0) {
        l.bootAfterMinutes = r.Chance(10) ? -static_cast<std::int64_t>(1 + r.Below(600))  // clock set back
                                          : static_cast<std::int64_t>(1 + r.Below(r.Chance(50) ? 60 : 3000));
    }
    l.secondCopy = r.Chance(10);
    l.serviceAtStart = r.Chance(85);
    const auto reply = r.Below(100);
    l.reply = reply < 80 ? 0 : reply < 95 ? 1 : 2;
    const auto delay = r.Below(100);
    l.answerDelayMs = delay < 50 ? 0 : delay < 92 ? r.Ms(9000) : 60000 + r.Ms(240000);
    l.deployerRunMs = r.Ms(40000);
    l.restartIntended = m.restartSetting || r.Chance(35);
    l.reportNamesPending = r.Chance(8) ? (r.Chance(70) ? 1 + static_cast<int>(r.Below(2)) : 300) : 0;
    if (r.Chance(10)) l.badLengthSnapshots = 1 + static_cast<int>(r.Below(4));
    l.answeredTrueEnds = r.Chance(70);
    if (r.Chance(12)) l.planted = static_cast<Planted>(1 + r.Below(5));
    if (!l.serviceAtStart && r.Chance(70)) l.events.push_back({8000 + r.Ms(60000), Event::ServiceStarts, 0});
    const int events = static_cast<int>(r.Below(5));
    for (int i = 0; i < events; ++i) {
        Event e;
        // Most requests come early: the start-up is where the rules meet.
        e.atMs = r.Chance(50) ? r.Ms(6000) : r.Ms(90000);
        const auto kind = r.Below(100);
        e.kind = kind < 58 ? Event::Query
                 : kind < 64 ? Event::EndSessionFalse
                 : kind < 70 ? Event::ServiceDies
                 : kind < 74 ? Event::ServiceStarts
                 : kind < 79 ? Event::HandOffDeleted
                 : kind < 85 ? Event::GarbageProcId
                 : kind < 90 ? Event::LogHeld
                 : kind < 98 ? Event::UserForces
                             : Event::BiasChanges;
        if (e.kind == Event::Query) e.lParam = r.Pick(kRequests);
        l.events.push_back(e);
    }
    // A service that writes garbage for its answer writes no other.
    for (const Event& e : l.events)
        if (e.kind == Event::GarbageProcId) l.reply = 2;
    std::stable_sort(l.events.begin(), l.events.end(),
                     [](const Event& a, const Event& b) { return a.atMs < b.atMs; });
    l.faults = GenerateFaults(r);
    return l;
}

// A message Windows sends to a copy's window, and, for a question, the
// how-many-th window it asks with it.
struct Sent {
    std::uint32_t message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
    int asked = 0;
};

// A second resident copy of the same user in the same session, really run,
// taking turns with the first at every wait.
struct SecondCopy : fake::ProgramOnTheClock {
    explicit SecondCopy(fake::FakeMachine& m) : ProgramOnTheClock(m.clock) {}
    fake::FakeShell shell;
    fake::FakeClock ownClock;  // the system's 5-second look at this window
    std::deque<Sent> queue;
    std::optional<FaultyPlatform> seam;
    std::optional<CQuorvaDlg> agent;
    std::uint32_t pid = 0, lastSleep = 0;
    bool gone = false, sessionOver = false, endedByWindows = false, bound = false;
};

// What one lifetime saw, for its judgement.
struct Seen {
    struct Answer {
        std::intptr_t lParam, result;
        std::int64_t atMs;
        bool second;
    };
    std::vector<Answer> answers;
    std::optional<std::intptr_t> waiting;  // a request Windows still waits on
    std::size_t firedEvents = 0;
    std::uint32_t lastSleep = 0;
    bool live = true, inAgent = false, endedByWindows = false, bound = false, terminated = false, userForced = false;
    bool serviceWasDown = false, vetoed = false, handOffDeleted = false, closed = false, logHeld = false;
};

}  // namespace

Machine Generate(std::uint64_t seed) {
    Random r(seed);
    Machine m;
    m.seed = seed;
    m.xp = r.Chance(30);
    m.privilegeHeld = r.Chance(70);
    m.threadCodePage = r.Chance(20) ? 1251 : 1252;
    m.systemCodePage = r.Chance(20) ? 1251 : 1252;
    m.user = r.Pick(kUsers);
    m.registryValues = r.Chance(95);
    m.restartSetting = r.Chance(15);
    m.postFolderDenied = r.Chance(6);
    m.reusePids = r.Chance(20);
    m.terminalServices = r.Chance(25);
    m.biasMinutes = r.Chance(75) ? 60 : -300;
    const platform::SystemTime start = kStarts[r.Below(kStarts.size())];
    m.firstBootMs = fake::FakeClock::ToUnixMs(start) - m.biasMinutes * 60000LL + r.Ms(150000);
    const std::size_t lifetimes = 1 + r.Below(3);
    for (std::size_t i = 0; i < lifetimes; ++i) m.lifetimes.push_back(GenerateLifetime(r, m, i));
    // Drawn last, so every earlier seed keeps its machine. With the
    // administrator's limit, half the scripts hang: only the limit ends their wait.
    if (r.Chance(25)) {
        m.scriptWaitLimit = 1 + static_cast<std::uint32_t>(r.Below(120));
        for (Lifetime& l : m.lifetimes)
            if (r.Chance(50)) l.deployerRunMs = 60LL * 60 * 1000;
    }
    for (Lifetime& l : m.lifetimes)
        if (l.secondCopy) {
            l.secondCopyAfterMs = r.Ms(8000);
            l.secondAskedFirst = r.Chance(50);
        }
    return m;
}

std::string Describe(const Machine& m) {
    std::ostringstream o;
    o << "seed " << m.seed << ": " << (m.xp ? "XP rules" : "Vista rules")
      << (m.privilegeHeld ? "" : ", no shutdown privilege") << ", user " << Utf8(m.user) << ", thread code page "
      << m.threadCodePage << ", system code page " << m.systemCodePage
      << (m.registryValues ? "" : ", no registry values") << (m.restartSetting ? ", Shutdown Setting 4" : "")
      << (m.postFolderDenied ? ", post folder not writable" : "") << (m.reusePids ? ", ids reused" : "")
      << (m.terminalServices ? ", Terminal Services" : "")
      << (m.scriptWaitLimit ? ", ScriptWaitLimit " + std::to_string(m.scriptWaitLimit) + " s" : "") << ", first boot at UTC ms " << m.firstBootMs
      << ", bias " << m.biasMinutes << " min\n";
    for (const Lifetime& l : m.lifetimes) {
        o << "  " << (l.copy == Copy::Setup ? "setup copy" : l.copy == Copy::Ordinary ? "ordinary copy" : "SYSTEM copy");
        if (l.sameBootAfterMs) o << " " << l.sameBootAfterMs << " ms after the last, same boot";
        else if (l.bootAfterMinutes) o << ", booted " << l.bootAfterMinutes << " min after the last";
        if (l.secondCopy)
            o << ", a second resident copy " << l.secondCopyAfterMs << " ms after, asked " << (l.secondAskedFirst ? "first" : "second");
        o << (l.serviceAtStart ? "" : ", service not running")
          << ", service " << (l.reply == 0 ? "answers Proc ID" : l.reply == 1 ? "answers Err_Desc" : "never answers")
          << " after " << l.answerDelayMs << " ms, script " << l.deployerRunMs << " ms"
          << (l.restartIntended ? ", shutdowns are restarts" : "")
          << (l.reportNamesPending ? ", " + std::to_string(l.reportNamesPending) + " report names at a time delete-pending" : "")
          << (l.badLengthSnapshots ? ", " + std::to_string(l.badLengthSnapshots) + " snapshots fail with ERROR_BAD_LENGTH" : "")
          << (l.answeredTrueEnds ? "" : ", a request answered 1 does not end the session") << PlantedName(l.planted)
          << "\n";
        for (const Event& e : l.events) {
            o << "    at +" << e.atMs << " ms: " << EventName(e.kind);
            if (e.kind == Event::Query) o << " " << RequestName(e.lParam);
            o << "\n";
        }
        for (const Fault& f : l.faults) o << "    fault: call " << f.nth << " of " << f.call << " fails with " << f.error << "\n";
    }
    return o.str();
}

Outcome Run(const Machine& mc, bool keepTrace) {
    Outcome out;
    const auto violation = [&out](const std::string& kind, const std::string& detail) {
        out.violations.push_back(kind + ": " + detail);
    };
    const auto excuse = [&out](const char* why) {
        ++out.excused[why];
        return true;
    };

    fake::FakeMachine m;
    fake::StandardOptions o;
    o.userName = mc.user;
    o.serviceRunning = false;
    o.registryValues = mc.registryValues;
    if (mc.restartSetting) o.shutdownSetting = 4;
    const fake::StandardMachine info = fake::InstallStandardMachine(m, o);
    if (mc.scriptWaitLimit)
        m.registry.SetDword(platform::HKeyLocalMachine, L"SOFTWARE\\VORLAN", L"ScriptWaitLimit", mc.scriptWaitLimit);
    m.text.codePage = mc.threadCodePage;
    m.files.systemCodePage = mc.systemCodePage;
    m.text.systemCodePage = mc.systemCodePage;
    m.shutdown.privilegeHeld = mc.privilegeHeld;
    m.shutdown.terminalServices = mc.terminalServices;
    m.processes.reuseIds = mc.reusePids;
    m.clock.localBiasMinutes = mc.biasMinutes;
    m.clock.nowMs = mc.firstBootMs;
    // Earlier shutdowns and restarts of the machine, long past.
    for (int hours : {30, 6})
        m.eventLog.Add(fake::FakeEventLog::Shutdown1074(static_cast<std::uint32_t>(mc.firstBootMs / 1000 - hours * 3600),
                                                        hours == 6 ? L"restart" : L"power off"));
    const std::wstring postFolder = o.installDir + L"QVRTPostLogs";
    if (mc.postFolderDenied) {
        m.files.MakeFolder(postFolder);
        m.files.DenyWrite(postFolder);
    }

    std::int64_t start = m.clock.nowMs, bootStart = start;
    // quorvahost.exe: one process at the most.
    const auto startService = [&m] {
        if (m.processes.CountRunning(L"quorvahost.exe") == 0) m.processes.Start(L"quorvahost.exe", 0);
    };
    const auto stopService = [&m] {
        for (const auto& p : m.processes.table)
            if (p.exe == L"quorvahost.exe") return m.processes.Exit(p.pid);
    };
    std::unique_ptr<fake::ScriptedService> service;
    std::deque<Seen> seens;  // stable addresses for the clock's actions
    std::deque<SecondCopy> seconds;
    bool namesPendingBeyondBound = false;  // delete-pending report names stay so
    bool handOffEverDeleted = false;       // a service answering then makes the file again in the code page
    const auto trace = [&](const std::string& line) {
        if (!keepTrace) return;
        char at[48];
        std::snprintf(at, sizeof at, "+%lld ms ", static_cast<long long>(m.clock.nowMs - start));
        out.trace.push_back(at + line);
    };
    // Time passes on the machine with no copy of the agent running: what a
    // clock action throws then ends nothing.
    const auto advance = [&](std::int64_t to) { try { m.clock.AdvanceTo(to); } catch (...) {} };

    for (std::size_t index = 0; index < mc.lifetimes.size(); ++index) {
        const Lifetime& l = mc.lifetimes[index];
        const bool system = l.copy == Copy::System;
        const std::wstring user = system ? L"SYSTEM" : mc.user;
        const std::wstring ini = info.scriptDataDir + L"quorvaProcDetails_" + user + L".ini";
        // ---- the boot, or the next copy of the same boot ----
        if (index == 0 || l.sameBootAfterMs == 0) {
            if (index > 0) {
                advance(m.clock.nowMs + 1000);
                m.clock.CancelAll();
                m.clock.nowMs = std::max<std::int64_t>(bootStart + l.bootAfterMinutes * 60000LL, 86400000LL);
            }
            bootStart = m.clock.nowMs;
            m.processes.table.resize(2);
            m.processes.Start(L"smss.exe", 0);
            m.processes.Start(L"winlogon.exe", 1);
            m.processes.Start(L"explorer.exe", 1);
            if (l.serviceAtStart) startService();
            service.reset();
        } else {
            advance(std::max(m.clock.nowMs, start + l.sameBootAfterMs));
            if (l.serviceAtStart) startService();
            else stopService();
        }
        start = m.clock.nowMs;
        trace("lifetime " + std::to_string(index + 1));
        fake::ScriptedService::Options so;
        so.reply = l.reply == 0 ? fake::ScriptedService::Reply::ProcId
                   : l.reply == 1 ? fake::ScriptedService::Reply::Error
                                  : fake::ScriptedService::Reply::Never;
        so.answerDelayMs = l.answerDelayMs;
        so.deployerRunMs = l.deployerRunMs;
        so.errorText = L"The system cannot find the file specified.";
        if (!service) {
            service = std::make_unique<fake::ScriptedService>(m, info.scriptDataDir, so);
            service->WatchUser(mc.user);
            service->WatchUser(L"SYSTEM");
            service->Start();
        } else {
            service->options = so;
        }
        const std::size_t requestsBefore = service->requests.size();
        const std::size_t endsBefore = m.truth.sessionEnds.size();
        const std::vector<std::wstring> reportsBefore = m.files.List(postFolder);

        // ---- the copy's process and window ----
        const std::uint32_t session = system ? 0 : 1;
        m.processes.currentProcessId = m.processes.Start(L"quorva.exe", session);
        m.processes.userName = user;
        m.processes.args = {o.installDir + L"quorva.exe"};
        if (l.copy == Copy::Setup) m.processes.args.push_back(L"setup");
        m.processes.snapshotBadLengthFailures = l.badLengthSnapshots;
        const int generation = m.shell.generation + 1;
        m.shell = fake::FakeShell();
        m.shell.journal = &m.journal;
        m.shell.generation = generation;
        m.shell.blockReasonMissing = mc.xp;
        m.shutdown.privilegeEnabled = false;
        // Runs of that many names still being deleted, each followed by a free one.
        for (int second = 0; l.reportNamesPending && l.sameBootAfterMs == 0 && second < 300; ++second) {
            if (second % (l.reportNamesPending + 1) == l.reportNamesPending) continue;
            const auto t = fake::FakeClock::FromUnixMs(start + m.clock.localBiasMinutes * 60000LL + second * 1000LL);
            wchar_t stamp[32];
            std::swprintf(stamp, 32, L"%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
            m.files.DeletePending(postFolder + L"\\wpdcmagntevntstiu_N_" + stamp + L".xml");
        }
        // ---- what an earlier program left in the hand-off file ----
        const auto put = [&](const wchar_t* key, const std::wstring& value) { m.files.WriteString(kSection, key, value, ini); };
        if (l.planted != Planted::Nothing) {
            // Left by this version of the agent: UTF-16 where the name needs it.
            if (!m.files.Exists(ini) && !m.text.ShowsInSystemCodePage(user)) m.files.PutFile(ini, std::string("\xFF\xFE", 2));
            put(L"Process Name", info.deployerPath);
            put(L"Process Arguments", L"Logoff<<>>" + user);
        }
        if (l.planted == Planted::OldAnswer) put(L"Proc ID", L"4242");
        if (l.planted == Planted::OldError) put(L"Err_Desc", L"Old\terror of another request");
        if (l.planted == Planted::UnrelatedId) put(L"Proc ID", L"4");
        if (l.planted == Planted::NonNumeric) put(L"Proc ID", L"twelve");
        if (l.planted == Planted::Overlong) put(L"Proc ID", std::wstring(3000, L'7'));

        Seen& seen = seens.emplace_back();
        seen.serviceWasDown = !l.serviceAtStart;
        std::deque<Sent> queue;
        std::uint32_t countSeen = 0;
        CQuorvaDlg* agentPtr = nullptr;
        const auto checkState = [&]() {
            if (agentPtr && std::exchange(countSeen, agentPtr->m_uICountForOnce) > agentPtr->m_uICountForOnce)
                violation("state", "m_uICountForOnce went back");
        };
        // The kind of session end the user asked for with this request.
        const auto intended = [&l](std::intptr_t lParam) {
            return IsLogoff(lParam) ? fake::EndKind::Logoff : l.restartIntended ? fake::EndKind::Restart : fake::EndKind::PowerOff;
        };
        SeamObserver observer;
        // When each copy (0 the first, 1 the second) wrote its requests and last looked for an answer.
        std::int64_t firstRequestMs = -1, lastLookMs[2] = {-1, -1};
        std::vector<std::pair<std::int64_t, int>> writes;
        SeamObserver own;
        for (SeamObserver* obs : {&observer, &own}) {
            const int copy = obs == &own;
            obs->requestWritten = [&, copy]() {
                if (firstRequestMs < 0) firstRequestMs = m.clock.nowMs;
                writes.push_back({m.clock.nowMs, copy});
            };
            obs->answerLookedFor = [&, copy]() { lastLookMs[copy] = m.clock.nowMs; };
        }
        observer.beforeSleep = [&](std::uint32_t ms) {
            seen.lastSleep = ms;
            checkState();
        };
        FaultyPlatform seam(m, l.faults, observer);
        CQuorvaDlg agent(seam.os());
        agentPtr = &agent;
        SecondCopy* sc = l.secondCopy ? &seconds.emplace_back(m) : nullptr;

        // Windows asks the copies' windows one at a time, from the how-many-th
        // on, and stops at the first that answers 0 ("WM_QUERYENDSESSION
        // message"); a window that is gone is not asked. While Vista and
        // later wait on a window that held a session end, the next request
        // reaches that window after it.
        int holder = -1;
        const auto ask = [&](std::intptr_t lParam, int from) {
            for (int k = from == 0 && holder >= 0 ? holder : from; k < 2; ++k) {
                const bool second = (k == 0) == l.secondAskedFirst;
                if (!second && agentPtr && !agent.m_bEnded) {
                    queue.push_back({wm::QueryEndSession, 0, lParam, k});
                    m.shell.QueryEndSessionSent(m.clock);
                    return true;
                }
                if (second && sc && sc->Running() && !sc->gone && !sc->agent->m_bEnded) {
                    sc->queue.push_back({wm::QueryEndSession, 0, lParam, k});
                    sc->ownClock.nowMs = m.clock.nowMs;
                    sc->shell.QueryEndSessionSent(sc->ownClock);
                    m.clock.After(5000, [sc, at = &seen, &m, trace] {
                        if (!sc->Running() || sc->inTurn) return;
                        try {
                            sc->ownClock.AdvanceTo(m.clock.nowMs);
                        } catch (const fake::ProcessEnded&) {
                            if (at->live) trace("second copy ended by Windows for blocking the session end");
                            sc->endedByWindows = true;
                            sc->Stop();
                        }
                    });
                    sc->Notify();
                    return true;
                }
            }
            return false;
        };
        // Questions a window took with it when it went: Windows asks the next.
        const auto passOn = [&](std::deque<Sent>& left) {
            for (const Sent& q : std::exchange(left, {}))
                if (q.message == wm::QueryEndSession) ask(q.lParam, q.asked + 1);
        };

        // Delivers what was sent to a copy's window (the first copy's, or the second's).
        const auto deliver = [&](CQuorvaDlg& to, fake::FakeShell& shell, std::deque<Sent>& sent) {
            const std::string who = &to == &agent ? "" : "second copy: ";
            while (!sent.empty() && !to.m_bEnded) {
                const Sent s = sent.front();
                sent.pop_front();
                if (s.message == wm::QueryEndSession) {
                    trace(who + "deliver WM_QUERYENDSESSION " + RequestName(s.lParam));
                    const std::int64_t asked = m.clock.nowMs;  // the handler may issue before it answers
                    holder = s.asked;
                    const MessageResult r = to.WindowProc(s.message, s.wParam, s.lParam);
                    seen.answers.push_back({s.lParam, r.result, asked, &to != &agent});
                    trace(who + "answered " + std::to_string(r.result));
                    shell.QueryEndSessionAnswered(r.result);
                    // XP cancels a session end a program refused; Vista and
                    // later list the program and wait for it or the user.
                    if (r.result == 0 && mc.xp) seen.waiting.reset();
                    holder = r.result == 0 && !mc.xp ? s.asked : -1;
                    if (r.result != 0 && !ask(s.lParam, s.asked + 1)) {
                        seen.waiting.reset();
                        if (l.answeredTrueEnds) sent.push_front({wm::EndSession, 1, s.lParam});
                    }
                } else {
                    trace(who + "deliver WM_ENDSESSION " + (s.wParam ? "TRUE" : "FALSE"));
                    to.WindowProc(s.message, s.wParam, s.lParam);
                    // An installer's close request ends the program (it ends itself), not the session.
                    if (s.wParam && IsClose(s.lParam)) seen.closed = true;
                    if (s.wParam && !IsClose(s.lParam)) {
                        m.truth.SessionEnded(intended(s.lParam), false, "Windows");
                        throw SessionOver{};
                    }
                }
                checkState();
            }
        };
        // A session end that asks the programs asks the copies too; one that
        // made it itself has ended before the question reaches it.
        m.shutdown.whoAsks = [&](std::uint32_t flags) { ask((flags & 0x0Bu) == 0 ? kLogoff : kShutdown, 0); };
        m.shell.whileDeletingTab = [&]() {
            if (queue.empty()) return;
            fake::rules::Fired(fake::rules::kSentDuringCom);
            deliver(agent, m.shell, queue);
        };

        for (const Event& e : l.events) {
            m.clock.At(start + e.atMs, [&, e, at = &seen]() {
                const bool live = at->live;
                if (live) ++at->firedEvents;
                trace(std::string("event ") + EventName(e.kind) + (e.kind == Event::Query ? " " + RequestName(e.lParam) : ""));
                switch (e.kind) {
                    case Event::Query:
                        if (!live) break;
                        if (!IsLogoff(e.lParam) && !IsClose(e.lParam))
                            m.eventLog.Add(fake::FakeEventLog::Shutdown1074(static_cast<std::uint32_t>(m.clock.nowMs / 1000),
                                                                            l.restartIntended ? L"restart" : L"power off"));
                        if (at->inAgent) fake::rules::Fired(fake::rules::kSentHeldBySleep);
                        if (!IsClose(e.lParam)) at->waiting = e.lParam;
                        ask(e.lParam, 0);
                        break;
                    case Event::EndSessionFalse:
                        if (!live) break;
                        at->vetoed = true;
                        at->waiting.reset();
                        queue.push_back({wm::EndSession, 0, 0});
                        if (sc && sc->Running()) {
                            sc->queue.push_back({wm::EndSession, 0, 0});
                            sc->Notify();
                        }
                        break;
                    case Event::ServiceDies:
                        seens.back().serviceWasDown = true;  // whichever copy runs now
                        stopService();
                        break;
                    case Event::ServiceStarts:
                        startService();
                        break;
                    case Event::HandOffDeleted:
                        seens.back().handOffDeleted = handOffEverDeleted = true;
                        m.files.Remove(ini);
                        break;
                    case Event::GarbageProcId:
                        if (live && l.reply == 2 && service && !service->requests.empty() &&
                            service->requests.back().answeredAtMs < 0 && service->requests.back().file == ini &&
                            m.processes.IsRunningSerial(service->requests.back().takenBy) &&
                            m.files.GetString(kSection, L"Proc ID", L"", 1024, ini).empty()) {
                            m.files.WriteString(kSection, L"Proc ID", L"0x1F?", ini);
                            service->requests.back().answer = L"0x1F?";
                            service->requests.back().answeredAtMs = m.clock.nowMs;
                        }
                        break;
                    case Event::LogHeld: {
                        const std::wstring log = fake::LogPath(m, user);
                        if (live && m.files.Exists(log)) {
                            at->logHeld = true;
                            m.files.Lock(log);
                            m.clock.After(300, [&m, log]() { m.files.Unlock(log); });
                        }
                        break;
                    }
                    case Event::UserForces:
                        // The user ends the session over a program that keeps it waiting.
                        if (!live || !at->waiting) break;
                        at->userForced = true;
                        m.truth.SessionEnded(intended(*at->waiting), true, "user forced");
                        throw SessionOver{};
                    case Event::BiasChanges:
                        m.clock.localBiasMinutes += m.clock.localBiasMinutes == mc.biasMinutes ? 60 : -60;
                        break;
                }
            });
        }
        m.clock.At(start + kBoundMs, [at = &seen]() { if (at->live) throw Bound{}; });

        // The session goes on unless it ended with nobody asked: every program
        // let it go, the user forced it, or a forced end off Terminal Services.
        const auto sessionGoesOn = [&m, &mc, endsBefore] {
            for (std::size_t i = endsBefore; i < m.truth.sessionEnds.size(); ++i)
                if (!m.truth.sessionEnds[i].ByAgent() || (m.truth.sessionEnds[i].forced && !mc.terminalServices)) return false;
            return true;
        };
        if (sc) {
            sc->shell.journal = &m.journal;
            sc->shell.window = 0x000B0042;
            sc->shell.blockReasonMissing = mc.xp;
            own.beforeSleep = [sc](std::uint32_t ms) { sc->lastSleep = ms; };
            own.sleep = [sc](std::uint32_t ms) { sc->Wait(ms); };
            sc->goesOn = sessionGoesOn;
            sc->afterTurn = [sc, sessionGoesOn] { if (sc->sessionOver || !sessionGoesOn()) throw SessionOver{}; };
            m.clock.At(start + l.secondCopyAfterMs, [&, sc, at = &seen] {
                if (!at->live || !sessionGoesOn()) return void(sc->finished = true);
                sc->pid = m.processes.Start(L"quorva.exe", session);
                const OwnProcess id{sc->pid, {o.installDir + L"quorva.exe", L"setup"}, &sc->shell};
                sc->seam.emplace(m, std::vector<Fault>{}, own, &id);
                sc->agent.emplace(sc->seam->os());
                trace("second copy starts");
                sc->Start([&, sc] {
                    CQuorvaDlg& a = *sc->agent;
                    try {
                        const BOOL started = a.OnInitDialog();
                        trace("second copy: OnInitDialog returned " + std::to_string(started));
                        while (!a.m_bEnded)
                            if (sc->queue.empty()) sc->Wait(-1);
                            else deliver(a, sc->shell, sc->queue);
                    } catch (const fake::ProcessEnded&) {
                        sc->endedByWindows = sc->shell.endedForBlocking;
                        trace("second copy: ended by Windows");
                    } catch (const SessionOver&) {
                        sc->sessionOver = true;
                    } catch (const std::exception& e) {
                        violation("exception", std::string("escaped the second copy: ") + e.what());
                    }
                    sc->gone = true;
                    passOn(sc->queue);
                });
            });
        }
        // Whether the second copy has yet to start, or works rather than waits for a message.
        const auto secondBusy = [sc] { return sc && !sc->finished && !(sc->Running() && sc->idle); };
        bool sessionEnded = false, boundReached = false, idle = false;

        try {
            seen.inAgent = true;
            const BOOL started = agent.OnInitDialog();
            trace("OnInitDialog returned " + std::to_string(started));
            checkState();
            // The modal loop: sent messages are delivered as they come; an idle
            // resident copy waits for the next one.
            while (!agent.m_bEnded) {
                seen.inAgent = !queue.empty();
                if (!queue.empty()) {
                    deliver(agent, m.shell, queue);
                    continue;
                }
                const bool eventsLeft = seen.firedEvents < l.events.size();
                if (!eventsLeft && !secondBusy()) break;
                // (A second copy may send this one a question at any of its turns.)
                const std::int64_t next = eventsLeft ? start + l.events[seen.firedEvents].atMs : INT64_MAX;
                idle = true;
                m.clock.AdvanceTo(sc ? std::min(next, m.clock.NextAt()) : next);
                idle = false;
            }
        } catch (const fake::ProcessEnded&) {
            seen.endedByWindows = true;
            trace("ended by Windows for blocking the session end");
        } catch (const SessionOver&) {
            sessionEnded = true;
            trace("the session ended");
        } catch (const Bound&) {
            seen.bound = !idle;  // (a resident copy waits for messages as it means to)
            boundReached = true;
        } catch (const std::bad_alloc&) {
            // Memory Windows could not give: the exception leaves the window
            // procedure, and in the real program it reaches std::terminate and
            // its handler.
            trace("std::bad_alloc reached std::terminate");
            seen.terminated = true;
        } catch (const std::exception& e) {
            violation("exception", std::string("escaped the agent: ") + e.what());
        } catch (...) {
            violation("exception", "an exception escaped the agent");
        }
        if (seen.terminated) {
            SetFatalFailureAgent(&agent);
            try {
                EndAfterFatalFailure();
                violation("terminate", "the terminate handler returned");
            } catch (const fake::ProcessEnded&) {
                trace("the process ended after the failure");
                const fake::LogFile last = fake::ReadLog(m, user);
                if (last.exists && !seam.logWriteFailed &&
                    (last.entries.empty() || last.entries.back().val1 != "Ended after a failure in the program"))
                    violation("lost", "the process ended after a failure without a log record");
            } catch (...) {
                violation("terminate", "the terminate handler threw");
            }
            SetFatalFailureAgent(nullptr);
        }
        checkState();
        seen.inAgent = false;
        m.processes.Exit(m.processes.currentProcessId);
        if (sc) {
            // The first copy has gone: Windows asks the second what it had
            // asked the first, and the second goes on alone while the session does.
            agentPtr = nullptr;
            passOn(queue);
            for (bool again = true; again;) {
                again = false;
                try {
                    while (!sessionEnded && !boundReached && (secondBusy() || (sc->Running() && seen.firedEvents < l.events.size())))
                        m.clock.AdvanceTo(m.clock.NextAt());
                } catch (const SessionOver&) {
                    sessionEnded = true;
                    trace("the session ended");
                } catch (const Bound&) {
                    boundReached = true;
                } catch (const fake::ProcessEnded&) {
                    again = true;  // the system's look at the first copy's window, asked as it went
                }
            }
            sc->bound = boundReached && sc->Running() && !sc->idle;
            sc->Stop();
            if (sc->pid) m.processes.Exit(sc->pid);
        }
        seen.live = false;
        for (const auto& [call, count] : seam.injected) out.injected[call] += count;
        const std::vector<fake::ScriptedService::Request> requests(service->requests.begin() + static_cast<std::ptrdiff_t>(requestsBefore),
                                                                   service->requests.end());
        const std::vector<fake::SessionEndDone> ends(m.truth.sessionEnds.begin() + static_cast<std::ptrdiff_t>(endsBefore),
                                                     m.truth.sessionEnds.end());
        // A fault Windows documents for a call that decides whether the
        // agent can hand off, wait or issue (a log write too: a copy that
        // cannot write its log ends in its start-up), not for a report.
        bool faulted = false;
        for (const auto& [call, count] : seam.injected)
            if (call != "Files.CreateNewFile" && call != "Files.CreateDirectory" && call != "Files.SetAttributes" && call != "Files.GetAttributes" && call != "Shell.DeleteTaskbarTab")
                faulted = true;
        // A fault of one of these calls was injected.
        const auto injected = [&seam](std::initializer_list<const char*> calls) {
            return std::any_of(calls.begin(), calls.end(), [&seam](const char* c) { return seam.injected.count(c) != 0; });
        };
        const auto ownRequest = [&](const fake::ScriptedService::Request& q) {
            const bool logon = StartsWith(q.processArguments, L"Logon<<>>");
            return q.file == ini && firstRequestMs >= 0 && q.atMs >= firstRequestMs &&
                   ((l.copy == Copy::Ordinary) == logon || (sc && !logon));
        };

        // The file holds one request: an answer to an earlier request that
        // the service writes after a copy wrote its own (that copy ended
        // before it read the answer, or is of an earlier lifetime) cannot be
        // told apart.
        bool crossed = false;
        for (const auto& q : service->requests)
            for (const auto& [w, copy] : writes)
                if (q.file == ini && q.atMs < w && q.answeredAtMs >= w) crossed = true;
        const auto crossedAnswer = [&] { return crossed && excuse("the service answered an earlier request after this one was written"); };

        // ---- the agent ends, or waits only where it means to ----
        const auto judgeWait = [&](std::uint32_t lastSleep, bool registryFailed, const std::string& who) {
            // Any script the service started counts: an answer to an earlier
            // request can cross this copy's (see crossed below).
            bool scriptRuns = false;
            for (const auto& q : service->requests)
                if (q.pid != 0 && m.processes.IsRunning(q.pid)) scriptRuns = true;
            const bool serviceRuns = m.processes.CountRunning(L"quorvahost.exe") > 0;
            // Waiting for the service's answer is meant only while the service
            // can see the request: a hand-off file without it is never answered.
            const bool requestVisible = !m.files.GetString(kSection, L"Process Name", L"", 1024, ini).empty() &&
                                        !m.files.GetString(kSection, L"Process Arguments", L"", 1024, ini).empty();
            // With the administrator's limit (at most two minutes here) a held
            // session end waits for neither the service nor the script at the
            // bound. (A registry read Windows failed leaves the agent without it.)
            const bool limited = mc.scriptWaitLimit != 0 && !system && !registryFailed;
            const bool meant = !limited && ((lastSleep == 5000 && scriptRuns) ||
                                            (lastSleep == 1000 && serviceRuns && requestVisible) ||
                                            (lastSleep == 50 && serviceRuns));
            if (!meant) violation("stuck", who + "still waiting at the bound, last wait " + std::to_string(lastSleep) + " ms");
        };
        if (seen.bound)
            judgeWait(seen.lastSleep, l.copy != Copy::Setup || injected({"Registry.OpenKey", "Registry.QueryValue"}), "");
        if (sc && sc->bound) judgeWait(sc->lastSleep, false, "the second copy is ");
        // ---- no Windows rule ends a copy that holds a session end back ----
        if (seen.endedByWindows && l.copy == Copy::Setup &&
            !(injected({"Shell.LoadLibrary", "Shell.ShutdownBlockReasonCreate", "Shell.GetSystemDirectory"}) &&
              excuse("block reason could not be registered (documented)")))
            violation("ended", "Windows ended the agent while it held a session end back");
        if (sc && sc->endedByWindows && !system) violation("ended", "Windows ended the second copy while it held a session end back");

        // ---- every session end asked for and held back is carried out, of its kind ----
        std::optional<std::size_t> firstHeld, lastHeld;
        bool secondAnswered = false;
        for (std::size_t i = 0; i < seen.answers.size(); ++i) {
            if (seen.answers[i].result == 0 && !IsClose(seen.answers[i].lParam)) {
                if (!firstHeld) firstHeld = i;
                lastHeld = i;
            }
            secondAnswered = secondAnswered || (seen.answers[i].second && !system);
        }
        const bool over = seen.bound || seen.endedByWindows || seen.terminated || (sc && (sc->bound || sc->endedByWindows));
        if (firstHeld && !over && (!system || excuse("SYSTEM copy answers 0 and leaves the end to the user's copy"))) {
            bool carried = false;
            for (const auto& e : ends)
                if (e.atMs >= seen.answers[*lastHeld].atMs) carried = true;
            std::optional<std::intptr_t> last;
            for (const auto& a : seen.answers)
                if (!IsClose(a.lParam)) last = a.lParam;
            // (The held request, or a later one that said what is wanted now.)
            const bool needsPrivilege = (last && !IsLogoff(*last)) || !IsLogoff(seen.answers[*lastHeld].lParam);
            if (!carried && !system && !(seen.vetoed && excuse("another program vetoed the session end")) &&
                !(needsPrivilege && !mc.privilegeHeld && excuse("shutdown privilege not held")) &&
                !(injected({"Shutdown.OpenProcessToken", "Shutdown.SetShutdownPrivilege"}) &&
                  excuse("token or privilege call failed (documented)")))
                violation("unissued", "a session end answered 0 was never carried out");
        }
        for (const auto& e : ends) {
            if (!e.ByAgent()) continue;
            // What either copy was last asked before: each issues its own.
            std::optional<std::intptr_t> last, lastOfSecond;
            for (const auto& a : seen.answers)
                if (!IsClose(a.lParam) && a.atMs <= e.atMs) (a.second ? lastOfSecond : last) = a.lParam;
            if (!last || (lastOfSecond && KindClass(e.kind) == KindClass(intended(*lastOfSecond)))) last = lastOfSecond;
            if (last && KindClass(e.kind) != KindClass(intended(*last)) &&
                !(injected({"EventLog.Open", "EventLog.Read", "Files.FindFirstExists", "EventLog.LoadLibraryAsDataFile",
                            "Shell.GetSystemDirectory"}) &&
                  excuse("restart detection met a documented error")))
                violation("kind", std::string("carried out a ") + fake::EndKindName(e.kind) + " but the user asked for a " +
                                      fake::EndKindName(intended(*last)));
        }

        // ---- a session end comes after its script, which ran to its end ----
        if (!seen.endedByWindows && !(sc && sc->endedByWindows)) {
            for (const auto& e : ends) {
                const std::wstring prefix = e.kind == fake::EndKind::Logoff ? L"Logoff<<>>" : L"shutdown<<>>";
                bool answered = false, ran = false;
                for (const auto& q : requests)
                    if (ownRequest(q) && StartsWith(q.processArguments, prefix) && q.answeredAtMs >= 0 && q.answeredAtMs <= e.atMs) {
                        answered = true;
                        if (q.pid == 0 || (q.scriptEndedAtMs >= 0 && q.scriptEndedAtMs <= e.atMs)) ran = true;
                    }
                // A script the agent was told of is waited for whatever fails
                // around it, unless its Proc ID went with a deleted file.
                // The administrator's limit lets a hung script go, at the
                // earliest that long after the first held request was asked.
                const bool limitPassed = mc.scriptWaitLimit != 0 && firstHeld &&
                                         e.atMs - seen.answers[*firstHeld].atMs >= mc.scriptWaitLimit * 1000LL;
                if (limitPassed && !ran && excuse("the administrator's script wait limit passed")) continue;
                if (answered && !ran && e.ByAgent() && !(seen.handOffDeleted && excuse("hand-off file deleted by another program")) &&
                    !crossedAnswer())
                    violation("script", std::string("a ") + fake::EndKindName(e.kind) + " was carried out (" + e.how +
                                            ") while its script still ran");
                else if (!ran && !(answered && !e.ByAgent()) && !(e.how == "user forced" && excuse("the user forced the end")) &&
                         !(!e.ByAgent() && l.copy != Copy::Setup && !secondAnswered && excuse("ordinary or SYSTEM copy lets the session end go")) &&
                         !(seen.closed && excuse("an installer closed the copy before it handled the request")) &&
                         !(seen.logHeld && excuse("another program held the log (a copy that cannot log ends)")) &&
                         !crossedAnswer() && !(seen.serviceWasDown && excuse("service not running")) &&
                    !(faulted && excuse("fault documented by Windows")) &&
                    !((seen.handOffDeleted || handOffEverDeleted) && excuse("hand-off file deleted by another program")))
                    violation("script", std::string("a ") + fake::EndKindName(e.kind) + " was carried out (" + e.how +
                                            ") without its script having run to its end");
            }
        }

        // ---- every request the service took gets one report; no report without one ----
        std::multiset<std::pair<std::string, std::string>> expected, stored;
        for (const auto& q : requests) {
            int writer = 0;  // the copy that wrote it last before the service took it
            for (const auto& [w, copy] : writes)
                if (w <= q.atMs) writer = copy;
            if (!ownRequest(q) || q.answeredAtMs < 0 || q.answeredAtMs > lastLookMs[writer]) continue;
            const std::wstring& a = q.processArguments;
            expected.insert({StartsWith(a, L"Logon") ? "Logon" : StartsWith(a, L"Logoff") ? "Logoff" : "Shutdown", q.error ? "0" : "1"});
        }
        const auto element = [](const std::string& t, const std::string& tag) {
            const std::size_t from = t.find("<" + tag + ">"), to = t.find("</" + tag + ">");
            return from == std::string::npos || to == std::string::npos ? std::string() : t.substr(from + tag.size() + 2, to - from - tag.size() - 2);
        };
        for (const std::wstring& name : m.files.List(postFolder)) {
            if (std::find(reportsBefore.begin(), reportsBefore.end(), name) != reportsBefore.end()) continue;
            const auto bytes = m.files.Read(postFolder + L"\\" + name);
            if (!bytes) continue;
            const std::string& t = *bytes;
            // ---- every report is well-formed XML ----
            const std::string open = "<wpdcmagntevntstiu>", close = "</wpdcmagntevntstiu>";
            bool ok = t.rfind(open, 0) == 0 && t.size() > open.size() + close.size() &&
                      t.compare(t.size() - close.size(), close.size(), close) == 0;
            if (ok) ok = std::count(t.begin(), t.end(), '<') == 18 && std::count(t.begin(), t.end(), '>') == 18;
            for (std::size_t i = 0; ok && i < t.size(); ++i)
                if (t[i] == '&' && t.compare(i, 5, "&amp;") != 0 && t.compare(i, 4, "&lt;") != 0 && t.compare(i, 4, "&gt;") != 0)
                    ok = false;
            if (!ok) violation("xml", "report " + Utf8(name) + " is not well-formed");
            const std::string evnt = element(t, "evnt"), faildesc = element(t, "faildesc");
            // The agent's own reports: the service or the deployer missing, a
            // request it could not write, the administrator's limit reached.
            if (evnt == "EVTNT" || faildesc.rfind("The request could not be written", 0) == 0 ||
                faildesc.rfind("The script wait limit of ", 0) == 0)
                continue;
            stored.insert({evnt, element(t, "status")});
        }
        for (const auto& r : stored)
            if (expected.count(r) < stored.count(r) && !crossedAnswer()) {
                violation("report", "a " + r.first + " report (status " + r.second + ") for no answer the service wrote");
                break;
            }
        namesPendingBeyondBound = namesPendingBeyondBound || l.reportNamesPending > kPendingNamesWithinBound;
        const bool storageFailed = mc.postFolderDenied || namesPendingBeyondBound || !mc.registryValues ||
                                   injected({"Files.CreateNewFile", "Files.CreateDirectory", "Registry.OpenKey", "Registry.QueryValue"});
        for (const auto& r : expected)
            if (stored.count(r) < expected.count(r) && !(storageFailed && excuse("report storage failed (documented)")) &&
                !((over || seen.userForced) && excuse("the copy ended before it read the answer")) && !crossedAnswer() &&
                !(seen.handOffDeleted && excuse("hand-off file deleted by another program")) &&
                !(faulted && excuse("fault documented by Windows"))) {
                violation("report", "the service answered a " + r.first + " request and no report was stored");
                break;
            }

        // ---- every Proc ID the agent acts on is the service's answer to its request ----
        for (const std::wstring& procId : {l.copy == Copy::Ordinary ? agent.m_szScriptProcId.str() : agent.m_szScriptProcId2.str(),
                                           sc && sc->agent ? sc->agent->m_szScriptProcId2.str() : std::wstring()}) {
            if (procId.empty()) continue;
            bool answered = false;
            for (const auto& q : requests)
                if (ownRequest(q) && q.answer == procId && !q.error) answered = true;
            if (!answered && !crossedAnswer()) violation("procid", "the agent took the Proc ID " + Utf8(procId.substr(0, 40)) + ", which the service did not write for its request");
        }

        // ---- the service gets the user's name intact ----
        // (A service that answers into a file someone deleted makes it again
        // in the code page, before the agent can.)
        for (const auto& q : requests)
            if (q.file == ini && !EndsWith(q.processArguments, L"<<>>" + user) &&
                !(handOffEverDeleted && excuse("hand-off file deleted by another program")))
                violation("name", "the service read the arguments " + Utf8(q.processArguments));
        if (keepTrace) {
            for (const auto& [call, count] : seam.injected) trace("injected " + call + " x" + std::to_string(count));
            for (const auto& e : ends) trace(std::string("carried out: ") + fake::EndKindName(e.kind) + (e.forced ? " forced" : "") + " by " + e.how);
            for (const auto& q : requests)
                out.trace.push_back("  service took " + Utf8(q.processArguments) + " at +" + std::to_string(q.atMs - start) +
                                    " ms, answered " + Utf8(q.answer) + " at +" + std::to_string(q.answeredAtMs - start) + " ms");
            const fake::LogFile log = fake::ReadLog(m, user);
            for (const auto& e : log.entries)
                out.trace.push_back("  log: " + e.module + "|" + e.type + "|" + e.val1 + "|" + e.val2 + "|" + e.val3);
        }
    }

    // ---- every log file starts with its header; every record parses into its
    // six fields (a report is logged as it is, tabs and all) ----
    const std::wstring logs = info.dataDir + L"ApplicationLog";
    for (const std::wstring& name : m.files.List(logs)) {
        const auto bytes = m.files.Read(logs + L"\\" + name);
        if (!bytes || bytes->empty()) continue;
        const fake::LogFile log = fake::ParseLog(*bytes);
        bool ok = (*bytes)[0] == '#' && !log.header.empty();
        for (const auto& e : log.entries) ok = ok && (e.fields == 6 || e.val1 == "web Post");
        if (!ok) violation("log", "log file " + Utf8(name) + " holds a record that does not parse into its fields");
    }
    if (keepTrace)
        for (const auto& line : m.journal) out.trace.push_back("  journal: " + line);
    return out;
}

// Sets a field back to a plain machine's or lifetime's; true when that changed it.
template <class Object, class T>
std::function<bool(Object&)> Plain(T Object::*field) {
    return [field](Object& o) {
        static const Object plain{};
        return std::exchange(o.*field, plain.*field) != plain.*field;
    };
}

Machine Shrink(const Machine& failing, const std::string& violation) {
    const std::string kind = violation.substr(0, violation.find(':') + 1);
    Machine best = failing;
    bool progress = true;
    // Keeps a candidate that still fails with the same kind of violation.
    const auto keep = [&](Machine&& c) {
        for (const std::string& v : Run(c, false).violations)
            if (v.rfind(kind, 0) == 0) return best = std::move(c), progress = true;
        return false;
    };
    // Drops each item of a list that the failure does not need.
    const auto dropEach = [&](auto list, std::size_t least) {
        for (std::size_t i = 0; i < list(best).size() && list(best).size() > least; ++i) {
            Machine c = best;
            list(c).erase(list(c).begin() + static_cast<std::ptrdiff_t>(i));
            if (!c.lifetimes.empty()) c.lifetimes.front().sameBootAfterMs = 0;
            if (keep(std::move(c))) --i;
        }
    };
    const std::vector<std::function<bool(Lifetime&)>> simplerLifetime = {
        Plain(&Lifetime::secondCopy), Plain(&Lifetime::badLengthSnapshots), Plain(&Lifetime::reportNamesPending),
        Plain(&Lifetime::planted), Plain(&Lifetime::serviceAtStart), Plain(&Lifetime::answeredTrueEnds),
        Plain(&Lifetime::answerDelayMs), Plain(&Lifetime::reply),
        [](Lifetime& c) { return std::exchange(c.deployerRunMs, 1000) > 1000; },
    };
    const std::vector<std::function<bool(Machine&)>> simplerMachine = {
        Plain(&Machine::reusePids), Plain(&Machine::terminalServices), Plain(&Machine::postFolderDenied),
        Plain(&Machine::registryValues), Plain(&Machine::privilegeHeld), Plain(&Machine::threadCodePage),
        Plain(&Machine::systemCodePage), Plain(&Machine::user), Plain(&Machine::xp),
        Plain(&Machine::scriptWaitLimit), Plain(&Machine::restartSetting),
    };
    while (std::exchange(progress, false)) {
        dropEach([](Machine& c) -> auto& { return c.lifetimes; }, 1);
        for (std::size_t k = 0; k < best.lifetimes.size(); ++k) {
            dropEach([k](Machine& c) -> auto& { return c.lifetimes[k].events; }, 0);
            dropEach([k](Machine& c) -> auto& { return c.lifetimes[k].faults; }, 0);
            for (const auto& simplify : simplerLifetime) {
                Machine c = best;
                if (simplify(c.lifetimes[k])) keep(std::move(c));
            }
        }
        for (const auto& simplify : simplerMachine) {
            Machine c = best;
            if (simplify(c)) keep(std::move(c));
        }
    }
    return best;
}

}  // namespace explorer
