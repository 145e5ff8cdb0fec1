#pragma once
#include <string>
#include "agent/QuorvaDlg.h"

// Appends one entry to the day's application log of the agent's user. A null
// value is written as "(null)". Sets agent.m_bLogFailed when the file cannot
// be opened; never fails otherwise.
void WriteLogFile(const char* version, const char* module, CQuorvaDlg& agent,
                  const char* software, const char* type, const char* val1, const char* val2,
                  const char* val3);

// A value column: a C string or a std::string, seen for the length of one Log
// call (a temporary argument lives that long; a LogRecord is never kept).
class LogText {
public:
    LogText(const char* text) : text_(text) {}  // NOLINT: converts by design
    LogText(const std::string& text) : text_(text.c_str()) {}  // NOLINT
    const char* c_str() const { return text_; }

private:
    const char* text_;
};

// One entry of the log, each column named. Other programs read these columns,
// so every text is written exactly as the caller spells it:
//   Log(agent, {.module = "OnInitDialog", .type = "ERROR", .val1 = "...", .val2 = "...", .val3 = "..."});
struct LogRecord {
    const char* module;
    const char* type = "Information";
    LogText val1 = "";
    LogText val2 = "";
    LogText val3 = "";
    const char* software = "quorva";
    const char* version = nullptr;  // this build's version text
    // Every ERROR record is also reported to the Application log as event
    // 1005; a record whose caller reports a more precise event beside it
    // sets this.
    bool ownEvent = false;
};

// The one way the agent's logic writes a log entry.
void Log(CQuorvaDlg& agent, const LogRecord& record);
