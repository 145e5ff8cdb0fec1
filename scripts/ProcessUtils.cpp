// placeholder: replaced by the process utilities
#include "scripts/ProcessUtils.h"
bool ExecuteProcess(CQuorvaDlg&, const std::wstring&, const std::wstring&) { return false; }
std::int32_t RunningInterface(CQuorvaDlg&, const std::wstring&, ProcIdVariant) { return 0; }
std::int32_t CountServiceInstances(CQuorvaDlg&) { return 0; }
std::int32_t CountSessionInstances(CQuorvaDlg&, std::uint32_t) { return 0; }
void ReadProcessDetail(CQuorvaDlg&, const std::wstring&, WideBuffer<1024>&, const std::wstring&) {}
