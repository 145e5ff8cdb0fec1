// placeholder: replaced by the application log
#include "records/ApplicationLog.h"
void WriteLogFile(const char*, const char*, CQuorvaDlg&, const char*, const char*, const char*, const char*, const char*) {}
