// The agent window's side of a session end: what WM_QUERYENDSESSION asks
// for, holding the session end back while the script runs, and releasing the
// block reason on WM_ENDSESSION.
#include "agent/Common.h"
#include "records/ApplicationLog.h"
#include "sessionend/SessionEnd.h"

namespace sessionend {

RequestKind KindOfRequest(std::intptr_t lParam) {
    // lParam is a bit mask and Windows combines its bits; only the low 32 bits
    // carry them.
    const auto bits = static_cast<std::uint32_t>(lParam);
    if (bits & platform::EndSessionLogoff) return RequestKind::Logoff;
    if (bits & platform::EndSessionCloseApp) return RequestKind::CloseRequest;
    return RequestKind::ShutdownOrRestart;
}

}  // namespace sessionend

namespace {


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
    Log(*this, {.module = kWindowProc, .val1 = "SHUTDOWN RECIEVED"});
    switch (sessionend::KindOfRequest(lParam)) {
    case RequestKind::CloseRequest:
        // An installer replacing a file in use (this program's own, on an
        // upgrade): the session goes on, so no script and no forced end.
        Log(*this, {.module = kWindowProc, .val1 = "Close request",
                    .val2 = "Restart Manager asked the application to close"});
        return;
    case RequestKind::ShutdownOrRestart:
        if (m_uICountForOnce == 0) {
            StoreKind(*this, true);
            m_bFlagForFirstShutDown = 1;
            Log(*this, {.module = kWindowProc, .type = "Shutdown/Restart Recieved for the 1st Time",
                        .val1 = "Success"});
        } else if (!m_bFlagForShutDown) {
            StoreKind(*this, true);
            m_bFlagForFirstTimeLogoff = 1;
            Log(*this, {.module = kWindowProc,
                        .type = "Shutdown/Restart Recieved after a Logoff was Recieved", .val1 = "Success"});
        }
        return;
    case RequestKind::Logoff:
        if (m_uICountForOnce == 0) {
            StoreKind(*this, false);
            m_bFlagForFirstTimeLogoff = 1;
            Log(*this, {.module = kWindowProc, .type = "Logoff Recieved  for the 1st time",
                        .val1 = "Success"});
        } else if (m_bFlagForShutDown) {
            StoreKind(*this, false);
            m_bFlagForFirstShutDown = 1;
            Log(*this, {.module = kWindowProc, .type = "Logoff Recieved after a Shutdown happened",
                        .val1 = "Success"});
        }
        return;
    }
}

platform::BOOL CQuorvaDlg::OnQueryEndSession(std::intptr_t lParam) {
    if (sessionend::KindOfRequest(lParam) == sessionend::RequestKind::CloseRequest) {
        // Let the installer go on; the agent ends once WM_ENDSESSION confirms.
        m_bCloseRequested = true;
        return platform::TRUE_;
    }

    const platform::Handle user32 = LoadUser32(*this);
    if (!user32)
        Log(*this, {.module = kQuery, .type = "Err", .val1 = "Failed to load dll", .val2 = "User32.dll",
                    .val3 = "**********************", .version = "12.0.0.15"});

    if (const auto missing = sessionend::ReportMissingServiceOrDeployer(*this, kQuery, kQuery);
        missing != sessionend::Missing::Nothing) {
        if (user32) {
            if (missing == sessionend::Missing::Service) DestroyBlockReason(*this, user32);
            os.shell.FreeLibrary(user32);
        }
        EndAgent();
        return platform::TRUE_;
    }

    Log(*this, {.module = kQuery, .val1 = "SUCCESS",
                .val2 = "Calling Shutdown Block Create in case of Windows Vista,Windows 7,Windows Server 2008"});
    bool found = false;
    const bool registered =
        user32 && os.shell.ShutdownBlockReasonCreate(user32, os.shell.WindowHandle(), kBlockReason, &found) &&
        found;
    if (registered)
        Log(*this, {.module = kQuery, .val1 = "SUCCESS", .val2 = "ShutdownBlockCreate Found in User32.dll",
                    .val3 = "The operating system is Above or equal to Vista"});
    else
        Log(*this, {.module = kQuery, .val1 = "FAIL", .val2 = "ShutdownBlockCreate Not Found in User32.dll",
                    .val3 = "The operating system id Below Vista"});
    if (user32) os.shell.FreeLibrary(user32);

    Log(*this, {.module = kQueryLate, .val1 = "SHUTDOWN/LOGOFF/RESTART RECIEVED",
                .val2 = "<**********************>", .val3 = "<***************************>"});
    if (m_uICountForOnce != 0) {
        // The first handling already reached its script wait; its own re-issue
        // ends this session, so a repeat starts nothing.
        Log(*this, {.module = kQueryLate, .val1 = "m_uICountForOnce", .val2 = ">1",
                    .val3 = "The user pressed SHUTDOWN/LOGOFF/RESTART more than once"});
        return platform::FALSE_;
    }
    Log(*this, {.module = kQueryLate, .val1 = "SUCCESS", .val2 = "Starting Thread to Handle WM_QUERYSHUTDOWN",
                .val3 = "TRUE"});
    Log(*this, {.module = kQueryLate, .val1 = "SUCCESS", .val2 = "Starting Thread to Handle WM_QUERYSHUTDOWN",
                .val3 = std::to_string(os.processes.GetLastError())});
    // Held back until the script has run and the session end is issued again.
    functionToForgetShutdown();
    return m_bLetSessionEndGo ? platform::TRUE_ : platform::FALSE_;
}

void CQuorvaDlg::RegisterBlockReason() {
    const platform::Handle user32 = LoadUser32(*this);
    if (!user32) return;
    bool found = false;
    os.shell.ShutdownBlockReasonCreate(user32, os.shell.WindowHandle(), kBlockReason, &found);
    os.shell.FreeLibrary(user32);
}

void CQuorvaDlg::OnEndSession(platform::BOOL ending) {
    const platform::Handle user32 = LoadUser32(*this);
    if (!user32) {
        Log(*this, {.module = "OnEndSession", .type = "ERR", .val1 = "Failed to load dll",
                    .val2 = "User32.dll", .val3 = "**********************"});
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
