// libFuzzer target: any bytes at all, handed to the record walker as the block
// a read of the System log returned. The block is libFuzzer's own allocation
// of exactly that size, so AddressSanitizer catches a read one byte past it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include "fuzz/SimulatedMachine.h"
#include "system/RestartCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    SimulatedMachine machine;
    CQuorvaDlg agent(machine.os);
    machine.Prepare(agent);
    // A module to format with, as an attempt would have loaded.
    agent.m_hMessageModule = machine.eventLog.LoadLibraryAsDataFile(L"C:\\Windows\\system32\\user32.dll");
    const int result = DumpRecordsInBuffer(data, size, agent);
    if (result != 0 && result != 1) std::abort();
    if (agent.m_bFlagForRestart != 0 && result != 1) std::abort();
    return 0;
}
