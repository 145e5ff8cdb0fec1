// placeholder: replaced by the event reports
#include "records/EventReport.h"
void WebPostEventData(const std::wstring&, const std::wstring&, CQuorvaDlg&, const std::wstring&, int) {}
void WritePostLogFile(CQuorvaDlg&, const std::wstring&) {}
