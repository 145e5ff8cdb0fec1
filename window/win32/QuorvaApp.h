// The application object: what the framework's application class does at
// start, for a program whose whole life is one modal dialog.
#pragma once
#include "platform/win32/WinHeaders.h"

namespace win32 {

// Dialog template and icon of the agent window (resource.h of the .rc).
constexpr int kAgentDialogTemplate = 102;
constexpr int kAgentIcon = 128;

class CQuorvaApp {
public:
    CQuorvaApp() = default;
    CQuorvaApp(const CQuorvaApp&) = delete;
    CQuorvaApp& operator=(const CQuorvaApp&) = delete;

    // Runs the program: InitInstance, and since that answers FALSE the
    // application ends at once. The process's exit code.
    int Run(HINSTANCE instance);

    // Steps 1 to 7 of the start. Always FALSE: there is no message loop of
    // the application's own.
    BOOL InitInstance();

    // The application's settings key name; nothing is read or written there.
    void SetRegistryKey(const wchar_t* company) { registryKey_ = company; }

private:
    HWND CreateOwnerWindow();

    HINSTANCE instance_ = nullptr;
    const wchar_t* registryKey_ = nullptr;
    int exitCode_ = 0;
};

}  // namespace win32
