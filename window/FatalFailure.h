// The end of the program when the C++ library gives up (std::terminate): a
// failure inside the library that nothing catches. The terminate handler of
// the Windows build calls EndAfterFatalFailure; so does the explorer of the
// simulated machine, where such a failure would have reached it.
#pragma once

class CQuorvaDlg;

// The agent whose platform ends the process (nullptr: none yet, or no more).
void SetFatalFailureAgent(CQuorvaDlg* agent);
CQuorvaDlg* FatalFailureAgent();

// Ends the process through the agent's platform. Returns only when no agent
// is set; the caller then ends the process itself.
void EndAfterFatalFailure();
