// Stand-in resident service (quorvahost.exe) for tests and demonstrations.
// It honours the two files the agent shares with the service:
//  - the hand-off files <CommonAppData>\Vorlan\QVRT\quorvaProcDetails_*.ini:
//    a request ("Process Name" and "Process Arguments", neither "Proc ID" nor
//    "Err_Desc") starts the deployer and is answered with "Proc ID", or with
//    "Err_Desc" when the start fails or the request is refused;
//  - the task-kill file quorvaShutTaskKill.ini in the same folder: the process
//    that [Task_To_Kill] Proc_ID names is ended and the file is deleted.
// The hand-off file is writable by every user, so it starts nothing but the
// deployer of this installation (InstallationPath in HKLM\SOFTWARE\VORLAN,
// then QVRT\quorvarun.exe): a service that started whatever the file names
// would lend its rights to every user of the machine.
//
// Options: --journal FILE, --delay-ms N (answer late), --error TEXT (answer
// every request with this error), --no-answer, --keep-taskkill (never delete
// the task-kill file), --poll-ms N, --stop-file FILE (ends when it appears).
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <map>
#include <set>
#include <string>
#include "tools/common/Journal.h"

namespace {

const wchar_t kWho[] = L"quorvahost.exe";
const wchar_t kSection[] = L"Process Details";
const wchar_t kAbsent[] = L"\x01<absent>";

struct Options {
    std::wstring journal;
    std::wstring stopFile = L"C:\\quorva-e2e\\quorvahost.stop";
    DWORD delayMs = 0;
    DWORD pollMs = 200;
    bool answerWithError = false;
    std::wstring errorText;
    bool noAnswer = false;
    bool keepTaskKill = false;
};

Options g_options;

void Journal(const std::wstring& text) { standin::Append(g_options.journal, kWho, text); }

// An INI value, or kAbsent when the key is not there (an empty value is not absent).
std::wstring ReadValue(const std::wstring& file, const wchar_t* section, const wchar_t* key) {
    wchar_t buffer[4096];
    GetPrivateProfileStringW(section, key, kAbsent, buffer, 4096, file.c_str());
    return buffer;
}

bool Present(const std::wstring& value) { return value != kAbsent; }

std::wstring InstallationPath() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VORLAN", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::wstring();
    wchar_t buffer[2048] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t), type = 0;
    LONG result = RegQueryValueExW(key, L"InstallationPath", nullptr, &type, (BYTE*)buffer, &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::wstring();
    return buffer;
}

// The only program a request may start; empty when no installation is registered.
std::wstring AllowedDeployer() {
    std::wstring install = InstallationPath();
    while (!install.empty() && (install.back() == L'\\' || install.back() == L'/')) install.pop_back();
    return install.empty() ? std::wstring() : install + L"\\QVRT\\quorvarun.exe";
}

void Answer(const std::wstring& file, const wchar_t* key, const std::wstring& value) {
    WritePrivateProfileStringW(kSection, key, value.c_str(), file.c_str());
    Journal(L"answer file=" + file.substr(standin::FolderOf(file).size()) + L" " + key + L"=" + value);
}

void TakeRequest(const std::wstring& file, const std::wstring& name, const std::wstring& arguments) {
    if (g_options.answerWithError) {
        Answer(file, L"Err_Desc", g_options.errorText);
        return;
    }
    std::wstring allowed = AllowedDeployer();
    if (allowed.empty() || lstrcmpiW(allowed.c_str(), name.c_str()) != 0) {
        Journal(L"refused name=" + name + L" allowed=" + allowed);
        Answer(file, L"Err_Desc", L"The service starts only the deployer of this installation");
        return;
    }
    std::wstring commandLine = L"\"" + name + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(name.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        standin::FolderOf(name).c_str(), &startup, &process)) {
        DWORD error = GetLastError();
        Journal(L"start failed error=" + std::to_wstring(error));
        Answer(file, L"Err_Desc", standin::SystemMessage(error));
        return;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    Journal(L"started pid=" + std::to_wstring(process.dwProcessId) + L" cmdline=" + commandLine);
    Answer(file, L"Proc ID", std::to_wstring(process.dwProcessId));
}

// Hand-off files seen with an open request, and when the request was first seen.
std::map<std::wstring, DWORD> g_pending;
std::set<std::wstring> g_ignored;
// Hand-off files answered and not yet seen emptied. The agent deletes the file
// and creates it again as soon as it has read the answer, and while the file
// is missing Wine's profile functions answer from their cache: the file can
// then read once more like the request it held, and a second deployer would
// start and its "Proc ID" land in the emptied file. A file answered counts as
// a request again once it has been seen without "Process Name", or when it
// holds other arguments (another copy of the agent wrote its request before
// the emptied file was seen). By file, the arguments answered.
std::map<std::wstring, std::wstring> g_answered;

void PollHandOffFiles(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"quorvaProcDetails_*.ini").c_str(), &found);
    std::set<std::wstring> seen;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring file = folder + found.cFileName;
            std::wstring name = ReadValue(file, kSection, L"Process Name");
            std::wstring arguments = ReadValue(file, kSection, L"Process Arguments");
            if (!Present(name)) g_answered.erase(file);
            bool request = Present(name) && Present(arguments) &&
                           !Present(ReadValue(file, kSection, L"Proc ID")) &&
                           !Present(ReadValue(file, kSection, L"Err_Desc"));
            const auto answered = g_answered.find(file);
            if (!request || (answered != g_answered.end() && answered->second == arguments)) continue;
            g_answered.erase(file);
            seen.insert(file);
            DWORD now = GetTickCount();
            if (!g_pending.count(file)) {
                g_pending[file] = now;
                Journal(L"request file=" + std::wstring(found.cFileName) + L" name=" + name + L" args=" + arguments);
            }
            if (g_options.noAnswer) continue;
            if (now - g_pending[file] < g_options.delayMs) continue;
            g_pending.erase(file);
            seen.erase(file);
            TakeRequest(file, name, arguments);
            g_answered[file] = arguments;
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    for (auto it = g_pending.begin(); it != g_pending.end();)
        it = seen.count(it->first) ? std::next(it) : g_pending.erase(it);
}

std::set<std::wstring> g_keptRequests;

void PollTaskKillFile(const std::wstring& folder) {
    std::wstring file = folder + L"quorvaShutTaskKill.ini";
    if (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
        g_keptRequests.clear();
        return;
    }
    // The agent empties the section before it writes the key: wait for the key.
    std::wstring id = ReadValue(file, L"Task_To_Kill", L"Proc_ID");
    if (!Present(id)) return;
    if (g_options.keepTaskKill && g_keptRequests.count(id)) return;

    bool digits = !id.empty() && id.find_first_not_of(L"0123456789") == std::wstring::npos;
    std::wstring outcome = L"nothing to end";
    if (digits) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, (DWORD)_wtoi64(id.c_str()));
        if (!process) outcome = L"no such process";
        else {
            outcome = TerminateProcess(process, 1) ? L"ended" : L"could not end";
            CloseHandle(process);
        }
    }
    Journal(L"task-kill Proc_ID=" + id + L" " + outcome);
    if (g_options.keepTaskKill) {
        g_keptRequests.insert(id);
        Journal(L"task-kill file kept");
    } else {
        DeleteFileW(file.c_str());
        Journal(L"task-kill file deleted");
    }
}

bool ParseOptions() {
    g_options.journal = standin::EnvironmentValue(L"QUORVA_E2E_JOURNAL");
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!argv) return false;
    bool ok = true;
    for (int i = 1; i < count; ++i) {
        std::wstring option = argv[i];
        bool hasValue = i + 1 < count;
        if (option == L"--journal" && hasValue) g_options.journal = argv[++i];
        else if (option == L"--stop-file" && hasValue) g_options.stopFile = argv[++i];
        else if (option == L"--delay-ms" && hasValue) g_options.delayMs = (DWORD)_wtoi(argv[++i]);
        else if (option == L"--poll-ms" && hasValue) g_options.pollMs = (DWORD)_wtoi(argv[++i]);
        else if (option == L"--error" && hasValue) {
            g_options.answerWithError = true;
            g_options.errorText = argv[++i];
        } else if (option == L"--no-answer") g_options.noAnswer = true;
        else if (option == L"--keep-taskkill") g_options.keepTaskKill = true;
        else ok = false;
    }
    LocalFree(argv);
    if (g_options.pollMs == 0) g_options.pollMs = 200;
    return ok;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    if (!ParseOptions()) return 2;
    wchar_t common[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common);
    std::wstring folder = std::wstring(common) + L"\\Vorlan\\QVRT\\";
    Journal(L"running pid=" + std::to_wstring(GetCurrentProcessId()) + L" folder=" + folder);
    for (;;) {
        if (GetFileAttributesW(g_options.stopFile.c_str()) != INVALID_FILE_ATTRIBUTES) {
            DeleteFileW(g_options.stopFile.c_str());
            Journal(L"stopping");
            return 0;
        }
        PollHandOffFiles(folder);
        PollTaskKillFile(folder);
        Sleep(g_options.pollMs);
    }
}
