// Cooperative yielding between the threads of a process.
#pragma once

#include "platform/MacTypes.h"

// Lets other threads of the process run before the caller goes on (a yield
// of the calling thread to the scheduler). Returns noErr.
OSErr YieldToAnyThread();
