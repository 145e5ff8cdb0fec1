#include "window/win32/ModalDialog.h"

namespace win32 {

namespace {
// The run whose window is being created: its dialog procedure meets the
// window before WM_INITDIALOG hands over the creation parameter.
ModalDialog* g_creating = nullptr;
}  // namespace

INT_PTR ModalDialog::DoModal(int templateId, HWND owner) {
    const bool ownerWasEnabled = owner != nullptr && ::IsWindowEnabled(owner);
    if (ownerWasEnabled) ::EnableWindow(owner, FALSE);

    continueModal_ = true;
    result_ = -1;
    g_creating = this;
    HWND window = ::CreateDialogParamW(instance_, MAKEINTRESOURCEW(templateId), owner,
                                       &ModalDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    g_creating = nullptr;

    if (window != nullptr && continueModal_) RunLoop();

    if (ownerWasEnabled) ::EnableWindow(owner, TRUE);
    if (window != nullptr) {
        ::DestroyWindow(window);
        if (window_ == window) window_ = nullptr;
    }
    shell_.Detach();
    continueModal_ = false;
    return result_;
}

void ModalDialog::EndDialog(INT_PTR result) {
    result_ = result;
    continueModal_ = false;
    if (window_ != nullptr) ::EndDialog(window_, result);
}

void ModalDialog::RunLoop() {
    MSG message;
    while (continueModal_) {
        const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
        if (got == -1) break;
        if (got == 0) {
            // Leave the quit for whoever runs the next loop, as a framework
            // does; this run ends with it.
            ::PostQuitMessage(static_cast<int>(message.wParam));
            break;
        }
        if (!dialog_.m_bEnded) dialog_.PreTranslateMessage();
        if (!::IsDialogMessageW(window_, &message)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
}

INT_PTR CALLBACK ModalDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    ModalDialog* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<ModalDialog*>(lParam);
        ::SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    } else {
        self = reinterpret_cast<ModalDialog*>(::GetWindowLongPtrW(window, DWLP_USER));
        if (self == nullptr) self = g_creating;
    }
    if (self == nullptr) return FALSE;
    if (self->window_ == nullptr) {
        self->window_ = window;
        self->shell_.Attach(window, self->icon_, self);
    }
    if (self->window_ != window) return FALSE;
    return self->OnMessage(message, wParam, lParam);
}

INT_PTR ModalDialog::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        return dialog_.OnInitDialog();
    case WM_PAINT:
        return OnPaint() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
        return reinterpret_cast<INT_PTR>(icon_);
    default:
        break;
    }

    // Once the agent has ended itself its handlers are done: whatever still
    // arrives before the window is gone gets the default dialog handling.
    if (!dialog_.m_bEnded) {
        const platform::MessageResult answer = dialog_.WindowProc(message, wParam, lParam);
        if (answer.handled) {
            ::SetWindowLongPtrW(window_, DWLP_MSGRESULT, answer.result);
            return TRUE;
        }
    }

    // The dialog class's own commands: OK through the agent's override,
    // Cancel (also what WM_CLOSE turns into) ends the run.
    if (message == WM_COMMAND) {
        switch (LOWORD(wParam)) {
        case IDOK:
            if (!dialog_.m_bEnded) dialog_.OnOK();
            return TRUE;
        case IDCANCEL:
            EndDialog(IDCANCEL);
            return TRUE;
        default:
            break;
        }
    }
    return FALSE;
}

bool ModalDialog::OnPaint() {
    if (!::IsIconic(window_)) return false;  // the default dialog painting
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(window_, &paint);
    ::SendMessageW(window_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    ::GetClientRect(window_, &client);
    const int x = (client.right - client.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
    ::DrawIcon(dc, x, y, icon_);
    ::EndPaint(window_, &paint);
    return true;
}

}  // namespace win32
