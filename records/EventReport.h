#pragma once
#include <string>
#include "agent/QuorvaDlg.h"

// Builds one XML event report, logs it and stores it in the post folder.
void WebPostEventData(const std::wstring& user, const std::wstring& faildesc, CQuorvaDlg& agent,
                      const std::wstring& evnt, int status);

// Stores one report text as a new file in the post folder.
void WritePostLogFile(CQuorvaDlg& agent, const std::wstring& text);
