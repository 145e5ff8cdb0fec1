// The registry reader: one open, one query and one close per read.
#include "system/Registry.h"

namespace {

constexpr const wchar_t* kProductKey = L"SOFTWARE\\VORLAN";
constexpr const wchar_t* kExplorerKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer";
constexpr std::uint32_t kValueBytes = 1024;

}  // namespace

bool CRegistry::OpenKey(platform::Handle root, const std::wstring& subKey, std::uint32_t access) {
    m_hKey = root;
    const std::int32_t result = registry_.OpenKey(root, subKey, access, &m_hSubKey);
    if (result != 0) {
        SetError(L"RegOpenKeyEx", result);
        m_hKey = 0;
        return false;
    }
    m_hKey = m_hSubKey;
    return true;
}

bool CRegistry::OpenLocalMachineKey(const std::wstring& subKey) {
    return OpenKey(platform::HKeyLocalMachine, subKey, platform::KeyRead);
}

bool CRegistry::OpenCurrentUserKey(const std::wstring& subKey) {
    // Read and set-value access: a user key the user may read but not change
    // is refused here, as the product has always done.
    return OpenKey(platform::HKeyCurrentUser, subKey, platform::KeyRead | platform::KeySetValue);
}

void CRegistry::SetError(const wchar_t* call, std::int32_t code) {
    // The system's description keeps its own trailing line break; a text too
    // long for the buffer is cut at its end.
    std::wstring text = call;
    text += L" [" + std::to_wstring(code) + L"]::";
    text += registry_.SystemMessage(static_cast<std::uint32_t>(code));
    m_szError = text;
}

bool CRegistry::ReadProductValue(const std::wstring& valueName, std::wstring* text) {
    m_szError.clear();
    if (!OpenLocalMachineKey(kProductKey)) return false;

    std::uint8_t data[kValueBytes];
    std::uint32_t size = kValueBytes;
    std::uint32_t type = 0;
    const std::int32_t result = registry_.QueryValue(m_hKey, valueName, &type, data, &size);
    if (result != 0) {
        SetError(L"RegQueryValueEx", result);
        registry_.CloseKey(m_hKey);
        return false;
    }
    // The value may lack its terminator: take at most the characters the
    // returned byte count holds, and stop at the first NUL.
    std::wstring value;
    const std::uint32_t units = (size <= kValueBytes ? size : kValueBytes) / 2;
    for (std::uint32_t i = 0; i < units; ++i) {
        const wchar_t c = static_cast<wchar_t>(data[2 * i] | (data[2 * i + 1] << 8));
        if (c == L'\0') break;
        value.push_back(c);
    }
    *text = value;
    registry_.CloseKey(m_hKey);
    m_hKey = 0;
    return true;
}

bool CRegistry::ReadProductNumber(const std::wstring& valueName, std::uint32_t* value) {
    m_szError.clear();
    if (!OpenLocalMachineKey(kProductKey)) return false;
    std::uint8_t data[8];
    std::uint32_t size = sizeof data;
    std::uint32_t type = 0;
    const std::int32_t result = registry_.QueryValue(m_hKey, valueName, &type, data, &size);
    registry_.CloseKey(m_hKey);
    m_hKey = 0;
    if (result != 0) {
        SetError(L"RegQueryValueEx", result);
        return false;
    }
    // A number written as text, or with another width, is not what the
    // administrator meant to set: it is not guessed at.
    if (type != platform::RegDword || size != 4) return false;
    *value = static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
             static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
    return true;
}

bool CRegistry::ReadShutdownSetting(std::uint32_t* value) {
    m_szError.clear();
    if (!OpenCurrentUserKey(kExplorerKey)) return false;

    std::uint8_t data[4];
    std::uint32_t size = sizeof data;
    std::uint32_t type = 0;
    const std::int32_t result = registry_.QueryValue(m_hKey, L"Shutdown Setting", &type, data, &size);
    registry_.CloseKey(m_hKey);
    if (result != 0) return false;
    // A shorter value fills the low bytes; the rest of the number stays as
    // the caller had it, as a direct query into the number would leave it.
    std::uint32_t number = *value;
    for (std::uint32_t i = 0; i < size && i < 4; ++i) {
        number &= ~(0xFFu << (8 * i));
        number |= static_cast<std::uint32_t>(data[i]) << (8 * i);
    }
    *value = number;
    m_hKey = 0;
    return true;
}
