// placeholder: replaced by the restart check
#include "system/RestartCheck.h"
void functionToCheckRestart(CQuorvaDlg&) {}
platform::Handle LoadMessageModule(CQuorvaDlg&) { return 0; }
int DumpRecordsInBuffer(const std::uint8_t*, std::size_t, CQuorvaDlg&) { return 0; }
bool CheckEventTime(CQuorvaDlg&, std::uint32_t, const platform::SystemTime&, std::wstring*) { return false; }
bool GetMessageString(std::vector<std::wstring>&, CQuorvaDlg&, std::uint32_t) { return false; }
