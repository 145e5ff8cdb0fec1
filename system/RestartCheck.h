// Restart detection from the System event log.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>
#include "agent/QuorvaDlg.h"

// Five attempts, 2 s apart; sets agent.m_bFlagForRestart when the newest
// User32 1074 record of the last 10 minutes names a restart.
void functionToCheckRestart(CQuorvaDlg& agent);

// The system's user32.dll loaded as a data file, or 0.
platform::Handle LoadMessageModule(CQuorvaDlg& agent);

// Walks one block of records, newest first. 1 when it examined a User32 1074
// record, else 0.
int DumpRecordsInBuffer(const std::uint8_t* block, std::size_t length, CQuorvaDlg& agent);

// The record's local time as "%d/%d/%d %.2d:%.2d:%.2d" in `text`; true when
// the record is at or before the limit.
bool CheckEventTime(CQuorvaDlg& agent, std::uint32_t timeGenerated,
                    const platform::SystemTime& limit, std::wstring* text);

// Formats the message for the log; true when an insertion string is "restart".
bool GetMessageString(std::vector<std::wstring>& insertionStrings, CQuorvaDlg& agent,
                      std::uint32_t eventId);
