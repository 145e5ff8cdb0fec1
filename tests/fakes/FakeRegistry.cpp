#include "tests/fakes/FakeRegistry.h"
#include <cstdio>
#include <cstring>
#include "platform/Types.h"
#include "tests/fakes/FakeText.h"

namespace fake {
namespace {

constexpr std::int32_t kBadPathname = 161;

std::wstring Fold(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        if ((c >= L'A' && c <= L'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) c = static_cast<wchar_t>(c + 32);
        out.push_back(c);
    }
    // Repeated and trailing backslashes name the same key.
    std::wstring collapsed;
    for (wchar_t c : out) {
        if (c == L'\\' && !collapsed.empty() && collapsed.back() == L'\\') continue;
        collapsed.push_back(c);
    }
    while (!collapsed.empty() && collapsed.back() == L'\\') collapsed.pop_back();
    return collapsed;
}

bool IsRoot(platform::Handle h) {
    return h == platform::HKeyCurrentUser || h == platform::HKeyLocalMachine;
}

}  // namespace

FakeRegistry::Path FakeRegistry::PathOf(platform::Handle root, const std::wstring& subKey) {
    return {root, Fold(subKey)};
}

std::vector<std::uint8_t> FakeRegistry::Utf16Bytes(const std::wstring& text, bool withTerminator) {
    std::vector<std::uint8_t> out;
    for (wchar_t c : text) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>((c >> 8) & 0xFF));
    }
    if (withTerminator) out.insert(out.end(), {0, 0});
    return out;
}

void FakeRegistry::CreateKey(platform::Handle root, const std::wstring& subKey) {
    // Every key above it exists as well.
    std::wstring folded = Fold(subKey);
    for (std::size_t pos = 0;; ++pos) {
        pos = folded.find(L'\\', pos);
        keys_[{root, folded.substr(0, pos)}];
        if (pos == std::wstring::npos) break;
    }
}

void FakeRegistry::SetValue(platform::Handle root, const std::wstring& subKey,
                            const std::wstring& name, std::uint32_t type,
                            std::vector<std::uint8_t> bytes) {
    CreateKey(root, subKey);
    keys_[PathOf(root, subKey)].values[Fold(name)] = Value{type, std::move(bytes)};
}

void FakeRegistry::SetString(platform::Handle root, const std::wstring& subKey,
                             const std::wstring& name, const std::wstring& text,
                             bool withTerminator) {
    SetValue(root, subKey, name, platform::RegSz, Utf16Bytes(text, withTerminator));
}

void FakeRegistry::SetDword(platform::Handle root, const std::wstring& subKey,
                            const std::wstring& name, std::uint32_t value) {
    SetValue(root, subKey, name, platform::RegDword,
             {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
              static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)});
}

void FakeRegistry::DeleteValue(platform::Handle root, const std::wstring& subKey,
                               const std::wstring& name) {
    auto it = keys_.find(PathOf(root, subKey));
    if (it != keys_.end()) it->second.values.erase(Fold(name));
}

void FakeRegistry::DeleteKey(platform::Handle root, const std::wstring& subKey) {
    Path path = PathOf(root, subKey);
    for (auto it = keys_.begin(); it != keys_.end();) {
        bool below = it->first.first == root &&
                     (it->first.second == path.second || it->first.second.rfind(path.second + L"\\", 0) == 0);
        it = below ? keys_.erase(it) : std::next(it);
    }
}

void FakeRegistry::DenyOpen(platform::Handle root, const std::wstring& subKey) {
    CreateKey(root, subKey);
    denied_.insert(PathOf(root, subKey));
}

std::int32_t FakeRegistry::OpenKey(platform::Handle root, const std::wstring& subKey,
                                   std::uint32_t access, platform::Handle* key) {
    std::int32_t result = 0;
    Path path;
    if (IsRoot(root)) {
        path = PathOf(root, subKey);
    } else if (auto it = open_.find(root); it != open_.end()) {
        std::wstring joined = it->second.second.empty() ? Fold(subKey)
                              : subKey.empty()         ? it->second.second
                                                       : it->second.second + L"\\" + Fold(subKey);
        path = {it->second.first, joined};
    } else {
        result = static_cast<std::int32_t>(platform::err::InvalidHandle);
    }
    if (result == 0 && !subKey.empty() && subKey[0] == L'\\') result = kBadPathname;
    if (result == 0 && !path.second.empty() && !keys_.count(path))
        result = static_cast<std::int32_t>(platform::err::FileNotFound);
    if (result == 0 && denied_.count(path)) result = static_cast<std::int32_t>(platform::err::AccessDenied);
    opens.push_back({root, subKey, access, result});
    if (result != 0) return result;
    platform::Handle h = nextHandle_;
    nextHandle_ += 4;
    open_[h] = path;
    if (key) *key = h;
    return 0;
}

std::int32_t FakeRegistry::QueryValue(platform::Handle key, const std::wstring& name,
                                      std::uint32_t* type, std::uint8_t* data,
                                      std::uint32_t* size) {
    Path path;
    if (IsRoot(key)) {
        path = {key, L""};
    } else {
        auto it = open_.find(key);
        if (it == open_.end()) return static_cast<std::int32_t>(platform::err::InvalidHandle);
        path = it->second;
    }
    auto k = keys_.find(path);
    if (k == keys_.end()) return static_cast<std::int32_t>(platform::err::FileNotFound);
    auto v = k->second.values.find(Fold(name));
    if (v == k->second.values.end()) return static_cast<std::int32_t>(platform::err::FileNotFound);
    const auto& bytes = v->second.bytes;
    if (type) *type = v->second.type;
    if (!size) return data ? static_cast<std::int32_t>(87) : 0;  // ERROR_INVALID_PARAMETER
    const auto needed = static_cast<std::uint32_t>(bytes.size());
    if (data && needed > *size) {
        *size = needed;
        return static_cast<std::int32_t>(platform::err::MoreData);
    }
    if (data && !bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    *size = needed;
    return 0;
}

std::int32_t FakeRegistry::CloseKey(platform::Handle key) {
    if (IsRoot(key)) return 0;
    if (!open_.erase(key)) return static_cast<std::int32_t>(platform::err::InvalidHandle);
    return 0;
}

std::wstring FakeRegistry::SystemMessage(std::uint32_t code) {
    switch (code) {
        case 0: return L"The operation completed successfully.\r\n";
        case 1: return L"Incorrect function.\r\n";
        case 2: return L"The system cannot find the file specified.\r\n";
        case 3: return L"The system cannot find the path specified.\r\n";
        case 5: return L"Access is denied.\r\n";
        case 6: return L"The handle is invalid.\r\n";
        case 32: return L"The process cannot access the file because it is being used by another process.\r\n";
        case 80: return L"The file exists.\r\n";
        case 87: return L"The parameter is incorrect.\r\n";
        case 122: return L"The data area passed to a system call is too small.\r\n";
        case 161: return L"The specified path is invalid.\r\n";
        case 183: return L"Cannot create a file when that file already exists.\r\n";
        case 206: return L"The filename or extension is too long.\r\n";
        case 234: return L"More data is available.\r\n";
        case 1009: return L"The configuration registry database is corrupt.\r\n";
        case 1010: return L"The configuration registry key is invalid.\r\n";
        case 1011: return L"The configuration registry key could not be opened.\r\n";
        case 1012: return L"The configuration registry key could not be read.\r\n";
        default: return std::wstring();
    }
}

}  // namespace fake
