// The shutdown privilege and the calls that end or keep a session.
#include "platform/win32/ScopedHandle.h"
#include "platform/win32/Win32Platform.h"

namespace win32 {

platform::Handle Shutdown::OpenProcessToken() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return 0;
    return ToHandle(token);
}

void Shutdown::CloseToken(platform::Handle token) {
    if (token) ::CloseHandle(FromHandle<HANDLE>(token));
}

bool Shutdown::SetShutdownPrivilege(platform::Handle token, bool enable, std::uint32_t* error) {
    TOKEN_PRIVILEGES privileges{};
    if (!::LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &privileges.Privileges[0].Luid)) {
        if (error) *error = ::GetLastError();
        return false;
    }
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    const BOOL adjusted = ::AdjustTokenPrivileges(FromHandle<HANDLE>(token), FALSE, &privileges, 0,
                                                  nullptr, nullptr);
    // Read at once, success or not: a success is only whole with 0 here.
    if (error) *error = ::GetLastError();
    return adjusted != FALSE;
}

bool Shutdown::AbortSystemShutdown() {
    return ::AbortSystemShutdownW(nullptr) != FALSE;
}

bool Shutdown::ExitWindowsEx(std::uint32_t flags, std::uint32_t reason) {
    return ::ExitWindowsEx(flags, reason) != FALSE;
}

}  // namespace win32
