// Ending sessions: the shutdown privilege, ExitWindowsEx, AbortSystemShutdownW.
#pragma once
#include <cstdint>
#include "platform/Types.h"

namespace platform {

constexpr std::uint32_t EwxLogoff = 0, EwxShutdown = 1, EwxReboot = 2, EwxForce = 4,
                        EwxPowerOff = 8;

class IShutdown {
public:
    virtual ~IShutdown() = default;

    // OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY).
    // 0 on failure.
    virtual Handle OpenProcessToken() = 0;
    virtual void CloseToken(Handle token) = 0;

    // LookupPrivilegeValueW(NULL, "SeShutdownPrivilege") then
    // AdjustTokenPrivileges with one privilege and the attribute
    // SE_PRIVILEGE_ENABLED (enable) or 0. The result of AdjustTokenPrivileges
    // (false also when the lookup failed), and in *error the last error right
    // after it: the call also succeeds for a token that does not hold the
    // privilege at all, with ERROR_NOT_ALL_ASSIGNED (1300), and leaves 0 only
    // when the privilege was adjusted.
    virtual bool SetShutdownPrivilege(Handle token, bool enable, std::uint32_t* error) = 0;

    // AbortSystemShutdownW(NULL).
    virtual bool AbortSystemShutdown() = 0;

    // ExitWindowsEx(flags, reason).
    virtual bool ExitWindowsEx(std::uint32_t flags, std::uint32_t reason) = 0;
};

}  // namespace platform
