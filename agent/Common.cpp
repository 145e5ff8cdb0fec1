// Helpers every part of the agent shares.
#include "agent/Common.h"

namespace {

// ASCII and Latin-1 letters; other characters compare as they are.
wchar_t FoldCase(wchar_t c) {
    if (c >= L'A' && c <= L'Z') return static_cast<wchar_t>(c + (L'a' - L'A'));
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<wchar_t>(c + 0x20);
    return c;
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
