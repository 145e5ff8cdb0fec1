// The re-handling after the pending session end changed kind while a script
// ran: the service is asked to end the scripts started so far, then the whole
// handling runs once more, nested, for the kind now pending.
#include "agent/Common.h"
#include "records/ApplicationLog.h"
#include "sessionend/SessionEnd.h"

namespace sessionend {
namespace {

constexpr const char* kModule = "FunctionToForgetShutDown";
constexpr const wchar_t* kTaskKillFile = L"quorvaShutTaskKill.ini";
constexpr const wchar_t* kTaskKillSection = L"Task_To_Kill";
constexpr std::uint32_t kTaskKillPollMs = 50;

// One request to the resident service: the file holds only the Proc_ID of the
// process to end, and the service deletes the file once it has taken it. A
// request for a process the agent holds no identifier of is sent all the same
// (with an empty value), so the service's acknowledgement still comes.
// The file is the machine's one, shared by every user's agent: a request
// written while another user's is still pending replaces it, the service ends
// only the later one, and both agents take the deletion as their answer. The
// earlier user's script then runs to its own end; the protocol has no room
// for more than one request, and the service's side of it is not ours.
void RequestTaskKill(CQuorvaDlg& agent, const std::wstring& file, const std::wstring& procId,
                     bool replaceOldFile) {
    if (replaceOldFile && PathExists(agent, file)) agent.os.files.DeleteFile(file);
    if (!PathExists(agent, file)) CreateEmptyFile(agent, file);
    agent.os.profile.WriteSection(kTaskKillSection, L"", file);
    agent.os.profile.WriteString(kTaskKillSection, L"Proc_ID", procId, file);
    // No limit but the administrator's: the new script must not start while
    // the old one still runs.
    do {
        if (!WaitWithinLimit(agent, kTaskKillPollMs)) return;
    } while (PathExists(agent, file));
}

}  // namespace

void Rehandle(CQuorvaDlg& agent, Level level) {
    if (level == Level::First) {
        // From here on the member names the task-kill file itself.
        agent.m_strScriptDataDir += kTaskKillFile;
        const std::wstring& file = agent.m_strScriptDataDir;
        RequestTaskKill(agent, file, agent.m_szScriptProcId.str(), true);
        const std::wstring taskKillProgram = SystemProgramPath(agent, L"taskkill.exe");
        Log(agent, {.module = kModule, .val1 = "ShellExecute", .val2 = Ansi(agent, taskKillProgram),
                    .val3 = Ansi(agent, agent.m_szScriptProcId.str())});
        RequestTaskKill(agent, file, agent.m_szScriptProcId2.str(), false);
        Log(agent, {.module = kModule, .val1 = "ShellExecute", .val2 = Ansi(agent, taskKillProgram),
                    .val3 = Ansi(agent, agent.m_szScriptProcId2.str())});
    } else {
        RequestTaskKill(agent, agent.m_strScriptDataDir, agent.m_szScriptProcId3.str(), true);
        Log(agent, {.module = kModule, .val1 = "ShellExecute",
                    .val2 = Ansi(agent, agent.m_szScriptProcId3.str())});
    }
    agent.m_bFlagForReissue = 0;
    agent.FunctionToForgetShutDown();
}

}  // namespace sessionend

void CQuorvaDlg::FunctionToForgetShutDown() { sessionend::RunHandling(*this, sessionend::Level::Nested); }
