// A plug-in for plugin_test: one factory that registers its instances with
// its own copy of the plug-in library.
#include "platform/plugin/plugin_test_plugin.h"

#include <new>

#include "platform/plugin/plugin.h"

namespace {

struct Instance {
  const PlugInTestInterface* table;
  CFUUIDRef factoryID;
  std::uint32_t count;
  CFAllocatorRef allocator;
};

Instance* Self(void* instance) { return static_cast<Instance*>(instance); }

std::uint32_t Release(void* instance) {
  Instance* self = Self(instance);
  if (--self->count > 0) return self->count;
  CFUUIDRef factoryID = std::move(self->factoryID);
  delete self;
  CFPlugInRemoveInstanceForFactory(factoryID);
  return 0;
}

constexpr PlugInTestInterface kTable = {
    nullptr, [](void* instance) { return ++Self(instance)->count; }, &Release,
    [](void* instance) { return CFPlugInGetInstanceCountForFactory(Self(instance)->factoryID); },
    [](void* instance) { return Self(instance)->allocator; }};

}  // namespace

extern "C" void* PlugInTestFactory(CFAllocatorRef allocator, CFUUIDRef typeID) {
  if (!CFEqual(typeID, CFUUIDCreateFromString(allocator, kPlugInTestTypeA))) return nullptr;
  CFUUIDRef factoryID = CFUUIDCreateFromString(allocator, kPlugInTestFactory);
  auto* instance = new (std::nothrow) Instance{&kTable, factoryID, 1, allocator};
  if (instance == nullptr) return nullptr;
  CFPlugInAddInstanceForFactory(factoryID);
  return instance;
}
