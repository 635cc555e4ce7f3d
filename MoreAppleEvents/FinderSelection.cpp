#include "MoreAppleEvents/FinderSelection.h"

#include <cstring>
#include <utility>

#include "MoreAppleEvents/MoreFinderEvents.h"
#include "platform/appleevents/alias.h"
#include "platform/threads/threads.h"

namespace {

std::function<void()>& IdleWork() {
  static std::function<void()> work;
  return work;
}

}  // namespace

bool MyAEIdleProc(EventRecord* /*event*/, std::int32_t* sleepTime, RgnHandle* mouseRgn) {
  if (sleepTime != nullptr) *sleepTime = 10;
  if (mouseRgn != nullptr) *mouseRgn = nullptr;
  YieldToAnyThread();
  if (IdleWork()) IdleWork()();
  return false;
}

void SetAEIdleWork(std::function<void()> work) { IdleWork() = std::move(work); }

const AEIdleUPP gAEIdleUPP = NewAEIdleUPP(MyAEIdleProc);

OSStatus GetSelectionItemFSRef(const AEDescList* list, long index, FSRef* ref) {
  if (ref == nullptr) return paramErr;
  AEDesc item;
  OSStatus status = AEGetNthDesc(list, index, typeWildCard, nullptr, &item);
  if (status != noErr) return status;
  if (item.descriptorType() == typeObjectSpecifier) {
    Handle alias;
    status = MoreFEGetObjectAsAlias(&item, &alias, gAEIdleUPP);
    if (status == noErr) {
      status = FSResolveAliasWithMountFlags(nullptr, *alias, ref, nullptr, kResolveAliasFileNoUI);
    }
  } else {
    if (item.descriptorType() != typeFSRef) status = AECoerceDesc(&item, typeFSRef, &item);
    // Only a whole reference is taken: a short one names nothing.
    if (status == noErr && AEGetDescDataSize(&item) != sizeof *ref) status = errAECoercionFail;
    if (status == noErr) status = AEGetDescData(&item, ref, sizeof *ref);
  }
  MoreAEDisposeDesc(&item);
  return status;
}
