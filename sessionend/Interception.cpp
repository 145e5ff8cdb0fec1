// placeholder: replaced by the session-end interception
#include "agent/QuorvaDlg.h"
void CQuorvaDlg::ClassifyQueryEndSession(std::intptr_t) {}
BOOL CQuorvaDlg::OnQueryEndSession(std::intptr_t) { return TRUE_; }
void CQuorvaDlg::OnEndSession(BOOL) {}
