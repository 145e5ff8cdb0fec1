// Everything the logic asks of the operating system, in one bundle of
// references. The Win32 layer fills it with real calls, the tests with the
// simulated machine.
#pragma once
#include "platform/Clock.h"
#include "platform/EventLog.h"
#include "platform/Files.h"
#include "platform/Processes.h"
#include "platform/Registry.h"
#include "platform/Shell.h"
#include "platform/Shutdown.h"
#include "platform/Text.h"

namespace platform {

struct Platform {
    IFiles& files;
    IProfile& profile;
    IRegistry& registry;
    IProcesses& processes;
    IShutdown& shutdown;
    IEventLog& eventLog;
    IShell& shell;
    IClock& clock;
    IText& text;
};

}  // namespace platform
