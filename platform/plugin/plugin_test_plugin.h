// The interface of the test plug-in that plugin_test loads.
#pragma once

#include <cstdint>

#include "platform/plugin/uuid.h"

// The test plug-in's factory makes instances of this type only...
constexpr const char* kPlugInTestTypeA = "5A1B0C2D-3E4F-4061-8293-A4B5C6D7E8F9";
// ...and none of this one, which it is also declared for.
constexpr const char* kPlugInTestTypeB = "0F1E2D3C-4B5A-4968-8776-655443322110";
// The factory the shared object exports, as "PlugInTestFactory".
constexpr const char* kPlugInTestFactory = "C0FFEE00-1234-4567-89AB-CDEF01234567";
// A factory the Info.plist declares but the shared object does not export.
constexpr const char* kPlugInTestMissingFactory = "DEADBEEF-0000-4000-8000-000000000002";

// The function table every instance points to with its first field.
struct PlugInTestInterface {
  void* reserved;
  std::uint32_t (*AddRef)(void* instance);
  std::uint32_t (*Release)(void* instance);
  // The factory's live instance count, as the plug-in's own copy of the library reads it.
  std::uint32_t (*CountSeenByPlugIn)(void* instance);
  CFAllocatorRef (*Allocator)(void* instance);  // The allocator the factory was given.
};

inline const PlugInTestInterface& PlugInTestTable(void* instance) {
  return **static_cast<const PlugInTestInterface* const*>(instance);
}
