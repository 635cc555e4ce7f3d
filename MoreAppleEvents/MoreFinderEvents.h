// Asking the Finder for its selection, and for one of its objects as an
// alias.
#pragma once

#include "MoreAppleEvents/MoreAppleEvents.h"
#include "platform/MacTypes.h"
#include "platform/finder/finder_protocol.h"

// Asks the Finder for its selection. On success `*listOut` holds the
// reply's direct object as a list, which the caller owns. Writes the built
// event to standard output as "\n-MoreFEGetSelection: tAppleEvent=\"...\"."
// (no line feed at the end) and flushes it. Returns paramErr without an
// idle routine or list (nothing sent), the build status, or the status of
// MoreAESendEventReturnAEDescList; `*listOut` is the null descriptor on
// failure.
OSStatus MoreFEGetSelection(AEIdleUPP idleProc, AEDescList* listOut);

// Asks the Finder for the object `objectDesc` (an 'obj ' descriptor) as an
// alias record, put into `*aliasHandle`, which must be none on entry and
// which the caller then owns. Returns paramErr for a missing argument or
// another descriptor type, procNotFound when no Finder runs, or the first
// failing status of the exchange.
OSStatus MoreFEGetObjectAsAlias(const AEDesc* objectDesc, Handle* aliasHandle,
                                AEIdleUPP idleProc);
