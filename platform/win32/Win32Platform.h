// The seam filled with real Windows calls. Each method is the Win32 call its
// interface names, with the handles it opens owned for the length of the call;
// decisions stay in the logic above the seam.
#pragma once
#include "platform/win32/WinHeaders.h"
#include "platform/Platform.h"

namespace win32 {

class Files final : public platform::IFiles, public platform::IProfile {
public:
    bool FindFirstExists(const std::wstring& pattern) override;
    bool CreateDirectory(const std::wstring& path, std::uint32_t* error) override;
    bool DeleteFile(const std::wstring& path) override;
    std::int64_t ExclusiveFileSize(const std::wstring& path) override;
    bool AppendBytes(const std::wstring& path, const std::string& bytes, platform::Share share,
                     std::uint32_t* error) override;
    bool CreateNewFile(const std::wstring& path, const std::string& bytes,
                       std::uint32_t* error) override;
    std::uint32_t GetAttributes(const std::wstring& path) override;
    bool SetAttributes(const std::wstring& path, std::uint32_t attributes) override;

    std::wstring GetString(const std::wstring& section, const std::wstring& key,
                           const std::wstring& defaultValue, std::uint32_t capacity,
                           const std::wstring& file) override;
    bool WriteString(const std::wstring& section, const std::wstring& key,
                     const std::wstring& value, const std::wstring& file) override;
    bool DeleteKey(const std::wstring& section, const std::wstring& key, const std::wstring& file) override;
    bool WriteSection(const std::wstring& section, const std::wstring& lines,
                      const std::wstring& file) override;
};

class Registry final : public platform::IRegistry {
public:
    std::int32_t OpenKey(platform::Handle root, const std::wstring& subKey, std::uint32_t access,
                         platform::Handle* key) override;
    std::int32_t QueryValue(platform::Handle key, const std::wstring& name, std::uint32_t* type,
                            std::uint8_t* data, std::uint32_t* size) override;
    std::int32_t CloseKey(platform::Handle key) override;
    std::wstring SystemMessage(std::uint32_t code) override;
};

class Processes final : public platform::IProcesses {
public:
    bool SnapshotProcesses(std::vector<platform::ProcessEntry>* processes,
                           std::uint32_t* error) override;
    bool ProcessIdToSessionId(std::uint32_t processId, std::uint32_t* sessionId) override;
    std::uint32_t GetCurrentProcessId() override;
    bool CreateHiddenProcess(const std::wstring& commandLine, std::uint32_t* error) override;
    bool GetUserName(std::uint32_t capacity, std::wstring* name) override;
    std::vector<std::wstring> CommandLineArgs() override;
    std::uint32_t GetLastError() override;
    void TerminateCurrentProcess(std::uint32_t exitCode) override;
    platform::Handle OpenNamedMutex(const std::wstring& name) override;
    bool TryTakeMutex(platform::Handle mutex) override;
    void ReleaseMutex(platform::Handle mutex) override;
    void CloseMutex(platform::Handle mutex) override;
};

class Shutdown final : public platform::IShutdown {
public:
    platform::Handle OpenProcessToken() override;
    void CloseToken(platform::Handle token) override;
    bool SetShutdownPrivilege(platform::Handle token, bool enable, std::uint32_t* error) override;
    bool AbortSystemShutdown() override;
    bool ExitWindowsEx(std::uint32_t flags, std::uint32_t reason) override;
};

class EventLog final : public platform::IEventLog {
public:
    platform::Handle Open(const std::wstring& source) override;
    std::uint32_t Read(platform::Handle log, std::uint32_t flags, std::uint32_t offset,
                       std::uint8_t* buffer, std::uint32_t size, std::uint32_t* read,
                       std::uint32_t* needed) override;
    void Close(platform::Handle log) override;
    platform::Handle LoadLibraryAsDataFile(const std::wstring& path) override;
    std::optional<std::wstring> FormatMessage(std::uint32_t flags, platform::Handle module,
                                              std::uint32_t messageId,
                                              const std::vector<std::wstring>* arguments) override;
    platform::Handle RegisterSource(const std::wstring& source, std::uint32_t* error) override;
    std::uint32_t Report(platform::Handle source, std::uint16_t type, std::uint32_t eventId,
                         const std::vector<std::wstring>& strings) override;
    void DeregisterSource(platform::Handle source) override;
};

// What the shell needs from whoever runs the dialog modally.
class ModalHost {
public:
    virtual void EndDialog(INT_PTR result) = 0;

protected:
    ~ModalHost() = default;
};

class Shell final : public platform::IShell {
public:
    // The framework tells the shell which window is the agent's, which icon
    // it carries and who ends its modal run.
    void Attach(HWND window, HICON icon, ModalHost* host) {
        window_ = window;
        icon_ = icon;
        host_ = host;
    }
    void Detach() { Attach(nullptr, icon_, nullptr); }

    platform::Handle WindowHandle() override;
    bool ModifyStyleEx(std::uint32_t remove, std::uint32_t add) override;
    platform::Handle GetParent() override;
    bool SetWindowPos(platform::Handle insertAfter, int x, int y, int cx, int cy,
                      std::uint32_t flags) override;
    bool ShowWindow(std::int32_t command) override;
    void SetIcon(std::uint32_t which) override;
    void CoInitialize() override;
    void CoUninitialize() override;
    bool DeleteTaskbarTab(platform::Handle window) override;
    platform::Handle LoadLibrary(const std::wstring& path) override;
    void FreeLibrary(platform::Handle module) override;
    bool ShutdownBlockReasonCreate(platform::Handle module, platform::Handle window,
                                   const std::wstring& reason, bool* found) override;
    bool ShutdownBlockReasonDestroy(platform::Handle module, platform::Handle window,
                                    bool* found) override;
    std::wstring GetSystemDirectory(std::uint32_t capacity) override;
    bool GetFolderPath(std::uint32_t csidl, std::wstring* path) override;
    void EndDialogOk() override;
    void PostQuitMessage(int exitCode) override;

private:
    HWND window_ = nullptr;
    HICON icon_ = nullptr;
    ModalHost* host_ = nullptr;
};

class Clock final : public platform::IClock {
public:
    platform::SystemTime GetLocalTime() override;
    std::int64_t Time64() override;
    bool LocalTime64(std::int64_t utcSeconds, platform::SystemTime* local) override;
    bool FileTimeToLocalSystemTime(std::uint64_t fileTime, platform::SystemTime* local) override;
    std::string FormatTimeA(const platform::SystemTime& time, const std::string& picture) override;
    std::wstring FormatTimeW(const platform::SystemTime& time, const std::wstring& picture) override;
    void Sleep(std::uint32_t milliseconds) override;
};

class Text final : public platform::IText {
public:
    std::string ToAnsi(const std::wstring& text) override;
    std::wstring FromAnsi(const std::string& text) override;
    bool ShowsInSystemCodePage(const std::wstring& text) override;
};

// The whole machine, as the agent sees it.
class Win32Platform {
public:
    Files files;
    Registry registry;
    Processes processes;
    Shutdown shutdown;
    EventLog eventLog;
    Shell shell;
    Clock clock;
    Text text;

    platform::Platform& os() { return os_; }

private:
    platform::Platform os_{files, files, registry, processes, shutdown, eventLog, shell, clock, text};
};

// SYSTEMTIME <-> the seam's field-for-field copy.
platform::SystemTime FromSystemTime(const SYSTEMTIME& st);
SYSTEMTIME ToSystemTime(const platform::SystemTime& t);

}  // namespace win32
