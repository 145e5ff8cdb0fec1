#include "tests/explorer/FaultyPlatform.h"

#include <algorithm>
#include <new>
#include <optional>

namespace explorer {
namespace {

// Win32 error codes of the tables.
constexpr std::uint32_t kFileNotFound = 2, kPathNotFound = 3, kAccessDenied = 5, kNotEnoughMemory = 8,
                        kBadLength = 24, kSharingViolation = 32, kLockViolation = 33, kInvalidParameter = 87, kDiskFull = 112,
                        kModNotFound = 126, kNoShutdownInProgress = 1116, kNoSuchPrivilege = 1313,
                        kEventlogFileCorrupt = 1500;

}  // namespace

const std::vector<FaultRow>& FaultTable() {
    static const std::vector<FaultRow> table = {
        // ---- files ----
        {"Files.FindFirstExists", {kAccessDenied}, "FindFirstFileW function"},
        {"Files.CreateDirectory", {kAccessDenied, kDiskFull}, "CreateDirectoryW function"},
        {"Files.DeleteFile", {kAccessDenied, kSharingViolation}, "DeleteFileW function"},
        {"Files.ExclusiveFileSize", {kSharingViolation, kAccessDenied}, "CreateFileW function"},
        {"Files.AppendBytes", {kSharingViolation, kLockViolation, kAccessDenied, kDiskFull},
         "CreateFileW function; WriteFile function; LockFileEx function"},
        {"Files.CreateNewFile", {kAccessDenied, kDiskFull}, "CreateFileW function; WriteFile function"},
        {"Files.GetAttributes", {kAccessDenied}, "GetFileAttributesW function"},
        {"Files.SetAttributes", {kAccessDenied}, "SetFileAttributesW function"},
        // ---- profile files ----
        {"Profile.GetString", {kSharingViolation}, "GetPrivateProfileStringW function"},
        {"Profile.WriteString", {kSharingViolation, kAccessDenied, kDiskFull}, "WritePrivateProfileStringW function"},
        {"Profile.DeleteKey", {kSharingViolation, kAccessDenied}, "WritePrivateProfileStringW function (lpString NULL)"},
        {"Profile.WriteSection", {kSharingViolation, kAccessDenied, kDiskFull}, "WritePrivateProfileSectionW function"},
        // ---- registry ----
        {"Registry.OpenKey", {kAccessDenied, kFileNotFound}, "RegOpenKeyExW function"},
        {"Registry.QueryValue", {kFileNotFound}, "RegQueryValueExW function"},
        // ---- processes ----
        {"Processes.SnapshotProcesses", {kBadLength, kNotEnoughMemory}, "CreateToolhelp32Snapshot function"},
        {"Processes.ProcessIdToSessionId", {kAccessDenied}, "ProcessIdToSessionId function"},
        {"Processes.CreateHiddenProcess", {kFileNotFound, kAccessDenied, kNotEnoughMemory}, "CreateProcessW function"},
        {"Processes.OpenNamedMutex", {kAccessDenied}, "CreateMutexW function"},
        // ---- shutdown ----
        {"Shutdown.OpenProcessToken", {kAccessDenied}, "OpenProcessToken function"},
        {"Shutdown.SetShutdownPrivilege", {kNoSuchPrivilege, kAccessDenied}, "LookupPrivilegeValueW function; AdjustTokenPrivileges function"},
        {"Shutdown.AbortSystemShutdown", {kNoShutdownInProgress}, "AbortSystemShutdownW function"},
        // ---- event log ----
        {"EventLog.Open", {kAccessDenied}, "OpenEventLogW function"},
        {"EventLog.Read", {kEventlogFileCorrupt}, "ReadEventLogW function"},
        {"EventLog.LoadLibraryAsDataFile", {kModNotFound}, "LoadLibraryExW function"},
        {"EventLog.RegisterSource", {kAccessDenied}, "RegisterEventSourceW function"},
        {"EventLog.Report", {kInvalidParameter, kNotEnoughMemory}, "ReportEventW function"},
        // ---- memory: a text the call returns cannot be allocated ----
        {"Memory.Allocate", {kNotEnoughMemory},
         "HeapAlloc function; operator new throws std::bad_alloc when the heap cannot give the memory"},
        // ---- shell ----
        {"Shell.DeleteTaskbarTab", {kAccessDenied}, "CoCreateInstance function"},
        {"Shell.ShutdownBlockReasonDestroy", {kAccessDenied}, "ShutdownBlockReasonDestroy function"},
        {"Shell.GetFolderPath", {kAccessDenied}, "SHGetFolderPathW function"},
        {"Shell.ShutdownBlockReasonCreate", {kAccessDenied}, "ShutdownBlockReasonCreate function"},
        {"Shell.LoadLibrary", {kNotEnoughMemory, kModNotFound}, "LoadLibraryW function"},
        {"Shell.GetSystemDirectory", {kNotEnoughMemory}, "GetSystemDirectoryW function (returns 0 on failure)"},
    };
    return table;
}

struct FaultyPlatform::State {
    fake::FakeMachine& m;
    std::vector<Fault> plan;
    SeamObserver observer;
    std::map<std::string, int> calls;
    FaultyPlatform& owner;
    std::optional<OwnProcess> own;

    // The error to fail this call with, 0 when it goes through; told through
    // `error` and, where given, the process's last error.
    std::uint32_t Hit(const char* call, std::uint32_t* error = nullptr, std::uint32_t* lastError = nullptr) {
        if (plan.empty()) return 0;
        const int n = ++calls[call];
        for (const Fault& f : plan) {
            if (f.nth == n && f.call == call) {
                ++owner.injected[call];
                if (error) *error = f.error;
                if (lastError) *lastError = f.error;
                return f.error;
            }
        }
        return 0;
    }
    // Another program's hold (sharing, a byte-range lock) needs a file to
    // hold: on a name with no file Windows reports neither, and the call is
    // counted but goes through.
    std::uint32_t HitHeld(const char* call, const std::wstring& path, std::uint32_t* error = nullptr) {
        if (m.files.Exists(path)) return Hit(call, error);
        ++calls[call];
        return 0;
    }
};

namespace {

using State = FaultyPlatform::State;

// What every wrapper holds: the shared state.
struct Part {
    explicit Part(State& s) : s(s) {}
    State& s;
};

bool IsLogFile(const std::wstring& path) { return path.find(L"\\ApplicationLog\\") != std::wstring::npos; }

class Files : public platform::IFiles, Part {
public:
    using Part::Part;
    bool FindFirstExists(const std::wstring& p) override {
        return !s.Hit("Files.FindFirstExists") && s.m.files.FindFirstExists(p);
    }
    bool CreateDirectory(const std::wstring& p, std::uint32_t* error) override {
        return !s.Hit("Files.CreateDirectory", error) && s.m.files.CreateDirectory(p, error);
    }
    bool DeleteFile(const std::wstring& p) override {
        return !s.HitHeld("Files.DeleteFile", p) && s.m.files.DeleteFile(p);
    }
    std::int64_t ExclusiveFileSize(const std::wstring& p) override {
        if (s.HitHeld("Files.ExclusiveFileSize", p)) return -1;
        return s.m.files.ExclusiveFileSize(p);
    }
    bool AppendBytes(const std::wstring& p, const std::string& bytes, platform::Share share,
                     std::uint32_t* error) override {
        // (A new file in a folder the user may not write is the rulebook's:
        // FakeFiles::DenyWrite.)
        const bool ok = !s.HitHeld("Files.AppendBytes", p, error) && s.m.files.AppendBytes(p, bytes, share, error);
        if (!ok && IsLogFile(p)) s.owner.logWriteFailed = true;
        return ok;
    }
    bool CreateNewFile(const std::wstring& p, const std::string& bytes, std::uint32_t* error) override {
        return !s.Hit("Files.CreateNewFile", error) && s.m.files.CreateNewFile(p, bytes, error);
    }
    std::uint32_t GetAttributes(const std::wstring& p) override {
        if (s.Hit("Files.GetAttributes")) return 0xFFFFFFFFu;
        return s.m.files.GetAttributes(p);
    }
    bool SetAttributes(const std::wstring& p, std::uint32_t a) override {
        return !s.Hit("Files.SetAttributes") && s.m.files.SetAttributes(p, a);
    }
};

class Profile : public platform::IProfile, Part {
public:
    using Part::Part;
    std::wstring GetString(const std::wstring& section, const std::wstring& key, const std::wstring& def,
                           std::uint32_t capacity, const std::wstring& file) override {
        // A file that cannot be opened reads as absent: the default comes back.
        if (s.Hit("Profile.GetString")) return def.substr(0, capacity > 0 ? capacity - 1 : 0);
        if (s.Hit("Memory.Allocate")) throw std::bad_alloc();
        if ((key == L"Proc ID" || key == L"Err_Desc") && s.observer.answerLookedFor) s.observer.answerLookedFor();
        return s.m.files.GetString(section, key, def, capacity, file);
    }
    bool WriteString(const std::wstring& section, const std::wstring& key, const std::wstring& value,
                     const std::wstring& file) override {
        if (s.Hit("Profile.WriteString")) return false;
        const bool ok = s.m.files.WriteString(section, key, value, file);
        if (ok && key == L"Process Arguments" && s.observer.requestWritten) s.observer.requestWritten();
        return ok;
    }
    bool DeleteKey(const std::wstring& section, const std::wstring& key, const std::wstring& file) override {
        return !s.Hit("Profile.DeleteKey") && s.m.files.DeleteKey(section, key, file);
    }
    bool WriteSection(const std::wstring& section, const std::wstring& lines, const std::wstring& file) override {
        return !s.Hit("Profile.WriteSection") && s.m.files.WriteSection(section, lines, file);
    }
};

class Registry : public platform::IRegistry, Part {
public:
    using Part::Part;
    std::int32_t OpenKey(platform::Handle root, const std::wstring& sub, std::uint32_t access,
                         platform::Handle* key) override {
        if (auto e = s.Hit("Registry.OpenKey")) return static_cast<std::int32_t>(e);
        return s.m.registry.OpenKey(root, sub, access, key);
    }
    std::int32_t QueryValue(platform::Handle key, const std::wstring& name, std::uint32_t* type,
                            std::uint8_t* data, std::uint32_t* size) override {
        if (auto e = s.Hit("Registry.QueryValue")) return static_cast<std::int32_t>(e);
        return s.m.registry.QueryValue(key, name, type, data, size);
    }
    std::int32_t CloseKey(platform::Handle key) override { return s.m.registry.CloseKey(key); }
    std::wstring SystemMessage(std::uint32_t code) override { return s.m.registry.SystemMessage(code); }
};

class Processes : public platform::IProcesses, Part {
public:
    using Part::Part;
    bool SnapshotProcesses(std::vector<platform::ProcessEntry>* out, std::uint32_t* error) override {
        if (s.Hit("Processes.SnapshotProcesses", error, &s.m.processes.lastError)) { out->clear(); return false; }
        return s.m.processes.SnapshotProcesses(out, error);
    }
    bool ProcessIdToSessionId(std::uint32_t pid, std::uint32_t* session) override {
        return !s.Hit("Processes.ProcessIdToSessionId", nullptr, &s.m.processes.lastError) && s.m.processes.ProcessIdToSessionId(pid, session);
    }
    std::uint32_t GetCurrentProcessId() override { return s.own ? s.own->pid : s.m.processes.GetCurrentProcessId(); }
    bool CreateHiddenProcess(const std::wstring& commandLine, std::uint32_t* error) override {
        return !s.Hit("Processes.CreateHiddenProcess", error, &s.m.processes.lastError) &&
               s.m.processes.CreateHiddenProcess(commandLine, error);
    }
    bool GetUserName(std::uint32_t capacity, std::wstring* name) override {
        return s.m.processes.GetUserName(capacity, name);
    }
    std::vector<std::wstring> CommandLineArgs() override { return s.own ? s.own->args : s.m.processes.CommandLineArgs(); }
    std::uint32_t GetLastError() override { return s.m.processes.GetLastError(); }
    void TerminateCurrentProcess(std::uint32_t code) override { s.m.processes.TerminateCurrentProcess(code); }
    platform::Handle OpenNamedMutex(const std::wstring& name) override {
        return s.Hit("Processes.OpenNamedMutex", nullptr, &s.m.processes.lastError) ? 0 : s.m.processes.OpenNamedMutex(name);
    }
    bool TryTakeMutex(platform::Handle mutex) override { return s.m.processes.TryTakeMutexFor(mutex, GetCurrentProcessId()); }
    void ReleaseMutex(platform::Handle mutex) override { s.m.processes.ReleaseMutexFor(mutex, GetCurrentProcessId()); }
    void CloseMutex(platform::Handle) override {}
};

class Shutdown : public platform::IShutdown, Part {
public:
    using Part::Part;
    platform::Handle OpenProcessToken() override {
        return s.Hit("Shutdown.OpenProcessToken") ? 0 : s.m.shutdown.OpenProcessToken();
    }
    void CloseToken(platform::Handle token) override { s.m.shutdown.CloseToken(token); }
    bool SetShutdownPrivilege(platform::Handle token, bool enable, std::uint32_t* error) override {
        return !s.Hit("Shutdown.SetShutdownPrivilege", error) && s.m.shutdown.SetShutdownPrivilege(token, enable, error);
    }
    bool AbortSystemShutdown() override {
        return !s.Hit("Shutdown.AbortSystemShutdown") && s.m.shutdown.AbortSystemShutdown();
    }
    bool ExitWindowsEx(std::uint32_t flags, std::uint32_t reason) override {
        return s.m.shutdown.ExitWindowsEx(flags, reason);
    }
};

class EventLog : public platform::IEventLog, Part {
public:
    using Part::Part;
    platform::Handle Open(const std::wstring& source) override {
        return s.Hit("EventLog.Open") ? 0 : s.m.eventLog.Open(source);
    }
    std::uint32_t Read(platform::Handle log, std::uint32_t flags, std::uint32_t offset, std::uint8_t* buffer,
                       std::uint32_t size, std::uint32_t* read, std::uint32_t* needed) override {
        if (auto e = s.Hit("EventLog.Read")) return e;
        return s.m.eventLog.Read(log, flags, offset, buffer, size, read, needed);
    }
    void Close(platform::Handle log) override { s.m.eventLog.Close(log); }
    platform::Handle LoadLibraryAsDataFile(const std::wstring& path) override {
        return s.Hit("EventLog.LoadLibraryAsDataFile") ? 0 : s.m.eventLog.LoadLibraryAsDataFile(path);
    }
    std::optional<std::wstring> FormatMessage(std::uint32_t flags, platform::Handle module, std::uint32_t id,
                                              const std::vector<std::wstring>* args) override {
        return s.m.eventLog.FormatMessage(flags, module, id, args);
    }
    platform::Handle RegisterSource(const std::wstring& source, std::uint32_t* error) override {
        return s.Hit("EventLog.RegisterSource", error) ? 0 : s.m.eventLog.RegisterSource(source, error);
    }
    std::uint32_t Report(platform::Handle source, std::uint16_t type, std::uint32_t id,
                         const std::vector<std::wstring>& strings) override {
        if (auto e = s.Hit("EventLog.Report")) return e;
        return s.m.eventLog.Report(source, type, id, strings);
    }
    void DeregisterSource(platform::Handle source) override { s.m.eventLog.DeregisterSource(source); }
};

class Shell : public platform::IShell, Part {
public:
    using Part::Part;
    fake::FakeShell& f() { return s.own ? *s.own->shell : s.m.shell; }
    platform::Handle WindowHandle() override { return f().WindowHandle(); }
    bool ModifyStyleEx(std::uint32_t r, std::uint32_t a) override { return f().ModifyStyleEx(r, a); }
    platform::Handle GetParent() override { return f().GetParent(); }
    bool SetWindowPos(platform::Handle i, int x, int y, int cx, int cy, std::uint32_t fl) override {
        return f().SetWindowPos(i, x, y, cx, cy, fl);
    }
    bool ShowWindow(std::int32_t c) override { return f().ShowWindow(c); }
    void SetIcon(std::uint32_t w) override { f().SetIcon(w); }
    void CoInitialize() override { f().CoInitialize(); }
    void CoUninitialize() override { f().CoUninitialize(); }
    bool DeleteTaskbarTab(platform::Handle w) override {
        return !s.Hit("Shell.DeleteTaskbarTab") && f().DeleteTaskbarTab(w);
    }
    platform::Handle LoadLibrary(const std::wstring& p) override {
        return s.Hit("Shell.LoadLibrary") ? 0 : f().LoadLibrary(p);
    }
    void FreeLibrary(platform::Handle m) override { f().FreeLibrary(m); }
    bool ShutdownBlockReasonCreate(platform::Handle m, platform::Handle w, const std::wstring& r,
                                   bool* found) override {
        if (m != 0 && !f().blockReasonMissing && s.Hit("Shell.ShutdownBlockReasonCreate")) { if (found) *found = true; return false; }
        return f().ShutdownBlockReasonCreate(m, w, r, found);
    }
    bool ShutdownBlockReasonDestroy(platform::Handle m, platform::Handle w, bool* found) override {
        if (m != 0 && !f().blockReasonMissing && s.Hit("Shell.ShutdownBlockReasonDestroy")) { if (found) *found = true; return false; }
        return f().ShutdownBlockReasonDestroy(m, w, found);
    }
    std::wstring GetSystemDirectory(std::uint32_t c) override {
        if (s.Hit("Shell.GetSystemDirectory")) return std::wstring();
        return f().GetSystemDirectory(c);
    }
    bool GetFolderPath(std::uint32_t csidl, std::wstring* p) override {
        return !s.Hit("Shell.GetFolderPath") && f().GetFolderPath(csidl, p);
    }
    void EndDialogOk() override { f().EndDialogOk(); }
    void PostQuitMessage(int c) override { f().PostQuitMessage(c); }
};

class Clock : public platform::IClock, Part {
public:
    using Part::Part;
    platform::SystemTime GetLocalTime() override { return s.m.clock.GetLocalTime(); }
    std::int64_t Time64() override { return s.m.clock.Time64(); }
    bool LocalTime64(std::int64_t t, platform::SystemTime* l) override { return s.m.clock.LocalTime64(t, l); }
    bool FileTimeToLocalSystemTime(std::uint64_t ft, platform::SystemTime* l) override {
        return s.m.clock.FileTimeToLocalSystemTime(ft, l);
    }
    std::string FormatTimeA(const platform::SystemTime& t, const std::string& p) override {
        return s.m.clock.FormatTimeA(t, p);
    }
    std::wstring FormatTimeW(const platform::SystemTime& t, const std::wstring& p) override {
        return s.m.clock.FormatTimeW(t, p);
    }
    void Sleep(std::uint32_t ms) override {
        if (s.observer.beforeSleep) s.observer.beforeSleep(ms);
        if (s.observer.sleep) s.observer.sleep(ms);
        else s.m.clock.Sleep(ms);
    }
};

}  // namespace

struct Bundle {
    Files files;
    Profile profile;
    Registry registry;
    Processes processes;
    Shutdown shutdown;
    EventLog eventLog;
    Shell shell;
    Clock clock;
    platform::Platform os;
    explicit Bundle(State& s)
        : files(s), profile(s), registry(s), processes(s), shutdown(s), eventLog(s), shell(s), clock(s),
          os{files, profile, registry, processes, shutdown, eventLog, shell, clock, s.m.text} {}
};

FaultyPlatform::FaultyPlatform(fake::FakeMachine& machine, std::vector<Fault> plan, SeamObserver observer,
                               const OwnProcess* own)
    : state_(new State{machine, std::move(plan), std::move(observer), {}, *this,
                       own ? std::optional<OwnProcess>(*own) : std::nullopt}),
      bundle_(std::make_unique<Bundle>(*state_)) {}

FaultyPlatform::~FaultyPlatform() = default;

platform::Platform& FaultyPlatform::os() { return bundle_->os; }

}  // namespace explorer
