// The contextual-menu plug-in: adds the copy commands to the file manager's
// contextual menu and copies when one is chosen.
//
// The host loads the bundle, calls KestrineCMFactory for the contextual-menu
// type, and talks to the instance through testInterfaceFtbl. Every entry
// point runs inside the host's process and never lets a failure escape.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/appleevents/appleevents.h"
#include "platform/files/files.h"
#include "platform/plugin/contextual_menu.h"

// 2C300F12-0F12-11DA-85AF-0003934FD1FE: this plug-in's factory.
CFUUIDRef kKestrineCMFactoryID();

// One instance. The interface pointer comes first, so a pointer to the record
// is the interface pointer handed to the host.
struct KestrineCMType {
  const ContextualMenuInterfaceStruct* cmInterface;
  CFUUIDRef factoryID;
  std::uint32_t refCount;
};

// The interface table shared by every instance.
extern const ContextualMenuInterfaceStruct testInterfaceFtbl;

extern "C" {
// Makes an instance with a count of 1 when `typeID` is the contextual-menu
// type, registering it with the plug-in system; null for any other type.
void* KestrineCMFactory(CFAllocatorRef allocator, CFUUIDRef typeID);
}

HRESULT KestrineCMQueryInterface(void* thisInstance, REFIID iid, LPVOID* ppv);
ULONG KestrineCMAddRef(void* thisInstance);
ULONG KestrineCMRelease(void* thisInstance);
OSStatus KestrineCMExamineContext(void* thisInstance, const AEDesc* inContext,
                                  AEDescList* outCommandPairs);
OSStatus KestrineCMHandleSelection(void* thisInstance, AEDesc* inContext,
                                   std::int32_t inCommandID);
void KestrineCMPostMenuCleanup(void* thisInstance);

// Appends an item record ('pnam' the title as UTF-16, 'cmcd' the command ID,
// 'cmat' the attributes when not 0) to `list`. Returns the status of the
// first step that failed, or noErr; nothing is appended on failure.
OSStatus AddCommandToAEDescList(std::string_view name, std::int32_t attributes,
                                std::int32_t commandID, AEDescList* list);

