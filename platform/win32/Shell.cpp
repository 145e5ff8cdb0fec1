// The agent window, COM and the taskbar object, the user-interface library's
// block-reason functions and the system folders.
#include "platform/win32/WinHeaders.h"
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include "platform/win32/ScopedHandle.h"
#include "platform/win32/Win32Platform.h"

namespace win32 {

namespace {

// Spelled out here so that no GUID library is linked in.
constexpr CLSID kClsidTaskbarList = {
    0x56FDF344, 0xFD6D, 0x11D0, {0x95, 0x8A, 0x00, 0x60, 0x97, 0xC9, 0xA0, 0x90}};
constexpr IID kIidTaskbarList2 = {
    0x602D4995, 0xB13A, 0x429B, {0xA6, 0x6E, 0x19, 0x35, 0xE4, 0x4F, 0x43, 0x17}};

// The block-reason functions exist from Windows Vista on; they are looked up
// so that the program still loads on Windows XP.
using BlockReasonCreate = BOOL(WINAPI*)(HWND, LPCWSTR);
using BlockReasonDestroy = BOOL(WINAPI*)(HWND);

template <typename Function>
Function Lookup(platform::Handle module, const char* name) {
    // No module is not "this program": never search the executable itself.
    if (module == 0) return nullptr;
    FARPROC address = ::GetProcAddress(FromHandle<HMODULE>(module), name);
    return reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

}  // namespace

platform::Handle Shell::WindowHandle() {
    return ToHandle(window_);
}

bool Shell::ModifyStyleEx(std::uint32_t remove, std::uint32_t add) {
    if (window_ == nullptr) return false;
    const LONG_PTR style = ::GetWindowLongPtrW(window_, GWL_EXSTYLE);
    const LONG_PTR changed = (style & ~static_cast<LONG_PTR>(remove)) | static_cast<LONG_PTR>(add);
    if (style == changed) return false;
    ::SetWindowLongPtrW(window_, GWL_EXSTYLE, changed);
    return true;
}

platform::Handle Shell::GetParent() {
    return ToHandle(::GetParent(window_));
}

bool Shell::SetWindowPos(platform::Handle insertAfter, int x, int y, int cx, int cy,
                         std::uint32_t flags) {
    return ::SetWindowPos(window_, FromHandle<HWND>(insertAfter), x, y, cx, cy, flags) != FALSE;
}

bool Shell::ShowWindow(std::int32_t command) {
    return ::ShowWindow(window_, command) != FALSE;
}

void Shell::SetIcon(std::uint32_t which) {
    ::SendMessageW(window_, WM_SETICON, which, reinterpret_cast<LPARAM>(icon_));
}

void Shell::CoInitialize() {
    ::CoInitialize(nullptr);
}

void Shell::CoUninitialize() {
    ::CoUninitialize();
}

bool Shell::DeleteTaskbarTab(platform::Handle window) {
    ITaskbarList2* taskbar = nullptr;
    const HRESULT created = ::CoCreateInstance(kClsidTaskbarList, nullptr, CLSCTX_INPROC_SERVER,
                                               kIidTaskbarList2, reinterpret_cast<void**>(&taskbar));
    if (FAILED(created) || taskbar == nullptr) return false;
    taskbar->HrInit();
    taskbar->DeleteTab(FromHandle<HWND>(window));
    taskbar->Release();
    return true;
}

platform::Handle Shell::LoadLibrary(const std::wstring& path) {
    return ToHandle(::LoadLibraryW(path.c_str()));
}

void Shell::FreeLibrary(platform::Handle module) {
    if (module) ::FreeLibrary(FromHandle<HMODULE>(module));
}

bool Shell::ShutdownBlockReasonCreate(platform::Handle module, platform::Handle window,
                                      const std::wstring& reason, bool* found) {
    const auto create = Lookup<BlockReasonCreate>(module, "ShutdownBlockReasonCreate");
    if (found) *found = create != nullptr;
    if (create == nullptr) return false;
    return create(FromHandle<HWND>(window), reason.c_str()) != FALSE;
}

bool Shell::ShutdownBlockReasonDestroy(platform::Handle module, platform::Handle window,
                                       bool* found) {
    const auto destroy = Lookup<BlockReasonDestroy>(module, "ShutdownBlockReasonDestroy");
    if (found) *found = destroy != nullptr;
    if (destroy == nullptr) return false;
    return destroy(FromHandle<HWND>(window)) != FALSE;
}

std::wstring Shell::GetSystemDirectory(std::uint32_t capacity) {
    if (capacity == 0) return std::wstring();
    std::wstring buffer(capacity, L'\0');
    const UINT length = ::GetSystemDirectoryW(&buffer[0], capacity);
    // A length of the capacity or more is the size it would have needed.
    if (length == 0 || length >= capacity) return std::wstring();
    buffer.resize(length);
    return buffer;
}

bool Shell::GetFolderPath(std::uint32_t csidl, std::wstring* path) {
    wchar_t folder[MAX_PATH] = L"";
    if (FAILED(::SHGetFolderPathW(nullptr, static_cast<int>(csidl), nullptr, SHGFP_TYPE_CURRENT,
                                  folder)))
        return false;
    folder[MAX_PATH - 1] = L'\0';
    if (path) *path = folder;
    return true;
}

void Shell::EndDialogOk() {
    if (host_) host_->EndDialog(IDOK);
}

void Shell::PostQuitMessage(int exitCode) {
    ::PostQuitMessage(exitCode);
}

}  // namespace win32
