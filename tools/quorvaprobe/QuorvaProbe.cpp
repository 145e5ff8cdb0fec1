// Window probe for the end-to-end tests: looks at another process's windows
// from the outside, as Windows and the shell see them, and sends them the
// messages a session end sends. Output is key=value lines for the harness.
//
//   quorvaprobe list NAME                 processes with that file name
//   quorvaprobe windows PID               every top-level window of PID, hidden ones included
//   quorvaprobe query HWND LPARAM [MS]    WM_QUERYENDSESSION; prints the answer
//   quorvaprobe queryfirst CAPTION LPARAM MS
//                                         waits up to MS for the first top-level window with that
//                                         caption, then sends it WM_QUERYENDSESSION at once
//   quorvaprobe endsession HWND WPARAM [LPARAM]
//   quorvaprobe close HWND                WM_CLOSE
//   quorvaprobe wait PID MS               waits for the process to end
//   quorvaprobe exitwindows FLAGS         ExitWindowsEx(FLAGS, 0) from this process
//   quorvaprobe iconwindow MS             a hidden window with both icons set, for MS ms: a
//                                         reference that tells whether icons can be read
//                                         from another process on this platform
#include <windows.h>
#include <tlhelp32.h>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>
#include "tools/common/Journal.h"

namespace {

void Line(const std::wstring& text) {
    std::string bytes = standin::Utf8(text) + "\n";
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fflush(stdout);
}

std::wstring Hex(ULONG_PTR value) {
    wchar_t buffer[32];
    swprintf(buffer, 32, L"0x%llX", (unsigned long long)value);
    return buffer;
}

ULONG_PTR Number(const wchar_t* text) { return (ULONG_PTR)wcstoull(text, nullptr, 0); }

// A reply that may take minutes: the agent answers WM_QUERYENDSESSION only
// after the script it starts has ended.
const UINT kDefaultTimeoutMs = 600000;

int List(const wchar_t* name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    int count = 0;
    if (snapshot != INVALID_HANDLE_VALUE && Process32FirstW(snapshot, &entry)) {
        do {
            if (lstrcmpiW(entry.szExeFile, name) != 0) continue;
            DWORD session = 0;
            ProcessIdToSessionId(entry.th32ProcessID, &session);
            Line(L"pid=" + std::to_wstring(entry.th32ProcessID) + L" session=" + std::to_wstring(session));
            ++count;
        } while (Process32NextW(snapshot, &entry));
    }
    if (snapshot != INVALID_HANDLE_VALUE) CloseHandle(snapshot);
    Line(L"count=" + std::to_wstring(count));
    return 0;
}

struct WindowSearch {
    DWORD pid;
    std::vector<HWND> found;
};

BOOL CALLBACK Collect(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->pid) search->found.push_back(window);
    return TRUE;
}

ULONG_PTR IconOf(HWND window, WPARAM which) {
    DWORD_PTR icon = 0;
    if (!SendMessageTimeoutW(window, WM_GETICON, which, 0, SMTO_ABORTIFHUNG, 5000, &icon)) return 0;
    return icon;
}

int Windows(DWORD pid) {
    WindowSearch search{pid, {}};
    EnumWindows(Collect, reinterpret_cast<LPARAM>(&search));
    int index = 0;
    for (HWND window : search.found) {
        wchar_t className[256] = {}, caption[512] = {};
        GetClassNameW(window, className, 256);
        GetWindowTextW(window, caption, 512);
        RECT rect = {};
        GetWindowRect(window, &rect);
        Line(L"window=" + std::to_wstring(index++));
        Line(L"hwnd=" + Hex((ULONG_PTR)window));
        Line(L"class=" + std::wstring(className));
        Line(L"caption=" + std::wstring(caption));
        Line(L"visible=" + std::to_wstring(IsWindowVisible(window) ? 1 : 0));
        Line(L"style=" + Hex((DWORD)GetWindowLongPtrW(window, GWL_STYLE)));
        Line(L"exstyle=" + Hex((DWORD)GetWindowLongPtrW(window, GWL_EXSTYLE)));
        Line(L"width=" + std::to_wstring(rect.right - rect.left));
        Line(L"height=" + std::to_wstring(rect.bottom - rect.top));
        Line(L"owner=" + Hex((ULONG_PTR)GetWindow(window, GW_OWNER)));
        Line(L"bigicon=" + std::to_wstring(IconOf(window, ICON_BIG) ? 1 : 0));
        Line(L"smallicon=" + std::to_wstring(IconOf(window, ICON_SMALL) ? 1 : 0));
        Line(L"classicon=" + std::to_wstring(GetClassLongPtrW(window, GCLP_HICON) ? 1 : 0));
    }
    Line(L"count=" + std::to_wstring(search.found.size()));
    return 0;
}

int Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT timeoutMs) {
    DWORD_PTR answer = 0;
    SetLastError(0);
    LRESULT sent = SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, timeoutMs, &answer);
    if (!sent) {
        DWORD error = GetLastError();
        Line(L"sent=0");
        Line(L"error=" + std::to_wstring(error));
        return 1;
    }
    Line(L"sent=1");
    Line(L"answer=" + std::to_wstring((long long)answer));
    return 0;
}

// A request that must reach the agent while its start-up still runs: the
// window exists from the start-up's first moment, and a harness that first
// looks for it with programs of its own may come too late on a busy machine.
// This process is ready before the agent starts ("waiting=1") and sends
// within milliseconds of the window's creation.
int QueryFirst(const wchar_t* caption, LPARAM lParam, DWORD waitMs) {
    Line(L"waiting=1");
    const DWORD start = GetTickCount();
    HWND window = nullptr;
    while ((window = FindWindowW(nullptr, caption)) == nullptr) {
        if (GetTickCount() - start >= waitMs) {
            Line(L"sent=0");
            Line(L"error=no window captioned " + std::wstring(caption));
            return 1;
        }
        Sleep(5);
    }
    Line(L"hwnd=" + Hex((ULONG_PTR)window));
    return Send(window, WM_QUERYENDSESSION, 0, lParam, kDefaultTimeoutMs);
}

int Wait(DWORD pid, DWORD timeoutMs) {
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
    if (!process) {
        Line(L"exited=1");
        Line(L"found=0");
        return 0;
    }
    DWORD result = WaitForSingleObject(process, timeoutMs);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    Line(L"exited=" + std::to_wstring(result == WAIT_OBJECT_0 ? 1 : 0));
    if (result == WAIT_OBJECT_0) Line(L"code=" + std::to_wstring(code));
    return result == WAIT_OBJECT_0 ? 0 : 1;
}

int IconWindow(DWORD lifetimeMs) {
    HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, L"STATIC", L"quorvaprobe reference", WS_POPUP, 0, 0, 0, 0,
                                  nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    HICON icon = LoadIconW(nullptr, (LPCWSTR)IDI_APPLICATION);
    SendMessageW(window, WM_SETICON, ICON_BIG, (LPARAM)icon);
    SendMessageW(window, WM_SETICON, ICON_SMALL, (LPARAM)icon);
    Line(L"hwnd=" + Hex((ULONG_PTR)window));
    Line(L"bigicon=" + std::to_wstring(IconOf(window, ICON_BIG) ? 1 : 0));
    DWORD start = GetTickCount();
    while (GetTickCount() - start < lifetimeMs) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
    DestroyWindow(window);
    return 0;
}

int Usage() {
    Line(L"error=usage: list NAME | windows PID | query HWND LPARAM [MS] | queryfirst CAPTION LPARAM MS"
         L" | endsession HWND WPARAM [LPARAM]"
         L" | close HWND | wait PID MS | exitwindows FLAGS | iconwindow MS");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return Usage();
    std::wstring command = argv[1];
    if (command == L"list") return List(argv[2]);
    if (command == L"windows") return Windows((DWORD)Number(argv[2]));
    if (command == L"query" && argc >= 4)
        return Send((HWND)Number(argv[2]), WM_QUERYENDSESSION, 0, (LPARAM)Number(argv[3]),
                    argc >= 5 ? (UINT)Number(argv[4]) : kDefaultTimeoutMs);
    if (command == L"queryfirst" && argc >= 5)
        return QueryFirst(argv[2], (LPARAM)Number(argv[3]), (DWORD)Number(argv[4]));
    if (command == L"endsession" && argc >= 4)
        return Send((HWND)Number(argv[2]), WM_ENDSESSION, (WPARAM)Number(argv[3]),
                    argc >= 5 ? (LPARAM)Number(argv[4]) : 0, kDefaultTimeoutMs);
    if (command == L"close") return Send((HWND)Number(argv[2]), WM_CLOSE, 0, 0, 30000);
    if (command == L"wait" && argc >= 4) return Wait((DWORD)Number(argv[2]), (DWORD)Number(argv[3]));
    if (command == L"iconwindow") return IconWindow((DWORD)Number(argv[2]));
    if (command == L"exitwindows") {
        BOOL result = ExitWindowsEx((UINT)Number(argv[2]), 0);
        Line(L"result=" + std::to_wstring(result ? 1 : 0));
        return result ? 0 : 1;
    }
    return Usage();
}
