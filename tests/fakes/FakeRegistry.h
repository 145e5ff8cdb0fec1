// Registry hives of the simulated machine: keys under HKLM and HKCU holding
// values of any type as raw bytes. Opens are recorded with their access mask
// and open handles counted, so a test can prove every key was closed.
#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>
#include "platform/Registry.h"

namespace fake {

class FakeRegistry : public platform::IRegistry {
public:
    struct Value {
        std::uint32_t type = platform::RegSz;
        std::vector<std::uint8_t> bytes;
    };
    struct OpenRecord {
        platform::Handle root;
        std::wstring subKey;
        std::uint32_t access;
        std::int32_t result;
    };

    // Every OpenKey, in order.
    std::vector<OpenRecord> opens;

    // ---- test hooks ----
    void CreateKey(platform::Handle root, const std::wstring& subKey);
    void SetValue(platform::Handle root, const std::wstring& subKey, const std::wstring& name,
                  std::uint32_t type, std::vector<std::uint8_t> bytes);
    // REG_SZ as UTF-16LE, with its terminator unless told otherwise.
    void SetString(platform::Handle root, const std::wstring& subKey, const std::wstring& name,
                   const std::wstring& text, bool withTerminator = true);
    void SetDword(platform::Handle root, const std::wstring& subKey, const std::wstring& name,
                  std::uint32_t value);
    void DeleteValue(platform::Handle root, const std::wstring& subKey, const std::wstring& name);
    void DeleteKey(platform::Handle root, const std::wstring& subKey);  // and its subkeys
    // Opening this key fails with ERROR_ACCESS_DENIED.
    void DenyOpen(platform::Handle root, const std::wstring& subKey);
    // Keys opened and not closed yet.
    std::size_t OpenKeyCount() const { return open_.size(); }

    // UTF-16LE bytes of a text (what a REG_SZ holds on Windows).
    static std::vector<std::uint8_t> Utf16Bytes(const std::wstring& text, bool withTerminator);

    // ---- IRegistry ----
    std::int32_t OpenKey(platform::Handle root, const std::wstring& subKey, std::uint32_t access,
                         platform::Handle* key) override;
    std::int32_t QueryValue(platform::Handle key, const std::wstring& name, std::uint32_t* type,
                            std::uint8_t* data, std::uint32_t* size) override;
    std::int32_t CloseKey(platform::Handle key) override;
    std::wstring SystemMessage(std::uint32_t code) override;

private:
    struct Key {
        std::map<std::wstring, Value> values;  // by folded name
    };
    using Path = std::pair<platform::Handle, std::wstring>;  // root, folded subkey
    static Path PathOf(platform::Handle root, const std::wstring& subKey);
    std::map<Path, Key> keys_;
    std::set<Path> denied_;
    std::map<platform::Handle, Path> open_;
    platform::Handle nextHandle_ = 0x1A0;
};

}  // namespace fake
