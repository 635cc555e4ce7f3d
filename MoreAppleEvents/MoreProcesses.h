// Thin routines over the Process Manager.
#pragma once

#include "platform/MacTypes.h"
#include "platform/processes/processes.h"

// Walks the processes from the start and sets `*psn` to the first whose
// signature is `creator` and whose type is `fileType`. Returns noErr, or
// the status GetNextProcess ends the walk with (procNotFound). Processes
// whose information cannot be read are passed over.
OSErr MoreProcFindProcessBySignature(OSType creator, OSType fileType, ProcessSerialNumber* psn);
