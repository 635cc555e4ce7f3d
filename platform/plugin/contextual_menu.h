// The contextual-menu plug-in interface of the file manager: the plug-in type
// and interface identifiers, and the function table a plug-in instance hands
// to its host.
//
// COM layout: an instance pointer points to a record whose first field points
// to the interface table, so the instance pointer is also the interface
// pointer. The host calls the functions from one thread, the one that shows
// its menus.
#pragma once

#include <cstdint>

#include "platform/MacTypes.h"
#include "platform/appleevents/appleevents.h"
#include "platform/plugin/uuid.h"

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;
using REFIID = CFUUIDBytes;
using LPVOID = void*;

constexpr HRESULT S_OK = 0;
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80000004u);

// 2F6522E9-3E66-11D5-80A7-003065B300BC: the contextual-menu plug-in type.
inline CFUUIDRef kContextualMenuTypeID() {
  return CFUUIDGetConstantUUIDWithBytes(nullptr, 0x2F, 0x65, 0x22, 0xE9, 0x3E, 0x66, 0x11, 0xD5,
                                        0x80, 0xA7, 0x00, 0x30, 0x65, 0xB3, 0x00, 0xBC);
}

// 32997B62-3E66-11D5-BEAB-003065B300BC: the contextual-menu interface.
inline CFUUIDRef kContextualMenuInterfaceID() {
  return CFUUIDGetConstantUUIDWithBytes(nullptr, 0x32, 0x99, 0x7B, 0x62, 0x3E, 0x66, 0x11, 0xD5,
                                        0xBE, 0xAB, 0x00, 0x30, 0x65, 0xB3, 0x00, 0xBC);
}

// 00000000-0000-0000-C000-000000000046: IUnknown.
inline CFUUIDRef IUnknownUUID() {
  return CFUUIDGetConstantUUIDWithBytes(nullptr, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                        0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
}

// Menu-item attributes a plug-in gives its items.
constexpr std::int32_t kMenuItemAttrSeparator = 64;
constexpr std::int32_t kMenuItemAttrIgnoreMeta = 256;

// The interface table, slots in this order.
struct ContextualMenuInterfaceStruct {
  void* _reserved;
  HRESULT (*QueryInterface)(void* thisPointer, REFIID iid, LPVOID* ppv);
  ULONG (*AddRef)(void* thisPointer);
  ULONG (*Release)(void* thisPointer);
  // Appends the plug-in's items to `outCommandPairs` for what `inContext`
  // describes (null when nothing was clicked). Returns 0.
  OSStatus (*ExamineContext)(void* thisInstance, const AEDesc* inContext,
                             AEDescList* outCommandPairs);
  // Runs the item `inCommandID` on `inContext`. Returns 0.
  OSStatus (*HandleSelection)(void* thisInstance, AEDesc* inContext, std::int32_t inCommandID);
  // Called after the menu has closed.
  void (*PostMenuCleanup)(void* thisInstance);
};
