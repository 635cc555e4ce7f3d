#include "platform/appleevents/appleevents.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/appleevents/alias.h"
#include "platform/appleevents/appleevent.h"
#include "platform/files/files.h"

#include "testing/test_support.h"

namespace {

using namespace std::string_literals;

using TempDir = kestrine_testing::ScopedTempDir;

AEDesc Text(const std::string& text) {
  AEDesc desc;
  EXPECT_EQ(AECreateDesc(typeText, text.data(), text.size(), &desc), noErr);
  return desc;
}

AEDesc Long(std::int32_t value) {
  AEDesc desc;
  EXPECT_EQ(AECreateDesc(typeSInt32, &value, sizeof value, &desc), noErr);
  return desc;
}

AEDesc List(std::initializer_list<AEDesc> items) {
  AEDesc list;
  EXPECT_EQ(AECreateList(nullptr, 0, false, &list), noErr);
  for (const AEDesc& item : items) EXPECT_EQ(AEPutDesc(&list, 0, &item), noErr);
  return list;
}

// The record the contextual menu appends for one command.
AERecord MenuItem(const std::u16string& title, std::int32_t command, std::int32_t attributes) {
  AERecord record;
  EXPECT_EQ(AECreateList(nullptr, 0, true, &record), noErr);
  EXPECT_EQ(AEPutParamPtr(&record, keyAEName, typeUnicodeText, title.data(), 2 * title.size()),
            noErr);
  EXPECT_EQ(AEPutParamPtr(&record, keyContextualMenuCommandID, typeSInt32, &command,
                          sizeof command),
            noErr);
  if (attributes != 0) {
    EXPECT_EQ(AEPutParamPtr(&record, keyContextualMenuAttributes, typeSInt32, &attributes,
                            sizeof attributes),
              noErr);
  }
  return record;
}

std::string DataOf(const AEDesc& desc) {
  std::string data(AEGetDescDataSize(&desc), '\0');
  EXPECT_EQ(AEGetDescData(&desc, data.data(), data.size()), noErr);
  return data;
}

FSRef RefOf(const AEDesc& desc) {
  FSRef ref{};
  EXPECT_EQ(AEGetDescDataSize(&desc), sizeof ref);
  EXPECT_EQ(AEGetDescData(&desc, &ref, sizeof ref), noErr);
  return ref;
}

AEDesc AliasTo(const std::string& path) {
  std::string alias;
  EXPECT_EQ(FSNewAliasFromPath(path, &alias), noErr);
  AEDesc desc;
  EXPECT_EQ(AECreateDesc(typeAlias, alias.data(), alias.size(), &desc), noErr);
  return desc;
}

// A list nested `depth` levels deep, a text at the bottom.
AEDesc Nested(int depth) {
  AEDesc desc = Text("x");
  for (int level = 0; level < depth; ++level) desc = List({desc});
  return desc;
}

// The flattened form of `depth` nested one-item lists around an empty list.
std::string FlatNesting(int depth) {
  std::string flat = "AEF1";
  for (int level = 1; level < depth; ++level) flat += "list\0\0\0\1"s;
  return flat + "list\0\0\0\0"s;
}

TEST(AEDescTest, NullDescriptorAndValueSemantics) {
  AEDesc null;
  EXPECT_EQ(null.descriptorType(), typeNull);
  EXPECT_EQ(AEGetDescDataSize(&null), 0u);
  char byte = 'z';
  EXPECT_EQ(AEGetDescData(&null, &byte, 1), noErr);
  EXPECT_EQ(byte, 'z');
  EXPECT_EQ(AEGetDescDataSize(nullptr), 0u);

  AEDesc text = Text("hello");
  AEDesc copy = text;
  EXPECT_EQ(copy, text);
  EXPECT_EQ(DataOf(copy), "hello");
  AEDesc moved = std::move(copy);
  EXPECT_EQ(moved, text);
  EXPECT_EQ(copy, AEDesc());  // NOLINT(bugprone-use-after-move): moving leaves null.
  AEDesc assigned;
  assigned = std::move(moved);
  EXPECT_EQ(moved, AEDesc());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(DataOf(assigned), "hello");

  EXPECT_EQ(AEDisposeDesc(&assigned), noErr);
  EXPECT_EQ(assigned, AEDesc());
  EXPECT_EQ(AEDisposeDesc(nullptr), errAENotAEDesc);
  AEInitializeDescInplace(&text);
  EXPECT_EQ(text.descriptorType(), typeNull);

  AEDesc duplicate;
  AEDesc list = List({Text("a"), Long(7)});
  EXPECT_EQ(AEDuplicateDesc(&list, &duplicate), noErr);
  EXPECT_EQ(duplicate, list);
  EXPECT_EQ(AEDuplicateDesc(nullptr, &duplicate), errAENotAEDesc);
}

TEST(AEDescTest, FourCharCodes) {
  EXPECT_EQ(typeAEList, 0x6C697374u);
  EXPECT_EQ(typeWildCard, 0x2A2A2A2Au);
  EXPECT_EQ(FourCharCodeString(typeFSRef), "fsrf");
  EXPECT_EQ(FourCharCodeString(keyDirectObject), "----");
  EXPECT_EQ(FourCharCodeString(0x41000A7Fu), "A\\x00\\x0A\\x7F");
}

TEST(AEDescTest, CreateDescChecksItsArguments) {
  AEDesc desc = Text("keep");
  EXPECT_EQ(AECreateDesc(typeText, nullptr, 3, &desc), paramErr);
  EXPECT_EQ(desc, AEDesc());
  EXPECT_EQ(AECreateDesc(typeNull, "x", 1, &desc), paramErr);
  EXPECT_EQ(AECreateDesc(typeNull, nullptr, 0, &desc), noErr);
  EXPECT_EQ(desc, AEDesc());
  EXPECT_EQ(AECreateDesc(typeText, nullptr, 0, &desc), noErr);
  EXPECT_EQ(desc.descriptorType(), typeText);
  EXPECT_EQ(AEGetDescDataSize(&desc), 0u);
  EXPECT_EQ(AECreateDesc(typeText, "x", 1, nullptr), paramErr);

  // A list's data makes the list again; anything else is refused.
  const AEDesc list = List({Text("a"), List({Long(1)})});
  const std::string body = DataOf(list);
  EXPECT_EQ(AECreateDesc(typeAEList, body.data(), body.size(), &desc), noErr);
  EXPECT_EQ(desc, list);
  EXPECT_EQ(AECreateDesc(typeAEList, body.data(), body.size() - 1, &desc), paramErr);
  EXPECT_EQ(desc, AEDesc());
  EXPECT_EQ(AECreateDesc(typeAEList, "\0\0\0\0"s.data(), 4, &desc), noErr);
  long count = -1;
  EXPECT_EQ(AECountItems(&desc, &count), noErr);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(AECreateDesc(typeAERecord, nullptr, 0, &desc), paramErr);
}

TEST(AEDescTest, PutDescAppendsAndReplaces) {
  AEDescList list;
  ASSERT_EQ(AECreateList(nullptr, 0, false, &list), noErr);
  EXPECT_EQ(list.descriptorType(), typeAEList);
  long count = -1;
  EXPECT_EQ(AECountItems(&list, &count), noErr);
  EXPECT_EQ(count, 0);

  const AEDesc a = Text("a"), b = Text("b"), c = Text("c");
  EXPECT_EQ(AEPutDesc(&list, 0, &a), noErr);
  EXPECT_EQ(AEPutDesc(&list, 2, &b), noErr);  // count + 1 appends.
  EXPECT_EQ(AEPutDesc(&list, 1, &c), noErr);  // In range replaces.
  EXPECT_EQ(AEPutDesc(&list, 4, &a), errAEBadListItem);
  EXPECT_EQ(AEPutDesc(&list, -1, &a), errAEBadListItem);
  EXPECT_EQ(AEPutPtr(&list, 0, typeText, "d", 1), noErr);
  EXPECT_EQ(AEPutPtr(&list, 9, typeText, "e", 1), errAEBadListItem);
  EXPECT_EQ(list, List({c, b, Text("d")}));

  EXPECT_EQ(AEPutDesc(nullptr, 0, &a), errAENotAEDesc);
  EXPECT_EQ(AEPutDesc(&list, 0, nullptr), errAENotAEDesc);
  AEDesc text = Text("t");
  EXPECT_EQ(AEPutDesc(&text, 0, &a), errAEWrongDataType);
  AERecord record;
  ASSERT_EQ(AECreateList(nullptr, 0, true, &record), noErr);
  EXPECT_EQ(AEPutDesc(&record, 0, &a), errAEWrongDataType);
  EXPECT_EQ(AECountItems(&text, &count), errAEWrongDataType);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(AECountItems(&list, nullptr), paramErr);

  // A list put into itself holds a copy of what it was.
  AEDescList self = List({a});
  EXPECT_EQ(AEPutDesc(&self, 0, &self), noErr);
  EXPECT_EQ(self, List({a, List({a})}));
}

TEST(AEDescTest, GetNthDescIndexesFromOne) {
  const AEDescList list = List({Text("a"), Long(2)});
  AEDesc item = Text("stale");
  AEKeyword key = 0;
  EXPECT_EQ(AEGetNthDesc(&list, 2, typeWildCard, &key, &item), noErr);
  EXPECT_EQ(item, Long(2));
  EXPECT_EQ(key, typeWildCard);

  for (const long index : {0L, 3L, -1L, 1L << 40}) {
    item = Text("stale");
    key = 42;
    EXPECT_EQ(AEGetNthDesc(&list, index, typeWildCard, &key, &item), errAEBadListItem) << index;
    EXPECT_EQ(item, AEDesc());
    EXPECT_EQ(key, 42u);
  }
  const AEDesc text = Text("a");
  EXPECT_EQ(AEGetNthDesc(&text, 1, typeWildCard, nullptr, &item), errAEWrongDataType);
  EXPECT_EQ(AEGetNthDesc(nullptr, 1, typeWildCard, nullptr, &item), errAENotAEDesc);
  EXPECT_EQ(AEGetNthDesc(&list, 1, typeWildCard, nullptr, nullptr), paramErr);
  EXPECT_EQ(AEGetNthDesc(&list, 1, typeFSRef, nullptr, &item), errAECoercionFail);
  EXPECT_EQ(item, AEDesc());

  char buffer[4] = {'.', '.', '.', '.'};
  DescType type = 0;
  std::size_t actual = 0;
  EXPECT_EQ(AEGetNthPtr(&list, 1, typeWildCard, &key, &type, buffer, 0, &actual), noErr);
  EXPECT_EQ(type, typeText);
  EXPECT_EQ(actual, 1u);
  EXPECT_EQ(buffer[0], '.');
  EXPECT_EQ(AEGetNthPtr(&list, 1, typeWildCard, nullptr, nullptr, buffer, 4, nullptr), noErr);
  EXPECT_EQ(std::string(buffer, 4), "a...");
  EXPECT_EQ(AEGetNthPtr(&list, 1, typeWildCard, nullptr, nullptr, nullptr, 4, nullptr),
            paramErr);
  EXPECT_EQ(AEGetNthPtr(&list, 5, typeWildCard, nullptr, nullptr, buffer, 4, nullptr),
            errAEBadListItem);
}

TEST(AEDescTest, RecordsKeyTheirItems) {
  AERecord record = MenuItem(u"Copy", 1, 0);
  long count = 0;
  EXPECT_EQ(AECountItems(&record, &count), noErr);
  EXPECT_EQ(count, 2);

  // Putting a key again replaces its item in place.
  const std::int32_t command = 1001;
  EXPECT_EQ(AEPutParamPtr(&record, keyContextualMenuCommandID, typeSInt32, &command,
                          sizeof command),
            noErr);
  AEKeyword key = 0;
  AEDesc item;
  EXPECT_EQ(AEGetNthDesc(&record, 2, typeWildCard, &key, &item), noErr);
  EXPECT_EQ(key, keyContextualMenuCommandID);
  EXPECT_EQ(item, Long(1001));
  EXPECT_EQ(AEGetNthDesc(&record, 1, typeWildCard, &key, &item), noErr);
  EXPECT_EQ(key, keyAEName);

  std::int32_t value = 0;
  DescType type = 0;
  std::size_t actual = 0;
  EXPECT_EQ(AEGetParamPtr(&record, keyContextualMenuCommandID, typeWildCard, &type, &value,
                          sizeof value, &actual),
            noErr);
  EXPECT_EQ(value, 1001);
  EXPECT_EQ(type, typeSInt32);
  EXPECT_EQ(actual, 4u);

  // A short buffer receives the first bytes; the full size is reported.
  char title[3] = {'#', '#', '#'};
  EXPECT_EQ(AEGetParamPtr(&record, keyAEName, typeUnicodeText, &type, title, 3, &actual), noErr);
  EXPECT_EQ(actual, 8u);
  EXPECT_EQ(std::memcmp(title, u"Copy", 3), 0);

  EXPECT_EQ(AEGetParamPtr(&record, keyContextualMenuAttributes, typeWildCard, &type, &value,
                          sizeof value, &actual),
            errAEDescNotFound);
  item = Text("stale");
  EXPECT_EQ(AEGetParamDesc(&record, keyContextualMenuAttributes, typeWildCard, &item),
            errAEDescNotFound);
  EXPECT_EQ(item, AEDesc());
  EXPECT_EQ(AEGetParamDesc(&record, keyAEName, typeFSRef, &item), errAECoercionFail);
  EXPECT_EQ(AEGetParamDesc(&record, keyAEName, typeWildCard, &item), noErr);
  EXPECT_EQ(item.descriptorType(), typeUnicodeText);

  EXPECT_EQ(AEDeleteParam(&record, keyAEName), noErr);
  EXPECT_EQ(AEDeleteParam(&record, keyAEName), errAEDescNotFound);
  EXPECT_EQ(AECountItems(&record, &count), noErr);
  EXPECT_EQ(count, 1);

  AEDescList list = List({});
  EXPECT_EQ(AEPutParamPtr(&list, keyAEName, typeText, "x", 1), errAEWrongDataType);
  EXPECT_EQ(AEPutParamDesc(&list, keyAEName, &item), errAEWrongDataType);
  EXPECT_EQ(AEGetParamDesc(&list, keyAEName, typeWildCard, &item), errAEWrongDataType);
  EXPECT_EQ(AEDeleteParam(&list, keyAEName), errAEWrongDataType);
  EXPECT_EQ(AEPutParamPtr(&record, keyAEName, typeText, nullptr, 1), paramErr);
  EXPECT_EQ(AECountItems(&record, &count), noErr);
  EXPECT_EQ(count, 1);
}

TEST(AEDescTest, SubmenuRecordHoldsItsList) {
  AEDescList submenu = List({MenuItem(u"Copy Posix Path", 1, 256), MenuItem(u"", 0, 64)});
  AERecord parent = MenuItem(u"Kestrine", 0, 0);
  EXPECT_EQ(AEPutParamDesc(&parent, keyContextualMenuSubmenu, &submenu), noErr);
  AEDesc got;
  EXPECT_EQ(AEGetParamDesc(&parent, keyContextualMenuSubmenu, typeAEList, &got), noErr);
  EXPECT_EQ(got, submenu);
  AEDisposeDesc(&submenu);
  EXPECT_EQ(got.descriptorType(), typeAEList);  // The record kept its own copy.

  // A record put into itself holds a copy of what it was.
  AERecord self = MenuItem(u"a", 1, 0);
  const AERecord before = self;
  EXPECT_EQ(AEPutParamDesc(&self, keyDirectObject, &self), noErr);
  EXPECT_EQ(AEGetParamDesc(&self, keyDirectObject, typeWildCard, &got), noErr);
  EXPECT_EQ(got, before);
}

TEST(AEDescTest, DataSizeOfListsIsTheirFlattenedItems) {
  const AEDescList emptyList = List({});
  EXPECT_EQ(AEGetDescDataSize(&emptyList), 4u);
  AERecord emptyRecord;
  AECreateList(nullptr, 0, true, &emptyRecord);
  EXPECT_EQ(AEGetDescDataSize(&emptyRecord), 4u);

  const AEDescList list = List({Text("ab"), Long(1)});
  EXPECT_EQ(DataOf(list), "\0\0\0\2TEXT\0\0\0\2abl"s + "ong\0\0\0\4"s + "\1\0\0\0"s);

  const AERecord record = MenuItem(u"A", 5, 0);
  EXPECT_EQ(DataOf(record),
            "\0\0\0\2pnamutxt\0\0\0\2A\0cmcdlong\0\0\0\4\5\0\0\0"s);

  // Short buffers get the first bytes, and nothing beyond them.
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(AEGetDescData(&list, buffer, 6), noErr);
  EXPECT_EQ(std::string(buffer, 8), "\0\0\0\2TE##"s);
  std::memset(buffer, '#', sizeof buffer);
  const AEDesc text = Text("abc");
  EXPECT_EQ(AEGetDescData(&text, buffer, 2), noErr);
  EXPECT_EQ(std::string(buffer, 4), "ab##");
  EXPECT_EQ(AEGetDescData(&text, buffer, 8), noErr);
  EXPECT_EQ(std::string(buffer, 4), "abc#");
  EXPECT_EQ(AEGetDescData(&text, nullptr, 0), noErr);
  EXPECT_EQ(AEGetDescData(&text, nullptr, 1), paramErr);
  EXPECT_EQ(AEGetDescData(nullptr, buffer, 1), errAENotAEDesc);
}

TEST(AEDescTest, FlattenedFormIsExact) {
  EXPECT_EQ(AEFlattenDesc(AEDesc()), "AEF1null\0\0\0\0"s);
  EXPECT_EQ(AEFlattenDesc(List({Text("ab")})), "AEF1list\0\0\0\1TEXT\0\0\0\2ab"s);
  AERecord record;
  AECreateList(nullptr, 0, true, &record);
  const AEDesc empty = List({});
  AEPutParamDesc(&record, keyContextualMenuSubmenu, &empty);
  EXPECT_EQ(AEFlattenDesc(record), "AEF1reco\0\0\0\1cmsblist\0\0\0\0"s);
}

TEST(AEDescTest, FlattenRoundTripsNestedListsAndRecords) {
  AERecord parent = MenuItem(u"Kestrine", 0, 0);
  const AEDescList submenu =
      List({MenuItem(u"Copy Posix Path", 1, 256), MenuItem(u"", 0, 64),
            MenuItem(u"Copy All", 10, 256), List({List({}), AEDesc(), Text("")})});
  ASSERT_EQ(AEPutParamDesc(&parent, keyContextualMenuSubmenu, &submenu), noErr);
  const AEDescList menu = List({MenuItem(u"", 0, 64), parent, Nested(kAEMaxNestingDepth - 1)});

  for (const AEDesc& original : {menu, parent, submenu, Text("\0\xff"s), AEDesc()}) {
    const std::string flat = AEFlattenDesc(original);
    AEDesc read = Text("stale");
    ASSERT_EQ(AEUnflattenDesc(flat, &read), noErr);
    EXPECT_EQ(read, original);
    EXPECT_EQ(AEFlattenDesc(read), flat);
  }
}

TEST(AEDescTest, UnflattenRefusesEveryMalformedInput) {
  AERecord parent = MenuItem(u"Kestrine", 0, 0);
  const AEDescList submenu = List({MenuItem(u"Copy", 1, 256), Text("x")});
  AEPutParamDesc(&parent, keyContextualMenuSubmenu, &submenu);
  const std::string flat = AEFlattenDesc(List({parent, Long(3)}));

  // Every truncation, and every extension, fails and leaves the null descriptor.
  for (std::size_t length = 0; length < flat.size(); ++length) {
    AEDesc read = Text("stale");
    EXPECT_EQ(AEUnflattenDesc(flat.substr(0, length), &read), paramErr) << length;
    EXPECT_EQ(read, AEDesc());
  }
  AEDesc read;
  EXPECT_EQ(AEUnflattenDesc(flat + "\0"s, &read), paramErr);
  EXPECT_EQ(AEUnflattenDesc(flat + flat, &read), paramErr);
  EXPECT_EQ(AEUnflattenDesc("AEF2" + flat.substr(4), &read), paramErr);
  EXPECT_EQ(AEUnflattenDesc(flat.substr(4), &read), paramErr);
  EXPECT_EQ(AEUnflattenDesc(flat, nullptr), paramErr);

  // Counts and lengths beyond the bytes left are refused before any reserve.
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(AEUnflattenDesc("AEF1list\x80\0\0\0TE"s, &read), paramErr);
  EXPECT_EQ(AEUnflattenDesc("AEF1list\xff\xff\xff\xff"s, &read), paramErr);
  EXPECT_EQ(AEUnflattenDesc("AEF1reco\0\0\0\1pnamTEXT\0\0\0\0"s, &read), noErr);
  EXPECT_EQ(AEUnflattenDesc("AEF1reco\0\0\0\2pnamTEXT\0\0\0\0"s, &read), paramErr);
  EXPECT_EQ(AEUnflattenDesc("AEF1TEXT\xff\xff\xff\xffshort"s, &read), paramErr);
  EXPECT_EQ(AEUnflattenDesc("AEF1TEXT\0\0\0\6short"s, &read), paramErr);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));

  // A list of 8-byte items holds exactly as many as the bytes allow.
  EXPECT_EQ(AEUnflattenDesc("AEF1list\0\0\0\2TEXT\0\0\0\0TEXT\0\0\0\0"s, &read), noErr);
  EXPECT_EQ(AEUnflattenDesc("AEF1list\0\0\0\3TEXT\0\0\0\0TEXT\0\0\0\0"s, &read), paramErr);

  EXPECT_EQ(AEUnflattenDesc("AEF1null\0\0\0\1x"s, &read), paramErr);
  EXPECT_EQ(AEUnflattenDesc("AEF1reco\0\0\0\2cmcdTEXT\0\0\0\0cmcdTEXT\0\0\0\0"s, &read),
            paramErr);
  EXPECT_EQ(AEUnflattenDesc("AEF1reco\0\0\0\2cmcdTEXT\0\0\0\0cmatTEXT\0\0\0\0"s, &read), noErr);

  EXPECT_EQ(AEUnflattenDesc(FlatNesting(kAEMaxNestingDepth), &read), noErr);
  EXPECT_EQ(AEUnflattenDesc(FlatNesting(kAEMaxNestingDepth + 1), &read), paramErr);
  EXPECT_EQ(AEUnflattenDesc(FlatNesting(100000), &read), paramErr);
  EXPECT_EQ(read, AEDesc());
}

TEST(AEDescTest, PutsRefuseToNestTooDeep) {
  AEDesc deepest = Nested(kAEMaxNestingDepth);
  AEDescList list = List({});
  EXPECT_EQ(AEPutDesc(&list, 0, &deepest), paramErr);
  EXPECT_EQ(list, List({}));
  AERecord record;
  AECreateList(nullptr, 0, true, &record);
  EXPECT_EQ(AEPutParamDesc(&record, keyDirectObject, &deepest), paramErr);
  const AEDesc allowed = Nested(kAEMaxNestingDepth - 1);
  EXPECT_EQ(AEPutDesc(&list, 0, &allowed), noErr);
  EXPECT_EQ(AEPutParamDesc(&record, keyDirectObject, &allowed), noErr);

  // Data that reads as a list as deep as allowed cannot go one level deeper.
  const std::string body = DataOf(deepest);
  EXPECT_EQ(AEPutParamPtr(&record, keyAEName, typeAEList, body.data(), body.size()), paramErr);
  EXPECT_EQ(AEPutPtr(&list, 0, typeAEList, body.data(), body.size()), paramErr);
}

TEST(AEDescTest, CoercesAliasToFileReference) {
  TempDir dir;
  const std::string file = dir.path() + "/file (1).txt";
  std::ofstream(file) << "x";
  FSRef expected{};
  ASSERT_EQ(FSPathMakeRef(file, &expected), noErr);

  AEDesc alias = AliasTo(file);
  AEDesc ref;
  ASSERT_EQ(AECoerceDesc(&alias, typeFSRef, &ref), noErr);
  EXPECT_EQ(ref.descriptorType(), typeFSRef);
  EXPECT_EQ(RefOf(ref), expected);

  // An element of a list coerces the same way, and an 'fsrf' element is
  // taken as it is.
  const AEDescList context = List({alias, ref, Text(file)});
  AEDesc element;
  ASSERT_EQ(AEGetNthDesc(&context, 1, typeFSRef, nullptr, &element), noErr);
  EXPECT_EQ(RefOf(element), expected);
  ASSERT_EQ(AEGetNthDesc(&context, 2, typeFSRef, nullptr, &element), noErr);
  EXPECT_EQ(element, ref);
  EXPECT_EQ(AEGetNthDesc(&context, 3, typeFSRef, nullptr, &element), errAECoercionFail);

  // Back to an alias, and in place.
  AEDesc back;
  ASSERT_EQ(AECoerceDesc(&ref, typeAlias, &back), noErr);
  EXPECT_EQ(FSCopyAliasPath(DataOf(back)), std::filesystem::canonical(file).string());
  ASSERT_EQ(AECoerceDesc(&back, typeFSRef, &back), noErr);
  EXPECT_EQ(RefOf(back), expected);

  // A deleted target fails, and so does its reference.
  ASSERT_EQ(::unlink(file.c_str()), 0);
  AEDesc stale = Text("stale");
  EXPECT_EQ(AECoerceDesc(&alias, typeFSRef, &stale), errAECoercionFail);
  EXPECT_EQ(stale, AEDesc());
  EXPECT_EQ(AEGetNthDesc(&context, 1, typeFSRef, nullptr, &element), errAECoercionFail);
  EXPECT_EQ(AECoerceDesc(&ref, typeAlias, &stale), errAECoercionFail);
}

TEST(AEDescTest, OtherCoercions) {
  AEDesc result;
  const AEDesc text = Text("t");
  EXPECT_EQ(AECoerceDesc(&text, typeWildCard, &result), noErr);
  EXPECT_EQ(result, text);
  EXPECT_EQ(AECoerceDesc(&text, typeText, &result), noErr);
  EXPECT_EQ(result, text);
  EXPECT_EQ(AECoerceDesc(&text, typeAEList, &result), noErr);
  EXPECT_EQ(result, List({text}));
  EXPECT_EQ(AECoerceDesc(&text, typeSInt32, &result), errAECoercionFail);
  EXPECT_EQ(result, AEDesc());
  const AEDesc list = List({text});
  EXPECT_EQ(AECoerceDesc(&list, typeAEList, &result), noErr);
  EXPECT_EQ(result, list);
  EXPECT_EQ(AECoerceDesc(&list, typeFSRef, &result), errAECoercionFail);
  const AEDesc null;
  EXPECT_EQ(AECoerceDesc(&null, typeAEList, &result), errAECoercionFail);
  EXPECT_EQ(AECoerceDesc(nullptr, typeAEList, &result), errAENotAEDesc);
  EXPECT_EQ(AECoerceDesc(&text, typeAEList, nullptr), paramErr);

  // File references of the wrong size and malformed aliases never become
  // file references.
  AEDesc shortRef;
  ASSERT_EQ(AECreateDesc(typeFSRef, "abc", 3, &shortRef), noErr);
  EXPECT_EQ(AECoerceDesc(&shortRef, typeFSRef, &result), errAECoercionFail);
  EXPECT_EQ(AECoerceDesc(&shortRef, typeAlias, &result), errAECoercionFail);
  EXPECT_EQ(AECoerceDesc(&shortRef, typeWildCard, &result), noErr);
  const FSRef zeroed{};
  AEDesc zeroRef;
  ASSERT_EQ(AECreateDesc(typeFSRef, &zeroed, sizeof zeroed, &zeroRef), noErr);
  EXPECT_EQ(AECoerceDesc(&zeroRef, typeAlias, &result), errAECoercionFail);
  AEDesc badAlias;
  ASSERT_EQ(AECreateDesc(typeAlias, "alis", 4, &badAlias), noErr);
  EXPECT_EQ(AECoerceDesc(&badAlias, typeFSRef, &result), errAECoercionFail);
}


template <typename T>
AEDesc Value(DescType type, T value) {
  AEDesc desc;
  EXPECT_EQ(AECreateDesc(type, &value, sizeof value, &desc), noErr);
  return desc;
}

// An event as the selection request makes it, with an object specifier in
// a list as its direct object.
AppleEvent SampleEvent(AEReturnID returnID = 5) {
  const AEAddressDesc target = Value(typeApplSignature, MakeFourCharCode("MACS"));
  AppleEvent event;
  EXPECT_EQ(AECreateAppleEvent(MakeFourCharCode("core"), MakeFourCharCode("getd"), &target,
                               returnID, 9, &event),
            noErr);
  AERecord specifier;
  EXPECT_EQ(AECreateList(nullptr, 0, true, &specifier), noErr);
  const AEDesc want = Value(typeType, MakeFourCharCode("prop"));
  EXPECT_EQ(AEPutParamDesc(&specifier, keyAEDesiredClass, &want), noErr);
  EXPECT_EQ(AECoerceDesc(&specifier, typeObjectSpecifier, &specifier), noErr);
  const AEDesc direct = List({specifier, Text("t")});
  EXPECT_EQ(AEPutParamDesc(&event, keyDirectObject, &direct), noErr);
  return event;
}

TEST(AppleEventTest, CreateFillsTheAttributes) {
  const AppleEvent event = SampleEvent();
  const struct {
    AEKeyword key;
    DescType desiredType;
    AEDesc expected;
  } cases[] = {
      {keyEventClassAttr, typeWildCard, Value(typeType, MakeFourCharCode("core"))},
      {keyEventIDAttr, typeEnumerated, Value(typeEnumerated, MakeFourCharCode("getd"))},
      {keyAddressAttr, typeWildCard, Value(typeApplSignature, MakeFourCharCode("MACS"))},
      {keyReturnIDAttr, typeWildCard, Value(typeSInt16, std::int16_t{5})},
      {keyReturnIDAttr, typeSInt32, Value(typeSInt32, std::int32_t{5})},
      {keyTransactionIDAttr, typeSInt16, Value(typeSInt16, std::int16_t{9})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(FourCharCodeString(c.key));
    AEDesc attribute;
    EXPECT_EQ(AEGetAttributeDesc(&event, c.key, c.desiredType, &attribute), noErr);
    EXPECT_EQ(attribute, c.expected);
  }
  std::int16_t returnID = 0;
  std::size_t size = 0;
  EXPECT_EQ(AEGetAttributePtr(&event, keyReturnIDAttr, typeSInt16, nullptr, &returnID,
                              sizeof returnID, &size),
            noErr);
  EXPECT_EQ(returnID, 5);
  EXPECT_EQ(size, 2u);

  // Generated return ids differ; a null target leaves no address.
  AppleEvent first;
  AppleEvent second;
  ASSERT_EQ(AECreateAppleEvent(1, 2, nullptr, kAutoGenerateReturnID, 0, &first), noErr);
  ASSERT_EQ(AECreateAppleEvent(1, 2, nullptr, kAutoGenerateReturnID, 0, &second), noErr);
  std::int16_t ids[2] = {};
  EXPECT_EQ(AEGetAttributePtr(&first, keyReturnIDAttr, typeSInt16, nullptr, &ids[0], 2, nullptr),
            noErr);
  EXPECT_EQ(AEGetAttributePtr(&second, keyReturnIDAttr, typeSInt16, nullptr, &ids[1], 2, nullptr),
            noErr);
  EXPECT_GT(ids[0], 0);
  EXPECT_NE(ids[0], ids[1]);
  AEDesc none;
  EXPECT_EQ(AEGetAttributeDesc(&first, keyAddressAttr, typeWildCard, &none), errAEDescNotFound);
  EXPECT_EQ(AECreateAppleEvent(1, 2, &first, 1, 0, &second), paramErr);
  EXPECT_EQ(AECreateAppleEvent(1, 2, nullptr, 1, 0, nullptr), paramErr);
}

TEST(AppleEventTest, ParametersAndAttributesAreSeparate) {
  AppleEvent event = SampleEvent();
  const std::int16_t error = -1708;
  ASSERT_EQ(AEPutParamPtr(&event, keyErrorNumber, typeSInt16, &error, sizeof error), noErr);
  ASSERT_EQ(AEPutAttributePtr(&event, keyErrorNumber, typeSInt32, "\0\0\0\0", 4), noErr);
  long count = 0;
  ASSERT_EQ(AECountItems(&event, &count), noErr);
  EXPECT_EQ(count, 2);  // The direct object and 'errn'; attributes do not count.
  AEKeyword key = 0;
  AEDesc item;
  ASSERT_EQ(AEGetNthDesc(&event, 2, typeSInt32, &key, &item), noErr);
  EXPECT_EQ(key, keyErrorNumber);
  EXPECT_EQ(item, Long(-1708));
  AEDesc attribute;
  ASSERT_EQ(AEGetAttributeDesc(&event, keyErrorNumber, typeWildCard, &attribute), noErr);
  EXPECT_EQ(attribute, Long(0));
  EXPECT_EQ(AEGetParamDesc(&event, keyReturnIDAttr, typeWildCard, &item), errAEDescNotFound);
  ASSERT_EQ(AEDeleteParam(&event, keyErrorNumber), noErr);
  ASSERT_EQ(AECountItems(&event, &count), noErr);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(AEGetAttributeDesc(&event, keyErrorNumber, typeWildCard, &attribute), noErr);

  // Replacing keeps the attribute's place; other descriptors have no attributes.
  const AEDesc other = Value(typeApplSignature, MakeFourCharCode("KCMB"));
  ASSERT_EQ(AEPutAttributeDesc(&event, keyAddressAttr, &other), noErr);
  ASSERT_EQ(AEGetAttributeDesc(&event, keyAddressAttr, typeWildCard, &attribute), noErr);
  EXPECT_EQ(attribute, other);
  AEDesc record;
  ASSERT_EQ(AECreateList(nullptr, 0, true, &record), noErr);
  EXPECT_EQ(AEPutAttributeDesc(&record, keyAddressAttr, &other), errAEWrongDataType);
  EXPECT_EQ(AEGetAttributeDesc(&record, keyAddressAttr, typeWildCard, &attribute),
            errAEWrongDataType);
  EXPECT_EQ(attribute, AEDesc());
  EXPECT_EQ(AEGetAttributeDesc(nullptr, keyAddressAttr, typeWildCard, &attribute),
            errAENotAEDesc);
  EXPECT_EQ(AEPutAttributePtr(&event, keyAddressAttr, typeNull, "x", 1), paramErr);
}

TEST(AppleEventTest, FlattensAndReadsBack) {
  const AppleEvent event = SampleEvent();
  const std::string flat = AEFlattenDesc(event);
  EXPECT_EQ(flat.substr(0, 9), "AEF2aevt\3");
  AEDesc read;
  ASSERT_EQ(AEUnflattenDesc(flat, &read), noErr);
  EXPECT_EQ(read, event);
  for (std::size_t size = 0; size < flat.size(); ++size) {
    EXPECT_EQ(AEUnflattenDesc(flat.substr(0, size), &read), paramErr) << size;
  }
  EXPECT_EQ(AEUnflattenDesc(flat + "x", &read), paramErr);
  EXPECT_EQ(read, AEDesc());

  // The data of an event, and of a list holding a coerced record, make them again.
  AEDesc direct;
  ASSERT_EQ(AEGetParamDesc(&event, keyDirectObject, typeWildCard, &direct), noErr);
  for (const AEDesc* desc : {&event, static_cast<const AEDesc*>(&direct)}) {
    AEDesc remade;
    EXPECT_EQ(AECreateDesc(desc->descriptorType(), DataOf(*desc).data(), DataOf(*desc).size(),
                           &remade),
              noErr);
    EXPECT_EQ(remade, *desc);
  }

  // Only the second form holds events and coerced records, and each form
  // byte must fit its type.
  const struct {
    std::string flat;
    OSErr status;
  } cases[] = {
      {"AEF1aevt\0\0\0\0"s, paramErr},
      {"AEF2aevt\3\0\0\0\0\0\0\0\0"s, noErr},
      {"AEF2aevt\2\0\0\0\0"s, paramErr},
      {"AEF2list\0\0\0\0\0"s, paramErr},
      {"AEF2TEXT\2\0\0\0\0"s, paramErr},
      {"AEF2obj \2\0\0\0\0"s, noErr},
      {"AEF2obj \0\0\0\0\0"s, noErr},
      {"AEF2null\2\0\0\0\0"s, paramErr},
      {"AEF2obj \4\0\0\0\0"s, paramErr},
      {"AEF2reco\2\0\0\0\2keyaTEXT\0\0\0\0\0keyaTEXT\0\0\0\0\0"s, paramErr},
      {"AEF2aevt\3\0\0\0\0\0\0\0\2keyaTEXT\0\0\0\0\0keyaTEXT\0\0\0\0\0"s, paramErr},
      {"AEF2aevt\3\0\0\0\1keyaTEXT\0\0\0\0\0\0\0\0\1keyaTEXT\0\0\0\0\0"s, noErr},
      {"AEF3null\0\0\0\0"s, paramErr},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AEUnflattenDesc(c.flat, &read), c.status) << c.flat;
  }
}

TEST(AppleEventTest, NestingCountsTheEvent) {
  AppleEvent event = SampleEvent();
  const AEDesc deepest = Nested(kAEMaxNestingDepth - 1);
  EXPECT_EQ(AEPutParamDesc(&event, keyDirectObject, &deepest), noErr);
  const AEDesc tooDeep = Nested(kAEMaxNestingDepth);
  EXPECT_EQ(AEPutParamDesc(&event, keyDirectObject, &tooDeep), paramErr);
  EXPECT_EQ(AEPutAttributeDesc(&event, keyAddressAttr, &tooDeep), paramErr);
  AEDesc read;
  EXPECT_EQ(AEUnflattenDesc(AEFlattenDesc(event), &read), noErr);
}

TEST(AEDescTest, CodeIntegerAndRecordCoercions) {
  AERecord record;
  ASSERT_EQ(AECreateList(nullptr, 0, true, &record), noErr);
  ASSERT_EQ(AEPutParamDesc(&record, keyAEKeyForm, &record), noErr);
  AEDesc specifier;
  ASSERT_EQ(AECoerceDesc(&record, typeObjectSpecifier, &specifier), noErr);
  const struct {
    AEDesc from;
    DescType to;
    OSErr status;
    AEDesc expected;
  } cases[] = {
      {Value(typeSInt16, std::int16_t{-2}), typeSInt32, noErr, Long(-2)},
      {Long(-32768), typeSInt16, noErr, Value(typeSInt16, std::int16_t{-32768})},
      {Long(32768), typeSInt16, errAECoercionFail, AEDesc()},
      {Text("ab"), typeSInt16, errAECoercionFail, AEDesc()},
      {Value(typeEnumerated, MakeFourCharCode("alis")), typeType, noErr,
       Value(typeType, MakeFourCharCode("alis"))},
      {Value(typeType, MakeFourCharCode("alis")), typeKeyword, noErr,
       Value(typeKeyword, MakeFourCharCode("alis"))},
      {Text("abc"), typeType, errAECoercionFail, AEDesc()},
      {record, typeObjectSpecifier, noErr, specifier},
      {specifier, typeAERecord, noErr, record},
      {specifier, typeAEList, errAECoercionFail, AEDesc()},
      {record, typeFSRef, errAECoercionFail, AEDesc()},
      {record, typeAppleEvent, errAECoercionFail, AEDesc()},
      {SampleEvent(), typeAERecord, errAECoercionFail, AEDesc()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(FourCharCodeString(c.from.descriptorType()) + " to " + FourCharCodeString(c.to));
    AEDesc result = Text("stale");
    EXPECT_EQ(AECoerceDesc(&c.from, c.to, &result), c.status);
    EXPECT_EQ(result, c.expected);
  }
  // The record calls work on the coerced record.
  long count = 0;
  EXPECT_EQ(AECountItems(&specifier, &count), noErr);
  EXPECT_EQ(count, 1);
  AEDesc form;
  EXPECT_EQ(AEGetParamDesc(&specifier, keyAEKeyForm, typeWildCard, &form), noErr);
  AERecord empty;
  ASSERT_EQ(AECreateList(nullptr, 0, true, &empty), noErr);
  EXPECT_EQ(form, empty);
}

}  // namespace
