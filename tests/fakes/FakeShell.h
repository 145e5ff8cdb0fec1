// The agent window and the shell around it, simulated. Window operations are
// journaled in order with these texts:
//   "ModifyStyleEx remove 0x00040000 add 0x00000000"
//   "SetWindowPos 0x<insertAfter> <x> <y> <cx> <cy> 0x<flags>"   e.g. "SetWindowPos 0x0 0 0 0 0 0x82"
//   "ShowWindow <command>", "SetIcon big", "SetIcon small",
//   "CoInitialize", "CoUninitialize", "DeleteTab", "TaskbarList failed",
//   "LoadLibrary <path>", "FreeLibrary",
//   "ShutdownBlockReasonCreate <reason>", "ShutdownBlockReasonDestroy"
//   (followed by " missing" when the function is absent, " failed" when it fails),
//   "EndDialog IDOK", "PostQuitMessage <code>",
//   "Ended for blocking the session end" (Vista's rule, below).
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>
#include "platform/Shell.h"
#include "tests/fakes/FakeClock.h"

namespace fake {

// Thrown out of the agent's wait when the system ends the program: nothing
// after that point of the agent runs.
struct ProcessEnded {};

class FakeShell : public platform::IShell {
public:
    std::vector<std::string>* journal = nullptr;

    // ---- the window as the system would report it ----
    platform::Handle window = 0x000A0042;
    platform::Handle parent = 0x000A0040;  // the invisible owner window
    std::uint32_t exStyle = platform::WsExAppWindow;
    bool visible = false;
    int x = 100, y = 100, width = 18, height = 18;  // template 102: 9x9 dialog units
    bool bigIcon = false, smallIcon = false;
    int comApartments = 0;  // CoInitialize calls not yet undone
    bool dialogEnded = false;
    std::optional<int> quitCode;
    // The block reason currently registered.
    std::optional<std::wstring> blockReason;
    int loadedLibraries = 0;

    // ---- hooks ----
    bool user32LoadFails = false;
    bool blockReasonMissing = false;      // before Vista: no such functions
    bool blockReasonCreateFails = false;  // the function returns 0
    bool taskbarFails = false;            // CoCreateInstance fails
    bool folderPathFails = false;         // SHGetFolderPathW fails
    // Runs inside DeleteTab: the taskbar talks to another process, and a
    // message sent to the window meanwhile is delivered right there.
    std::function<void()> whileDeletingTab;
    std::wstring systemDirectory = L"C:\\windows\\system32";
    std::wstring commonAppData = L"C:\\ProgramData";

    // ---- Vista's rule for programs without a visible top-level window ----
    // ("Application Shutdown Changes in Windows Vista"): "If an application
    // without a visible top-level window blocks shutdown by vetoing
    // WM_QUERYENDSESSION, or takes over 5 seconds to respond to
    // WM_QUERYENDSESSION or WM_ENDSESSION, Windows will automatically
    // terminate it", unless it had registered a block reason before the
    // question came. QueryEndSessionSent marks the question (on the clock the
    // system waits by), QueryEndSessionAnswered the answer; given the answer,
    // a veto (0) ends such a program right there. Before Vista
    // (blockReasonMissing) the system waits as long as it takes and takes a
    // veto as a veto ("Shutdown Changes for Windows Vista", the XP column).
    void QueryEndSessionSent(FakeClock& clock);
    void QueryEndSessionAnswered() { ++answers_; }
    void QueryEndSessionAnswered(std::intptr_t answer);
    bool endedForBlocking = false;
    // A new window (the next copy of the program) counts one up: the rule's
    // pending 5-second look at an earlier window then does nothing.
    int generation = 0;
    // The thread that created the window ("ShutdownBlockReasonCreate
    // function": "This function can only be called from the thread that
    // created the window specified by the hWnd parameter. Otherwise, the
    // function fails and the last error code is ERROR_ACCESS_DENIED."). The
    // agent has one thread; a call for another window, or before the window
    // exists (0), fails the same way.
    bool callerOwnsWindow = true;

    // ---- IShell ----
    platform::Handle WindowHandle() override { return window; }
    bool ModifyStyleEx(std::uint32_t remove, std::uint32_t add) override;
    platform::Handle GetParent() override { return parent; }
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
    void Note(const std::string& line);
    platform::Handle nextModule_ = 0x7FF00000;
    int questions_ = 0, answers_ = 0;
    std::vector<bool> reasonAtQuestion_;  // per question: a reason was registered when it came
};

}  // namespace fake
