// The agent window: message routing, hiding, the taskbar button and the end.
#include "agent/QuorvaDlg.h"
#include "agent/Common.h"

MessageResult CQuorvaDlg::WindowProc(std::uint32_t message, std::uintptr_t wParam,
                                     std::intptr_t lParam) {
    // The kind of a session end is recorded before its handler runs, so the
    // handler (and a nested handling) sees the latest request.
    if (message == wm::QueryEndSession) ClassifyQueryEndSession(lParam);
    return DefaultWindowProc(message, wParam, lParam);
}

MessageResult CQuorvaDlg::DefaultWindowProc(std::uint32_t message, std::uintptr_t wParam,
                                            std::intptr_t lParam) {
    switch (message) {
        case wm::QueryEndSession:
            return {true, OnQueryEndSession(lParam)};
        case wm::EndSession:
            OnEndSession(wParam != 0 ? TRUE_ : FALSE_);
            return {true, 0};
        default:
            // WM_CLOSE among them: the dialog's default handling cancels the
            // modal run, and the process ends with it.
            return {};
    }
}

void CQuorvaDlg::PreTranslateMessage() { RemoveTaskbarButton(true); }

void CQuorvaDlg::RemoveTaskbarButton(bool uninitialize) {
    auto& shell = os.shell;
    shell.CoInitialize();
    // Without the taskbar object there is nothing more to do for this
    // message; the apartment is still given back.
    shell.DeleteTaskbarTab(shell.WindowHandle());
    if (uninitialize) shell.CoUninitialize();
}

void CQuorvaDlg::HideWindow() {
    auto& shell = os.shell;
    shell.ModifyStyleEx(platform::WsExAppWindow, 0);
    shell.ModifyStyleEx(0, platform::WsExToolWindow);
    shell.SetWindowPos(shell.GetParent(), 0, 0, 0, 0, platform::SwpNoMove | platform::SwpHideWindow);
    shell.ShowWindow(platform::SwHide);
}

void CQuorvaDlg::OnOK() { os.shell.EndDialogOk(); }

void CQuorvaDlg::EndAgent() {
    OnOK();
    os.shell.PostQuitMessage(0);
    m_bEnded = true;
}

bool IsSystemAccount(const CQuorvaDlg& agent) {
    return EqualsNoCase(agent.m_szUserName.str(), L"SYSTEM");
}
