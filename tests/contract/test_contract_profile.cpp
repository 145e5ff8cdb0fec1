// How the profile (INI) functions of the seam behave, as Windows does them.
#include "tests/contract/ContractTest.h"

namespace contract {
namespace {

class ProfileContract : public ContractTest {
protected:
    void SetUp() override {
        ContractTest::SetUp();
        ini_ = In(L"test.ini");
    }
    platform::IProfile& profile() { return os().profile; }
    std::wstring Get(const std::wstring& section, const std::wstring& key,
                     std::uint32_t capacity = 64) {
        return profile().GetString(section, key, L"def", capacity, ini_);
    }
    void Put(const std::string& bytes) { ASSERT_TRUE(env().PutFile(ini_, bytes)); }
    std::wstring ini_;
};

TEST_F(ProfileContract, ReadTrimsBlanksAndOnePairOfQuotes) {
    Put("[Sec]\r\n"
        "  Key1 =  \"quoted value\"  \r\n"
        "Key2='single'\r\n"
        "Key3=\"half\r\n"
        "Key4 = a b \r\n"
        "Key5=\"\"twice\"\"\r\n"
        "Key6=\t\r\n");
    EXPECT_EQ(Get(L"Sec", L"Key1"), L"quoted value");
    EXPECT_EQ(Get(L"Sec", L"Key2"), L"single");
    EXPECT_EQ(Get(L"Sec", L"Key3"), L"\"half") << "an unmatched quote stays";
    EXPECT_EQ(Get(L"Sec", L"Key4"), L"a b");
    EXPECT_EQ(Get(L"Sec", L"Key5"), L"\"twice\"");
    EXPECT_EQ(Get(L"Sec", L"Key6"), L"") << "a present empty value is not the default";
}

TEST_F(ProfileContract, SectionsAndKeysIgnoreCase) {
    Put("[Process Details]\r\nProc ID=4242\r\n");
    EXPECT_EQ(Get(L"process details", L"PROC ID"), L"4242");
    EXPECT_EQ(Get(L"PROCESS DETAILS", L"proc id"), L"4242");
}

TEST_F(ProfileContract, TheDefaultWhenFileSectionOrKeyIsAbsent) {
    EXPECT_EQ(profile().GetString(L"S", L"K", L"none", 64, In(L"missing.ini")), L"none");
    Put("[Sec]\r\nk=v\r\n");
    EXPECT_EQ(Get(L"Other", L"k"), L"def");
    EXPECT_EQ(Get(L"Sec", L"other"), L"def");
    EXPECT_EQ(profile().GetString(L"Sec", L"x", L"with blanks  ", 64, ini_), L"with blanks")
        << "trailing blanks of the default are dropped";
}

TEST_F(ProfileContract, ValuesAreCutToCapacityLessOne) {
    Put("[Sec]\r\nKey=quoted value\r\n");
    EXPECT_EQ(Get(L"Sec", L"Key", 5), L"quot");
    EXPECT_EQ(Get(L"Sec", L"Key", 1), L"");
    EXPECT_EQ(Get(L"Sec", L"nokey", 3), L"de") << "the default is cut the same way";
}

TEST_F(ProfileContract, JunkLinesAreSkippedOnReadAndKeptOnWrite) {
    Put("junk before any section\r\n[Sec]\r\nnoequals\r\nA=1\r\n");
    EXPECT_EQ(Get(L"Sec", L"noequals"), L"def");
    EXPECT_EQ(Get(L"Sec", L"A"), L"1");
    EXPECT_TRUE(profile().WriteString(L"Sec", L"A", L"2", ini_));
    EXPECT_EQ(Bytes(ini_), "junk before any section\r\n[Sec]\r\nnoequals\r\nA=2\r\n");
}

TEST_F(ProfileContract, WritingCreatesAnAnsiFileWithCrLfLines) {
    const std::wstring file = In(L"quorvaProcDetails_jsmith.ini");
    EXPECT_TRUE(profile().WriteString(L"Process Details", L"Process Name", L"C:\\x\u00e9.exe", file));
    EXPECT_EQ(Bytes(file), "[Process Details]\r\nProcess Name=C:\\x\xe9.exe\r\n");
    EXPECT_EQ(profile().GetString(L"Process Details", L"Process Name", L"", 64, file), L"C:\\x\u00e9.exe");
}

// The encoding a file starts in is the one it is written in: an empty file
// takes the ANSI code page (a name it cannot show becomes "?"), a file that
// starts with the UTF-16 byte-order mark keeps every character.
TEST_F(ProfileContract, AFileStartingWithTheUtf16MarkKeepsEveryCharacter) {
    if (env().AnsiCodePage() != 1252) GTEST_SKIP() << "needs the ANSI code page 1252";
    const std::wstring name = L"Logon<<>>\u738B\u82B3";
    struct Case {
        std::string start;
        std::wstring read;
        std::string bytes;
    };
    std::string utf16("\xFF\xFE", 2);
    for (char16_t unit : std::u16string(u"[P]\r\nA=Logon<<>>\u738B\u82B3\r\n")) {
        utf16.push_back(static_cast<char>(unit & 0xFF));
        utf16.push_back(static_cast<char>(unit >> 8));
    }
    for (const Case& c : {Case{"", L"Logon<<>>??", "[P]\r\nA=Logon<<>>??\r\n"},
                          Case{std::string("\xFF\xFE", 2), name, utf16}}) {
        SCOPED_TRACE(c.start.empty() ? "empty file" : "UTF-16 mark");
        Put(c.start);
        EXPECT_TRUE(profile().WriteString(L"P", L"A", name, ini_));
        EXPECT_EQ(Get(L"P", L"A"), c.read);
        EXPECT_EQ(Bytes(ini_), c.bytes);
    }
}

TEST_F(ProfileContract, WritingReplacesInPlaceOrAppendsToTheSection) {
    Put("[S]\r\nA=1\r\nB=2\r\n[T]\r\nC=3\r\n");
    EXPECT_TRUE(profile().WriteString(L"S", L"a", L"9", ini_));
    EXPECT_EQ(Bytes(ini_), "[S]\r\nA=9\r\nB=2\r\n[T]\r\nC=3\r\n");
    EXPECT_TRUE(profile().WriteString(L"s", L"D", L"4", ini_));
    EXPECT_EQ(Bytes(ini_), "[S]\r\nA=9\r\nB=2\r\nD=4\r\n[T]\r\nC=3\r\n");
    EXPECT_TRUE(profile().WriteString(L"U", L"E", L"5", ini_));
    EXPECT_EQ(Get(L"U", L"E"), L"5");
    EXPECT_EQ(Get(L"T", L"C"), L"3");
    EXPECT_EQ(Get(L"S", L"D"), L"4");
}

TEST_F(ProfileContract, WritingFailsWhenTheFolderIsMissing) {
    const std::wstring file = In(L"NoFolder\\x.ini");
    EXPECT_FALSE(profile().WriteString(L"a", L"b", L"c", file));
    EXPECT_FALSE(os().files.FindFirstExists(In(L"NoFolder")));
    EXPECT_FALSE(profile().WriteSection(L"a", std::wstring(), file));
}

TEST_F(ProfileContract, AnEmptySectionListEmptiesTheSectionAndKeepsOthers) {
    Put("[Task_To_Kill]\r\nProc_ID=1234\r\n[Other]\r\nx=1\r\n");
    EXPECT_TRUE(profile().WriteSection(L"Task_To_Kill", std::wstring(), ini_));
    EXPECT_EQ(Get(L"Task_To_Kill", L"Proc_ID"), L"def");
    EXPECT_EQ(Get(L"Other", L"x"), L"1");
    EXPECT_NE(Bytes(ini_).find("[Task_To_Kill]"), std::string::npos) << "the section stays";
}

}  // namespace
}  // namespace contract
