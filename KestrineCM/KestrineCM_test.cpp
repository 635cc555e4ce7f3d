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

TEST(KestrineCMObjectTest, FactoryMakesInstancesOfTheMenuTypeOnly) {
  const ItemCount before = CFPlugInGetInstanceCountForFactory(kKestrineCMFactoryID());
  EXPECT_EQ(KestrineCMFactory(nullptr, kContextualMenuInterfaceID()), nullptr);
  EXPECT_EQ(KestrineCMFactory(nullptr, nullptr), nullptr);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(kKestrineCMFactoryID()), before);

  KestrineCMType* instance = NewInstance();
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(instance->cmInterface, &testInterfaceFtbl);
  EXPECT_EQ(instance->refCount, 1u);
  EXPECT_TRUE(CFEqual(instance->factoryID, kKestrineCMFactoryID()));
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(kKestrineCMFactoryID()), before + 1);
  EXPECT_EQ(KestrineCMRelease(instance), 0u);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(kKestrineCMFactoryID()), before);
}

TEST(KestrineCMObjectTest, TableSlotsInOrder) {
  EXPECT_EQ(testInterfaceFtbl._reserved, nullptr);
  EXPECT_EQ(testInterfaceFtbl.QueryInterface, &KestrineCMQueryInterface);
  EXPECT_EQ(testInterfaceFtbl.AddRef, &KestrineCMAddRef);
  EXPECT_EQ(testInterfaceFtbl.Release, &KestrineCMRelease);
  EXPECT_EQ(testInterfaceFtbl.ExamineContext, &KestrineCMExamineContext);
  EXPECT_EQ(testInterfaceFtbl.HandleSelection, &KestrineCMHandleSelection);
  EXPECT_EQ(testInterfaceFtbl.PostMenuCleanup, &KestrineCMPostMenuCleanup);
}

TEST(KestrineCMObjectTest, QueryInterfaceCountsReferences) {
  const ItemCount before = CFPlugInGetInstanceCountForFactory(kKestrineCMFactoryID());
  KestrineCMType* instance = NewInstance();
  ASSERT_NE(instance, nullptr);
  LPVOID menu = nullptr;
  LPVOID unknown = nullptr;
  EXPECT_EQ(KestrineCMQueryInterface(instance, CFUUIDGetUUIDBytes(kContextualMenuInterfaceID()),
                                     &menu),
            S_OK);
  EXPECT_EQ(KestrineCMQueryInterface(instance, CFUUIDGetUUIDBytes(IUnknownUUID()), &unknown),
            S_OK);
  EXPECT_EQ(menu, instance);
  EXPECT_EQ(unknown, instance);
  EXPECT_EQ(instance->refCount, 3u);

  LPVOID other = instance;
  EXPECT_EQ(KestrineCMQueryInterface(instance, CFUUIDGetUUIDBytes(kContextualMenuTypeID()),
                                     &other),
            E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(instance->refCount, 3u);

  EXPECT_EQ(KestrineCMAddRef(instance), 4u);
  EXPECT_EQ(KestrineCMRelease(instance), 3u);
  EXPECT_EQ(KestrineCMRelease(instance), 2u);
  EXPECT_EQ(KestrineCMRelease(instance), 1u);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(kKestrineCMFactoryID()), before + 1);
  EXPECT_EQ(KestrineCMRelease(instance), 0u);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(kKestrineCMFactoryID()), before);
}

// The host's view of the appended records: one line per item, as the finder
// program prints them, without the submenu's items.
std::vector<std::string> Kinds(const AEDescList& list) {
  std::vector<std::string> kinds;
  long count = 0;
  AECountItems(&list, &count);
  for (long i = 1; i <= count; ++i) {
    AERecord record;
    AEGetNthDesc(&list, i, typeWildCard, nullptr, &record);
    AEDesc sub;
    std::int32_t attributes = 0;
    AEGetParamPtr(&record, keyContextualMenuAttributes, typeSInt32, nullptr, &attributes,
                  sizeof attributes, nullptr);
    std::int32_t id = 0;
    AEGetParamPtr(&record, keyContextualMenuCommandID, typeSInt32, nullptr, &id, sizeof id,
                  nullptr);
    if (AEGetParamDesc(&record, keyContextualMenuSubmenu, typeAEList, &sub) == noErr) {
      long subCount = 0;
      AECountItems(&sub, &subCount);
      kinds.push_back("submenu:" + std::to_string(subCount));
    } else if (attributes == 64) {
      kinds.push_back("-");
    } else {
      kinds.push_back(std::to_string(id));
    }
  }
  return kinds;
}

class KestrineCMMenuTest : public ::testing::Test {
 protected:
  std::vector<std::string> Menu(const AEDesc* context) {
    AEDescList list;
    AECreateList(nullptr, 0, false, &list);
    EXPECT_EQ(KestrineCMExamineContext(nullptr, context, &list), noErr);
    return Kinds(list);
  }
  void Flat() {
    user_.WriteSettings("<key>MakeAsSubmenu</key><false/>");
    CFPreferencesAppSynchronize("com.corvane.KestrineCM");
  }

  ScopedUser user_;
};

TEST_F(KestrineCMMenuTest, ContextsOfEveryShape) {
  AEDesc null;
  EXPECT_EQ(Menu(nullptr), std::vector<std::string>{});
  EXPECT_EQ(Menu(&null), std::vector<std::string>{});

  AEDesc text;
  AECreateDesc(typeText, "abc", 3, &text);
  EXPECT_EQ(Menu(&text), (std::vector<std::string>{"-", "submenu:0"}));

  AEDescList empty;
  AECreateList(nullptr, 0, false, &empty);
  EXPECT_EQ(Menu(&empty), (std::vector<std::string>{"-", "submenu:0"}));

  AEDescList nested;
  AECreateList(nullptr, 0, false, &nested);
  AEPutDesc(&nested, 0, &empty);
  EXPECT_EQ(Menu(&nested), (std::vector<std::string>{"-", "submenu:0"}));

  AEDescList broken;
  AECreateList(nullptr, 0, false, &broken);
  AEPutPtr(&broken, 0, typeFSRef, "short", 5);
  EXPECT_EQ(Menu(&broken), (std::vector<std::string>{"-", "submenu:0"}));

  std::string alias;
  ASSERT_EQ(FSNewAliasFromPath(user_.root() + "/missing", &alias), noErr);
  AEDescList gone;
  AECreateList(nullptr, 0, false, &gone);
  AEPutPtr(&gone, 0, typeAlias, alias.data(), alias.size());
  EXPECT_EQ(Menu(&gone), (std::vector<std::string>{"-", "submenu:0"}));

  Flat();
  EXPECT_EQ(Menu(&null), (std::vector<std::string>{"-"}));
  EXPECT_EQ(Menu(&text), (std::vector<std::string>{"-", "-"}));
}

TEST_F(KestrineCMMenuTest, AliasOfAnExistingFileIsResolved) {
  const std::string path = user_.home() + "/a.txt";
  WriteFile(path, "x");
  std::string alias;
  ASSERT_EQ(FSNewAliasFromPath(path, &alias), noErr);
  AEDescList context;
  AECreateList(nullptr, 0, false, &context);
  AEPutPtr(&context, 0, typeAlias, alias.data(), alias.size());
  // Nine forms, a separator and "Copy All", a separator and "Copy Folder
  // Paths".
  EXPECT_EQ(Menu(&context), (std::vector<std::string>{"-", "submenu:13"}));
}

TEST_F(KestrineCMMenuTest, MissingCommandListIsIgnored) {
  AEDesc null;
  EXPECT_EQ(KestrineCMExamineContext(nullptr, &null, nullptr), noErr);
  EXPECT_EQ(KestrineCMHandleSelection(nullptr, nullptr, 1), noErr);
  EXPECT_EQ(KestrineCMHandleSelection(nullptr, &null, 1), noErr);
}

TEST_F(KestrineCMMenuTest, HandlerLeavesTheClipboardAloneForContextsThatAreNotLists) {
  user_.SetClipboard("old");
  AEDesc text;
  AECreateDesc(typeText, "abc", 3, &text);
  KestrineCMHandleSelection(nullptr, &text, 1);
  AEDescList empty;
  AECreateList(nullptr, 0, false, &empty);
  KestrineCMHandleSelection(nullptr, &empty, 1);
  EXPECT_EQ(user_.Clipboard(), "old");
  // A list whose items are all unusable clears it.
  AEDescList junk;
  AECreateList(nullptr, 0, false, &junk);
  AEPutDesc(&junk, 0, &text);
  KestrineCMHandleSelection(nullptr, &junk, 1);
  EXPECT_EQ(user_.Clipboard(), std::nullopt);
}

TEST_F(KestrineCMMenuTest, RecordLayout) {
  AEDescList list;
  AECreateList(nullptr, 0, false, &list);
  ASSERT_EQ(AddCommandToAEDescList("Ré", 256, 7, &list), noErr);
  ASSERT_EQ(AddCommandToAEDescList(" ", 0, 0, &list), noErr);
  AERecord record;
  ASSERT_EQ(AEGetNthDesc(&list, 1, typeWildCard, nullptr, &record), noErr);
  char16_t title[2] = {};
  std::size_t size = 0;
  DescType type = 0;
  ASSERT_EQ(AEGetParamPtr(&record, keyAEName, typeWildCard, &type, title, sizeof title, &size),
            noErr);
  EXPECT_EQ(type, typeUnicodeText);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(title[0], u'R');
  EXPECT_EQ(title[1], u'\u00E9');
  std::int32_t value = 0;
  ASSERT_EQ(AEGetParamPtr(&record, keyContextualMenuCommandID, typeSInt32, &type, &value,
                          sizeof value, &size),
            noErr);
  EXPECT_EQ(value, 7);
  ASSERT_EQ(AEGetParamPtr(&record, keyContextualMenuAttributes, typeSInt32, &type, &value,
                          sizeof value, &size),
            noErr);
  EXPECT_EQ(value, 256);
  // Attributes of 0 leave the key out.
  ASSERT_EQ(AEGetNthDesc(&list, 2, typeWildCard, nullptr, &record), noErr);
  EXPECT_EQ(AEGetParamPtr(&record, keyContextualMenuAttributes, typeSInt32, &type, &value,
                          sizeof value, &size),
            errAEDescNotFound);
  // A title that is not UTF-8 adds nothing.
  EXPECT_NE(AddCommandToAEDescList("\xff", 256, 1, &list), noErr);
  long count = 0;
  AECountItems(&list, &count);
  EXPECT_EQ(count, 2);
}

}  // namespace
