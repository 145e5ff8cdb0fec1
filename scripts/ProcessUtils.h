#pragma once
#include <cstdint>
#include <string>
#include "agent/QuorvaDlg.h"

// Starts "<application>" <arguments> hidden; true when the process was created.
bool ExecuteProcess(CQuorvaDlg& agent, const std::wstring& application,
                    const std::wstring& arguments);

// Running deployer processes (by file name, within m_strScriptImagePath) whose
// identifier equals the variant's stored Proc ID; -1 when no look at the
// processes could be taken, so nobody can tell.
std::int32_t RunningInterface(CQuorvaDlg& agent, const std::wstring& fileName,
                              ProcIdVariant variant);

// Running "quorvahost.exe" processes, any letter case.
std::int32_t CountServiceInstances(CQuorvaDlg& agent);

// Running "quorva.exe" processes in the given session.
std::int32_t CountSessionInstances(CQuorvaDlg& agent, std::uint32_t sessionId);
