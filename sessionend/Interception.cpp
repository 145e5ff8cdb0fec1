// The agent window's side of a session end: what WM_QUERYENDSESSION asks
// for, holding the session end back while the script runs, and releasing the
// block reason on WM_ENDSESSION.
#include "agent/Common.h"
#include "records/EventReport.h"
#include "scripts/ProcessUtils.h"
#include "sessionend/SessionEnd.h"

namespace sessionend {

RequestKind KindOfRequest(std::intptr_t lParam) {
    // lParam is a bit mask and Windows combines its bits; only the low 32 bits
    // carry them.
    const auto bits = static_cast<std::uint32_t>(lParam);
    if (bits & ENDSESSION_LOGOFF) return RequestKind::Logoff;
    if (bits & ENDSESSION_CLOSEAPP) return RequestKind::CloseRequest;
    return RequestKind::ShutdownOrRestart;
}

}  // namespace sessionend

namespace {

using sessionend::Log;

constexpr const char* kInfo = "Information";
constexpr const char* kWindowProc = "WindowProc";
constexpr const char* kQuery = "OnQueryEndSession";
constexpr const char* kQueryLate = "OnEndQuerySession";
constexpr const wchar_t* kBlockReason = L"The application is executing system scripts.Please wait...";

// The user-interface library by its full path, so that no other user32.dll
// on the search path is picked up. 0 when it cannot be loaded.
platform::Handle LoadUser32(CQuorvaDlg& agent) {
    const std::wstring path = sessionend::SystemProgramPath(agent, L"user32.dll");
    return path.empty() ? 0 : agent.os.shell.LoadLibrary(path);
}

// The kind of the pending session end and the two texts that go with it,
// always written together: the handling reads them as one.
void StoreKind(CQuorvaDlg& agent, bool shutdown) {
    agent.m_bFlagForShutDown = shutdown ? 1 : 0;
    agent.m_strEventArgs = (shutdown ? L"shutdown<<>>" : L"Logoff<<>>") + agent.m_szUserName.str();
    agent.m_szEventName = shutdown ? L"Shutdown" : L"Logoff";
}

void DestroyBlockReason(CQuorvaDlg& agent, platform::Handle user32) {
    bool found = false;
    agent.os.shell.ShutdownBlockReasonDestroy(user32, agent.os.shell.WindowHandle(), &found);
}

}  // namespace

void CQuorvaDlg::ClassifyQueryEndSession(std::intptr_t lParam) {
    using sessionend::RequestKind;
    Log(*this, kWindowProc, kInfo, "SHUTDOWN RECIEVED", "", "");
    switch (sessionend::KindOfRequest(lParam)) {
    case RequestKind::CloseRequest:
        // An installer replacing a file in use (this program's own, on an
        // upgrade): the session goes on, so no script and no forced end.
        Log(*this, kWindowProc, kInfo, "Close request", "Restart Manager asked the application to close", "");
        return;
    case RequestKind::ShutdownOrRestart:
        if (m_uICountForOnce == 0) {
            StoreKind(*this, true);
            m_bFlagForFirstShutDown = 1;
            Log(*this, kWindowProc, "Shutdown/Restart Recieved for the 1st Time", "Success", "", "");
        } else if (!m_bFlagForShutDown) {
            StoreKind(*this, true);
            m_bFlagForFirstTimeLogoff = 1;
            Log(*this, kWindowProc, "Shutdown/Restart Recieved after a Logoff was Recieved", "Success", "", "");
        }
        return;
    case RequestKind::Logoff:
        if (m_uICountForOnce == 0) {
            StoreKind(*this, false);
            m_bFlagForFirstTimeLogoff = 1;
            Log(*this, kWindowProc, "Logoff Recieved  for the 1st time", "Success", "", "");
        } else if (m_bFlagForShutDown) {
            StoreKind(*this, false);
            m_bFlagForFirstShutDown = 1;
            Log(*this, kWindowProc, "Logoff Recieved after a Shutdown happened", "Success", "", "");
        }
        return;
    }
}

BOOL CQuorvaDlg::OnQueryEndSession(std::intptr_t lParam) {
    if (sessionend::KindOfRequest(lParam) == sessionend::RequestKind::CloseRequest) {
        // Let the installer go on; the agent ends once WM_ENDSESSION confirms.
        m_bCloseRequested = true;
        return TRUE_;
    }

    const platform::Handle user32 = LoadUser32(*this);
    if (!user32)
        Log(*this, kQuery, "Err", "Failed to load dll", "User32.dll", "**********************", "12.0.0.15");

    if (CountServiceInstances(*this) <= 0) {
        Log(*this, kQuery, kInfo, "SUCCESS", "Service not running. So exiting. Service Name: ", "quorvahost.exe");
        WebPostEventData(m_szUserName.str(), L"The service quorvahost.exe was not found running", *this,
                         L"EVTNT", 0);
        if (user32) {
            DestroyBlockReason(*this, user32);
            os.shell.FreeLibrary(user32);
        }
        EndAgent();
        return TRUE_;
    }
    if (!PathExists(*this, m_strDeployerPath)) {
        Log(*this, kQuery, kInfo, "SUCCESS", "quorvarun.exe was not found on the loaction",
            Ansi(*this, m_strDeployerPath));
        WebPostEventData(m_szUserName.str(), L"quorvarun.exe was not found on the location", *this, L"EVTNT",
                         0);
        if (user32) os.shell.FreeLibrary(user32);
        EndAgent();
        return TRUE_;
    }

    Log(*this, kQuery, kInfo, "SUCCESS",
        "Calling Shutdown Block Create in case of Windows Vista,Windows 7,Windows Server 2008", "");
    bool found = false;
    const bool registered =
        user32 && os.shell.ShutdownBlockReasonCreate(user32, os.shell.WindowHandle(), kBlockReason, &found) &&
        found;
    if (registered)
        Log(*this, kQuery, kInfo, "SUCCESS", "ShutdownBlockCreate Found in User32.dll",
            "The operating system is Above or equal to Vista");
    else
        Log(*this, kQuery, kInfo, "FAIL", "ShutdownBlockCreate Not Found in User32.dll",
            "The operating system id Below Vista");
    if (user32) os.shell.FreeLibrary(user32);

    Log(*this, kQueryLate, kInfo, "SHUTDOWN/LOGOFF/RESTART RECIEVED", "<**********************>",
        "<***************************>");
    if (m_uICountForOnce != 0) {
        // The first handling already reached its script wait; its own re-issue
        // ends this session, so a repeat starts nothing.
        Log(*this, kQueryLate, kInfo, "m_uICountForOnce", ">1",
            "The user pressed SHUTDOWN/LOGOFF/RESTART more than once");
        return FALSE_;
    }
    Log(*this, kQueryLate, kInfo, "SUCCESS", "Starting Thread to Handle WM_QUERYSHUTDOWN", "TRUE");
    Log(*this, kQueryLate, kInfo, "SUCCESS", "Starting Thread to Handle WM_QUERYSHUTDOWN",
        std::to_string(os.processes.GetLastError()));
    // Held back until the script has run and the session end is issued again.
    functionToForgetShutdown();
    return m_bLetSessionEndGo ? TRUE_ : FALSE_;
}

void CQuorvaDlg::RegisterBlockReason() {
    const platform::Handle user32 = LoadUser32(*this);
    if (!user32) return;
    bool found = false;
    os.shell.ShutdownBlockReasonCreate(user32, os.shell.WindowHandle(), kBlockReason, &found);
    os.shell.FreeLibrary(user32);
}

void CQuorvaDlg::OnEndSession(BOOL ending) {
    const platform::Handle user32 = LoadUser32(*this);
    if (!user32) {
        Log(*this, "OnEndSession", "ERR", "Failed to load dll", "User32.dll", "**********************");
    } else {
        if (!(IsSystemAccount(*this) && !m_bFlagForShutDown)) DestroyBlockReason(*this, user32);
        os.shell.FreeLibrary(user32);
    }
    if (m_bCloseRequested) {
        if (ending)
            EndAgent();
        else
            m_bCloseRequested = false;  // the installer gave up; stay resident
    }
    // The session goes on and so does the agent: the reason must be in place
    // again before the next session end asks.
    if (!ending && !m_bEnded) RegisterBlockReason();
}
