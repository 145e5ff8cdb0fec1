// Processes and the shutdown privilege as the seam reports them: what a
// caller may conclude from a snapshot and from an adjusted token.
#include "tests/contract/ContractTest.h"

namespace contract {
namespace {

class ProcessesContract : public ContractTest {};

TEST_F(ProcessesContract, SnapshotReplacesTheListAndLeavesTheErrorAlone) {
    std::vector<platform::ProcessEntry> list{{1234, L"junk"}};
    std::uint32_t error = 0xDEADBEEF;
    ASSERT_TRUE(os().processes.SnapshotProcesses(&list, &error));
    EXPECT_EQ(error, 0xDEADBEEFu) << "written only on a failure";
    ASSERT_FALSE(list.empty());
    for (const auto& entry : list) {
        EXPECT_NE(entry.exeFile, L"junk");
        EXPECT_EQ(entry.exeFile.find(L'\\'), std::wstring::npos) << "a file name, not a path";
    }
}

// The privilege counts as enabled only when the call succeeds and leaves the
// last error at 0; a token without it also succeeds, with 1300. The test
// account holds it (Wine grants every privilege).
TEST_F(ProcessesContract, AdjustTokenPrivilegesReportsItsLastError) {
    platform::IShutdown& shutdown = os().shutdown;
    const platform::Handle token = shutdown.OpenProcessToken();
    ASSERT_NE(token, 0u);
    for (bool enable : {true, false}) {
        SCOPED_TRACE(enable ? "enable" : "disable");
        std::uint32_t error = 0xDEADBEEF;
        EXPECT_TRUE(shutdown.SetShutdownPrivilege(token, enable, &error));
        EXPECT_EQ(error, platform::err::Success);
    }
    shutdown.CloseToken(token);
}

}  // namespace
}  // namespace contract
