#include "KestrineCM/KestrineCM.h"

#include <new>
#include <optional>
#include <type_traits>

#include "engine/menu_model.h"
#include "engine/prefixes.h"
#include "engine/selection_text.h"
#include "platform/appkit/nsbeep.h"
#include "platform/corefoundation/cf_utf16.h"
#include "platform/plugin/plugin.h"
#include "settings/settings.h"

static_assert(std::is_standard_layout_v<KestrineCMType>,
              "the interface pointer must sit at the start of the record");

const ContextualMenuInterfaceStruct testInterfaceFtbl = {
    nullptr,
    KestrineCMQueryInterface,
    KestrineCMAddRef,
    KestrineCMRelease,
    KestrineCMExamineContext,
    KestrineCMHandleSelection,
    KestrineCMPostMenuCleanup,
};

namespace {

constexpr std::string_view kSubmenuTitle = "Kestrine";

void AddSeparator(AEDescList* list) {
  AddCommandToAEDescList(" ", kMenuItemAttrSeparator, 0, list);
}

// Element `index` of the context as a file reference, or none. An element
// that cannot be made one (an alias whose target is gone, data that is no
// reference) gives none.
std::optional<FSRef> ContextItemRef(const AEDesc* context, long index) {
  AEDesc element;
  if (AEGetNthDesc(context, index, typeFSRef, nullptr, &element) != noErr) return std::nullopt;
  FSRef ref{};
  if (AEGetDescDataSize(&element) != sizeof ref ||
      AEGetDescData(&element, &ref, sizeof ref) != noErr) {
    return std::nullopt;
  }
  return ref;
}

// Appends the items for the first clicked item: the enabled forms, "Copy
// All", "Copy Folder Paths" and the prefix block.
void AddItemsForContext(const AEDesc& context, bool submenu, AEDescList* target) {
  if (context.descriptorType() != typeAEList) return;
  const std::optional<FSRef> first = ContextItemRef(&context, 1);
  if (!first) return;
  for (const MenuModelItem& item : BuildMenuModel(*first, ContextualMenuRules(submenu))) {
    if (item.separator()) {
      AddSeparator(target);
    } else {
      AddCommandToAEDescList(item.title, kMenuItemAttrIgnoreMeta, item.commandID, target);
    }
  }
}

void AddSubmenuParent(AEDescList* submenu, AEDescList* list) {
  AERecord parent;
  if (AECreateList(nullptr, 0, true, &parent) != noErr) return;
  const std::int32_t attributes = 0;
  if (AEPutParamPtr(&parent, keyAEName, typeText, kSubmenuTitle.data(), kSubmenuTitle.size()) ==
          noErr &&
      AEPutParamPtr(&parent, keyContextualMenuAttributes, typeSInt32, &attributes,
                    sizeof attributes) == noErr &&
      AEPutParamDesc(&parent, keyContextualMenuSubmenu, submenu) == noErr) {
    AEPutDesc(list, 0, &parent);
  }
}

void BuildMenu(const AEDesc* context, AEDescList* commandList) {
  LoadPrefixes();
  const bool submenu = MakeAsSubmenu();
  AEDescList submenuList;
  AEDescList* target = commandList;
  if (submenu) {
    if (AECreateList(nullptr, 0, false, &submenuList) != noErr) return;
    target = &submenuList;
  } else {
    AddSeparator(commandList);
  }
  if (context == nullptr || AEGetDescDataSize(context) == 0) return;
  AddItemsForContext(*context, submenu, target);
  AddSeparator(commandList);
  if (submenu) AddSubmenuParent(&submenuList, commandList);
}

void HandleCommand(const AEDesc* context, std::int32_t commandID) {
  long count = 0;
  if (context == nullptr || AEGetDescDataSize(context) == 0 ||
      context->descriptorType() != typeAEList || AECountItems(context, &count) != noErr ||
      count < 1) {
    return;
  }
  const auto itemAt = [context](std::size_t position) {
    return ContextItemRef(context, static_cast<long>(position));
  };
  // The plug-in tells no one how the command ended.
  RunCommand(commandID, static_cast<std::size_t>(count), itemAt, false);
}

}  // namespace

CFUUIDRef kKestrineCMFactoryID() {
  return CFUUIDGetConstantUUIDWithBytes(nullptr, 0x2C, 0x30, 0x0F, 0x12, 0x0F, 0x12, 0x11, 0xDA,
                                        0x85, 0xAF, 0x00, 0x03, 0x93, 0x4F, 0xD1, 0xFE);
}

extern "C" void* KestrineCMFactory(CFAllocatorRef /*allocator*/, CFUUIDRef typeID) {
  try {
    if (!CFEqual(typeID, kContextualMenuTypeID())) return nullptr;
    CFUUIDRef factoryID = kKestrineCMFactoryID();
    auto* instance = new (std::nothrow) KestrineCMType{&testInterfaceFtbl, factoryID, 0};
    if (instance == nullptr) return nullptr;
    CFPlugInAddInstanceForFactory(factoryID);
    instance->refCount = 1;
    return instance;
  } catch (...) {
    return nullptr;
  }
}

HRESULT KestrineCMQueryInterface(void* thisInstance, REFIID iid, LPVOID* ppv) {
  try {
    CFUUIDRef interfaceID = CFUUIDCreateFromUUIDBytes(nullptr, iid);
    if (thisInstance != nullptr && interfaceID &&
        (CFEqual(interfaceID, kContextualMenuInterfaceID()) ||
         CFEqual(interfaceID, IUnknownUUID()))) {
      auto* instance = static_cast<KestrineCMType*>(thisInstance);
      instance->cmInterface->AddRef(thisInstance);
      if (ppv != nullptr) *ppv = thisInstance;
      return S_OK;
    }
  } catch (...) {
  }
  if (ppv != nullptr) *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG KestrineCMAddRef(void* thisInstance) {
  if (thisInstance == nullptr) return 0;
  auto* instance = static_cast<KestrineCMType*>(thisInstance);
  return ++instance->refCount;
}

ULONG KestrineCMRelease(void* thisInstance) {
  if (thisInstance == nullptr) return 0;
  auto* instance = static_cast<KestrineCMType*>(thisInstance);
  // A release past zero would free the record twice.
  if (instance->refCount == 0) return 0;
  --instance->refCount;
  if (instance->refCount > 0) return instance->refCount;
  CFUUIDRef factoryID = std::move(instance->factoryID);
  delete instance;
  if (factoryID) CFPlugInRemoveInstanceForFactory(factoryID);
  return 0;
}

OSStatus KestrineCMExamineContext(void* /*thisInstance*/, const AEDesc* inContext,
                                  AEDescList* outCommandPairs) {
  if (outCommandPairs == nullptr) return noErr;
  try {
    BuildMenu(inContext, outCommandPairs);
  } catch (...) {
    // The host's menu goes on without this plug-in's items.
  }
  return noErr;
}

OSStatus KestrineCMHandleSelection(void* /*thisInstance*/, AEDesc* inContext,
                                   std::int32_t inCommandID) {
  try {
    HandleCommand(inContext, inCommandID);
  } catch (...) {
    // Memory ran out; the clipboard keeps whatever state it reached.
  }
  NSBeep();
  return noErr;
}

void KestrineCMPostMenuCleanup(void* /*thisInstance*/) {}

OSStatus AddCommandToAEDescList(std::string_view name, std::int32_t attributes,
                                std::int32_t commandID, AEDescList* list) {
  if (list == nullptr) return errAENotAEDesc;
  const std::optional<std::u16string> characters = CFStringGetCharacters(name);
  if (!characters) return paramErr;
  AERecord record;
  OSStatus status = AECreateList(nullptr, 0, true, &record);
  if (status == noErr) {
    status = AEPutParamPtr(&record, keyAEName, typeUnicodeText, characters->data(),
                           characters->size() * sizeof(char16_t));
  }
  if (status == noErr) {
    status = AEPutParamPtr(&record, keyContextualMenuCommandID, typeSInt32, &commandID,
                           sizeof commandID);
  }
  if (status == noErr && attributes != 0) {
    status = AEPutParamPtr(&record, keyContextualMenuAttributes, typeSInt32, &attributes,
                           sizeof attributes);
  }
  if (status == noErr) status = AEPutDesc(list, 0, &record);
  return status;
}
