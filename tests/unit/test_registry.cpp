#include <gtest/gtest.h>
#include "system/Registry.h"
#include "tests/fakes/FakeMachine.h"
#include "tests/fakes/StandardMachine.h"

namespace {

using fake::kExplorerKey;
using fake::kProductKey;
constexpr auto HKLM = platform::HKeyLocalMachine;
constexpr auto HKCU = platform::HKeyCurrentUser;

class RegistryReader : public ::testing::Test {
protected:
    void SetUp() override { m.registry.CreateKey(HKLM, kProductKey); }
    void TearDown() override { EXPECT_EQ(m.registry.OpenKeyCount(), 0u) << "every key is closed"; }

    fake::FakeMachine m;
    CRegistry reg{m.registry};
};

TEST_F(RegistryReader, ReadsAProductStringWithTheReadOnlyMask) {
    m.registry.SetString(HKLM, kProductKey, L"InstallationPath", L"C:\\Program Files\\VORLAN\\");
    std::wstring text;
    ASSERT_TRUE(reg.ReadProductValue(L"InstallationPath", &text));
    EXPECT_EQ(text, L"C:\\Program Files\\VORLAN\\");
    EXPECT_EQ(reg.m_hKey, 0u);
    EXPECT_TRUE(reg.m_szError.empty());
    ASSERT_EQ(m.registry.opens.size(), 1u);
    EXPECT_EQ(m.registry.opens[0].root, HKLM);
    EXPECT_EQ(m.registry.opens[0].subKey, L"SOFTWARE\\VORLAN");
    EXPECT_EQ(m.registry.opens[0].access, 0x20019u);
}

TEST_F(RegistryReader, AMissingKeyGivesTheOpenErrorWithTheSystemText) {
    m.registry.DeleteKey(HKLM, kProductKey);
    WideBuffer<512> buffer;
    buffer = L"unchanged";
    EXPECT_FALSE(reg.ReadProductValue(L"REGID", buffer));
    EXPECT_EQ(buffer, L"unchanged");
    EXPECT_EQ(reg.m_szError, L"RegOpenKeyEx [2]::The system cannot find the file specified.\r\n");
    EXPECT_EQ(reg.m_hKey, 0u);
}

TEST_F(RegistryReader, DeniedAccessIsAnOpenError) {
    m.registry.DenyOpen(HKLM, kProductKey);
    std::wstring text = L"unchanged";
    EXPECT_FALSE(reg.ReadProductValue(L"REGID", &text));
    EXPECT_EQ(text, L"unchanged");
    EXPECT_EQ(reg.m_szError, L"RegOpenKeyEx [5]::Access is denied.\r\n");
}

TEST_F(RegistryReader, AMissingValueGivesTheQueryError) {
    std::wstring text = L"unchanged";
    EXPECT_FALSE(reg.ReadProductValue(L"SITEID", &text));
    EXPECT_EQ(text, L"unchanged");
    EXPECT_EQ(reg.m_szError, L"RegQueryValueEx [2]::The system cannot find the file specified.\r\n");
}

TEST_F(RegistryReader, ValuesOfUpTo1024BytesAreReadWhole) {
    m.registry.SetString(HKLM, kProductKey, L"fits", std::wstring(511, L'a'));   // 1024 bytes
    m.registry.SetString(HKLM, kProductKey, L"big", std::wstring(512, L'b'));    // 1026 bytes
    std::wstring text;
    ASSERT_TRUE(reg.ReadProductValue(L"fits", &text));
    EXPECT_EQ(text, std::wstring(511, L'a'));
    text = L"unchanged";
    EXPECT_FALSE(reg.ReadProductValue(L"big", &text));
    EXPECT_EQ(text, L"unchanged");
    EXPECT_EQ(reg.m_szError, L"RegQueryValueEx [234]::More data is available.\r\n");
}

TEST_F(RegistryReader, UnterminatedAndOddValuesYieldExactlyTheirCharacters) {
    m.registry.SetString(HKLM, kProductKey, L"noterm", L"4F2A", false);
    m.registry.SetValue(HKLM, kProductKey, L"inner", platform::RegSz, {'1', 0, 0, 0, '2', 0, 0, 0});
    m.registry.SetValue(HKLM, kProductKey, L"odd", platform::RegSz, {'x', 0, 'y'});
    m.registry.SetValue(HKLM, kProductKey, L"expand", platform::RegExpandSz,
                        fake::FakeRegistry::Utf16Bytes(L"%ProgramFiles%\\VORLAN\\", true));
    m.registry.SetDword(HKLM, kProductKey, L"number", 0x00410042);
    m.registry.SetString(HKLM, kProductKey, L"wide", L"C:\\\u041f\u0440\u043e\u0433\u0440\u0430\u043c\u043c\u044b\\\u03a9\u03c8\\");
    m.registry.SetString(HKLM, kProductKey, L"full", std::wstring(512, L'f'), false);  // 1024 bytes
    std::wstring text;
    ASSERT_TRUE(reg.ReadProductValue(L"noterm", &text));
    EXPECT_EQ(text, L"4F2A");
    ASSERT_TRUE(reg.ReadProductValue(L"inner", &text));
    EXPECT_EQ(text, L"1") << "the copy stops at the first NUL";
    ASSERT_TRUE(reg.ReadProductValue(L"odd", &text));
    EXPECT_EQ(text, L"x") << "a lone last byte is no character";
    ASSERT_TRUE(reg.ReadProductValue(L"expand", &text));
    EXPECT_EQ(text, L"%ProgramFiles%\\VORLAN\\") << "the type is ignored, nothing is expanded";
    ASSERT_TRUE(reg.ReadProductValue(L"number", &text));
    EXPECT_EQ(text, L"BA") << "a number's bytes read as characters";
    ASSERT_TRUE(reg.ReadProductValue(L"wide", &text));
    EXPECT_EQ(text, L"C:\\\u041f\u0440\u043e\u0433\u0440\u0430\u043c\u043c\u044b\\\u03a9\u03c8\\") << "Cyrillic, Greek";
    WideBuffer<512> identity;
    ASSERT_TRUE(reg.ReadProductValue(L"full", identity));
    EXPECT_EQ(identity.str(), std::wstring(511, L'f')) << "cut to the buffer, terminator included";
}

TEST_F(RegistryReader, EachReadEmptiesTheErrorFirst) {
    m.registry.SetString(HKLM, kProductKey, L"REGID", L"R1");
    WideBuffer<512> regId, type;
    EXPECT_FALSE(reg.ReadProductValue(L"TYPE", type));
    EXPECT_FALSE(reg.m_szError.empty());
    EXPECT_TRUE(reg.ReadProductValue(L"REGID", regId));
    EXPECT_TRUE(reg.m_szError.empty());
    EXPECT_EQ(regId, L"R1");
}

TEST_F(RegistryReader, ALongSystemTextIsCutToTheErrorBuffer) {
    // No system text is this long; an unknown code gives an empty one, and a
    // made-up long one must still fit the 1000-character buffer.
    struct LongMessages : fake::FakeRegistry {
        std::wstring SystemMessage(std::uint32_t) override { return std::wstring(2000, L'z'); }
    } registry;
    CRegistry longReg(registry);
    std::wstring text;
    EXPECT_FALSE(longReg.ReadProductValue(L"x", &text));
    EXPECT_EQ(longReg.m_szError.size(), 999u);
    EXPECT_EQ(longReg.m_szError.str().substr(0, 20), L"RegOpenKeyEx [2]::zz");
}

TEST_F(RegistryReader, ShutdownSettingUsesReadAndSetValueAccess) {
    m.registry.SetDword(HKCU, kExplorerKey, L"Shutdown Setting", 4);
    std::uint32_t value = 0;
    ASSERT_TRUE(reg.ReadShutdownSetting(&value));
    EXPECT_EQ(value, 4u);
    ASSERT_EQ(m.registry.opens.size(), 1u);
    EXPECT_EQ(m.registry.opens[0].root, HKCU);
    EXPECT_EQ(m.registry.opens[0].subKey, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer");
    EXPECT_EQ(m.registry.opens[0].access, 0x2001Bu);
    EXPECT_EQ(reg.m_hKey, 0u);
}

TEST_F(RegistryReader, ShutdownSettingFailuresLeaveTheNumberAndNoText) {
    std::uint32_t value = 77;
    EXPECT_FALSE(reg.ReadShutdownSetting(&value)) << "no Explorer key";
    EXPECT_EQ(value, 77u);
    EXPECT_EQ(reg.m_szError.str().rfind(L"RegOpenKeyEx [2]::", 0), 0u);

    m.registry.CreateKey(HKCU, kExplorerKey);
    EXPECT_FALSE(reg.ReadShutdownSetting(&value)) << "no value";
    EXPECT_TRUE(reg.m_szError.empty());

    m.registry.SetValue(HKCU, kExplorerKey, L"Shutdown Setting", platform::RegQword, {4, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_FALSE(reg.ReadShutdownSetting(&value)) << "wider than 4 bytes";
    EXPECT_EQ(value, 77u);
    EXPECT_TRUE(reg.m_szError.empty());

    m.registry.DenyOpen(HKCU, kExplorerKey);
    EXPECT_FALSE(reg.ReadShutdownSetting(&value));
    EXPECT_EQ(reg.m_szError, L"RegOpenKeyEx [5]::Access is denied.\r\n");
}

TEST_F(RegistryReader, AShortShutdownSettingFillsTheLowBytes) {
    m.registry.SetValue(HKCU, kExplorerKey, L"Shutdown Setting", platform::RegBinary, {4, 1});
    std::uint32_t value = 0xAABBCCDD;
    ASSERT_TRUE(reg.ReadShutdownSetting(&value));
    EXPECT_EQ(value, 0xAABB0104u);
}

}  // namespace
