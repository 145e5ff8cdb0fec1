// The hand-off file's protocol: create, write a request, read the answer,
// check that the request is still there, clear.
#include "scripts/HandOffFile.h"
#include <algorithm>
#include "agent/Common.h"

namespace {

constexpr const wchar_t* kSection = L"Process Details";
constexpr std::uint32_t kProcIdCapacity = 1024;

// One step on the hand-off file, tried again while another program (the
// service reading it, a virus scanner) holds the file for a moment: five
// tries, 50 ms apart. False when none succeeded.
template <class Step>
bool TryWhileHeld(CQuorvaDlg& agent, Step step) {
    constexpr int kTries = 5;
    constexpr std::uint32_t kPauseMs = 50;
    for (int attempt = 1;; ++attempt) {
        if (step()) return true;
        if (attempt == kTries) return false;
        agent.os.clock.Sleep(kPauseMs);
    }
}

// A request the service cannot see would be waited for without end, so a
// refused write is tried again.
bool WriteHandOffKey(CQuorvaDlg& agent, const wchar_t* key, const std::wstring& value,
                     const std::wstring& path) {
    return TryWhileHeld(agent, [&] { return agent.os.profile.WriteString(kSection, key, value, path); });
}

// The user may write the file as well as the service: a tab in an answer
// would split the log record that carries it into more fields than it has.
std::wstring WithoutTabs(std::wstring text) {
    std::replace(text.begin(), text.end(), L'\t', L' ');
    return text;
}

}  // namespace

void CreateHandOffFile(CQuorvaDlg& agent, const std::wstring& path) {
    // The profile functions write a file without the mark in the system's
    // code page, not the thread's: that page decides.
    const bool unicode = !agent.os.text.ShowsInSystemCodePage(agent.m_szUserName.str());
    std::uint32_t error = 0;
    agent.os.files.AppendBytes(path, unicode ? std::string("\xFF\xFE", 2) : std::string(),
                               platform::Share::ReadWrite, &error);
}

void RecreateHandOffFileIfGone(CQuorvaDlg& agent, const std::wstring& path) {
    if (!PathExists(agent, path)) CreateHandOffFile(agent, path);
}

bool WriteHandOffRequest(CQuorvaDlg& agent, const std::wstring& path, const std::wstring& processName,
                         const std::wstring& arguments, const RequestLogText& log) {
    // WritePrivateProfileString replaces only the key it names: an answer an
    // earlier hand-off left (one never cleared, or one the service wrote
    // after its copy had gone) would end this request's wait at once, and its
    // script would never run. So the earlier request goes first (the service
    // must never see it without its answer and take it for a new one), then
    // its answer, and only then is the new request written: an answer in the
    // file afterwards is the service's answer to it. The section stays, and
    // so do the keys the service reads and writes. A key that cannot be
    // deleted leaves no request the service could take.
    // For a user the code page cannot show the file must be UTF-16, and one
    // the service made again (answering after this copy had cleared it) is
    // not: holding nothing this request needs, it is started again. One that
    // cannot be would carry the name mangled: no request is better.
    if (!agent.os.text.ShowsInSystemCodePage(agent.m_szUserName.str())) {
        if (!TryWhileHeld(agent, [&] { return agent.os.files.DeleteFile(path) || !PathExists(agent, path); }))
            return false;
        CreateHandOffFile(agent, path);
    }
    for (const wchar_t* key : {L"Process Name", L"Process Arguments", L"Proc ID", L"Err_Desc"})
        if (!TryWhileHeld(agent, [&] { return agent.os.profile.DeleteKey(kSection, key, path); })) return false;
    bool written = WriteHandOffKey(agent, L"Process Name", processName, path);
    Log(agent, {.module = log.module, .val1 = log.text, .val2 = "Process Name",
                .val3 = Ansi(agent, processName)});
    written = WriteHandOffKey(agent, L"Process Arguments", arguments, path) && written;
    Log(agent, {.module = log.module, .val1 = log.text, .val2 = "Process Arguments",
                .val3 = Ansi(agent, arguments)});
    return written;
}

bool HandOffRequestInFile(CQuorvaDlg& agent, const std::wstring& path) {
    // A read refused for a moment (the service writing the file) comes back
    // empty like a missing key; writing the request again would remove the
    // answer the service may have written meanwhile. So only a request
    // missing at every look counts as gone.
    return TryWhileHeld(agent, [&] {
        for (const wchar_t* key : {L"Process Name", L"Process Arguments"})
            if (agent.os.profile.GetString(kSection, key, L"", kProcIdCapacity, path).empty()) return false;
        return true;
    });
}

void ReadProcessDetail(CQuorvaDlg& agent, const std::wstring& key, WideBuffer<1024>& buffer,
                       const std::wstring& iniFile) {
    buffer = WithoutTabs(agent.os.profile.GetString(kSection, key, L"", kProcIdCapacity, iniFile));
}

std::wstring ReadHandOffProcId(CQuorvaDlg& agent, const std::wstring& path) {
    return WithoutTabs(agent.os.profile.GetString(kSection, L"Proc ID", L"", kProcIdCapacity, path));
}

std::wstring ReadHandOffError(CQuorvaDlg& agent, const std::wstring& path, std::uint32_t capacity) {
    return WithoutTabs(agent.os.profile.GetString(kSection, L"Err_Desc", L"", capacity, path));
}

void ClearHandOffFile(CQuorvaDlg& agent, const std::wstring& path) {
    // A file already gone is cleared: emptying it in place would make it
    // again in the code page, where the caller makes it as CreateHandOffFile does.
    const bool cleared = TryWhileHeld(agent, [&] {
        return agent.os.files.DeleteFile(path) || !PathExists(agent, path) ||
               agent.os.profile.WriteSection(kSection, L"", path);
    });
    // The next request removes the answer before it is written; the log
    // says the file kept it meanwhile.
    if (!cleared)
        Log(agent, {.module = "ClearHandOffFile", .type = "ERROR", .val1 = "Hand-off file not cleared",
                    .val2 = "The answer stays until the next request", .val3 = Ansi(agent, path)});
}

HandOffTurn::HandOffTurn(CQuorvaDlg& agent, const char* module, const std::function<bool(std::uint32_t)>& wait)
    : agent_(agent) {
    constexpr std::uint32_t kPollMs = 1000, kPolls = 300;
    platform::IProcesses& processes = agent.os.processes;
    mutex_ = processes.OpenNamedMutex(L"Global\\quorvaHandOff_" + agent.m_szUserName.str());
    if (!mutex_) {
        Log(agent, {.module = module, .type = "ERROR", .val1 = "Hand-off turn not available",
                    .val2 = "CreateMutex failed", .val3 = std::to_string(processes.GetLastError())});
        return;
    }
    for (std::uint32_t poll = 0; !(taken_ = processes.TryTakeMutex(mutex_)); ++poll) {
        if (poll == 0)
            Log(agent, {.module = module, .val1 = "Waiting for the hand-off turn",
                        .val2 = "Another copy of the agent hands off for this user"});
        if (poll == kPolls) {
            Log(agent, {.module = module, .type = "ERROR", .val1 = "Hand-off turn not had",
                        .val2 = "Going on without it after seconds:", .val3 = std::to_string(kPolls)});
            return;
        }
        if (!wait) agent.os.clock.Sleep(kPollMs);
        else if (!wait(kPollMs)) return;
    }
}

HandOffTurn::~HandOffTurn() {
    if (!mutex_) return;
    if (taken_) agent_.os.processes.ReleaseMutex(mutex_);
    agent_.os.processes.CloseMutex(mutex_);
}
