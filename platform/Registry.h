// The registry, read-only, in the shape of the Win32 calls.
#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "platform/Types.h"

namespace platform {

constexpr Handle HKeyCurrentUser = 0x80000001u;
constexpr Handle HKeyLocalMachine = 0x80000002u;
constexpr std::uint32_t KeyRead = 0x20019;
constexpr std::uint32_t KeySetValue = 0x0002;
constexpr std::uint32_t RegSz = 1, RegExpandSz = 2, RegBinary = 3, RegDword = 4, RegMultiSz = 7,
                        RegQword = 11;

class IRegistry {
public:
    virtual ~IRegistry() = default;

    // RegOpenKeyExW(root, subKey, 0, access, &key): the Win32 result code.
    virtual std::int32_t OpenKey(Handle root, const std::wstring& subKey, std::uint32_t access,
                                 Handle* key) = 0;

    // RegQueryValueExW(key, name, NULL, &type, data, &size). On entry *size is
    // the capacity of data in bytes; on success it is the byte count stored.
    // ERROR_MORE_DATA when the value is larger (data untouched then).
    virtual std::int32_t QueryValue(Handle key, const std::wstring& name, std::uint32_t* type,
                                    std::uint8_t* data, std::uint32_t* size) = 0;

    virtual std::int32_t CloseKey(Handle key) = 0;

    // FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, ...) for a result code, as
    // the system gives it (with its trailing CR LF); empty when none.
    virtual std::wstring SystemMessage(std::uint32_t code) = 0;
};

}  // namespace platform
