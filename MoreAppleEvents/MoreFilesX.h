// File-system routines built on the flat folder iterator.
#pragma once

#include <cstdint>
#include <string>

#include "platform/MacTypes.h"
#include "platform/files/files.h"

// A file specification; never made on this platform, so filters always
// receive null for it.
struct FSSpec;

// Called once for every entry the walk meets, before the walk goes down into
// it. `containerChanged` is always false here; `currentLevel` is 1 for the
// entries of the start folder; `spec` is null; `name` is the entry's name
// when names were asked for, else null. Returning true stops the walk.
using IterateContainerFilterProcPtr = bool (*)(bool containerChanged, ItemCount currentLevel,
                                               const FSCatalogInfo* catalogInfo, const FSRef* ref,
                                               const FSSpec* spec, const std::string* name,
                                               void* yourDataPtr);

// Walks `container` depth first, calling `iterateFilter` for every entry of
// it and of the folders below it, each folder before its contents. Packages
// (the start item included) are not read; symbolic links are never entered.
// `maxLevels` 0 means no limit. The node flags are always fetched, whatever
// `whichInfo` says. Returns paramErr for a missing filter, else the walk's
// status: noErr when it ran to its end; a folder that may not be opened or
// read counts as empty and the walk goes on, and any other failure (a folder
// that vanished, no descriptor left) ends the walk with that status.
OSErr FSIterateContainer(const FSRef& container, ItemCount maxLevels, FSCatalogInfoBitmap whichInfo,
                         bool wantFSSpec, bool wantName, IterateContainerFilterProcPtr iterateFilter,
                         void* yourDataPtr);
