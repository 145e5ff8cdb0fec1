// placeholder: replaced by the registry reader
#include "system/Registry.h"
bool CRegistry::OpenLocalMachineKey(const std::wstring&) { return false; }
bool CRegistry::OpenCurrentUserKey(const std::wstring&) { return false; }
bool CRegistry::ReadProductValue(const std::wstring&, std::wstring*) { return false; }
bool CRegistry::ReadShutdownSetting(std::uint32_t*) { return false; }
bool CRegistry::OpenKey(platform::Handle, const std::wstring&, std::uint32_t) { return false; }
void CRegistry::SetError(const wchar_t*, std::int32_t) {}
