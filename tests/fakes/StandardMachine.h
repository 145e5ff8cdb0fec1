// A typical machine with the product installed, for scenario tests.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include "tests/fakes/FakeMachine.h"

namespace fake {

inline constexpr const wchar_t* kProductKey = L"SOFTWARE\\VORLAN";
inline constexpr const wchar_t* kExplorerKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer";

struct StandardOptions {
    std::wstring userName = L"jsmith";
    std::uint32_t session = 1;
    // The install folder, with its trailing backslash.
    std::wstring installDir = L"C:\\Program Files\\VORLAN\\";
    bool deployer = true;  // QVRT\quorvarun.exe
    // The trigger templates QVRT\Trigger\Default_Logon.xml, _Logoff, _Shutdown.
    bool logonTemplate = true;
    bool logoffTemplate = true;
    bool shutdownTemplate = true;
    bool serviceRunning = true;  // quorvahost.exe in session 0
    // HKLM\SOFTWARE\VORLAN: InstallationPath (= installDir), REGID, TYPE,
    // MEMBERID, SITEID.
    bool registryValues = true;
    std::wstring regId = L"4F2A-91C0";
    std::wstring regType = L"2";
    std::wstring memberId = L"1187";
    std::wstring siteId = L"52";
    // C:\ProgramData\Vorlan\QVRT\ (and so C:\ProgramData\Vorlan\).
    bool dataFolder = true;
    // C:\ProgramData\Vorlan\ApplicationLog\ exists already.
    bool logFolder = true;
    // The single command-line argument "setup".
    bool setup = false;
    // HKCU\...\Explorer "Shutdown Setting" as a REG_DWORD, when set.
    std::optional<std::uint32_t> shutdownSetting;
};

// What InstallStandardMachine set up, for the test to refer to.
struct StandardMachine {
    std::uint32_t agentPid = 0;
    std::uint32_t servicePid = 0;
    std::wstring dataDir;          // C:\ProgramData\Vorlan\ (trailing backslash)
    std::wstring scriptDataDir;    // C:\ProgramData\Vorlan\QVRT\ (trailing backslash)
    std::wstring procDetailsIni;   // ...\QVRT\quorvaProcDetails_<user>.ini
    std::wstring deployerPath;     // <install>QVRT\quorvarun.exe
};

StandardMachine InstallStandardMachine(FakeMachine& machine, const StandardOptions& options = {});

}  // namespace fake
