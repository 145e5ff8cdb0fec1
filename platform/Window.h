// The window messages the agent answers, the bits of a session end's lParam,
// and the Windows boolean the agent state is kept in. The numbers are the
// Windows ones.
#pragma once
#include <cstdint>

namespace platform {

using BOOL = std::int32_t;  // the Windows boolean: 0 or 1, tested for non-zero
constexpr BOOL FALSE_ = 0;
constexpr BOOL TRUE_ = 1;

// Window messages the agent routes.
namespace wm {
constexpr std::uint32_t Destroy = 0x0002;
constexpr std::uint32_t Paint = 0x000F;
constexpr std::uint32_t Close = 0x0010;
constexpr std::uint32_t QueryEndSession = 0x0011;
constexpr std::uint32_t EndSession = 0x0016;
constexpr std::uint32_t QueryDragIcon = 0x0037;
constexpr std::uint32_t SetIcon = 0x0080;
}  // namespace wm

// ENDSESSION_CLOSEAPP, ENDSESSION_CRITICAL and ENDSESSION_LOGOFF.
constexpr std::uint32_t EndSessionCloseApp = 0x00000001u;
constexpr std::uint32_t EndSessionCritical = 0x40000000u;
constexpr std::uint32_t EndSessionLogoff = 0x80000000u;

// What a window's handler answers: whether it handled the message and, if
// so, the message result. Unhandled messages get the default dialog handling.
struct MessageResult {
    bool handled = false;
    std::intptr_t result = 0;
};

}  // namespace platform
