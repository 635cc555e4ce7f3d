#include "engine/folder_paths.h"

#include <cstring>
#include <new>

#include "engine/packages.h"
#include "engine/path_forms.h"
#include "platform/events/events.h"
#include "platform/log/nslog.h"
#include "platform/memory_guard.h"
#include "settings/settings.h"

std::int32_t gNbrFoldersCounted = 0;
std::unique_ptr<FSRef[]> gFSRefArray;
std::int32_t gNbrFoldersCollected = 0;

const IterateContainerPackageTest kFolderWalkPackageTest{ItemIsABundleByExtension, ItemIsABundle};

namespace {

constexpr std::int32_t kYieldInterval = 20;

// The bytes of the paths the collect pass made, so that the text is made in
// one allocation of the right size: a text grown by doubling holds up to
// three times its size while it grows, which for a million folders is more
// than all the rest of the walk.
std::size_t gCollectedPathBytes = 0;

bool IsFolderNotPackage(const FSCatalogInfo* catalogInfo, const FSRef* ref) {
  return catalogInfo != nullptr && ref != nullptr &&
         (catalogInfo->nodeFlags & kFSNodeIsDirectoryMask) != 0 && !ItemIsABundle(*ref);
}

}  // namespace

bool MyIterateCountFilter(bool /*containerChanged*/, ItemCount /*currentLevel*/,
                          const FSCatalogInfo* catalogInfo, const FSRef* ref,
                          const FSSpec* /*spec*/, const std::string* /*name*/,
                          void* /*yourDataPtr*/) {
  if (IsFolderNotPackage(catalogInfo, ref)) {
    ++gNbrFoldersCounted;
    if (gNbrFoldersCounted % kYieldInterval == 0) {
      WaitNextEvent();
      NSLog("Cumulative Nbr Folders: %d ", gNbrFoldersCounted);
    }
  }
  return false;
}

bool MyIterateCollectFilter(bool /*containerChanged*/, ItemCount /*currentLevel*/,
                            const FSCatalogInfo* catalogInfo, const FSRef* ref,
                            const FSSpec* /*spec*/, const std::string* /*name*/,
                            void* /*yourDataPtr*/) {
  if (!IsFolderNotPackage(catalogInfo, ref)) return false;
  char path[kWorkingPathSize];
  if (FSRefMakePath(*ref, path, sizeof path) != noErr) return false;
  if (gFSRefArray && gNbrFoldersCollected < gNbrFoldersCounted) {
    NSLog("%s", path);
    gCollectedPathBytes += std::strlen(path);
    gFSRefArray[static_cast<std::size_t>(gNbrFoldersCollected)] = *ref;
    ++gNbrFoldersCollected;
    if (gNbrFoldersCollected % kYieldInterval == 0) WaitNextEvent();
  }
  return false;
}

OSErr IterateCountFolders(const FSRef& start) {
  const ScopedNSLogBatch logBatch;
  const ScopedPackageMemo memo;
  gNbrFoldersCounted = 1;
  NSLog("Cumulative Nbr Folders: %d ", gNbrFoldersCounted);
  const OSErr result = FSIterateContainer(start, 0, kFSCatInfoNodeFlags, false, false,
                                          MyIterateCountFilter, nullptr, kFolderWalkPackageTest,
                                          FSIteratorNeeds::kFoldersOnly);
  NSLog("Total Nbr Folders: %d ", gNbrFoldersCounted);
  return result;
}

OSErr IterateCollectFolders(const FSRef& start) {
  const ScopedNSLogBatch logBatch;
  gNbrFoldersCollected = 0;
  gFSRefArray.reset();
  if (gNbrFoldersCounted < 1) return memFullErr;
  gFSRefArray.reset(new (std::nothrow) FSRef[static_cast<std::size_t>(gNbrFoldersCounted)]);
  if (!gFSRefArray) return memFullErr;
  gFSRefArray[0] = start;
  gNbrFoldersCollected = 1;
  char path[kWorkingPathSize];
  gCollectedPathBytes = FSRefMakePath(start, path, sizeof path) == noErr ? std::strlen(path) : 0;
  const ScopedPackageMemo memo;
  return FSIterateContainer(start, 0, kFSCatInfoNodeFlags, false, false, MyIterateCollectFilter,
                            nullptr, kFolderWalkPackageTest, FSIteratorNeeds::kFoldersOnly);
}

std::optional<std::string> GetFolderPathsClipboardStrings() {
  return GuardMemory(std::optional<std::string>(), [&]() -> std::optional<std::string> {
    const ScopedLabelSetting labels;
    const std::string separator = MultipathSeparator();
    std::string text;
    // Exact unless a path is not UTF-8 (it renders as nothing) or the tree
    // changed since; a wrong guess costs only growth.
    const SingleForm* form = FindSingleForm(kCopyPosixPath);
    const std::size_t label = LabelItems() && form != nullptr ? form->label.size() : 0;
    text.reserve(gCollectedPathBytes +
                 static_cast<std::size_t>(gNbrFoldersCollected) * (separator.size() + label));
    char buffer[kCompositeRenderBufferSize];
    for (std::int32_t i = 0; gFSRefArray && i < gNbrFoldersCollected; ++i) {
      get_clipboard_data(gFSRefArray[static_cast<std::size_t>(i)], buffer, sizeof buffer,
                         kCopyPosixPath);
      if (i > 0) text += separator;
      text += buffer;
    }
    text += separator;
    return text;
  });
}
