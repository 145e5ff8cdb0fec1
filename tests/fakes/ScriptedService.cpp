#include "tests/fakes/ScriptedService.h"

#include <algorithm>
#include <memory>

#include "tests/fakes/FakeText.h"

namespace fake {
namespace {
const wchar_t* const kSection = L"Process Details";
const wchar_t* const kTaskKillSection = L"Task_To_Kill";

std::wstring FileNameOf(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool ParseProcessId(const std::wstring& text, std::uint32_t* pid) {
    if (text.empty() || text.size() > 10) return false;
    std::uint64_t value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - L'0');
    }
    if (value > 0xFFFFFFFFu) return false;
    *pid = static_cast<std::uint32_t>(value);
    return true;
}
}  // namespace

ScriptedService::ScriptedService(FakeMachine& machine, std::wstring scriptDataDir, Options options)
    : options(std::move(options)),
      machine_(machine),
      folder_(std::move(scriptDataDir)),
      alive_(std::make_shared<bool>(true)) {}

ScriptedService::~ScriptedService() { *alive_ = false; }

void ScriptedService::WatchUser(const std::wstring& user) {
    watched_.push_back(folder_ + L"quorvaProcDetails_" + user + L".ini");
}

void ScriptedService::Start() {
    if (polling_) return;
    polling_ = true;
    std::weak_ptr<bool> alive = alive_;
    machine_.clock.Every(options.pollMs, [this, alive]() {
        auto lock = alive.lock();
        if (!lock || !*lock || !polling_) return false;
        Poll();
        return true;
    });
}

void ScriptedService::Stop() { polling_ = false; }

void ScriptedService::Poll() {
    // A service that ended forgets the requests it had taken and never
    // answers them; started again, it takes them afresh.
    std::erase_if(pending_, [this](const std::wstring& file) {
        for (auto request = requests.rbegin(); request != requests.rend(); ++request)
            if (request->file == file) return !machine_.processes.IsRunningSerial(request->takenBy);
        return true;
    });
    if (machine_.processes.CountRunning(L"quorvahost.exe") == 0) return;
    for (const std::wstring& file : watched_) {
        if (std::find(pending_.begin(), pending_.end(), file) != pending_.end()) continue;
        auto value = [&](const wchar_t* key) {
            return machine_.files.GetString(kSection, key, L"", 1024, file);
        };
        Request request{file, value(L"Process Name"), value(L"Process Arguments"), machine_.clock.nowMs,
                        machine_.processes.SerialOf(L"quorvahost.exe")};
        if (request.processName.empty() || request.processArguments.empty()) continue;
        if (!value(L"Proc ID").empty() || !value(L"Err_Desc").empty()) continue;

        const std::size_t index = requests.size();
        const Reply reply = index < options.replies.size() ? options.replies[index] : options.reply;
        Note("Service request " + Utf8(file) + " " + Utf8(request.processName) + " " +
             Utf8(request.processArguments));
        requests.push_back(std::move(request));
        pending_.push_back(file);
        if (reply == Reply::Never) continue;
        std::weak_ptr<bool> alive = alive_;
        auto answer = [this, alive, index, reply]() {
            auto lock = alive.lock();
            if (lock && *lock) Answer(index, reply);
        };
        const std::int64_t delay =
            index < options.answerDelays.size() ? options.answerDelays[index] : options.answerDelayMs;
        if (delay <= 0) {
            answer();
        } else {
            machine_.clock.After(delay, answer);
        }
    }
    TaskKill();
}

void ScriptedService::Answer(std::size_t index, Reply reply) {
    Request& request = requests[index];
    if (!machine_.processes.IsRunningSerial(request.takenBy)) return;
    pending_.erase(std::remove(pending_.begin(), pending_.end(), request.file), pending_.end());
    request.answeredAtMs = machine_.clock.nowMs;
    if (reply == Reply::Error) {
        request.answer = options.errorText;
        request.error = true;
        machine_.files.WriteString(kSection, L"Err_Desc", options.errorText, request.file);
        Note("Service Err_Desc " + Utf8(options.errorText));
        return;
    }
    const std::uint32_t pid =
        machine_.processes.Start(FileNameOf(request.processName), options.deployerSession);
    request.pid = pid;
    request.answer = std::to_wstring(pid);
    machine_.files.WriteString(kSection, L"Proc ID", request.answer, request.file);
    Note("Service Proc ID " + std::to_string(pid));
    if (options.deployerRunMs >= 0) {
        std::weak_ptr<bool> alive = alive_;
        machine_.clock.After(options.deployerRunMs, [this, alive, index, pid]() {
            auto lock = alive.lock();
            if (!lock || !*lock || requests[index].scriptEndedAtMs >= 0) return;
            machine_.processes.Exit(pid);
            requests[index].scriptEndedAtMs = machine_.clock.nowMs;
        });
    }
}

void ScriptedService::TaskKill() {
    const std::wstring file = folder_ + L"quorvaShutTaskKill.ini";
    if (!machine_.files.Exists(file)) return;
    if (!options.deleteTaskKillFile) return;
    const std::wstring text = machine_.files.GetString(kTaskKillSection, L"Proc_ID", L"", 1024, file);
    std::uint32_t pid = 0;
    if (ParseProcessId(text, &pid) && machine_.processes.IsRunning(pid)) {
        machine_.processes.Exit(pid);
        for (Request& request : requests)
            if (request.pid == pid && request.scriptEndedAtMs < 0) request.scriptEndedAtMs = machine_.clock.nowMs;
        killed.push_back(pid);
        Note("Service kill " + std::to_string(pid));
    }
    machine_.files.DeleteFile(file);
    Note("Service ack " + Utf8(file));
}

void ScriptedService::Note(const std::string& line) { machine_.journal.push_back(line); }

}  // namespace fake
