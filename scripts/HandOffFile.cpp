// The hand-off file's protocol: create, write a request, read the answer,
// check that the request is still there, clear.
#include "scripts/HandOffFile.h"
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
    bool written = WriteHandOffKey(agent, L"Process Name", processName, path);
    Log(agent, {.module = log.module, .val1 = log.text, .val2 = "Process Name",
                .val3 = Ansi(agent, processName)});
    written = WriteHandOffKey(agent, L"Process Arguments", arguments, path) && written;
    Log(agent, {.module = log.module, .val1 = log.text, .val2 = "Process Arguments",
                .val3 = Ansi(agent, arguments)});
    return written;
}

bool HandOffRequestInFile(CQuorvaDlg& agent, const std::wstring& path) {
    for (const wchar_t* key : {L"Process Name", L"Process Arguments"})
        if (agent.os.profile.GetString(kSection, key, L"", kProcIdCapacity, path).empty()) return false;
    return true;
}

void ReadProcessDetail(CQuorvaDlg& agent, const std::wstring& key, WideBuffer<1024>& buffer,
                       const std::wstring& iniFile) {
    buffer = agent.os.profile.GetString(kSection, key, L"", kProcIdCapacity, iniFile);
}

std::wstring ReadHandOffProcId(CQuorvaDlg& agent, const std::wstring& path) {
    return agent.os.profile.GetString(kSection, L"Proc ID", L"", kProcIdCapacity, path);
}

std::wstring ReadHandOffError(CQuorvaDlg& agent, const std::wstring& path, std::uint32_t capacity) {
    return agent.os.profile.GetString(kSection, L"Err_Desc", L"", capacity, path);
}

void ClearHandOffFile(CQuorvaDlg& agent, const std::wstring& path) {
    TryWhileHeld(agent, [&] {
        return agent.os.files.DeleteFile(path) || agent.os.profile.WriteSection(kSection, L"", path);
    });
}
