#include "window/win32/QuorvaApp.h"
#include <commctrl.h>
#include <optional>
#include "window/FatalFailure.h"
#include "agent/QuorvaDlg.h"
#include "window/win32/ModalDialog.h"
#include "platform/win32/ScopedHandle.h"
#include "platform/win32/Win32Platform.h"

namespace win32 {

namespace {
constexpr wchar_t kOwnerClass[] = L"QuorvaOwnerWindow";
}  // namespace

int CQuorvaApp::Run(HINSTANCE instance) {
    instance_ = instance;
    InitInstance();
    return exitCode_;
}

BOOL CQuorvaApp::InitInstance() {
    // 1. The common controls of the Windows 95 set.
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_WIN95_CLASSES;
    ::InitCommonControlsEx(&controls);

    // 2. The base start has nothing to do: restart-manager support is off.
    // 3. Settings key: only named, never opened.
    SetRegistryKey(L"Local AppWizard-Generated Applications");

    // 4. The invisible owner of the agent window.
    ScopedWindow owner(CreateOwnerWindow());

    // 5. The agent window, run modally for the life of the process.
    // <memory> is not used in this layer: with MinGW-w64 GCC 13 and later it
    // pulls in the win32 thread model's condition variables, which exist only
    // for a Vista target, and the agent is built for Windows XP.
    {
        std::optional<Win32Platform> machine(std::in_place);
        std::optional<CQuorvaDlg> dialog(std::in_place, machine->os());
        SetFatalFailureAgent(&*dialog);
        HICON icon = ::LoadIconW(instance_, MAKEINTRESOURCEW(kAgentIcon));
        dialog->m_hIcon = ToHandle(icon);
        machine->shell.Attach(nullptr, icon, nullptr);
        ModalDialog run(*dialog, machine->shell, instance_, icon);
        run.DoModal(kAgentDialogTemplate, owner.Get());

        // 6. The dialog object first, then the owner window.
        SetFatalFailureAgent(nullptr);
        dialog.reset();
    }
    owner.Reset();

    // 7. No message loop of our own.
    return FALSE;
}

HWND CQuorvaApp::CreateOwnerWindow() {
    WNDCLASSW windowClass{};
    windowClass.style = 0;
    windowClass.lpfnWndProc = ::DefWindowProcW;
    windowClass.hInstance = instance_;
    windowClass.lpszClassName = kOwnerClass;
    ::RegisterClassW(&windowClass);
    return ::CreateWindowExW(0, kOwnerClass, L"x", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                             instance_, nullptr);
}

}  // namespace win32
