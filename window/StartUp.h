// What the start-up's steps share with the ordinary copy's logon hand-off.
#pragma once
#include <cstdint>
#include "agent/QuorvaDlg.h"

namespace startup {

// Ends the agent from inside the start-up, after the given pause (none for 0);
// the caller returns the result from OnInitDialog at once.
platform::BOOL EndAfter(CQuorvaDlg& agent, std::uint32_t milliseconds, platform::BOOL result);

// The ordinary copy's role: hands the logon script to the service, waits for
// its answer, reports how that went and ends. What OnInitDialog returns.
platform::BOOL HandOffLogonScript(CQuorvaDlg& agent);

}  // namespace startup
