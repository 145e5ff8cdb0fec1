// Recording stand-in for a system program (built as shutdown.exe and as
// wineboot.exe). In the test machine it replaces the real program, so a test
// sees which session end the agent asked for while the machine keeps running.
// It appends its own file name and its arguments to the journal and exits 0.
#include <windows.h>
#include "tools/common/Journal.h"

// The arguments: the command line after the program's own token, which may be
// quoted and may hold blanks inside the quotes.
static std::wstring ArgumentsOf(const wchar_t* commandLine) {
    const wchar_t* p = commandLine;
    while (*p == L' ' || *p == L'\t') ++p;
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"') ++p;
        if (*p == L'"') ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    std::wstring journal = standin::EnvironmentValue(L"QUORVA_E2E_JOURNAL");
    if (journal.empty()) {
        CreateDirectoryW(L"C:\\quorva-e2e", nullptr);
        journal = L"C:\\quorva-e2e\\commands.log";
    }
    std::wstring self = standin::OwnPath();
    std::wstring name = self.substr(standin::FolderOf(self).size());
    CharLowerBuffW(&name[0], (DWORD)name.size());
    standin::Append(journal, name.c_str(), ArgumentsOf(GetCommandLineW()));
    return 0;
}
