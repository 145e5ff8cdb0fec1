// The registry reader. Every read opens its key, queries one value and closes
// the key again; nothing stays open between calls.
#pragma once
#include <cstdint>
#include <string>
#include "platform/Registry.h"
#include "platform/WideBuffer.h"

class CRegistry {
public:
    explicit CRegistry(platform::IRegistry& registry) : registry_(registry) {}
    virtual ~CRegistry() = default;

    bool OpenLocalMachineKey(const std::wstring& subKey);
    bool OpenCurrentUserKey(const std::wstring& subKey);

    // A string value of HKLM\SOFTWARE\VORLAN, at most 1024 bytes. On failure
    // the buffer is left unchanged and m_szError says why.
    template <std::size_t N>
    bool ReadProductValue(const std::wstring& valueName, WideBuffer<N>& buffer) {
        std::wstring text;
        if (!ReadProductValue(valueName, &text)) return false;
        buffer = text;
        return true;
    }
    bool ReadProductValue(const std::wstring& valueName, std::wstring* text);

    // A REG_DWORD value of HKLM\SOFTWARE\VORLAN. False, with *value
    // untouched, when it is absent or of another type or size.
    bool ReadProductNumber(const std::wstring& valueName, std::uint32_t* value);

    // HKCU\...\Explorer "Shutdown Setting", a 4-byte number.
    bool ReadShutdownSetting(std::uint32_t* value);

    platform::Handle m_hKey = 0;
    platform::Handle m_hSubKey = 0;
    WideBuffer<1000> m_szError;

private:
    bool OpenKey(platform::Handle root, const std::wstring& subKey, std::uint32_t access);
    void SetError(const wchar_t* call, std::int32_t code);
    platform::IRegistry& registry_;
};
