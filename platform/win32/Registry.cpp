// Read-only registry access.
#include "platform/win32/ScopedHandle.h"
#include "platform/win32/Win32Platform.h"

namespace win32 {

namespace {

// The seam spells the predefined roots as their 32-bit values; on x64 the real
// ones are those values sign-extended, so they are mapped, not cast.
HKEY ToHkey(platform::Handle key) {
    switch (key) {
    case platform::HKeyCurrentUser: return HKEY_CURRENT_USER;
    case platform::HKeyLocalMachine: return HKEY_LOCAL_MACHINE;
    default: return FromHandle<HKEY>(key);
    }
}

}  // namespace

std::int32_t Registry::OpenKey(platform::Handle root, const std::wstring& subKey,
                               std::uint32_t access, platform::Handle* key) {
    HKEY opened = nullptr;
    const LONG result = ::RegOpenKeyExW(ToHkey(root), subKey.c_str(), 0, access, &opened);
    if (key) *key = result == ERROR_SUCCESS ? ToHandle(opened) : 0;
    return result;
}

std::int32_t Registry::QueryValue(platform::Handle key, const std::wstring& name,
                                  std::uint32_t* type, std::uint8_t* data, std::uint32_t* size) {
    DWORD valueType = 0;
    DWORD byteCount = size ? *size : 0;
    const LONG result = ::RegQueryValueExW(ToHkey(key), name.c_str(), nullptr, &valueType,
                                           data, size ? &byteCount : nullptr);
    if (type) *type = valueType;
    if (size) *size = byteCount;
    return result;
}

std::int32_t Registry::CloseKey(platform::Handle key) {
    return ::RegCloseKey(ToHkey(key));
}

std::wstring Registry::SystemMessage(std::uint32_t code) {
    wchar_t text[1000];
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, text,
                                          sizeof(text) / sizeof(text[0]), nullptr);
    return std::wstring(text, length);
}

}  // namespace win32
