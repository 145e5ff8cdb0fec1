// Shared fixture of the contract suite: a fresh environment per test and a
// few helpers for paths and byte buffers.
#pragma once
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include "tests/contract/ContractEnv.h"

namespace contract {

class ContractTest : public ::testing::Test {
protected:
    void SetUp() override { env_ = MakeEnv(); }
    void TearDown() override { env_.reset(); }

    Env& env() { return *env_; }
    platform::Platform& os() { return env_->os(); }
    // A path inside the scratch folder.
    std::wstring In(const std::wstring& relative) { return env_->ScratchFolder() + L"\\" + relative; }
    std::string Bytes(const std::wstring& path) {
        std::string bytes;
        if (!env_->ReadFile(path, &bytes)) return "<unreadable>";
        return bytes;
    }

private:
    std::unique_ptr<Env> env_;
};

}  // namespace contract
