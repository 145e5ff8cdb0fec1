// The agent's one way to end itself, and who it runs as.
#include "agent/QuorvaDlg.h"
#include "agent/Common.h"

void CQuorvaDlg::OnOK() { os.shell.EndDialogOk(); }

void CQuorvaDlg::EndAgent() {
    OnOK();
    os.shell.PostQuitMessage(0);
    m_bEnded = true;
}

bool IsSystemAccount(const CQuorvaDlg& agent) {
    return EqualsNoCase(agent.m_szUserName.str(), L"SYSTEM");
}
