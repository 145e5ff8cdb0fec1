// The contract suite's environment on the simulated machine.
#include <map>
#include "tests/contract/ContractEnv.h"
#include "tests/fakes/FakeMachine.h"

namespace contract {
namespace {

class FakeEnv : public Env {
public:
    FakeEnv() {
        machine_.files.MakeFolder(kScratch);
        machine_.registry.CreateKey(platform::HKeyCurrentUser, kKey);
    }

    platform::Platform& os() override { return machine_.os(); }
    std::uint32_t AnsiCodePage() override { return 1252; }

    std::wstring ScratchFolder() override { return kScratch; }
    bool CreateFolderTree(const std::wstring& path) override {
        machine_.files.MakeFolder(path);
        return true;
    }
    bool PutFile(const std::wstring& path, const std::string& bytes) override {
        machine_.files.PutFile(path, bytes);
        return true;
    }
    bool ReadFile(const std::wstring& path, std::string* bytes) override {
        auto content = machine_.files.Read(path);
        if (!content) return false;
        *bytes = *content;
        return true;
    }
    bool HoldWithoutSharing(const std::wstring& path) override {
        if (!machine_.files.Read(path)) return false;
        machine_.files.Lock(path);
        return true;
    }
    bool HoldWithByteRangeLock(const std::wstring& path) override {
        if (!machine_.files.Read(path)) return false;
        machine_.files.LockRange(path);
        return true;
    }
    bool HoldAndDelete(const std::wstring& path) override {
        if (!machine_.files.Read(path)) return false;
        machine_.files.DeletePending(path);
        return true;
    }
    void Release(const std::wstring& path) override {
        machine_.files.Unlock(path);
        machine_.files.UnlockRange(path);
        machine_.files.ReleaseDeletePending(path);
    }

    std::wstring ScratchKey() override { return kKey; }
    bool SetRegistryValue(const std::wstring& name, std::uint32_t type,
                          const std::vector<std::uint8_t>& bytes) override {
        machine_.registry.SetValue(platform::HKeyCurrentUser, kKey, name, type, bytes);
        return true;
    }
    void DeleteRegistryValue(const std::wstring& name) override {
        machine_.registry.DeleteValue(platform::HKeyCurrentUser, kKey, name);
    }

private:
    static constexpr const wchar_t* kScratch = L"C:\\users\\tester\\Temp\\qvc-1";
    static constexpr const wchar_t* kKey = L"Software\\QuorvaContract\\1";
    fake::FakeMachine machine_;
};

}  // namespace

std::unique_ptr<Env> MakeEnv() { return std::make_unique<FakeEnv>(); }

}  // namespace contract
