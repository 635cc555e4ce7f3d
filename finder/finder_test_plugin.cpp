// A contextual-menu plug-in for the finder's tests: its menu is the list
// that $FINDER_TEST_MENU gives in the build syntax, and each command it runs
// is appended to the file $FINDER_TEST_CHOSEN as its ID and a line feed.
#include <cstdio>
#include <cstdlib>
#include <new>

#include "platform/appleevents/appleevent.h"
#include "platform/plugin/contextual_menu.h"

namespace {

struct Instance {
  const ContextualMenuInterfaceStruct* table;
  ULONG count;
};

Instance* Self(void* instance) { return static_cast<Instance*>(instance); }

HRESULT QueryInterface(void* instance, REFIID iid, LPVOID* ppv) {
  CFUUIDRef id = CFUUIDCreateFromUUIDBytes(nullptr, iid);
  if (id && (CFEqual(id, kContextualMenuInterfaceID()) || CFEqual(id, IUnknownUUID()))) {
    ++Self(instance)->count;
    *ppv = instance;
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG Release(void* instance) {
  if (--Self(instance)->count > 0) return Self(instance)->count;
  delete Self(instance);
  return 0;
}

OSStatus ExamineContext(void*, const AEDesc*, AEDescList* commands) {
  const char* text = std::getenv("FINDER_TEST_MENU");
  AEDesc menu;
  long count = 0;
  if (text == nullptr || AEBuildDesc(&menu, nullptr, text) != noErr ||
      AECountItems(&menu, &count) != noErr) {
    return noErr;
  }
  for (long i = 1; i <= count; ++i) {
    AEDesc item;
    if (AEGetNthDesc(&menu, i, typeWildCard, nullptr, &item) != noErr) continue;
    AEPutDesc(commands, 0, &item);
  }
  return noErr;
}

OSStatus HandleSelection(void*, AEDesc*, std::int32_t commandID) {
  const char* path = std::getenv("FINDER_TEST_CHOSEN");
  if (std::FILE* file = path != nullptr ? std::fopen(path, "a") : nullptr) {
    std::fprintf(file, "%d\n", commandID);
    std::fclose(file);
  }
  return noErr;
}

constexpr ContextualMenuInterfaceStruct kTable = {
    nullptr, QueryInterface, [](void* instance) { return ++Self(instance)->count; }, Release,
    ExamineContext, HandleSelection, [](void*) {}};

}  // namespace

extern "C" void* FinderTestFactory(CFAllocatorRef, CFUUIDRef typeID) {
  if (!CFEqual(typeID, kContextualMenuTypeID())) return nullptr;
  return new (std::nothrow) Instance{&kTable, 1};
}
