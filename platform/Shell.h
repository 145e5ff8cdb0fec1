// The agent window and the shell around it: window styles and placement,
// icons, the taskbar object, the user-interface library and its block-reason
// functions, system folders, and the end of the modal run.
#pragma once
#include <cstdint>
#include <string>
#include "platform/Types.h"

namespace platform {

constexpr std::uint32_t WsExAppWindow = 0x00040000;
constexpr std::uint32_t WsExToolWindow = 0x00000080;
constexpr std::uint32_t SwpNoMove = 0x0002;
constexpr std::uint32_t SwpHideWindow = 0x0080;
constexpr std::int32_t SwHide = 0;
constexpr std::uint32_t IconBig = 1, IconSmall = 0;
constexpr std::uint32_t CsidlCommonAppData = 0x23;

class IShell {
public:
    virtual ~IShell() = default;

    // --- the agent window (the handle the framework created) ---
    virtual Handle WindowHandle() = 0;
    virtual bool ModifyStyleEx(std::uint32_t remove, std::uint32_t add) = 0;
    virtual Handle GetParent() = 0;
    virtual bool SetWindowPos(Handle insertAfter, int x, int y, int cx, int cy,
                              std::uint32_t flags) = 0;
    virtual bool ShowWindow(std::int32_t command) = 0;
    // WM_SETICON with the agent's icon (resource 128).
    virtual void SetIcon(std::uint32_t which) = 0;

    // --- COM and the taskbar object ---
    virtual void CoInitialize() = 0;
    virtual void CoUninitialize() = 0;
    // CoCreateInstance(CLSID_TaskbarList, IID_ITaskbarList2), HrInit,
    // DeleteTab(window), Release. False when the object could not be created
    // (then nothing else is called).
    virtual bool DeleteTaskbarTab(Handle window) = 0;

    // --- the user-interface library ---
    // LoadLibraryW(path). 0 on failure.
    virtual Handle LoadLibrary(const std::wstring& path) = 0;
    virtual void FreeLibrary(Handle module) = 0;
    // GetProcAddress(module, "ShutdownBlockReasonCreate") and its call; nullopt
    // semantics: `found` false when the function is missing.
    virtual bool ShutdownBlockReasonCreate(Handle module, Handle window, const std::wstring& reason,
                                           bool* found) = 0;
    virtual bool ShutdownBlockReasonDestroy(Handle module, Handle window, bool* found) = 0;

    // --- folders ---
    // GetSystemDirectoryW into a buffer of the given capacity; empty on failure.
    virtual std::wstring GetSystemDirectory(std::uint32_t capacity) = 0;
    // SHGetFolderPathW(NULL, csidl, NULL, SHGFP_TYPE_CURRENT). False on failure.
    virtual bool GetFolderPath(std::uint32_t csidl, std::wstring* path) = 0;

    // --- the modal run ---
    // CDialog::OnOK: ends the modal run with IDOK.
    virtual void EndDialogOk() = 0;
    virtual void PostQuitMessage(int exitCode) = 0;
};

}  // namespace platform
