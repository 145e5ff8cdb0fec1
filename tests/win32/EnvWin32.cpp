// The contract suite's environment on real Windows (run under Wine here):
// the Win32 layer as the seam, a scratch folder under the temporary folder
// and a scratch key under HKEY_CURRENT_USER, both removed afterwards.
#include "platform/win32/WinHeaders.h"
#include <map>
#include <memory>
#include <vector>
#include "platform/win32/ScopedHandle.h"
#include "platform/win32/Win32Platform.h"
#include "tests/contract/ContractEnv.h"

namespace contract {
namespace {

// Removes a folder and everything below it; the suite's folders are small.
void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    win32::ScopedFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (find) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = folder + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(path.c_str());
            }
        } while (::FindNextFileW(find.Get(), &entry));
    }
    find.Reset();
    ::RemoveDirectoryW(folder.c_str());
}

class Win32Env final : public Env {
public:
    Win32Env() {
        static unsigned counter = 0;
        const std::wstring unique =
            std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);

        wchar_t temp[MAX_PATH + 1] = L"";
        const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
        std::wstring base(temp, length);
        while (!base.empty() && base.back() == L'\\') base.pop_back();
        folder_ = base + L"\\qvc-" + unique;
        ::CreateDirectoryW(folder_.c_str(), nullptr);

        key_ = L"Software\\QuorvaContract\\" + unique;
        HKEY key = nullptr;
        if (::RegCreateKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr) == ERROR_SUCCESS)
            ::RegCloseKey(key);
    }

    ~Win32Env() override {
        for (auto& held : held_) ::CloseHandle(held.second);
        held_.clear();
        RemoveTree(folder_);
        ::RegDeleteKeyW(HKEY_CURRENT_USER, key_.c_str());
        ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\QuorvaContract");  // only when empty
    }

    platform::Platform& os() override { return machine_.os(); }
    std::uint32_t AnsiCodePage() override { return ::GetACP(); }

    std::wstring ScratchFolder() override { return folder_; }

    bool CreateFolderTree(const std::wstring& path) override {
        for (std::size_t i = 0; i <= path.size(); ++i) {
            if (i != path.size() && path[i] != L'\\') continue;
            const std::wstring prefix = path.substr(0, i);
            if (prefix.empty() || prefix.back() == L':') continue;
            if (!::CreateDirectoryW(prefix.c_str(), nullptr) &&
                ::GetLastError() != ERROR_ALREADY_EXISTS)
                return false;
        }
        return true;
    }

    bool PutFile(const std::wstring& path, const std::string& bytes) override {
        const std::size_t slash = path.rfind(L'\\');
        if (slash != std::wstring::npos && !CreateFolderTree(path.substr(0, slash))) return false;
        win32::ScopedKernelHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                                     nullptr));
        if (!file) return false;
        DWORD written = 0;
        return bytes.empty() ||
               (::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                            nullptr) &&
                written == bytes.size());
    }

    bool ReadFile(const std::wstring& path, std::string* bytes) override {
        win32::ScopedKernelHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                                     nullptr));
        if (!file) return false;
        std::string content;
        char chunk[4096];
        DWORD read = 0;
        while (::ReadFile(file.Get(), chunk, sizeof(chunk), &read, nullptr) && read > 0)
            content.append(chunk, read);
        if (bytes) *bytes = content;
        return true;
    }

    bool HoldWithoutSharing(const std::wstring& path) override {
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        Release(path);
        held_[path] = file;
        return true;
    }

    bool HoldWithByteRangeLock(const std::wstring& path) override {
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        OVERLAPPED from{};
        if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                          MAXDWORD, &from)) {
            ::CloseHandle(file);
            return false;
        }
        Release(path);
        held_[path] = file;
        return true;
    }

    bool HoldAndDelete(const std::wstring& path) override {
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        if (!::DeleteFileW(path.c_str())) {
            ::CloseHandle(file);
            return false;
        }
        Release(path);
        held_[path] = file;
        return true;
    }

    void Release(const std::wstring& path) override {
        auto found = held_.find(path);
        if (found == held_.end()) return;
        ::CloseHandle(found->second);
        held_.erase(found);
    }

    std::wstring ScratchKey() override { return key_; }

    bool SetRegistryValue(const std::wstring& name, std::uint32_t type,
                          const std::vector<std::uint8_t>& bytes) override {
        win32::ScopedRegKey key;
        HKEY opened = nullptr;
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, KEY_SET_VALUE, &opened) !=
            ERROR_SUCCESS)
            return false;
        key.Reset(opened);
        // A string whose next character in memory happens to be a NUL gets
        // that NUL counted in (the system's own help for callers who forgot
        // it); non-zero guard bytes keep the value exactly as given.
        std::vector<std::uint8_t> data(bytes);
        data.insert(data.end(), {0xFF, 0xFF, 0xFF, 0xFF});
        return ::RegSetValueExW(key.Get(), name.c_str(), 0, type, data.data(),
                                static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
    }

    void DeleteRegistryValue(const std::wstring& name) override {
        HKEY opened = nullptr;
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, KEY_SET_VALUE, &opened) !=
            ERROR_SUCCESS)
            return;
        win32::ScopedRegKey key(opened);
        ::RegDeleteValueW(key.Get(), name.c_str());
    }

private:
    win32::Win32Platform machine_;
    std::wstring folder_;
    std::wstring key_;
    std::map<std::wstring, HANDLE> held_;
};

}  // namespace

std::unique_ptr<Env> MakeEnv() {
    return std::make_unique<Win32Env>();
}

}  // namespace contract
