// A scripted stand-in for the resident service quorvahost.exe, running on the
// simulated machine's virtual clock.
//
// Every `pollMs` of virtual time (that is, while the agent sleeps) it looks at
// the hand-off files it watches and at the task-kill file, through the same
// profile functions the agent uses, and answers as told:
//
//  * a hand-off file whose "Process Details" section holds a non-empty
//    "Process Name" and "Process Arguments" and neither "Proc ID" nor
//    "Err_Desc" is a request. After `answerDelayMs` the service answers it:
//      Reply::ProcId  starts a simulated deployer process (the file name of
//                     "Process Name", in `deployerSession`), writes its id as
//                     "Proc ID", and ends the process after `deployerRunMs`
//                     (never when negative);
//      Reply::Error   writes `errorText` as "Err_Desc";
//      Reply::Never   takes the request and never answers.
//    `replies` gives the answers of the first requests in order; later
//    requests get `reply`. `answerDelays` likewise gives the delays of the
//    first requests; later ones wait `answerDelayMs`.
//  * a task-kill file (<folder>quorvaShutTaskKill.ini) that exists is a
//    request: the process that "Proc_ID" of "Task_To_Kill" names is ended when
//    it runs, and the file is deleted as the acknowledgement, unless
//    `deleteTaskKillFile` is false (then it is left for ever).
//
// The service only works while a "quorvahost.exe" process is in the machine's
// process table: end that process and the service falls silent, and answers
// it had not written yet are never written; started again, it takes the
// requests still in the files afresh.
//
// What it does goes into the machine's journal as lines beginning "Service "
// ("Service request <file> <name> <arguments>", "Service Proc ID <pid>",
// "Service Err_Desc <text>", "Service kill <pid>", "Service ack <file>"), and
// into `requests` and `killed`.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>
#include "tests/fakes/FakeMachine.h"

namespace fake {

class ScriptedService {
public:
    enum class Reply { ProcId, Error, Never };

    struct Options {
        std::int64_t pollMs = 200;
        Reply reply = Reply::ProcId;
        std::vector<Reply> replies;
        std::int64_t answerDelayMs = 0;
        std::vector<std::int64_t> answerDelays;
        std::int64_t deployerRunMs = 10000;
        std::uint32_t deployerSession = 1;
        std::wstring errorText = L"The system cannot find the file specified.";
        bool deleteTaskKillFile = true;
    };

    struct Request {
        std::wstring file, processName, processArguments;
        std::int64_t atMs = 0;     // virtual time the request was taken
        std::uint64_t takenBy = 0;  // the service process that took it (its serial)
        std::uint32_t pid = 0;     // deployer started for it; 0 when none
        // What the service wrote for it ("Proc ID" or "Err_Desc"), and when;
        // -1 while unanswered. A service that ends first never answers.
        std::wstring answer;
        bool error = false;
        std::int64_t answeredAtMs = -1;
        std::int64_t scriptEndedAtMs = -1;  // the deployer's end; -1 while it runs
    };

    // `scriptDataDir` is the hand-off folder with its trailing backslash
    // (C:\ProgramData\Vorlan\QVRT\ on the standard machine).
    ScriptedService(FakeMachine& machine, std::wstring scriptDataDir, Options options);
    ScriptedService(FakeMachine& machine, std::wstring scriptDataDir)
        : ScriptedService(machine, std::move(scriptDataDir), Options()) {}
    ScriptedService(const ScriptedService&) = delete;
    ScriptedService& operator=(const ScriptedService&) = delete;
    ~ScriptedService();

    // Watches quorvaProcDetails_<user>.ini in the folder.
    void WatchUser(const std::wstring& user);
    // Begins polling, first after one period from now.
    void Start();
    // Stops polling; answers already scheduled still happen.
    void Stop();
    // One look at every watched file right now (also what each poll does).
    void Poll();

    Options options;
    std::vector<Request> requests;
    std::vector<std::uint32_t> killed;

private:
    void Answer(std::size_t requestIndex, Reply reply);
    void TaskKill();
    void Note(const std::string& line);

    FakeMachine& machine_;
    std::wstring folder_;
    std::vector<std::wstring> watched_;
    std::vector<std::wstring> pending_;  // requests taken, answer not yet written
    // Shared with the clock's scheduled actions, so that a service destroyed
    // before the clock runs them leaves them harmless.
    std::shared_ptr<bool> alive_;
    bool polling_ = false;
};

}  // namespace fake
