// placeholder: replaced by the window's message routing
#include "agent/QuorvaDlg.h"
MessageResult CQuorvaDlg::WindowProc(std::uint32_t m, std::uintptr_t w, std::intptr_t l) { return DefaultWindowProc(m, w, l); }
MessageResult CQuorvaDlg::DefaultWindowProc(std::uint32_t, std::uintptr_t, std::intptr_t) { return {}; }
void CQuorvaDlg::PreTranslateMessage() {}
void CQuorvaDlg::OnOK() {}
void CQuorvaDlg::EndAgent() {}
void CQuorvaDlg::HideWindow() {}
void CQuorvaDlg::RemoveTaskbarButton(bool) {}
bool IsSystemAccount(const CQuorvaDlg&) { return false; }
