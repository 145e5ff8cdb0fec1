// Helpers every part of the agent shares.
#include "agent/Common.h"

namespace {

// ASCII and Latin-1 letters; other characters compare as they are.
wchar_t FoldCase(wchar_t c) {
    if (c >= L'A' && c <= L'Z') return static_cast<wchar_t>(c + (L'a' - L'A'));
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<wchar_t>(c + 0x20);
    return c;
}

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

}  // namespace

bool PathExists(platform::IFiles& files, const std::wstring& path) {
    // The wide search: converted to ANSI, a character the code page lacks
    // would turn into "?" and match some other name.
    return files.FindFirstExists(path);
}

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (FoldCase(a[i]) != FoldCase(b[i])) return false;
    return true;
}

std::wstring ToLowerCopy(std::wstring_view text) {
    std::wstring out(text);
    for (auto& c : out) c = FoldCase(c);
    return out;
}

std::string ToTextMode(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 16);
    for (char c : bytes) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

void CreateEmptyFile(CQuorvaDlg& agent, const std::wstring& path) {
    std::uint32_t error = 0;
    agent.os.files.AppendBytes(path, std::string(), platform::Share::ReadWrite, &error);
}

void CreateHandOffFile(CQuorvaDlg& agent, const std::wstring& path) {
    // The profile functions write a file without the mark in the system's
    // code page, not the thread's: that page decides.
    const bool unicode = !agent.os.text.ShowsInSystemCodePage(agent.m_szUserName.str());
    std::uint32_t error = 0;
    agent.os.files.AppendBytes(path, unicode ? std::string("\xFF\xFE", 2) : std::string(),
                               platform::Share::ReadWrite, &error);
}

void ClearHandOffFile(CQuorvaDlg& agent, const std::wstring& path) {
    TryWhileHeld(agent, [&] {
        return agent.os.files.DeleteFile(path) || agent.os.profile.WriteSection(L"Process Details", L"", path);
    });
}

bool WriteHandOffKey(CQuorvaDlg& agent, const wchar_t* key, const std::wstring& value,
                     const std::wstring& path) {
    return TryWhileHeld(agent, [&] { return agent.os.profile.WriteString(L"Process Details", key, value, path); });
}

bool HandOffRequestInFile(CQuorvaDlg& agent, const std::wstring& path) {
    for (const wchar_t* key : {L"Process Name", L"Process Arguments"})
        if (agent.os.profile.GetString(L"Process Details", key, L"", 1024, path).empty()) return false;
    return true;
}
