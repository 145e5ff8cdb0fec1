// placeholder: replaced by the start-up sequence
#include "agent/QuorvaDlg.h"
BOOL CQuorvaDlg::OnInitDialog() { return TRUE_; }
