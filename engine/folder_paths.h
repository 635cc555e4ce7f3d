// "Copy Folder Paths": the paths of a folder and of every folder below it.
//
// Two passes over the tree: the count pass sizes the reference array once,
// the collect pass fills it, and the text is made from the references. The
// state is process-wide and reset for every item; only one walk runs at a
// time, on the main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "MoreAppleEvents/MoreFilesX.h"
#include "platform/files/files.h"

// Folders found by the count pass, the start item included.
extern std::int32_t gNbrFoldersCounted;
// Room for gNbrFoldersCounted references, made by the collect pass and kept
// until the next one.
extern std::unique_ptr<FSRef[]> gFSRefArray;
// References filled in gFSRefArray.
extern std::int32_t gNbrFoldersCollected;

// How the walks below tell a package: by ItemIsABundleByExtension before a
// folder is opened, by ItemIsABundle before it is read. A walk with it
// should hold a ScopedPackageMemo, since it asks about each folder twice.
extern const IterateContainerPackageTest kFolderWalkPackageTest;

// Counts the start item and the folders below it that are not packages,
// yielding to the host every 20 folders. Returns the walk's status.
OSErr IterateCountFolders(const FSRef& start);

// Collects the start item and then, in pre-order, every folder below it that
// is not a package and whose path can be made, up to the counted number.
// Logs each collected folder's path. Must follow a count pass on the same
// item. Returns the walk's status.
OSErr IterateCollectFolders(const FSRef& start);

// The collected folders' paths (form 1, labelled when labels are on), each
// followed by the item separator. None only when memory runs out.
std::optional<std::string> GetFolderPathsClipboardStrings();

// The filters of the two passes; both always answer false.
bool MyIterateCountFilter(bool containerChanged, ItemCount currentLevel,
                          const FSCatalogInfo* catalogInfo, const FSRef* ref, const FSSpec* spec,
                          const std::string* name, void* yourDataPtr);
bool MyIterateCollectFilter(bool containerChanged, ItemCount currentLevel,
                            const FSCatalogInfo* catalogInfo, const FSRef* ref, const FSSpec* spec,
                            const std::string* name, void* yourDataPtr);
