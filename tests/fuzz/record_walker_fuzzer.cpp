// libFuzzer target: any bytes at all, handed to the record walker as the block
// a read of the System log returned. The block is libFuzzer's own allocation
// of exactly that size, so AddressSanitizer catches a read one byte past it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include "agent/QuorvaDlg.h"
#include "tests/fakes/FakeMachine.h"
#include "system/RestartCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fake::FakeMachine machine;
    // Every log line really formatted and written.
    machine.files.MakeFolder(L"C:\\ProgramData\\Vorlan\\ApplicationLog");
    CQuorvaDlg agent(machine.os());
    agent.m_strDataDir = L"C:\\ProgramData\\Vorlan\\";
    agent.m_szUserName = L"jsmith";
    // A module to format with, as an attempt would have loaded.
    agent.m_hMessageModule = machine.eventLog.LoadLibraryAsDataFile(L"C:\\Windows\\system32\\user32.dll");
    const int result = DumpRecordsInBuffer(data, size, agent);
    if (result != 0 && result != 1) std::abort();
    if (agent.m_bFlagForRestart != 0 && result != 1) std::abort();
    return 0;
}
