#include "MoreAppleEvents/MoreFilesX.h"

namespace {

// The bookkeeping of one walk. Each level keeps its own status, so a folder
// that fails ends that folder only; the stop flag belongs to the whole walk.
struct IterateContainerGlobals {
  IterateContainerFilterProcPtr iterateFilter = nullptr;
  IterateContainerPackageTest packages{};
  FSCatalogInfoBitmap whichInfo = kFSCatInfoNone;
  FSCatalogInfo catalogInfo;
  FSRef ref{};
  std::string name;
  bool wantName = false;
  void* yourDataPtr = nullptr;
  FSIteratorNeeds needs = FSIteratorNeeds::kAllEntries;
  ItemCount maxLevels = 0;
  ItemCount currentLevel = 0;
  bool quitFlag = false;
  OSErr startStatus = noErr;  // Of opening the start item.
  ItemCount actualObjects = 0;
};

// Walks the entries of the folder globals.ref, opened into `iterator`.
void FSIterateContainerOpenLevel(IterateContainerGlobals& globals, FSIteratorRef iterator);

// Opens the folder globals.ref for walking when the walk will go into it: not
// below the level limit, not a package by its name. The folder is read here,
// before its filter call, so that the package test asked there can use its
// listing.
FSIteratorRef OpenForDescent(IterateContainerGlobals& globals) {
  FSIteratorRef iterator;
  if (globals.maxLevels != 0 && globals.currentLevel >= globals.maxLevels) return iterator;
  if (globals.packages.byName(globals.ref)) return iterator;
  // A folder that cannot be opened (it may not be read, it vanished, no
  // descriptor is left) is skipped, and the walk goes on with its siblings.
  FSOpenIterator(globals.ref, &iterator, globals.needs);
  return iterator;
}

// The level procedure on the folder globals.ref; `iterator` is null when the
// folder could not be opened.
void FSIterateContainerLevel(IterateContainerGlobals& globals, FSIteratorRef iterator) {
  if (globals.maxLevels != 0 && globals.currentLevel >= globals.maxLevels) return;
  if (globals.packages.isPackage(globals.ref)) return;
  if (iterator) FSIterateContainerOpenLevel(globals, std::move(iterator));
}

void FSIterateContainerOpenLevel(IterateContainerGlobals& globals, FSIteratorRef iterator) {
  ++globals.currentLevel;
  OSErr result = noErr;
  do {
    result = FSGetCatalogInfoBulk(*iterator, &globals.actualObjects, &globals.catalogInfo,
                                  &globals.ref);
    if ((result == noErr || result == errFSNoMoreItems) && globals.actualObjects != 0) {
      const bool isFolder = (globals.catalogInfo.nodeFlags & kFSNodeIsDirectoryMask) != 0;
      FSIteratorRef inner = isFolder ? OpenForDescent(globals) : FSIteratorRef();
      const std::string* name = nullptr;
      if (globals.wantName) {
        if (std::optional<std::string> entryName = FSGetFileDirName(globals.ref)) {
          globals.name = std::move(*entryName);
          name = &globals.name;
        }
      }
      globals.quitFlag = globals.iterateFilter(false, globals.currentLevel, &globals.catalogInfo,
                                               &globals.ref, nullptr, name, globals.yourDataPtr);
      if (isFolder && !globals.quitFlag) FSIterateContainerLevel(globals, std::move(inner));
    }
    // Any failure to read further (access denied, an I/O error) ends this
    // folder only.
  } while (result == noErr && !globals.quitFlag);
  --globals.currentLevel;
}

}  // namespace

OSErr FSIterateContainer(const FSRef& container, ItemCount maxLevels, FSCatalogInfoBitmap whichInfo,
                         bool /*wantFSSpec*/, bool wantName,
                         IterateContainerFilterProcPtr iterateFilter, void* yourDataPtr,
                         const IterateContainerPackageTest& packages, FSIteratorNeeds needs) {
  if (iterateFilter == nullptr || packages.byName == nullptr || packages.isPackage == nullptr) {
    return paramErr;
  }
  IterateContainerGlobals globals;
  globals.iterateFilter = iterateFilter;
  globals.packages = packages;
  globals.whichInfo = whichInfo | kFSCatInfoNodeFlags;
  globals.ref = container;
  globals.wantName = wantName;
  globals.yourDataPtr = yourDataPtr;
  globals.maxLevels = maxLevels;
  globals.needs = needs;
  // A package given as the start item is not read either.
  if (!packages.isPackage(container)) {
    FSIteratorRef iterator;
    globals.startStatus = FSOpenIterator(container, &iterator, globals.needs);
    if (globals.startStatus == noErr) FSIterateContainerOpenLevel(globals, std::move(iterator));
  }
  return globals.startStatus;
}
