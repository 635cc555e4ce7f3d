#include "MoreAppleEvents/MoreFilesX.h"

#include "engine/packages.h"

namespace {

// The bookkeeping of one walk. Each level keeps its own status, so a folder
// that fails ends that folder only; the stop flag belongs to the whole walk.
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
  OSErr startStatus = noErr;  // Of opening the start item.
  ItemCount actualObjects = 0;
};

void FSIterateContainerLevel(IterateContainerGlobals& globals) {
  if (globals.maxLevels != 0 && globals.currentLevel >= globals.maxLevels) return;
  if (ItemIsABundle(globals.ref)) return;

  FSIteratorRef iterator;
  // A folder that cannot be opened (it may not be read, it vanished, no
  // descriptor is left) is skipped, and the walk goes on with its siblings.
  const OSErr opened = FSOpenIterator(globals.ref, &iterator);
  if (globals.currentLevel == 0) globals.startStatus = opened;
  if (opened != noErr) return;

  ++globals.currentLevel;
  OSErr result = noErr;
  do {
    result = FSGetCatalogInfoBulk(*iterator, &globals.actualObjects, &globals.catalogInfo,
                                  &globals.ref);
    if ((result == noErr || result == errFSNoMoreItems) && globals.actualObjects != 0) {
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
    // Any failure to read further (access denied, an I/O error) ends this
    // folder only.
  } while (result == noErr && !globals.quitFlag);
  --globals.currentLevel;
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
  return globals.startStatus;
}
