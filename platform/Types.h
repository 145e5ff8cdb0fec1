// Plain value types shared by the seam and the logic. No <windows.h> here:
// the numbers are the Windows ones, spelled out where the logic needs them.
#pragma once
#include <cstdint>
#include <string>

namespace platform {

// Opaque handles: 0 means "no handle". The Win32 layer maps them to real
// HKEY / HANDLE / HMODULE values; the simulated machine hands out counters.
using Handle = std::uintptr_t;

// SYSTEMTIME, field for field.
struct SystemTime {
    std::uint16_t year = 0, month = 0, dayOfWeek = 0, day = 0;
    std::uint16_t hour = 0, minute = 0, second = 0, milliseconds = 0;
};

// Win32 error codes the logic looks at.
namespace err {
constexpr std::uint32_t Success = 0;
constexpr std::uint32_t FileNotFound = 2;
constexpr std::uint32_t PathNotFound = 3;
constexpr std::uint32_t AccessDenied = 5;
constexpr std::uint32_t InvalidHandle = 6;
constexpr std::uint32_t BadLength = 24;
constexpr std::uint32_t SharingViolation = 32;
constexpr std::uint32_t LockViolation = 33;
constexpr std::uint32_t HandleEof = 38;
constexpr std::uint32_t FileExists = 80;
constexpr std::uint32_t InvalidParameter = 87;
constexpr std::uint32_t InsufficientBuffer = 122;
constexpr std::uint32_t AlreadyExists = 183;
constexpr std::uint32_t MoreData = 234;
constexpr std::uint32_t FilenameExcedRange = 206;
constexpr std::uint32_t NotAllAssigned = 1300;
}  // namespace err

}  // namespace platform
