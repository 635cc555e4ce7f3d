#include "MoreAppleEvents/MoreFilesX.h"

#include "engine/packages.h"

namespace {

// The bookkeeping of one walk. The status and the stop flag belong to the
// whole walk: a level's loop sees what a deeper level left behind.
struct IterateContainerGlobals {
  IterateContainerFilterProcPtr iterateFilter = nullptr;
  FSCatalogInfoBitmap whichInfo = kFSCatInfoNone;
  FSCatalogInfo catalogInfo;
  FSRef ref{};
  std::string name;
  bool wantName = false;
  void* yourDataPtr = nullptr;
  ItemCount maxLevels = 0;
  ItemCount currentLevel = 0;
  bool quitFlag = false;
  OSErr result = noErr;
  ItemCount actualObjects = 0;
};

void FSIterateContainerLevel(IterateContainerGlobals& globals) {
  if (globals.maxLevels != 0 && globals.currentLevel >= globals.maxLevels) return;
  if (ItemIsABundle(globals.ref)) return;

  FSIteratorRef iterator;
  globals.result = FSOpenIterator(globals.ref, &iterator);
  if (globals.result != noErr) {
    // A folder that may not be read counts as empty, so its siblings are
    // still walked.
    if (globals.result == afpAccessDenied) globals.result = noErr;
    return;
  }

  ++globals.currentLevel;
  do {
    globals.result = FSGetCatalogInfoBulk(*iterator, &globals.actualObjects, &globals.catalogInfo,
                                          &globals.ref);
    if ((globals.result == noErr || globals.result == errFSNoMoreItems) &&
        globals.actualObjects != 0) {
      const std::string* name = nullptr;
      if (globals.wantName) {
        if (std::optional<std::string> entryName = FSGetFileDirName(globals.ref)) {
          globals.name = std::move(*entryName);
          name = &globals.name;
        }
      }
      globals.quitFlag = globals.iterateFilter(false, globals.currentLevel, &globals.catalogInfo,
                                               &globals.ref, nullptr, name, globals.yourDataPtr);
      if ((globals.catalogInfo.nodeFlags & kFSNodeIsDirectoryMask) != 0 && !globals.quitFlag) {
        FSIterateContainerLevel(globals);
      }
    }
  } while (globals.result == noErr && !globals.quitFlag);

  if (globals.result == errFSNoMoreItems || globals.result == afpAccessDenied) {
    globals.result = noErr;
  }
  --globals.currentLevel;
  FSCloseIterator(&iterator);
}

}  // namespace

OSErr FSIterateContainer(const FSRef& container, ItemCount maxLevels, FSCatalogInfoBitmap whichInfo,
                         bool /*wantFSSpec*/, bool wantName,
                         IterateContainerFilterProcPtr iterateFilter, void* yourDataPtr) {
  if (iterateFilter == nullptr) return paramErr;
  IterateContainerGlobals globals;
  globals.iterateFilter = iterateFilter;
  globals.whichInfo = whichInfo | kFSCatInfoNodeFlags;
  globals.ref = container;
  globals.wantName = wantName;
  globals.yourDataPtr = yourDataPtr;
  globals.maxLevels = maxLevels;
  const ScopedPackageMemo memo;
  FSIterateContainerLevel(globals);
  return globals.result;
}
