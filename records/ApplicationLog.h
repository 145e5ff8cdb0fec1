#pragma once
#include "agent/QuorvaDlg.h"

// Appends one entry to the day's application log of the agent's user. A null
// value is written as "(null)". Sets agent.m_bLogFailed when the file cannot
// be opened; never fails otherwise.
void WriteLogFile(const char* version, const char* module, CQuorvaDlg& agent,
                  const char* software, const char* type, const char* val1, const char* val2,
                  const char* val3);
