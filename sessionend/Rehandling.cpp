// placeholder: replaced by the nested session-end handling
#include "agent/QuorvaDlg.h"
void CQuorvaDlg::FunctionToForgetShutDown() {}
