// The dialog framework against real windows (run under Wine): how a message
// reaches the agent, what the agent's answer does, and how a modal run ends.
#include "platform/win32/WinHeaders.h"
#include <gtest/gtest.h>
#include <functional>
#include <vector>
#include "agent/QuorvaDlg.h"
#include "window/win32/ModalDialog.h"
#include "window/win32/QuorvaApp.h"
#include "platform/win32/ScopedHandle.h"
#include "platform/win32/Win32Platform.h"

using platform::FALSE_;
using platform::TRUE_;
using platform::MessageResult;

namespace {

constexpr UINT kPoke = WM_APP + 1;

// The agent window with its handlers replaced by recorders.
class RecordingDlg : public CQuorvaDlg {
public:
    using CQuorvaDlg::CQuorvaDlg;

    std::function<BOOL(RecordingDlg&)> onInit;
    std::function<MessageResult(RecordingDlg&, UINT, WPARAM, LPARAM)> onMessage;

    std::vector<UINT> routed;
    int initCalls = 0;
    int preTranslated = 0;
    int okCalls = 0;

    HWND Window() { return win32::FromHandle<HWND>(os.shell.WindowHandle()); }

    BOOL OnInitDialog() override {
        ++initCalls;
        return onInit ? onInit(*this) : TRUE_;
    }
    MessageResult WindowProc(std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) override {
        routed.push_back(message);
        if (onMessage) return onMessage(*this, message, wParam, lParam);
        return {};
    }
    void PreTranslateMessage() override { ++preTranslated; }
    void OnOK() override {
        ++okCalls;
        os.shell.EndDialogOk();
    }
    bool Routed(UINT message) const {
        for (UINT m : routed)
            if (m == message) return true;
        return false;
    }
};

class ModalDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        instance_ = ::GetModuleHandleW(nullptr);
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = ::DefWindowProcW;
        windowClass.hInstance = instance_;
        windowClass.lpszClassName = L"ModalDialogTestOwner";
        ::RegisterClassW(&windowClass);
        owner_.Reset(::CreateWindowExW(0, L"ModalDialogTestOwner", L"x", WS_POPUP, 0, 0, 0, 0,
                                       nullptr, nullptr, instance_, nullptr));
        ASSERT_TRUE(owner_.IsValid());
        icon_ = ::LoadIconW(instance_, MAKEINTRESOURCEW(win32::kAgentIcon));
        dialog_ = std::make_unique<RecordingDlg>(machine_.os());
        dialog_->m_hIcon = win32::ToHandle(icon_);
        machine_.shell.Attach(nullptr, icon_, nullptr);
    }

    void TearDown() override {
        // Whatever a test left in the thread's queue (the agent's WM_QUIT)
        // must not end the next test's run.
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
    }

    // A run that does not end within 20 s is ended from outside with WM_QUIT,
    // so that a broken end fails its test instead of hanging the suite.
    struct Watch {
        DWORD thread;
        HANDLE done;
    };

    // A thread procedure of its own, not a lambda: on x86 it must be WINAPI
    // (stdcall), which a lambda's conversion to a function pointer is not.
    static DWORD WINAPI Watchdog(void* parameter) {
        auto* w = static_cast<Watch*>(parameter);
        if (::WaitForSingleObject(w->done, 20000) == WAIT_TIMEOUT) ::PostThreadMessageW(w->thread, WM_QUIT, 99, 0);
        return 0;
    }

    INT_PTR RunModal() {
        Watch watch{::GetCurrentThreadId(), ::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        HANDLE watchdog = ::CreateThread(nullptr, 0, Watchdog, &watch, 0, nullptr);
        win32::ModalDialog run(*dialog_, machine_.shell, instance_, icon_);
        const INT_PTR result = run.DoModal(win32::kAgentDialogTemplate, owner_.Get());
        window_ = run.Window();
        ::SetEvent(watch.done);
        ::WaitForSingleObject(watchdog, INFINITE);
        ::CloseHandle(watchdog);
        ::CloseHandle(watch.done);
        return result;
    }

    static bool QuitIsQueued(int* code) {
        MSG message;
        if (!::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) return false;
        *code = static_cast<int>(message.wParam);
        return true;
    }

    win32::Win32Platform machine_;
    HINSTANCE instance_ = nullptr;
    HICON icon_ = nullptr;
    win32::ScopedWindow owner_;
    std::unique_ptr<RecordingDlg> dialog_;
    HWND window_ = nullptr;
};

TEST_F(ModalDialogTest, WindowFromTemplate102IsOwnedHiddenAndKnownToTheShellAtInit) {
    HWND seenWindow = nullptr, seenParent = nullptr;
    LONG_PTR style = 0, exStyle = 0;
    BOOL ownerEnabled = TRUE;
    dialog_->onInit = [&](RecordingDlg& dlg) {
        seenWindow = dlg.Window();
        seenParent = win32::FromHandle<HWND>(dlg.os.shell.GetParent());
        style = ::GetWindowLongPtrW(seenWindow, GWL_STYLE);
        exStyle = ::GetWindowLongPtrW(seenWindow, GWL_EXSTYLE);
        ownerEnabled = ::IsWindowEnabled(owner_.Get());
        dlg.EndAgent();
        return FALSE_;
    };
    RunModal();

    ASSERT_NE(seenWindow, nullptr);
    EXPECT_EQ(seenParent, owner_.Get());
    EXPECT_EQ(style & WS_VISIBLE, 0) << "the template is not WS_VISIBLE";
    EXPECT_EQ(style & WS_SYSMENU, 0);
    EXPECT_EQ(style & (WS_POPUP | WS_CAPTION), WS_POPUP | WS_CAPTION);
    EXPECT_EQ(exStyle & WS_EX_APPWINDOW, WS_EX_APPWINDOW);
    EXPECT_FALSE(ownerEnabled) << "the owner is disabled while the dialog runs";
    EXPECT_TRUE(::IsWindowEnabled(owner_.Get())) << "and enabled again afterwards";
    EXPECT_FALSE(::IsWindow(seenWindow)) << "the run destroys its window";
    EXPECT_EQ(dialog_->os.shell.WindowHandle(), 0u) << "the shell forgets the destroyed window";
}

TEST_F(ModalDialogTest, EndAgentDuringInitEndsWithOkBeforeAnyLoopWorkAndLeavesTheQuit) {
    dialog_->onInit = [](RecordingDlg& dlg) {
        dlg.EndAgent();
        return FALSE_;
    };
    EXPECT_EQ(RunModal(), IDOK);
    EXPECT_EQ(dialog_->initCalls, 1);
    EXPECT_EQ(dialog_->okCalls, 1);
    EXPECT_EQ(dialog_->preTranslated, 0) << "the loop never ran";
    int code = -1;
    EXPECT_TRUE(QuitIsQueued(&code));
    EXPECT_EQ(code, 0);
}

TEST_F(ModalDialogTest, CloseIsRoutedThenCancelsTheRun) {
    dialog_->onInit = [](RecordingDlg& dlg) {
        ::PostMessageW(dlg.Window(), WM_CLOSE, 0, 0);
        return TRUE_;
    };
    EXPECT_EQ(RunModal(), IDCANCEL);
    EXPECT_TRUE(dialog_->Routed(WM_CLOSE)) << "the agent sees WM_CLOSE first";
    EXPECT_TRUE(dialog_->Routed(WM_COMMAND)) << "the default handling turns it into IDCANCEL";
    EXPECT_EQ(dialog_->okCalls, 0);
    EXPECT_GE(dialog_->preTranslated, 1) << "every message of the loop passes the hook";
}

TEST_F(ModalDialogTest, CommandOkGoesThroughTheAgentsOnOk) {
    dialog_->onInit = [](RecordingDlg& dlg) {
        ::PostMessageW(dlg.Window(), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        return TRUE_;
    };
    EXPECT_EQ(RunModal(), IDOK);
    EXPECT_EQ(dialog_->okCalls, 1);
}

TEST_F(ModalDialogTest, HandledAnswerReachesTheSenderAndUnhandledGetsTheDefault) {
    LRESULT handledAnswer = -1, defaultAnswer = -1;
    dialog_->onInit = [](RecordingDlg& dlg) {
        ::PostMessageW(dlg.Window(), kPoke, 0, 0);
        return TRUE_;
    };
    dialog_->onMessage = [&](RecordingDlg& dlg, UINT message, WPARAM, LPARAM lParam) {
        if (message == WM_QUERYENDSESSION)
            return lParam == 1 ? MessageResult{true, 0} : MessageResult{};
        if (message == kPoke) {
            handledAnswer = ::SendMessageW(dlg.Window(), WM_QUERYENDSESSION, 0, 1);
            defaultAnswer = ::SendMessageW(dlg.Window(), WM_QUERYENDSESSION, 0, 2);
            dlg.EndAgent();
            return MessageResult{true, 0};
        }
        return MessageResult{};
    };
    EXPECT_EQ(RunModal(), IDOK);
    EXPECT_EQ(handledAnswer, 0) << "the agent's 0 holds the session end back";
    EXPECT_EQ(defaultAnswer, TRUE) << "unhandled, the default answer lets it go";
}

TEST_F(ModalDialogTest, NothingIsRoutedAfterTheAgentEndedItself) {
    LRESULT answerAfterEnd = -1;
    std::size_t routedAtEnd = 0;
    dialog_->onInit = [](RecordingDlg& dlg) {
        ::PostMessageW(dlg.Window(), kPoke, 0, 0);
        return TRUE_;
    };
    dialog_->onMessage = [&](RecordingDlg& dlg, UINT message, WPARAM, LPARAM) {
        if (message == kPoke) {
            dlg.EndAgent();
            routedAtEnd = dlg.routed.size();
            answerAfterEnd = ::SendMessageW(dlg.Window(), WM_QUERYENDSESSION, 0, 0);
            return MessageResult{true, 0};
        }
        return MessageResult{true, 0};
    };
    EXPECT_EQ(RunModal(), IDOK);
    EXPECT_EQ(dialog_->routed.size(), routedAtEnd) << "no handler runs after EndAgent";
    EXPECT_EQ(answerAfterEnd, TRUE);
}

TEST_F(ModalDialogTest, QuitFromElsewhereEndsTheRunAndIsPassedOn) {
    dialog_->onInit = [](RecordingDlg&) {
        ::PostQuitMessage(7);
        return TRUE_;
    };
    EXPECT_EQ(RunModal(), -1) << "no dialog result was set";
    int code = -1;
    EXPECT_TRUE(QuitIsQueued(&code));
    EXPECT_EQ(code, 7);
}

TEST_F(ModalDialogTest, DragIconIsTheAgentsIconWithoutRouting) {
    LRESULT dragIcon = 0;
    dialog_->onInit = [&](RecordingDlg& dlg) {
        dragIcon = ::SendMessageW(dlg.Window(), WM_QUERYDRAGICON, 0, 0);
        dlg.EndAgent();
        return FALSE_;
    };
    RunModal();
    ASSERT_NE(icon_, nullptr) << "icon 128 is in the resources";
    EXPECT_EQ(reinterpret_cast<HICON>(dragIcon), icon_);
    EXPECT_FALSE(dialog_->Routed(WM_QUERYDRAGICON));
}

// The shell's window operations, in the order start-up uses them, leave the
// window as the agent needs it: no taskbar style, nothing to see, and the
// icon set.
TEST_F(ModalDialogTest, HidingStepsThroughTheShellLeaveAToolWindowOfNoSize) {
    LONG_PTR exStyle = 0;
    RECT rect{1, 1, 1, 1};
    BOOL visible = TRUE;
    LRESULT bigIcon = 0, smallIcon = 0;
    bool removed = false, added = false, again = true;
    dialog_->onInit = [&](RecordingDlg& dlg) {
        platform::IShell& shell = dlg.os.shell;
        removed = shell.ModifyStyleEx(platform::WsExAppWindow, 0);
        added = shell.ModifyStyleEx(0, platform::WsExToolWindow);
        again = shell.ModifyStyleEx(0, platform::WsExToolWindow);
        shell.SetWindowPos(shell.GetParent(), 0, 0, 0, 0,
                           platform::SwpNoMove | platform::SwpHideWindow);
        shell.ShowWindow(platform::SwHide);
        shell.SetIcon(platform::IconBig);
        shell.SetIcon(platform::IconSmall);
        exStyle = ::GetWindowLongPtrW(dlg.Window(), GWL_EXSTYLE);
        ::GetWindowRect(dlg.Window(), &rect);
        visible = ::IsWindowVisible(dlg.Window());
        bigIcon = ::SendMessageW(dlg.Window(), WM_GETICON, ICON_BIG, 0);
        smallIcon = ::SendMessageW(dlg.Window(), WM_GETICON, ICON_SMALL, 0);
        dlg.EndAgent();
        return FALSE_;
    };
    RunModal();
    EXPECT_TRUE(removed);
    EXPECT_TRUE(added);
    EXPECT_FALSE(again) << "a change that changes nothing reports false";
    EXPECT_EQ(exStyle & WS_EX_APPWINDOW, 0);
    EXPECT_EQ(exStyle & WS_EX_TOOLWINDOW, WS_EX_TOOLWINDOW);
    EXPECT_EQ(rect.right - rect.left, 0);
    EXPECT_EQ(rect.bottom - rect.top, 0);
    EXPECT_FALSE(visible);
    EXPECT_EQ(reinterpret_cast<HICON>(bigIcon), icon_);
    EXPECT_EQ(reinterpret_cast<HICON>(smallIcon), icon_);
}

TEST_F(ModalDialogTest, TaskbarObjectIsCreatedInEachApartment) {
    bool first = false, second = false;
    dialog_->onInit = [&](RecordingDlg& dlg) {
        platform::IShell& shell = dlg.os.shell;
        shell.CoInitialize();
        first = shell.DeleteTaskbarTab(shell.WindowHandle());
        shell.CoUninitialize();
        shell.CoInitialize();
        second = shell.DeleteTaskbarTab(shell.WindowHandle());
        shell.CoUninitialize();
        dlg.EndAgent();
        return FALSE_;
    };
    RunModal();
    EXPECT_TRUE(first);
    EXPECT_TRUE(second);
}

TEST_F(ModalDialogTest, BlockReasonFunctionsAreFoundInUser32OrReportedMissing) {
    const std::wstring system = machine_.shell.GetSystemDirectory(512);
    ASSERT_FALSE(system.empty());
    const platform::Handle user32 = machine_.shell.LoadLibrary(system + L"\\user32.dll");
    ASSERT_NE(user32, 0u);
    bool found = false;
    machine_.shell.ShutdownBlockReasonDestroy(user32, 0, &found);
    EXPECT_TRUE(found) << "present from Windows Vista on, and in Wine";
    const platform::Handle kernel32 = machine_.shell.LoadLibrary(system + L"\\kernel32.dll");
    found = true;
    EXPECT_FALSE(machine_.shell.ShutdownBlockReasonCreate(kernel32, 0, L"x", &found));
    EXPECT_FALSE(found) << "a module without the function says so";
    found = true;
    EXPECT_FALSE(machine_.shell.ShutdownBlockReasonDestroy(0, 0, &found));
    EXPECT_FALSE(found) << "a library that failed to load has no functions";
    machine_.shell.FreeLibrary(kernel32);
    machine_.shell.FreeLibrary(user32);
}

}  // namespace
