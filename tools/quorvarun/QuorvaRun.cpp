// Stand-in script deployer (quorvarun.exe). It does what the agent relies on
// from the real deployer and nothing more: it takes the event arguments
// ("Logon<<>>user", "Logoff<<>>user", "shutdown<<>>user"), finds that event's
// template under the install folder and "runs" the script by staying alive
// for the number of seconds the template states (seconds="N"), then exits.
// Everything it does goes to the journal, so a test can tell which script
// ran, for whom, and when it ended.
#include <windows.h>
#include <shellapi.h>
#include <string>
#include "tools/common/Journal.h"

namespace {

const wchar_t kWho[] = L"quorvarun.exe";

// The template pattern for an event word, or empty for a word it does not know.
std::wstring PatternFor(const std::wstring& arguments) {
    size_t cut = arguments.find(L"<<>>");
    std::wstring word = arguments.substr(0, cut == std::wstring::npos ? arguments.size() : cut);
    if (lstrcmpiW(word.c_str(), L"Logon") == 0) return L"*_Logon.xml";
    if (lstrcmpiW(word.c_str(), L"Logoff") == 0) return L"*_Logoff.xml";
    if (lstrcmpiW(word.c_str(), L"shutdown") == 0) return L"*_Shutdown.xml";
    return std::wstring();
}

// The run time the template states: the first seconds="N" (or 'N') in it;
// 0 when there is none. Capped so a broken template cannot hold a test for long.
DWORD SecondsIn(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    char buffer[8192];
    DWORD read = 0;
    ReadFile(file, buffer, sizeof(buffer) - 1, &read, nullptr);
    CloseHandle(file);
    std::string text(buffer, read);
    size_t at = text.find("seconds=");
    if (at == std::string::npos) return 0;
    at += 8;
    if (at < text.size() && (text[at] == '"' || text[at] == '\'')) ++at;
    DWORD seconds = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && seconds < 100000)
        seconds = seconds * 10 + (text[at++] - '0');
    return seconds > 3600 ? 3600 : seconds;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    std::wstring self = standin::OwnPath();
    std::wstring journal = standin::EnvironmentValue(L"QUORVA_E2E_JOURNAL");
    if (journal.empty()) journal = standin::FolderOf(self) + L"quorvarun.log";

    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    std::wstring arguments;
    for (int i = 1; argv && i < count; ++i) arguments += (i > 1 ? L" " : L"") + std::wstring(argv[i]);
    if (argv) LocalFree(argv);

    std::wstring pid = std::to_wstring(GetCurrentProcessId());
    standin::Append(journal, kWho, L"start pid=" + pid + L" args=" + arguments);

    // The deployer lives in <install>\QVRT\, the templates in <install>\QVRT\Trigger\.
    std::wstring pattern = PatternFor(arguments);
    std::wstring trigger = standin::FolderOf(self) + L"Trigger\\";
    WIN32_FIND_DATAW found;
    HANDLE search = pattern.empty() ? INVALID_HANDLE_VALUE
                                    : FindFirstFileW((trigger + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        standin::Append(journal, kWho, L"no template pid=" + pid + L" pattern=" + pattern);
        standin::Append(journal, kWho, L"end pid=" + pid + L" exit=2");
        return 2;
    }
    FindClose(search);
    DWORD seconds = SecondsIn(trigger + found.cFileName);
    standin::Append(journal, kWho,
                    L"template pid=" + pid + L" file=" + found.cFileName + L" seconds=" + std::to_wstring(seconds));
    Sleep(seconds * 1000);
    standin::Append(journal, kWho, L"end pid=" + pid + L" exit=0");
    return 0;
}
