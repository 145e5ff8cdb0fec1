// placeholder: replaced by the shared helpers
#include "agent/Common.h"
bool PathExists(platform::IFiles& files, const std::wstring& path) { return files.FindFirstExists(path); }
bool EqualsNoCase(std::wstring_view a, std::wstring_view b) { return a == b; }
std::wstring ToLowerCopy(std::wstring_view text) { return std::wstring(text); }
std::string ToTextMode(std::string_view bytes) { return std::string(bytes); }
void CreateEmptyFile(CQuorvaDlg&, const std::wstring&) {}
