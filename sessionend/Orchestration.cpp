// placeholder: replaced by the session-end handling
#include "agent/QuorvaDlg.h"
void CQuorvaDlg::functionToForgetShutdown() {}
