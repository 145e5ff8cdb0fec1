// The agent window's state: every member the agent's operations share. The
// window itself (template 102, the modal run) belongs to the program's dialog
// framework (window/win32). Each operation is defined on the floor where its
// work belongs: the start-up and the message routing in window/, the session
// end in sessionend/, the one way to end in agent/QuorvaDlg.cpp.
#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "platform/Platform.h"
#include "platform/WideBuffer.h"
#include "platform/Window.h"

// Which stored Proc ID a running-script check compares with.
enum class ProcIdVariant { Logon, SessionEnd, Nested };

class CQuorvaDlg {
public:
    explicit CQuorvaDlg(platform::Platform& os) : os(os) {}
    CQuorvaDlg(const CQuorvaDlg&) = delete;
    CQuorvaDlg& operator=(const CQuorvaDlg&) = delete;
    virtual ~CQuorvaDlg() = default;

    platform::Platform& os;

    // ---- agent state, in declaration order ----
    platform::Handle m_hIcon = 0;
    WideBuffer<1024> m_szUserName;
    WideBuffer<1024> m_szScriptProcId;
    WideBuffer<1024> m_szScriptProcId2;
    WideBuffer<1024> m_szScriptProcId3;
    std::wstring m_strDeployerPath;
    WideBuffer<260> m_szCommonAppData;
    std::wstring m_strEventArgs;
    std::wstring m_strScriptImagePath;
    std::wstring m_strInstallDir;
    std::wstring m_strDataDir;
    std::wstring m_strProcDetailsIni;
    std::wstring m_strScriptDataDir;
    platform::BOOL m_bFlagForFirstTimeLogoff = 0;
    platform::BOOL m_bFlagForFirstShutDown = 0;
    platform::BOOL m_bFlagForReissue = 0;
    platform::BOOL m_bSetupMode = 0;
    platform::BOOL m_bLogFailed = 0;
    platform::BOOL m_bFlagForRestart = 0;
    platform::Handle m_hMessageModule = 0;
    std::uint32_t m_uICountForOnce = 0;
    WideBuffer<512> m_szRegId;
    WideBuffer<512> m_szRegType;
    WideBuffer<512> m_szMemberId;
    WideBuffer<512> m_szSiteId;
    WideBuffer<256> m_szEventName;
    platform::BOOL m_bFlagForShutDown = 0;

    // Set once the agent has ended itself (EndAgent); the framework stops
    // routing messages to the handlers after that.
    bool m_bEnded = false;
    // Set when a close request (Restart Manager) was answered with 1; the
    // agent ends on the WM_ENDSESSION that confirms it.
    bool m_bCloseRequested = false;
    // Set when a handling that holds the session end back finds it will not
    // issue it itself (the shutdown privilege is missing, the service or the
    // deployer is gone): the request is then answered 1, so that Windows goes
    // on with its own session end.
    bool m_bLetSessionEndGo = false;
    // Set once an entry of the Application log could not be written: the
    // log file said so, and no further entry is tried.
    bool m_bEventLogFailed = false;
    // The administrator's bound on a session end's waits for the service's
    // answer and for the script, in seconds (0: none); the milliseconds
    // waited so far; set once the bound was reached.
    std::uint32_t m_uScriptWaitLimit = 0;
    std::uint64_t m_uScriptWaitedMs = 0;
    bool m_bScriptWaitLimitReached = false;
    // True while OnInitDialog runs. A session-end message sent meanwhile
    // (delivered while the start-up waits on another process) is answered at
    // once and kept here, to be handled when the start-up has finished.
    bool m_bInStartUp = false;
    struct DeferredMessage {
        std::uint32_t message;
        std::uintptr_t wParam;
        std::intptr_t lParam;
        bool held;  // a WM_QUERYENDSESSION answered 0
    };
    std::vector<DeferredMessage> m_deferredMessages;

    // ---- start-up (window/StartUp.cpp) ----
    virtual platform::BOOL OnInitDialog();
    platform::BOOL StartUp();

    // ---- the window (window/AgentWindow.cpp; OnOK and EndAgent: agent/QuorvaDlg.cpp) ----
    // Every message of the window passes here first (the framework's
    // WindowProc); WM_QUERYENDSESSION is classified before its handler runs.
    virtual platform::MessageResult WindowProc(std::uint32_t message, std::uintptr_t wParam,
                                     std::intptr_t lParam);
    // Run for each message the modal loop offers before it is dispatched.
    virtual void PreTranslateMessage();
    // CDialog::OnOK: ends the modal run with IDOK.
    virtual void OnOK();
    // OnOK, then PostQuitMessage(0): the agent's one way to end itself.
    void EndAgent();
    // Hiding steps 1 to 4 and the taskbar-button removal.
    void HideWindow();
    void RemoveTaskbarButton(bool uninitialize);

    // ---- session end (sessionend/) ----
    void ClassifyQueryEndSession(std::intptr_t lParam);  // WindowProc's part
    platform::BOOL OnQueryEndSession(std::intptr_t lParam);
    void OnEndSession(platform::BOOL ending);
    void functionToForgetShutdown();
    void FunctionToForgetShutDown();
    // Registers the block reason where ShutdownBlockReasonCreate exists, so
    // that it is in place before a session end asks (Interception.cpp).
    void RegisterBlockReason();

private:
    platform::MessageResult DeferMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
    void HandleDeferredMessages(bool startUpEnded);
    platform::MessageResult DefaultWindowProc(std::uint32_t message, std::uintptr_t wParam,
                                    std::intptr_t lParam);
};

// Upper-case "SYSTEM" test of the account name, without regard to case.
bool IsSystemAccount(const CQuorvaDlg& agent);
