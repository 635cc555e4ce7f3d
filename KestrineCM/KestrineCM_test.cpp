// The plug-in object and its menu build, called in-process as a host would.
#include "KestrineCM/KestrineCM.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/appleevents/alias.h"
#include "platform/plugin/plugin.h"
#include "platform/preferences/preferences.h"
#include "testing/test_support.h"

namespace {

using kestrine_testing::ScopedUser;
using kestrine_testing::WriteFile;

KestrineCMType* NewInstance() {
  return static_cast<KestrineCMType*>(KestrineCMFactory(nullptr, kContextualMenuTypeID()));
}

AEDescList NewList() {
  AEDescList list;
  AECreateList(nullptr, 0, false, &list);
  return list;
}

TEST(KestrineCMObjectTest, FactoryQueryInterfaceAndReferenceCounts) {
  const ItemCount before = CFPlugInGetInstanceCountForFactory(kKestrineCMFactoryID());
  const auto instances = [&] { return CFPlugInGetInstanceCountForFactory(kKestrineCMFactoryID()) - before; };
  // Instances of the menu type only.
  EXPECT_EQ(KestrineCMFactory(nullptr, kContextualMenuInterfaceID()), nullptr);
  EXPECT_EQ(KestrineCMFactory(nullptr, nullptr), nullptr);
  EXPECT_EQ(instances(), 0u);
  KestrineCMType* instance = NewInstance();
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(instance->refCount, 1u);
  EXPECT_EQ(instances(), 1u);
  // Hosts call every slot through the table; the finder and file-manager
  // tests run each of them there.
  EXPECT_EQ(instance->cmInterface, &testInterfaceFtbl);
  EXPECT_EQ(testInterfaceFtbl._reserved, nullptr);

  LPVOID menu = nullptr, unknown = nullptr, other = instance;
  EXPECT_EQ(KestrineCMQueryInterface(instance, CFUUIDGetUUIDBytes(kContextualMenuInterfaceID()), &menu), S_OK);
  EXPECT_EQ(KestrineCMQueryInterface(instance, CFUUIDGetUUIDBytes(IUnknownUUID()), &unknown), S_OK);
  EXPECT_EQ(menu, instance);
  EXPECT_EQ(unknown, instance);
  EXPECT_EQ(instance->refCount, 3u);
  EXPECT_EQ(KestrineCMQueryInterface(instance, CFUUIDGetUUIDBytes(kContextualMenuTypeID()), &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(instance->refCount, 3u);
  EXPECT_EQ(KestrineCMAddRef(instance), 4u);
  for (const ULONG left : {3u, 2u, 1u}) EXPECT_EQ(KestrineCMRelease(instance), left);
  EXPECT_EQ(instances(), 1u);
  EXPECT_EQ(KestrineCMRelease(instance), 0u);
  EXPECT_EQ(instances(), 0u);
}

// The host's view of the appended records: one line per item, as the finder
// program prints them, without the submenu's items.
std::vector<std::string> Kinds(const AEDescList& list) {
  std::vector<std::string> kinds;
  long count = 0, subCount = 0;
  AECountItems(&list, &count);
  for (long i = 1; i <= count; ++i) {
    AERecord record;
    AEDesc sub;
    std::int32_t attributes = 0, id = 0;
    AEGetNthDesc(&list, i, typeWildCard, nullptr, &record);
    AEGetParamPtr(&record, keyContextualMenuAttributes, typeSInt32, nullptr, &attributes, sizeof attributes, nullptr);
    AEGetParamPtr(&record, keyContextualMenuCommandID, typeSInt32, nullptr, &id, sizeof id, nullptr);
    const bool submenu = AEGetParamDesc(&record, keyContextualMenuSubmenu, typeAEList, &sub) == noErr;
    if (submenu) AECountItems(&sub, &subCount);
    kinds.push_back(submenu ? "submenu:" + std::to_string(subCount) : attributes == 64 ? "-" : std::to_string(id));
  }
  return kinds;
}

class KestrineCMMenuTest : public ::testing::Test {
 protected:
  std::vector<std::string> Menu(const AEDesc* context) {
    AEDescList list = NewList();
    EXPECT_EQ(KestrineCMExamineContext(nullptr, context, &list), noErr);
    return Kinds(list);
  }

  ScopedUser user_;
};

TEST_F(KestrineCMMenuTest, ContextsOfEveryShapeInTheMenuAndTheHandler) {
  AEDesc null, text;
  AECreateDesc(typeText, "abc", 3, &text);
  AEDescList empty = NewList(), nested = NewList(), broken = NewList(), file = NewList();
  AEPutDesc(&nested, 0, &empty);
  AEPutPtr(&broken, 0, typeFSRef, "short", 5);
  std::string alias;
  WriteFile(user_.home() + "/a.txt", "x");
  ASSERT_EQ(FSNewAliasFromPath(user_.home() + "/a.txt", &alias), noErr);
  AEPutPtr(&file, 0, typeAlias, alias.data(), alias.size());
  const std::vector<std::string> none = {"-", "submenu:0"};
  for (const auto& [context, expected] : std::vector<std::pair<const AEDesc*, std::vector<std::string>>>{
           {nullptr, {}}, {&null, {}}, {&text, none}, {&empty, none}, {&nested, none}, {&broken, none},
           // Nine forms, a separator and "Copy All", a separator and "Copy Folder Paths".
           {&file, {"-", "submenu:13"}}}) {
    EXPECT_EQ(Menu(context), expected) << (context ? context->descriptorType() : 0);
  }
  user_.WriteSettings("<key>MakeAsSubmenu</key><false/>");
  CFPreferencesAppSynchronize("com.corvane.KestrineCM");
  EXPECT_EQ(Menu(&text), (std::vector<std::string>{"-", "-"}));
  // A missing command list is ignored.
  EXPECT_EQ(KestrineCMExamineContext(nullptr, &null, nullptr), noErr);
  EXPECT_EQ(KestrineCMHandleSelection(nullptr, nullptr, 1), noErr);
  EXPECT_EQ(KestrineCMHandleSelection(nullptr, &null, 1), noErr);

  // The handler leaves the clipboard alone for contexts that are not lists;
  // a list whose items are all unusable clears it.
  user_.SetClipboard("old");
  KestrineCMHandleSelection(nullptr, &text, 1);
  KestrineCMHandleSelection(nullptr, &empty, 1);
  EXPECT_EQ(user_.Clipboard(), "old");
  AEDescList junk = NewList();
  AEPutDesc(&junk, 0, &text);
  KestrineCMHandleSelection(nullptr, &junk, 1);
  EXPECT_EQ(user_.Clipboard(), std::nullopt);
}

TEST_F(KestrineCMMenuTest, RecordLayout) {
  AEDescList list = NewList();
  ASSERT_EQ(AddCommandToAEDescList("Ré", 256, 7, &list), noErr);
  ASSERT_EQ(AddCommandToAEDescList(" ", 0, 0, &list), noErr);
  // A title that is not UTF-8 adds nothing.
  EXPECT_NE(AddCommandToAEDescList("\xff", 256, 1, &list), noErr);
  long count = 0;
  AECountItems(&list, &count);
  EXPECT_EQ(count, 2);

  AERecord record;
  ASSERT_EQ(AEGetNthDesc(&list, 1, typeWildCard, nullptr, &record), noErr);
  char16_t title[2] = {};
  std::size_t size = 0;
  DescType type = 0;
  ASSERT_EQ(AEGetParamPtr(&record, keyAEName, typeWildCard, &type, title, sizeof title, &size), noErr);
  EXPECT_EQ(type, typeUnicodeText);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(std::u16string(title, 2), u"R\u00E9");
  std::int32_t value = 0;
  const auto get = [&](AEKeyword key) {
    return AEGetParamPtr(&record, key, typeSInt32, &type, &value, sizeof value, &size);
  };
  ASSERT_EQ(get(keyContextualMenuCommandID), noErr);
  EXPECT_EQ(value, 7);
  ASSERT_EQ(get(keyContextualMenuAttributes), noErr);
  EXPECT_EQ(value, 256);
  // Attributes of 0 leave the key out.
  ASSERT_EQ(AEGetNthDesc(&list, 2, typeWildCard, nullptr, &record), noErr);
  EXPECT_EQ(get(keyContextualMenuAttributes), errAEDescNotFound);
}

}  // namespace
