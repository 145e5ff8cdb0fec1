#include "tests/fakes/StandardMachine.h"

namespace fake {

StandardMachine InstallStandardMachine(FakeMachine& m, const StandardOptions& o) {
    StandardMachine info;
    const std::wstring& install = o.installDir;
    m.files.MakeFolder(L"C:\\windows\\system32");
    m.files.PutFile(L"C:\\windows\\system32\\shutdown.exe", "MZ");
    m.files.PutFile(L"C:\\windows\\system32\\user32.dll", "MZ");
    m.files.MakeFolder(L"C:\\ProgramData");
    m.files.MakeFolder(install + L"QVRT\\Trigger");
    m.files.PutFile(install + L"quorva.exe", "MZ");
    if (o.deployer) m.files.PutFile(install + L"QVRT\\quorvarun.exe", "MZ");
    if (o.logonTemplate) m.files.PutFile(install + L"QVRT\\Trigger\\Default_Logon.xml", "<Trigger/>\r\n");
    if (o.logoffTemplate) m.files.PutFile(install + L"QVRT\\Trigger\\Default_Logoff.xml", "<Trigger/>\r\n");
    if (o.shutdownTemplate) m.files.PutFile(install + L"QVRT\\Trigger\\Default_Shutdown.xml", "<Trigger/>\r\n");

    info.dataDir = m.shell.commonAppData + L"\\Vorlan\\";
    info.scriptDataDir = info.dataDir + L"QVRT\\";
    info.procDetailsIni = info.scriptDataDir + L"quorvaProcDetails_" + o.userName + L".ini";
    info.deployerPath = install + L"QVRT\\quorvarun.exe";
    if (o.dataFolder) m.files.MakeFolder(info.scriptDataDir);
    if (o.dataFolder && o.logFolder) m.files.MakeFolder(info.dataDir + L"ApplicationLog");

    m.registry.CreateKey(platform::HKeyLocalMachine, kProductKey);
    m.registry.CreateKey(platform::HKeyCurrentUser, kExplorerKey);
    if (o.registryValues) {
        auto hklm = platform::HKeyLocalMachine;
        m.registry.SetString(hklm, kProductKey, L"InstallationPath", install);
        m.registry.SetString(hklm, kProductKey, L"REGID", o.regId);
        m.registry.SetString(hklm, kProductKey, L"TYPE", o.regType);
        m.registry.SetString(hklm, kProductKey, L"MEMBERID", o.memberId);
        m.registry.SetString(hklm, kProductKey, L"SITEID", o.siteId);
    }
    if (o.shutdownSetting)
        m.registry.SetDword(platform::HKeyCurrentUser, kExplorerKey, L"Shutdown Setting", *o.shutdownSetting);

    m.processes.Start(L"smss.exe", 0);
    m.processes.Start(L"winlogon.exe", o.session);
    if (o.serviceRunning) info.servicePid = m.processes.Start(L"quorvahost.exe", 0);
    m.processes.Start(L"explorer.exe", o.session);
    info.agentPid = m.processes.Start(L"quorva.exe", o.session);
    m.processes.currentProcessId = info.agentPid;
    m.processes.userName = o.userName;
    m.processes.args = {install + L"quorva.exe"};
    if (o.setup) m.processes.args.push_back(L"setup");
    return info;
}

}  // namespace fake
