// The agent window's message routing: what reaches the handlers, what waits
// for the end of the start-up, and the steps that keep the window hidden and
// without a taskbar button.
#include <optional>
#include "agent/Common.h"
#include "agent/QuorvaDlg.h"
#include "sessionend/SessionEnd.h"

using platform::FALSE_;
using platform::MessageResult;
using platform::TRUE_;
namespace wm = platform::wm;

MessageResult CQuorvaDlg::WindowProc(std::uint32_t message, std::uintptr_t wParam,
                                     std::intptr_t lParam) {
    if (m_bInStartUp && (message == wm::QueryEndSession || message == wm::EndSession))
        return DeferMessage(message, wParam, lParam);
    // The kind of a session end is recorded before its handler runs, so the
    // handler (and a nested handling) sees the latest request.
    if (message == wm::QueryEndSession) ClassifyQueryEndSession(lParam);
    return DefaultWindowProc(message, wParam, lParam);
}

MessageResult CQuorvaDlg::DeferMessage(std::uint32_t message, std::uintptr_t wParam,
                                       std::intptr_t lParam) {
    // Nothing is logged here: the log and data paths do not exist yet. The
    // message is handled as soon as the start-up is over; a WM_ENDSESSION
    // waits with the request it ends, so that an installer's confirmed close
    // still ends the agent.
    if (message == wm::EndSession) {
        m_deferredMessages.push_back({message, wParam, lParam, false});
        return {true, 0};
    }
    // A copy that will stay resident holds the session end back, as it would
    // after the start-up, and issues it again once the script has run. An
    // ordinary copy never handles a session end, so it lets it go on; so does
    // an installer's close request.
    const bool closeRequest = (static_cast<std::uint32_t>(lParam) & platform::EndSessionLogoff) == 0 &&
                              (static_cast<std::uint32_t>(lParam) & platform::EndSessionCloseApp) != 0;
    const bool held = (m_bSetupMode || IsSystemAccount(*this)) && !closeRequest;
    m_deferredMessages.push_back({message, wParam, lParam, held});
    return {true, held ? FALSE_ : TRUE_};
}

void CQuorvaDlg::HandleDeferredMessages(bool startUpEnded) {
    std::vector<DeferredMessage> messages;
    messages.swap(m_deferredMessages);
    // Windows was told to wait for a held request; one the agent then will
    // not issue itself must not stay refused, so it is issued here.
    std::optional<std::intptr_t> undone;
    const char* why = "Start-up ended";
    const DeferredMessage* lastHeld = nullptr;
    for (const DeferredMessage& deferred : messages)
        if (deferred.held) lastHeld = &deferred;
    for (const DeferredMessage& deferred : messages) {
        if (startUpEnded) {
            if (deferred.held) undone = deferred.lParam;
            continue;
        }
        if (m_bEnded) {
            // The copy ended before it came to the request it holds (an
            // installer's close, confirmed first): it is still owed.
            if (&deferred == lastHeld) {
                undone = deferred.lParam;
                why = "Ended before handling it";
            }
            continue;
        }
        // A held request that a later one followed was cancelled by Windows
        // when it was answered 0; the later one says what is wanted now.
        if (deferred.held && &deferred != lastHeld) continue;
        const MessageResult answer = WindowProc(deferred.message, deferred.wParam, deferred.lParam);
        if (deferred.held && answer.result != FALSE_) {
            undone = deferred.lParam;
            why = m_uICountForOnce != 0 ? "Script run" : "Script not run";
        }
    }
    if (undone) sessionend::IssueHeldSessionEnd(*this, *undone, why);
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
