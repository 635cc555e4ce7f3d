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

// How the walk tells a package, an item it neither reads nor enters. Both
// tests must be set. `byName` answers from the item's name alone and is
// asked before a folder is opened, so that a package by its name costs no
// descriptor; `isPackage` gives the whole answer and is asked before an
// opened folder is read, right after the filter was shown that folder.
struct IterateContainerPackageTest {
  bool (*byName)(const FSRef& ref);
  bool (*isPackage)(const FSRef& ref);
};

// Walks `container` depth first, calling `iterateFilter` for every entry of
// it and of the folders below it, each folder before its contents. Packages
// as `packages` tells them (the start item included) are not read; symbolic
// links are never entered.
// `maxLevels` 0 means no limit. The node flags are always fetched, whatever
// `whichInfo` says. A folder below the start that cannot be opened or read
// to its end (it may not be read, it vanished meanwhile, no descriptor is
// left) is reported to the filter but walked no further, and the walk goes
// on with its siblings. The walk holds a few descriptors however deep the
// tree is. Returns paramErr for a missing filter or package test, the status of opening the
// start item when that fails (dirNFErr for a file), else noErr. `needs`
// goes to every folder's iterator: with kFoldersOnly the filter is not shown
// the files of a folder that the file system says holds no folder.
OSErr FSIterateContainer(const FSRef& container, ItemCount maxLevels, FSCatalogInfoBitmap whichInfo,
                         bool wantFSSpec, bool wantName, IterateContainerFilterProcPtr iterateFilter,
                         void* yourDataPtr, const IterateContainerPackageTest& packages,
                         FSIteratorNeeds needs = FSIteratorNeeds::kAllEntries);
