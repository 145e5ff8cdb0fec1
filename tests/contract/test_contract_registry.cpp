// How registry reads of the seam behave, in the manner of Wine's own
// conformance tests: junk-filled buffers, guard bytes, unterminated data.
#include <cstring>
#include <vector>
#include "tests/contract/ContractTest.h"
#include "platform/Types.h"

namespace contract {
namespace {

namespace err = platform::err;
constexpr std::uint8_t kJunk = 0xAA;

std::vector<std::uint8_t> Utf16(const std::wstring& text, bool terminator) {
    std::vector<std::uint8_t> out;
    for (wchar_t c : text) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>((c >> 8) & 0xFF));
    }
    if (terminator) out.insert(out.end(), {0, 0});
    return out;
}

class RegistryContract : public ContractTest {
protected:
    void SetUp() override {
        ContractTest::SetUp();
        ASSERT_EQ(reg().OpenKey(platform::HKeyCurrentUser, env().ScratchKey(), platform::KeyRead, &key_), 0);
    }
    void TearDown() override {
        if (key_) reg().CloseKey(key_);
        ContractTest::TearDown();
    }
    platform::IRegistry& reg() { return os().registry; }

    // Queries into a junk-filled buffer of `capacity` bytes plus 16 guard bytes.
    std::int32_t Query(const std::wstring& name, std::uint32_t capacity) {
        buffer_.assign(capacity + 16, kJunk);
        size_ = capacity;
        type_ = 0xFFFF;
        return reg().QueryValue(key_, name, &type_, buffer_.data(), &size_);
    }
    bool GuardIntactFrom(std::size_t offset) const {
        for (std::size_t i = offset; i < buffer_.size(); ++i)
            if (buffer_[i] != kJunk) return false;
        return true;
    }

    platform::Handle key_ = 0;
    std::vector<std::uint8_t> buffer_;
    std::uint32_t size_ = 0;
    std::uint32_t type_ = 0;
};

TEST_F(RegistryContract, StringWithTerminator) {
    auto bytes = Utf16(L"C:\\Program Files\\VORLAN\\", true);
    ASSERT_TRUE(env().SetRegistryValue(L"InstallationPath", platform::RegSz, bytes));
    ASSERT_EQ(Query(L"InstallationPath", 1024), 0);
    EXPECT_EQ(type_, platform::RegSz);
    EXPECT_EQ(size_, bytes.size());
    EXPECT_EQ(std::memcmp(buffer_.data(), bytes.data(), bytes.size()), 0);
    EXPECT_TRUE(GuardIntactFrom(bytes.size()));
}

TEST_F(RegistryContract, StringWithoutTerminatorReportsOnlyItsBytes) {
    auto bytes = Utf16(L"abc", false);
    ASSERT_TRUE(env().SetRegistryValue(L"noterm", platform::RegSz, bytes));
    ASSERT_EQ(Query(L"noterm", 1024), 0);
    EXPECT_EQ(size_, 6u);
    EXPECT_EQ(std::memcmp(buffer_.data(), bytes.data(), 6), 0);
    // Whether a terminator lands after the data is not promised; a reader
    // must terminate the text itself.
    ASSERT_EQ(Query(L"noterm", 6), 0) << "a buffer of exactly the data size is enough";
    EXPECT_EQ(size_, 6u);
    EXPECT_TRUE(GuardIntactFrom(6));
}

TEST_F(RegistryContract, ValuesLargerThanTheBufferGiveMoreData) {
    std::vector<std::uint8_t> fits(1024, 'x');
    fits[1022] = fits[1023] = 0;
    std::vector<std::uint8_t> tooBig(1026, 'x');
    tooBig[1024] = tooBig[1025] = 0;
    ASSERT_TRUE(env().SetRegistryValue(L"fits", platform::RegSz, fits));
    ASSERT_TRUE(env().SetRegistryValue(L"big", platform::RegSz, tooBig));

    ASSERT_EQ(Query(L"fits", 1024), 0);
    EXPECT_EQ(size_, 1024u);
    EXPECT_TRUE(GuardIntactFrom(1024));

    EXPECT_EQ(Query(L"big", 1024), static_cast<std::int32_t>(err::MoreData));
    EXPECT_EQ(size_, 1026u) << "the size needed is reported";
    EXPECT_TRUE(GuardIntactFrom(0)) << "nothing is stored";
}

TEST_F(RegistryContract, NumbersAndTheTypeAsStored) {
    ASSERT_TRUE(env().SetRegistryValue(L"Shutdown Setting", platform::RegDword, {0x10, 0, 0, 0}));
    ASSERT_EQ(Query(L"Shutdown Setting", 4), 0);
    EXPECT_EQ(type_, platform::RegDword);
    EXPECT_EQ(size_, 4u);
    EXPECT_EQ(buffer_[0], 0x10);
    EXPECT_TRUE(GuardIntactFrom(4));

    ASSERT_TRUE(env().SetRegistryValue(L"wide", platform::RegQword, {1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(Query(L"wide", 4), static_cast<std::int32_t>(err::MoreData));
    EXPECT_EQ(size_, 8u);
    EXPECT_TRUE(GuardIntactFrom(0));

    // The query never converts: a number read into a text buffer is its bytes.
    ASSERT_EQ(Query(L"Shutdown Setting", 1024), 0);
    EXPECT_EQ(type_, platform::RegDword);
    EXPECT_EQ(size_, 4u);

    ASSERT_TRUE(env().SetRegistryValue(L"bin", platform::RegBinary, {}));
    ASSERT_EQ(Query(L"bin", 4), 0);
    EXPECT_EQ(size_, 0u);
    EXPECT_EQ(type_, platform::RegBinary);
}

TEST_F(RegistryContract, MissingValuesAndKeysAndTheirMessages) {
    EXPECT_EQ(Query(L"absent", 1024), static_cast<std::int32_t>(err::FileNotFound));
    ASSERT_TRUE(env().SetRegistryValue(L"gone", platform::RegSz, Utf16(L"x", true)));
    env().DeleteRegistryValue(L"gone");
    EXPECT_EQ(Query(L"gone", 1024), static_cast<std::int32_t>(err::FileNotFound));

    platform::Handle other = 0x1234;
    EXPECT_EQ(reg().OpenKey(platform::HKeyCurrentUser, env().ScratchKey() + L"\\Nope", platform::KeyRead, &other),
              static_cast<std::int32_t>(err::FileNotFound));

    // The texts differ between systems and languages; their shape does not.
    for (std::uint32_t code : {err::FileNotFound, err::AccessDenied, err::MoreData}) {
        std::wstring text = reg().SystemMessage(code);
        ASSERT_GE(text.size(), 3u) << code;
        EXPECT_EQ(text.substr(text.size() - 2), L"\r\n") << code;
    }
}

TEST_F(RegistryContract, KeysOpenRelativeToOpenKeysAndClose) {
    platform::Handle root = 0;
    ASSERT_EQ(reg().OpenKey(platform::HKeyCurrentUser, L"Software", platform::KeyRead, &root), 0);
    ASSERT_TRUE(env().SetRegistryValue(L"v", platform::RegSz, Utf16(L"y", true)));
    std::wstring below = env().ScratchKey().substr(std::wstring(L"Software\\").size());
    platform::Handle sub = 0;
    ASSERT_EQ(reg().OpenKey(root, below, platform::KeyRead, &sub), 0);
    std::uint8_t data[8];
    std::uint32_t size = sizeof data, type = 0;
    EXPECT_EQ(reg().QueryValue(sub, L"v", &type, data, &size), 0);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(reg().CloseKey(sub), 0);
    EXPECT_EQ(reg().CloseKey(root), 0);
}

}  // namespace
}  // namespace contract
