// The modal run of the agent window: what an application framework's dialog
// class does for a dialog template, reduced to what the agent uses. The
// dialog procedure only translates; every decision is the agent's.
#pragma once
#include "agent/QuorvaDlg.h"
#include "platform/win32/Win32Platform.h"

namespace win32 {

class ModalDialog final : public ModalHost {
public:
    ModalDialog(CQuorvaDlg& dialog, Shell& shell, HINSTANCE instance, HICON icon)
        : dialog_(dialog), shell_(shell), instance_(instance), icon_(icon) {}
    ModalDialog(const ModalDialog&) = delete;
    ModalDialog& operator=(const ModalDialog&) = delete;

    // Creates the window from the template with `owner` as its parent (the
    // owner is disabled for the run), runs the loop until the dialog ends or
    // WM_QUIT arrives, then destroys the window. The dialog's end result, or
    // -1 when the window could not be created.
    INT_PTR DoModal(int templateId, HWND owner);

    // Ends the modal run with `result` once the current message is handled.
    void EndDialog(INT_PTR result) override;

    HWND Window() const { return window_; }

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void RunLoop();
    bool OnPaint();

    CQuorvaDlg& dialog_;
    Shell& shell_;
    HINSTANCE instance_;
    HICON icon_;
    HWND window_ = nullptr;
    bool continueModal_ = false;
    INT_PTR result_ = -1;
};

}  // namespace win32
