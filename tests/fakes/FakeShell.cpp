#include "tests/fakes/FakeShell.h"
#include <cstdio>
#include "tests/fakes/FakeText.h"
#include "tests/fakes/RuleBook.h"

namespace fake {

void FakeShell::Note(const std::string& line) {
    if (journal) journal->push_back(line);
}

bool FakeShell::ModifyStyleEx(std::uint32_t remove, std::uint32_t add) {
    char line[80];
    std::snprintf(line, sizeof line, "ModifyStyleEx remove 0x%08X add 0x%08X", remove, add);
    Note(line);
    std::uint32_t next = (exStyle & ~remove) | add;
    bool changed = next != exStyle;
    exStyle = next;
    return changed;
}

bool FakeShell::SetWindowPos(platform::Handle insertAfter, int newX, int newY, int cx, int cy,
                             std::uint32_t flags) {
    char line[120];
    std::snprintf(line, sizeof line, "SetWindowPos 0x%llX %d %d %d %d 0x%X",
                  static_cast<unsigned long long>(insertAfter), newX, newY, cx, cy, flags);
    Note(line);
    constexpr std::uint32_t kNoSize = 0x0001, kShowWindow = 0x0040;
    if (!(flags & platform::SwpNoMove)) {
        x = newX;
        y = newY;
    }
    if (!(flags & kNoSize)) {
        width = cx;
        height = cy;
    }
    if (flags & platform::SwpHideWindow) visible = false;
    if (flags & kShowWindow) visible = true;
    return true;
}

bool FakeShell::ShowWindow(std::int32_t command) {
    Note("ShowWindow " + std::to_string(command));
    bool wasVisible = visible;
    visible = command != platform::SwHide;
    return wasVisible;
}

void FakeShell::SetIcon(std::uint32_t which) {
    Note(which == platform::IconBig ? "SetIcon big" : "SetIcon small");
    (which == platform::IconBig ? bigIcon : smallIcon) = true;
}

void FakeShell::CoInitialize() {
    Note("CoInitialize");
    ++comApartments;
}

void FakeShell::CoUninitialize() {
    Note("CoUninitialize");
    --comApartments;
}

bool FakeShell::DeleteTaskbarTab(platform::Handle) {
    // Without an apartment CoCreateInstance fails (CO_E_NOTINITIALIZED).
    if (taskbarFails || comApartments <= 0) {
        Note("TaskbarList failed");
        return false;
    }
    Note("DeleteTab");
    // A copy runs, so that a hook may clear itself while it runs.
    if (whileDeletingTab) {
        const std::function<void()> hook = whileDeletingTab;
        hook();
    }
    return true;
}

platform::Handle FakeShell::LoadLibrary(const std::wstring& path) {
    Note("LoadLibrary " + Utf8(path) + (user32LoadFails ? " failed" : ""));
    if (user32LoadFails) return 0;
    ++loadedLibraries;
    platform::Handle h = nextModule_;
    nextModule_ += 0x10000;
    return h;
}

void FakeShell::FreeLibrary(platform::Handle module) {
    Note("FreeLibrary");
    if (module != 0) --loadedLibraries;
}

bool FakeShell::ShutdownBlockReasonCreate(platform::Handle module, platform::Handle window,
                                          const std::wstring& reason, bool* found) {
    std::string line = "ShutdownBlockReasonCreate " + Utf8(reason);
    if (module == 0 || blockReasonMissing) {
        if (found) *found = false;
        Note(line + " missing");
        return false;
    }
    if (found) *found = true;
    rules::Fired(rules::kReasonOtherThread);
    if (!callerOwnsWindow || window == 0 || window != this->window) {
        Note(line + " failed");
        return false;
    }
    if (blockReasonCreateFails) {
        Note(line + " failed");
        return false;
    }
    Note(line);
    blockReason = reason;
    return true;
}

bool FakeShell::ShutdownBlockReasonDestroy(platform::Handle module, platform::Handle, bool* found) {
    if (module == 0 || blockReasonMissing) {
        if (found) *found = false;
        Note("ShutdownBlockReasonDestroy missing");
        return false;
    }
    if (found) *found = true;
    Note("ShutdownBlockReasonDestroy");
    // Destroying when nothing is registered fails, as on Windows.
    bool had = blockReason.has_value();
    blockReason.reset();
    return had;
}

std::wstring FakeShell::GetSystemDirectory(std::uint32_t capacity) {
    if (systemDirectory.size() + 1 > capacity) return std::wstring();
    return systemDirectory;
}

bool FakeShell::GetFolderPath(std::uint32_t csidl, std::wstring* path) {
    if (folderPathFails || csidl != platform::CsidlCommonAppData) return false;
    *path = commonAppData;
    return true;
}

void FakeShell::QueryEndSessionSent(FakeClock& clock) {
    const int question = ++questions_;
    reasonAtQuestion_.push_back(blockReason.has_value());
    if (visible || blockReason.has_value() || blockReasonMissing) return;
    constexpr std::int64_t kHungAppTimeoutMs = 5000;
    clock.After(kHungAppTimeoutMs, [this, question, window = generation] {
        if (window != generation || answers_ >= question || endedForBlocking) return;
        rules::Fired(rules::kVistaLateEnds);
        endedForBlocking = true;
        Note("Ended for blocking the session end");
        throw ProcessEnded{};
    });
}

void FakeShell::QueryEndSessionAnswered(std::intptr_t answer) {
    const int question = ++answers_;
    if (answer != 0 || endedForBlocking) return;
    if (blockReasonMissing) {
        rules::Fired(rules::kXpWaits);
        return;
    }
    const bool registered = question >= 1 && static_cast<std::size_t>(question) <= reasonAtQuestion_.size() &&
                            reasonAtQuestion_[static_cast<std::size_t>(question) - 1];
    if (visible || registered) return;
    rules::Fired(rules::kVistaVetoEnds);
    endedForBlocking = true;
    Note("Ended for blocking the session end");
    throw ProcessEnded{};
}

void FakeShell::EndDialogOk() {
    Note("EndDialog IDOK");
    dialogEnded = true;
}

void FakeShell::PostQuitMessage(int exitCode) {
    Note("PostQuitMessage " + std::to_string(exitCode));
    quitCode = exitCode;
}

}  // namespace fake
