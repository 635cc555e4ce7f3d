#include "platform/appleevents/appleevents.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "platform/appleevents/alias.h"
#include "platform/appleevents/appleevent.h"
#include "platform/files/files.h"
#include "testing/test_support.h"

namespace {

using namespace std::string_literals;

constexpr auto Code = MakeFourCharCode;

AEDesc Bytes(DescType type, std::string_view data) {
  AEDesc desc;
  EXPECT_EQ(AECreateDesc(type, data.data(), data.size(), &desc), noErr);
  return desc;
}

template <typename T>
AEDesc Value(DescType type, T value) {
  return Bytes(type, {reinterpret_cast<const char*>(&value), sizeof value});
}

AEDesc Text(std::string_view text) { return Bytes(typeText, text); }
AEDesc Long(std::int32_t value) { return Value(typeSInt32, value); }
AEDesc Double(double value) { return Value(typeIEEE64BitFloatingPoint, value); }
AEDesc Enum(const char (&code)[5]) { return Value(typeEnumerated, Code(code)); }
AEDesc Utxt(std::u16string_view text) {
  return Bytes(typeUnicodeText, {reinterpret_cast<const char*>(text.data()), 2 * text.size()});
}

AEDesc List(std::initializer_list<AEDesc> items) {
  AEDesc list;
  EXPECT_EQ(AECreateList(nullptr, 0, false, &list), noErr);
  for (const AEDesc& item : items) EXPECT_EQ(AEPutDesc(&list, 0, &item), noErr);
  return list;
}

// A record of `items`, coerced to `type` unless that is 'reco'.
AERecord Record(std::initializer_list<std::pair<AEKeyword, AEDesc>> items,
                DescType type = typeAERecord) {
  AERecord record;
  EXPECT_EQ(AECreateList(nullptr, 0, true, &record), noErr);
  for (const auto& [key, item] : items) EXPECT_EQ(AEPutParamDesc(&record, key, &item), noErr);
  EXPECT_EQ(AECoerceDesc(&record, type, &record), noErr);
  return record;
}

// The direct object that asks for the Finder's selection.
AEDesc SelectionSpecifier() {
  return Record({{Code("want"), Value(typeType, Code("prop"))},
                 {Code("from"), AEDesc()},
                 {Code("form"), Enum("prop")},
                 {Code("seld"), Value(typeType, Code("sele"))}},
                typeObjectSpecifier);
}

// The record the contextual menu appends for one command.
AERecord MenuItem(std::u16string_view title, std::int32_t command, std::int32_t attributes = 0) {
  AERecord record = Record({});
  EXPECT_EQ(AEPutParamPtr(&record, keyAEName, typeUnicodeText, title.data(), 2 * title.size()),
            noErr);
  EXPECT_EQ(AEPutParamPtr(&record, keyContextualMenuCommandID, typeSInt32, &command, 4), noErr);
  if (attributes != 0) {
    EXPECT_EQ(AEPutParamPtr(&record, keyContextualMenuAttributes, typeSInt32, &attributes, 4),
              noErr);
  }
  return record;
}

long Count(const AEDesc& desc) {
  long count = -1;
  EXPECT_EQ(AECountItems(&desc, &count), noErr);
  return count;
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

// A list nested `depth` levels deep, a text at the bottom.
AEDesc Nested(int depth) {
  AEDesc desc = Text("x");
  for (int level = 0; level < depth; ++level) desc = List({desc});
  return desc;
}

// `inner` in `depth` brackets.
std::string Brackets(std::size_t depth, std::string_view inner) {
  return std::string(depth, '[') + std::string(inner) + std::string(depth, ']');
}

std::string Print(const AEDesc& desc) {
  std::string text = "not printed";
  EXPECT_EQ(AEPrintDescToHandle(&desc, &text), noErr);
  return text;
}

// The flattened form of `depth` nested one-item lists around an empty list.
std::string FlatNesting(int depth) {
  std::string flat = "AEF1";
  for (int level = 1; level < depth; ++level) flat += "list\0\0\0\1"s;
  return flat + "list\0\0\0\0"s;
}

// An event as the selection request makes it, with the object specifier in a list as its direct
// object.
AppleEvent SampleEvent() {
  const AEAddressDesc target = Value(typeApplSignature, Code("MACS"));
  AppleEvent event;
  EXPECT_EQ(AECreateAppleEvent(Code("core"), Code("getd"), &target, 5, 9, &event), noErr);
  const AEDesc direct = List({SelectionSpecifier(), Text("t")});
  EXPECT_EQ(AEPutParamDesc(&event, keyDirectObject, &direct), noErr);
  return event;
}

TEST(AEDescTest, NullDescriptorAndValueSemantics) {
  AEDesc null;
  EXPECT_EQ(null.descriptorType(), typeNull);
  EXPECT_EQ(AEGetDescDataSize(&null), 0u);
  EXPECT_EQ(AEGetDescDataSize(nullptr), 0u);
  char byte = 'z';
  EXPECT_EQ(AEGetDescData(&null, &byte, 1), noErr);
  EXPECT_EQ(byte, 'z');

  AEDesc text = Text("hello");
  AEDesc copy = text;
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

  const AEDesc list = List({Text("a"), Long(7)});
  AEDesc duplicate;
  EXPECT_EQ(AEDuplicateDesc(&list, &duplicate), noErr);
  EXPECT_EQ(duplicate, list);
  EXPECT_EQ(AEDuplicateDesc(nullptr, &duplicate), errAENotAEDesc);

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
  EXPECT_EQ(Count(desc), 0);
  EXPECT_EQ(AECreateDesc(typeAERecord, nullptr, 0, &desc), paramErr);
}

TEST(AEDescTest, ListsPutAndGetItemsIndexedFromOne) {
  AEDescList list = List({});
  const AEDesc a = Text("a"), b = Text("b"), c = Text("c");
  EXPECT_EQ(AEPutDesc(&list, 0, &a), noErr);
  EXPECT_EQ(AEPutDesc(&list, 2, &b), noErr);  // count + 1 appends.
  EXPECT_EQ(AEPutDesc(&list, 1, &c), noErr);  // In range replaces.
  EXPECT_EQ(AEPutDesc(&list, 4, &a), errAEBadListItem);
  EXPECT_EQ(AEPutDesc(&list, -1, &a), errAEBadListItem);
  EXPECT_EQ(AEPutPtr(&list, 0, typeText, "d", 1), noErr);
  EXPECT_EQ(AEPutPtr(&list, 9, typeText, "e", 1), errAEBadListItem);
  EXPECT_EQ(list, List({c, b, Text("d")}));

  AEDesc item = Text("stale");
  AEKeyword key = 0;
  EXPECT_EQ(AEGetNthDesc(&list, 2, typeWildCard, &key, &item), noErr);
  EXPECT_EQ(item, b);
  EXPECT_EQ(key, typeWildCard);
  for (const long index : {0L, 4L, -1L, 1L << 40}) {
    item = Text("stale");
    key = 42;
    EXPECT_EQ(AEGetNthDesc(&list, index, typeWildCard, &key, &item), errAEBadListItem) << index;
    EXPECT_EQ(item, AEDesc());
    EXPECT_EQ(key, 42u);
  }
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
  EXPECT_EQ(std::string(buffer, 4), "c...");
  EXPECT_EQ(AEGetNthPtr(&list, 5, typeWildCard, nullptr, nullptr, buffer, 4, nullptr),
            errAEBadListItem);

  // Missing arguments, and descriptors that are not lists.
  EXPECT_EQ(AEPutDesc(nullptr, 0, &a), errAENotAEDesc);
  EXPECT_EQ(AEPutDesc(&list, 0, nullptr), errAENotAEDesc);
  EXPECT_EQ(AEGetNthDesc(nullptr, 1, typeWildCard, nullptr, &item), errAENotAEDesc);
  EXPECT_EQ(AEGetNthDesc(&list, 1, typeWildCard, nullptr, nullptr), paramErr);
  EXPECT_EQ(AEGetNthPtr(&list, 1, typeWildCard, nullptr, nullptr, nullptr, 4, nullptr), paramErr);
  EXPECT_EQ(AECountItems(&list, nullptr), paramErr);
  AEDesc text = Text("t");
  AERecord record = Record({});
  EXPECT_EQ(AEPutDesc(&text, 0, &a), errAEWrongDataType);
  EXPECT_EQ(AEPutDesc(&record, 0, &a), errAEWrongDataType);
  EXPECT_EQ(AEGetNthDesc(&text, 1, typeWildCard, nullptr, &item), errAEWrongDataType);
  long count = -1;
  EXPECT_EQ(AECountItems(&text, &count), errAEWrongDataType);
  EXPECT_EQ(count, 0);

  // A list put into itself holds a copy of what it was.
  AEDescList self = List({a});
  EXPECT_EQ(AEPutDesc(&self, 0, &self), noErr);
  EXPECT_EQ(self, List({a, List({a})}));
}

TEST(AEDescTest, RecordsKeyTheirItems) {
  AERecord record = MenuItem(u"Copy", 1);
  // Putting a key again replaces its item in place.
  const std::int32_t command = 1001;
  EXPECT_EQ(AEPutParamPtr(&record, keyContextualMenuCommandID, typeSInt32, &command, 4), noErr);
  AEKeyword key = 0;
  AEDesc item;
  EXPECT_EQ(AEGetNthDesc(&record, 2, typeWildCard, &key, &item), noErr);
  EXPECT_EQ(key, keyContextualMenuCommandID);
  EXPECT_EQ(item, Long(1001));
  EXPECT_EQ(AEGetNthDesc(&record, 1, typeWildCard, &key, &item), noErr);
  EXPECT_EQ(key, keyAEName);

  // A short buffer receives the first bytes; the full size is reported.
  char title[3] = {'#', '#', '#'};
  DescType type = 0;
  std::size_t actual = 0;
  EXPECT_EQ(AEGetParamPtr(&record, keyAEName, typeWildCard, &type, title, 3, &actual), noErr);
  EXPECT_EQ(type, typeUnicodeText);
  EXPECT_EQ(actual, 8u);
  EXPECT_EQ(std::memcmp(title, u"Copy", 3), 0);

  item = Text("stale");
  EXPECT_EQ(AEGetParamDesc(&record, keyContextualMenuAttributes, typeWildCard, &item),
            errAEDescNotFound);
  EXPECT_EQ(item, AEDesc());
  EXPECT_EQ(AEGetParamDesc(&record, keyAEName, typeFSRef, &item), errAECoercionFail);

  EXPECT_EQ(AEDeleteParam(&record, keyAEName), noErr);
  EXPECT_EQ(AEDeleteParam(&record, keyAEName), errAEDescNotFound);
  EXPECT_EQ(Count(record), 1);

  AEDescList list = List({});
  EXPECT_EQ(AEPutParamPtr(&list, keyAEName, typeText, "x", 1), errAEWrongDataType);
  EXPECT_EQ(AEPutParamDesc(&list, keyAEName, &item), errAEWrongDataType);
  EXPECT_EQ(AEGetParamDesc(&list, keyAEName, typeWildCard, &item), errAEWrongDataType);
  EXPECT_EQ(AEDeleteParam(&list, keyAEName), errAEWrongDataType);
  EXPECT_EQ(AEPutParamPtr(&record, keyAEName, typeText, nullptr, 1), paramErr);
  EXPECT_EQ(Count(record), 1);

  // A record put into itself holds a copy of what it was.
  const AERecord before = record;
  EXPECT_EQ(AEPutParamDesc(&record, keyDirectObject, &record), noErr);
  EXPECT_EQ(AEGetParamDesc(&record, keyDirectObject, typeWildCard, &item), noErr);
  EXPECT_EQ(item, before);
}

TEST(AEDescTest, DataAndFlattenedFormsAreExact) {
  const AEDesc emptyList = List({}), emptyRecord = Record({});
  EXPECT_EQ(AEGetDescDataSize(&emptyList), 4u);
  EXPECT_EQ(AEGetDescDataSize(&emptyRecord), 4u);
  const AEDescList list = List({Text("ab"), Long(1)});
  EXPECT_EQ(DataOf(list), "\0\0\0\2TEXT\0\0\0\2abl"s + "ong\0\0\0\4"s + "\1\0\0\0"s);
  EXPECT_EQ(DataOf(MenuItem(u"A", 5)), "\0\0\0\2pnamutxt\0\0\0\2A\0cmcdlong\0\0\0\4\5\0\0\0"s);
  EXPECT_EQ(AEFlattenDesc(AEDesc()), "AEF1null\0\0\0\0"s);
  EXPECT_EQ(AEFlattenDesc(List({Text("ab")})), "AEF1list\0\0\0\1TEXT\0\0\0\2ab"s);
  EXPECT_EQ(AEFlattenDesc(Record({{keyContextualMenuSubmenu, List({})}})),
            "AEF1reco\0\0\0\1cmsblist\0\0\0\0"s);

  // Short buffers get the first bytes, and nothing beyond them.
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(AEGetDescData(&list, buffer, 6), noErr);
  EXPECT_EQ(std::string(buffer, 8), "\0\0\0\2TE##"s);
  const AEDesc text = Text("abc");
  EXPECT_EQ(AEGetDescData(&text, nullptr, 0), noErr);
  EXPECT_EQ(AEGetDescData(&text, nullptr, 1), paramErr);
  EXPECT_EQ(AEGetDescData(nullptr, buffer, 1), errAENotAEDesc);
}

TEST(AEDescTest, FlattenRoundTripsAndUnflattenRefusesEveryMalformedInput) {
  const AEDescList submenu =
      List({MenuItem(u"Copy Posix Path", 1, 256), MenuItem(u"", 0, 64),
            MenuItem(u"Copy All", 10, 256), List({List({}), AEDesc(), Text("")})});
  AERecord parent = MenuItem(u"Kestrine", 0);
  ASSERT_EQ(AEPutParamDesc(&parent, keyContextualMenuSubmenu, &submenu), noErr);
  AEDesc got;
  EXPECT_EQ(AEGetParamDesc(&parent, keyContextualMenuSubmenu, typeAEList, &got), noErr);
  EXPECT_EQ(got, submenu);
  const AEDescList menu = List({MenuItem(u"", 0, 64), parent, Nested(kAEMaxNestingDepth - 1)});
  const AppleEvent event = SampleEvent();
  EXPECT_EQ(AEFlattenDesc(event).substr(0, 9), "AEF2aevt\3");

  AEDesc read;
  for (const AEDesc& original : {menu, parent, submenu, Text("\0\xff"s), AEDesc(), event}) {
    const std::string flat = AEFlattenDesc(original);
    ASSERT_EQ(AEUnflattenDesc(flat, &read), noErr);
    EXPECT_EQ(read, original);
    EXPECT_EQ(AEFlattenDesc(read), flat);
  }
  // Every truncation, and every extension, fails and leaves the null descriptor.
  const std::string flat = AEFlattenDesc(List({parent, Long(3)}));
  for (const std::string& whole : {flat, AEFlattenDesc(event)}) {
    for (std::size_t length = 0; length <= whole.size(); ++length) {
      read = Text("stale");
      const std::string bad = length < whole.size() ? whole.substr(0, length) : whole + "x";
      EXPECT_EQ(AEUnflattenDesc(bad, &read), paramErr) << length;
      EXPECT_EQ(read, AEDesc());
    }
  }
  EXPECT_EQ(AEUnflattenDesc(flat, nullptr), paramErr);

  // The data of an event, and of a list holding a coerced record, make them again.
  AEDesc direct;
  ASSERT_EQ(AEGetParamDesc(&event, keyDirectObject, typeWildCard, &direct), noErr);
  for (const AEDesc& desc : {event, direct}) {
    const std::string data = DataOf(desc);
    AEDesc remade;
    EXPECT_EQ(AECreateDesc(desc.descriptorType(), data.data(), data.size(), &remade), noErr);
    EXPECT_EQ(remade, desc);
  }

  const struct {
    std::string flat;
    OSErr status;
  } cases[] = {
      {flat + flat, paramErr}, {"AEF2" + flat.substr(4), paramErr}, {flat.substr(4), paramErr},
      // Counts and lengths beyond the bytes left are refused before any reserve.
      {"AEF1list\x80\0\0\0TE"s, paramErr}, {"AEF1list\xff\xff\xff\xff"s, paramErr},
      {"AEF1reco\0\0\0\1pnamTEXT\0\0\0\0"s, noErr},
      {"AEF1reco\0\0\0\2pnamTEXT\0\0\0\0"s, paramErr},
      {"AEF1TEXT\xff\xff\xff\xffshort"s, paramErr}, {"AEF1TEXT\0\0\0\6short"s, paramErr},
      // A list of 8-byte items holds exactly as many as the bytes allow.
      {"AEF1list\0\0\0\2TEXT\0\0\0\0TEXT\0\0\0\0"s, noErr},
      {"AEF1list\0\0\0\3TEXT\0\0\0\0TEXT\0\0\0\0"s, paramErr},
      {"AEF1null\0\0\0\1x"s, paramErr},
      {"AEF1reco\0\0\0\2cmcdTEXT\0\0\0\0cmcdTEXT\0\0\0\0"s, paramErr},
      {"AEF1reco\0\0\0\2cmcdTEXT\0\0\0\0cmatTEXT\0\0\0\0"s, noErr},
      {FlatNesting(kAEMaxNestingDepth), noErr}, {FlatNesting(kAEMaxNestingDepth + 1), paramErr},
      {FlatNesting(100000), paramErr},
      // Only the second form holds events and coerced records, and each form
      // byte must fit its type.
      {"AEF1aevt\0\0\0\0"s, paramErr}, {"AEF2aevt\3\0\0\0\0\0\0\0\0"s, noErr},
      {"AEF2aevt\2\0\0\0\0"s, paramErr}, {"AEF2list\0\0\0\0\0"s, paramErr},
      {"AEF2TEXT\2\0\0\0\0"s, paramErr}, {"AEF2obj \2\0\0\0\0"s, noErr},
      {"AEF2obj \0\0\0\0\0"s, noErr}, {"AEF2null\2\0\0\0\0"s, paramErr},
      {"AEF2obj \4\0\0\0\0"s, paramErr},
      {"AEF2reco\2\0\0\0\2keyaTEXT\0\0\0\0\0keyaTEXT\0\0\0\0\0"s, paramErr},
      {"AEF2aevt\3\0\0\0\0\0\0\0\2keyaTEXT\0\0\0\0\0keyaTEXT\0\0\0\0\0"s, paramErr},
      {"AEF2aevt\3\0\0\0\1keyaTEXT\0\0\0\0\0\0\0\0\1keyaTEXT\0\0\0\0\0"s, noErr},
      {"AEF3null\0\0\0\0"s, paramErr},
  };
  const auto started = std::chrono::steady_clock::now();
  for (const auto& c : cases) {
    read = Text("stale");
    EXPECT_EQ(AEUnflattenDesc(c.flat, &read), c.status) << testing::PrintToString(c.flat);
    if (c.status != noErr) {
      EXPECT_EQ(read, AEDesc());
    }
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
}

// Every list, record, event and item counts towards the bound, and a count
// over it is refused before the items are read.
TEST(AEDescTest, UnflattenWithABoundCountsEveryDescriptor) {
  const std::string flat = AEFlattenDesc(List({Text("a"), List({Long(1), Long(2)})}));
  const struct {
    std::size_t bound;
    OSErr status;
  } cases[] = {{5, noErr}, {4, paramErr}, {1, paramErr}, {0, paramErr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bound);
    AEDesc read = Text("stale");
    EXPECT_EQ(AEUnflattenDesc(flat, c.bound, &read), c.status);
    EXPECT_EQ(read == AEDesc(), c.status != noErr);
  }
}

TEST(AEDescTest, NestingIsLimitedAndAnEventIsALevel) {
  const AEDesc deepest = Nested(kAEMaxNestingDepth);
  const AEDesc allowed = Nested(kAEMaxNestingDepth - 1);
  AEDescList list = List({});
  EXPECT_EQ(AEPutDesc(&list, 0, &deepest), paramErr);
  EXPECT_EQ(list, List({}));
  AERecord record = Record({});
  EXPECT_EQ(AEPutParamDesc(&record, keyDirectObject, &deepest), paramErr);
  EXPECT_EQ(AEPutDesc(&list, 0, &allowed), noErr);
  EXPECT_EQ(AEPutParamDesc(&record, keyDirectObject, &allowed), noErr);

  // Data that reads as a list as deep as allowed cannot go one level deeper.
  const std::string body = DataOf(deepest);
  EXPECT_EQ(AEPutParamPtr(&record, keyAEName, typeAEList, body.data(), body.size()), paramErr);
  EXPECT_EQ(AEPutPtr(&list, 0, typeAEList, body.data(), body.size()), paramErr);

  AppleEvent event = SampleEvent();
  EXPECT_EQ(AEPutParamDesc(&event, keyDirectObject, &allowed), noErr);
  EXPECT_EQ(AEPutParamDesc(&event, keyDirectObject, &deepest), paramErr);
  EXPECT_EQ(AEPutAttributeDesc(&event, keyAddressAttr, &deepest), paramErr);
  AEDesc read;
  EXPECT_EQ(AEUnflattenDesc(AEFlattenDesc(event), &read), noErr);
}

TEST(AEDescTest, AliasesAndFileReferencesResolveToTheItemOrFail) {
  kestrine_testing::ScopedTempDir dir;
  const std::string file = dir.Join("file (1).txt");
  kestrine_testing::WriteFile(file, "x");
  ASSERT_EQ(::symlink(file.c_str(), dir.Join("link").c_str()), 0);
  FSRef expected{};
  ASSERT_EQ(FSPathMakeRef(file, &expected), noErr);

  std::string alias;
  ASSERT_EQ(FSNewAlias(expected, &alias), noErr);
  EXPECT_EQ(FSCopyAliasPath(alias), file);
  FSRef target{};
  bool changed = true;
  ASSERT_EQ(FSResolveAliasWithMountFlags(nullptr, alias, &target, &changed, kResolveAliasFileNoUI),
            noErr);
  EXPECT_EQ(target, expected);
  EXPECT_FALSE(changed);
  EXPECT_EQ(FSResolveAliasWithMountFlags(nullptr, alias, nullptr, nullptr, 0), paramErr);

  // An alias of a link resolves to what the link points to.
  std::string linkAlias;
  ASSERT_EQ(FSNewAliasFromPath(dir.Join("link"), &linkAlias), noErr);
  target = FSRef{};
  ASSERT_EQ(FSResolveAliasWithMountFlags(nullptr, linkAlias, &target, nullptr, 0), noErr);
  EXPECT_EQ(target, expected);

  const AEDesc aliasDesc = Bytes(typeAlias, alias);
  AEDesc ref;
  ASSERT_EQ(AECoerceDesc(&aliasDesc, typeFSRef, &ref), noErr);
  EXPECT_EQ(ref.descriptorType(), typeFSRef);
  EXPECT_EQ(RefOf(ref), expected);

  // Back to an alias, and in place.
  AEDesc back;
  ASSERT_EQ(AECoerceDesc(&ref, typeAlias, &back), noErr);
  EXPECT_EQ(FSCopyAliasPath(DataOf(back)), std::filesystem::canonical(file).string());
  ASSERT_EQ(AECoerceDesc(&back, typeFSRef, &back), noErr);
  EXPECT_EQ(RefOf(back), expected);

  // A deleted target fails, and so does its reference.
  ASSERT_EQ(::unlink(file.c_str()), 0);
  const FSRef untouched = target;
  EXPECT_EQ(FSResolveAliasWithMountFlags(nullptr, alias, &target, nullptr, 0), fnfErr);
  EXPECT_EQ(FSResolveAliasWithMountFlags(nullptr, linkAlias, &target, nullptr, 0), fnfErr);
  EXPECT_EQ(target, untouched);
  EXPECT_EQ(FSNewAlias(expected, &alias), fnfErr);
  EXPECT_EQ(FSNewAlias(FSRef{}, &alias), paramErr);
  AEDesc stale = Text("stale");
  EXPECT_EQ(AECoerceDesc(&aliasDesc, typeFSRef, &stale), errAECoercionFail);
  EXPECT_EQ(stale, AEDesc());
  EXPECT_EQ(AECoerceDesc(&ref, typeAlias, &stale), errAECoercionFail);
}

TEST(AEDescTest, AliasRecordLayoutAndMalformedRecords) {
  std::string alias;
  ASSERT_EQ(FSNewAliasFromPath("/tmp/a b", &alias), noErr);
  EXPECT_EQ(alias, "alis\0\1\0\0\0\0\0\x08/tmp/a b"s);
  EXPECT_EQ(FSCopyAliasPath(alias), "/tmp/a b");
  ASSERT_EQ(FSNewAliasFromPath("/", &alias), noErr);
  EXPECT_EQ(FSCopyAliasPath(alias), "/");

  alias = "unchanged";
  for (const std::string& bad : {"relative/path"s, ""s, "/a\0b"s, std::string((1 << 20) + 1, '/')}) {
    EXPECT_EQ(FSNewAliasFromPath(bad, &alias), paramErr) << bad.size();
  }
  EXPECT_EQ(FSNewAliasFromPath("/a", nullptr), paramErr);
  EXPECT_EQ(alias, "unchanged");

  ASSERT_EQ(FSCopyAliasPath("alis\0\1\0\0\0\0\0\2/a"s), "/a");
  for (const std::string& bad : {
           "alis\0\1\0\0\0\0\0\2/"s,    // Shorter than its length.
           "alis\0\1\0\0\0\0\0\2/ab"s,  // Longer than its length.
           "alis\0\2\0\0\0\0\0\2/a"s,   // Another version.
           "alis\0\1\0\1\0\0\0\2/a"s,   // Reserved bits set.
           "ALIS\0\1\0\0\0\0\0\2/a"s,   // Another signature.
           "alis\0\1\0\0\0\0\0\2a/"s,   // A relative path.
           "alis\0\1\0\0\0\0\0\2/\0"s,  // A NUL in the path.
           "alis\0\1\0\0\0\0\0\0"s,     // No path.
           "alis\0\1\0\0\xff\xff\xff\xff/a"s, "alis"s, ""s,
       }) {
    EXPECT_EQ(FSCopyAliasPath(bad), std::nullopt) << testing::PrintToString(bad);
    FSRef target{};
    EXPECT_EQ(FSResolveAliasWithMountFlags(nullptr, bad, &target, nullptr, kResolveAliasFileNoUI),
              paramErr);
  }
}

TEST(AEDescTest, Coercions) {
  const AERecord record = Record({{keyAEKeyForm, Record({})}});
  const AEDesc specifier = Record({{keyAEKeyForm, Record({})}}, typeObjectSpecifier);
  const AEDesc text = Text("t");
  const AEDesc list = List({text});
  const FSRef zeroed{};
  const struct {
    AEDesc from;
    DescType to;
    OSErr status;
    AEDesc expected;
  } cases[] = {
      {text, typeWildCard, noErr, text}, {text, typeText, noErr, text},
      {text, typeAEList, noErr, list}, {text, typeSInt32, errAECoercionFail, AEDesc()},
      {Text("/tmp"), typeFSRef, errAECoercionFail, AEDesc()},
      {list, typeAEList, noErr, list}, {list, typeFSRef, errAECoercionFail, AEDesc()},
      {AEDesc(), typeAEList, errAECoercionFail, AEDesc()},
      // File references of the wrong size and malformed aliases never become file references.
      {Bytes(typeFSRef, "abc"), typeFSRef, errAECoercionFail, AEDesc()},
      {Bytes(typeFSRef, "abc"), typeAlias, errAECoercionFail, AEDesc()},
      {Bytes(typeFSRef, "abc"), typeWildCard, noErr, Bytes(typeFSRef, "abc")},
      {Value(typeFSRef, zeroed), typeAlias, errAECoercionFail, AEDesc()},
      {Bytes(typeAlias, "alis"), typeFSRef, errAECoercionFail, AEDesc()},
      {Value(typeSInt16, std::int16_t{-2}), typeSInt32, noErr, Long(-2)},
      {Long(-32768), typeSInt16, noErr, Value(typeSInt16, std::int16_t{-32768})},
      {Long(32768), typeSInt16, errAECoercionFail, AEDesc()},
      {Text("ab"), typeSInt16, errAECoercionFail, AEDesc()},
      {Text("abc"), typeType, errAECoercionFail, AEDesc()},
      {Value(typeEnumerated, Code("alis")), typeType, noErr,
       Value(typeType, Code("alis"))},
      {Value(typeType, Code("alis")), typeKeyword, noErr,
       Value(typeKeyword, Code("alis"))},
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
  AEDesc result;
  EXPECT_EQ(AECoerceDesc(nullptr, typeAEList, &result), errAENotAEDesc);
  EXPECT_EQ(AECoerceDesc(&text, typeAEList, nullptr), paramErr);

  // The record calls work on the coerced record.
  EXPECT_EQ(Count(specifier), 1);
  EXPECT_EQ(AEGetParamDesc(&specifier, keyAEKeyForm, typeWildCard, &result), noErr);
  EXPECT_EQ(result, Record({}));
}

TEST(AppleEventTest, CreateFillsTheAttributesAndParametersAreApart) {
  AppleEvent event = SampleEvent();
  const struct {
    AEKeyword key;
    DescType desiredType;
    AEDesc expected;
  } cases[] = {
      {keyEventClassAttr, typeWildCard, Value(typeType, Code("core"))},
      {keyEventIDAttr, typeEnumerated, Value(typeEnumerated, Code("getd"))},
      {keyAddressAttr, typeWildCard, Value(typeApplSignature, Code("MACS"))},
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

  // Generated return ids differ; a null target leaves no address.
  AppleEvent first;
  AppleEvent second;
  ASSERT_EQ(AECreateAppleEvent(1, 2, nullptr, kAutoGenerateReturnID, 0, &first), noErr);
  ASSERT_EQ(AECreateAppleEvent(1, 2, nullptr, kAutoGenerateReturnID, 0, &second), noErr);
  std::int16_t ids[2] = {};
  std::size_t size = 0;
  EXPECT_EQ(AEGetAttributePtr(&first, keyReturnIDAttr, typeSInt16, nullptr, &ids[0], 2, &size),
            noErr);
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(AEGetAttributePtr(&second, keyReturnIDAttr, typeSInt16, nullptr, &ids[1], 2, nullptr),
            noErr);
  EXPECT_GT(ids[0], 0);
  EXPECT_NE(ids[0], ids[1]);
  AEDesc none;
  EXPECT_EQ(AEGetAttributeDesc(&first, keyAddressAttr, typeWildCard, &none), errAEDescNotFound);
  EXPECT_EQ(AECreateAppleEvent(1, 2, &first, 1, 0, &second), paramErr);
  EXPECT_EQ(AECreateAppleEvent(1, 2, nullptr, 1, 0, nullptr), paramErr);

  // Parameters and attributes are kept apart.
  const std::int16_t error = -1708;
  ASSERT_EQ(AEPutParamPtr(&event, keyErrorNumber, typeSInt16, &error, sizeof error), noErr);
  ASSERT_EQ(AEPutAttributePtr(&event, keyErrorNumber, typeSInt32, "\0\0\0\0", 4), noErr);
  EXPECT_EQ(Count(event), 2);  // The direct object and 'errn'; attributes do not count.
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
  EXPECT_EQ(Count(event), 1);
  EXPECT_EQ(AEGetAttributeDesc(&event, keyErrorNumber, typeWildCard, &attribute), noErr);

  // Replacing keeps the attribute's place; other descriptors have no attributes.
  const AEDesc other = Value(typeApplSignature, Code("KCMB"));
  ASSERT_EQ(AEPutAttributeDesc(&event, keyAddressAttr, &other), noErr);
  ASSERT_EQ(AEGetAttributeDesc(&event, keyAddressAttr, typeWildCard, &attribute), noErr);
  EXPECT_EQ(attribute, other);
  AEDesc record = Record({});
  EXPECT_EQ(AEPutAttributeDesc(&record, keyAddressAttr, &other), errAEWrongDataType);
  EXPECT_EQ(AEGetAttributeDesc(&record, keyAddressAttr, typeWildCard, &attribute),
            errAEWrongDataType);
  EXPECT_EQ(attribute, AEDesc());
  EXPECT_EQ(AEGetAttributeDesc(nullptr, keyAddressAttr, typeWildCard, &attribute),
            errAENotAEDesc);
  EXPECT_EQ(AEPutAttributePtr(&event, keyAddressAttr, typeNull, "x", 1), paramErr);
}

TEST(AEBuildTest, ReadsEveryKindOfValue) {
  const struct {
    std::string text;
    AEDesc expected;
  } cases[] = {
      {"42", Long(42)}, {" -2147483648 ", Long(std::numeric_limits<std::int32_t>::min())},
      {"shor(-3)", Value(typeSInt16, std::int16_t{-3})},
      {"comp(-9223372036854775808)", Value(typeSInt64, std::numeric_limits<std::int64_t>::min())},
      {"magn(4294967295)", Value(typeUInt32, std::uint32_t{4294967295})},
      {"bool(1)", Value(typeBoolean, std::uint8_t{1})},
      {"doub(3)", Double(3.0)}, {"1.5", Double(1.5)}, {"-2e-3", Double(-2e-3)},
      {"\"h\xC3\xA9llo\"", Utxt(u"h\u00E9llo")}, {"\"\xF0\x9F\x98\x80\"", Utxt(u"\U0001F600")},
      {"\"q\\\"b\\\\\\n\\r\\t\\x01\\xE9\"", Utxt(u"q\"b\\\n\r\t\u0001\u00E9")},
      {"\xE2\x80\x9C" "a\"b\xE2\x80\x9D", Utxt(u"a\"b")}, {"\"\"", Utxt(u"")},
      {"'TEXT'(\"\xC3\xA9\")", Bytes(typeText, "\xC3\xA9")},
      {"prop", Enum("prop")}, {"obj", Enum("obj ")}, {"'a'", Enum("a   ")},
      {"'\\x00\\'\\\\Z'", Value(typeEnumerated, std::uint32_t{0x00275C5A})},
      {"type('prop')", Value(typeType, Code("prop"))},
      {"'sign' ( MACS )", Value(typeApplSignature, Code("MACS"))},
      {"'null'()", AEDesc()}, {"furl()", Bytes(Code("furl"), "")},
      {"'ab'($01 0a$)", Bytes(Code("ab  "), "\x01\x0A")},
      {"fsrf(\xC2\xAB" "FF00\xC2\xBB)", Bytes(typeFSRef, "\xFF\x00"s)},
      {"[]", List({})}, {" [ 1 ,[ \"x\" ] ] ", List({Long(1), List({Utxt(u"x")})})},
      {"list([1])", List({Long(1)})}, {"{}", Record({})},
      {"{a:1,'----':\"x\"}", Record({{Code("a   "), Long(1)}, {Code("----"), Utxt(u"x")}})},
      {"reco{a:1}", Record({{Code("a   "), Long(1)}})},
      {"'obj '({})", Record({}, typeObjectSpecifier)},
      {"obj {want:type('prop'),from:'null'(),form:'prop',seld:type('sele')}",
       SelectionSpecifier()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    AEDesc built = Long(99);
    AEBuildError error{kAEBuildBadToken, 99};
    EXPECT_EQ(AEBuildDesc(&built, &error, c.text), noErr);
    EXPECT_EQ(built, c.expected);
    EXPECT_EQ(error.fError, kAEBuildNoError);
  }
}

TEST(AEBuildTest, RefusesBadTextWithItsPosition) {
  std::string deepCasts;
  while (deepCasts.size() < 200000) deepCasts += "a(";
  const struct {
    AEBuildErrorCode error;
    std::vector<std::pair<std::string, std::uint32_t>> texts;  // Each with the error's position.
  } cases[] = {
      {kAEBuildUnexpectedEnd, {{"", 0}, {"[1,", 3}}},
      {kAEBuildBadToken, {{"[1 2]", 3}, {"@", 0}, {"{1:2}", 1}, {"[1,]", 3}, {"{a:1,}", 5}}},
      {kAEBuildTrailingText, {{"1 2", 2}}},
      {kAEBuildBadCode, {{"'abcde'", 0}, {"abcde", 0}, {"''", 0}, {"'ab", 0}, {"'\\q'", 1}}},
      {kAEBuildBadNumber,
       {{"2147483648", 0}, {"shor(40000)", 5}, {"bool(2)", 5}, {"magn(-1)", 5}, {"- 1", 1},
        {"1.", 2}, {"1e999", 0}}},
      {kAEBuildBadText, {{"\"abc", 4}, {"\"\\q\"", 1}, {"\"a\xFF\"", 1}, {"\"\xED\xA0\x80\"", 1}}},
      {kAEBuildBadHex, {{"x($0$)", 4}, {"x($0g$)", 4}, {"x($00", 5}}},
      {kAEBuildUncastHex, {{"$00$", 0}, {"[1, $00$]", 4}}},
      {kAEBuildBadCast,
       {{"type(1)", 0}, {"long(1.5)", 0}, {"enum(\"x\")", 0}, {"list({})", 0}, {"reco([])", 0},
        {"fsrf{}", 0}, {"'aevt'{}", 0}, {"list()", 0}, {"'null'(1)", 0}, {"'null'($00$)", 0},
        {"long(shor(1))", 5}, {"a(b{})", 2}, {deepCasts, 2}}},
      {kAEBuildMissingColon, {{"{a 1}", 3}}},
      {kAEBuildMissingClose, {{"{a:1", 4}, {"long(1", 6}}},
      {kAEBuildDuplicateKey, {{"{a:1,'a':2}", 5}}},
      {kAEBuildTooDeep, {{Brackets(kAEMaxNestingDepth + 1, ""), kAEMaxNestingDepth}}},
      {kAEBuildTooLong, {{std::string(kAEBuildMaxSourceSize + 1, ' '), kAEBuildMaxSourceSize}}},
  };
  for (const auto& c : cases) {
    for (const auto& [text, pos] : c.texts) {
      SCOPED_TRACE(text.substr(0, 80));
      AEDesc built = Long(99);
      AEBuildError error{};
      EXPECT_EQ(AEBuildDesc(&built, &error, text), errAEBuildSyntaxError);
      EXPECT_EQ(built, AEDesc());
      EXPECT_EQ(error.fError, c.error);
      EXPECT_EQ(error.fErrorPos, pos);
    }
  }
  EXPECT_EQ(AEBuildDesc(nullptr, nullptr, "1"), paramErr);
  AEDesc built;
  EXPECT_EQ(AEBuildDesc(&built, nullptr, "["), errAEBuildSyntaxError);
  EXPECT_EQ(AEBuildDesc(&built, nullptr, Brackets(kAEMaxNestingDepth, "1")), noErr);
}

TEST(AEBuildTest, PrintsWhatReadsBackEqual) {
  const std::u16string unpaired = u"a\xD800";
  const struct {
    AEDesc desc;
    std::string text;
  } cases[] = {
      // An empty text expects only the round trip.
      {AEDesc(), "'null'()"}, {Long(-7), "-7"}, {List({}), "[]"}, {Record({}), "{}"},
      {Double(0.1), "0.1"}, {Double(-0.0), "-0.0"}, {Double(1e300), "1e+300"},
      {Double(std::nan("")), ""},  // Hex in host byte order.
      {Value(typeSInt16, std::int16_t{-3}), "'shor'(-3)"},
      {Value(typeSInt64, std::int64_t{1} << 40), "'comp'(1099511627776)"},
      {Value(typeUInt32, std::uint32_t{4000000000}), "'magn'(4000000000)"},
      {Value(typeBoolean, std::uint8_t{0}), "'bool'(0)"}, {Enum("prop"), "'prop'"},
      {Value(typeBoolean, std::uint8_t{2}), "'bool'($02$)"},
      {Bytes(typeSInt32, "abc"), "'long'($616263$)"},
      {Utxt(u"\u00E9\U0001F600\"\\\n\u0001"), "\"\xC3\xA9\xF0\x9F\x98\x80\\\"\\\\\\n\\x01\""},
      {Utxt(unpaired), ""},
      {Bytes(typeUnicodeText, "abc"), "'utxt'($616263$)"},
      {Bytes(typeText, "\xC3\xA9\t"), "'TEXT'(\"\xC3\xA9\\t\")"},
      {Bytes(typeText, "\xFF"), "'TEXT'($FF$)"},
      {Value(typeType, Code("obj ")), "'type'('obj ')"},
      {Value(typeKeyword, std::uint32_t{0x27005C7F}), "'keyw'('\\'\\x00\\\\\\x7F')"},
      {Value(typeApplSignature, Code("MACS")), "'sign'('MACS')"},
      {Bytes(typeProcessSerialNumber, "\0\0\0\0\x39\x30\0\0"s), "'psn '($0000000039300000$)"},
      {Bytes(Code("\xA9" "x\"'"), ""), "'\\xA9x\"\\''()"},
      {Bytes(typeFSRef, std::string(80, '\xBB')), "'fsrf'($" + std::string(160, 'B') + "$)"},
      {List({Long(1), List({Utxt(u"x")}), Record({{Code("k   "), AEDesc()}})}),
       "[1, [\"x\"], {'k   ':'null'()}]"},
      {SelectionSpecifier(),
       "'obj '{'want':'type'('prop'), 'from':'null'(), 'form':'prop', 'seld':'type'('sele')}"},
      {Record({{Code("----"), List({SelectionSpecifier(), Record({}, Code("\x01\x02\x03\x04"))})}}),
       ""},
  };
  for (const auto& c : cases) {
    const std::string text = Print(c.desc);
    SCOPED_TRACE(text);
    if (!c.text.empty()) {
      EXPECT_EQ(text, c.text);
    }
    AEDesc read;
    AEBuildError error{};
    EXPECT_EQ(AEBuildDesc(&read, &error, text), noErr) << error.fError << "@" << error.fErrorPos;
    EXPECT_EQ(read, c.desc);
  }
  std::string text;
  EXPECT_EQ(AEPrintDescToHandle(nullptr, &text), errAENotAEDesc);
  EXPECT_EQ(AEPrintDescToHandle(&cases[0].desc, nullptr), paramErr);
}

TEST(AEBuildTest, BuildsAnEventOrNothing) {
  const std::uint32_t finder = Code("MACS");
  AppleEvent event;
  AEBuildError error{};
  const auto build = [&](const std::string& text, AEBuildError* errorOut) {
    event = Long(1);
    return AEBuildAppleEvent(Code("core"), Code("getd"), typeApplSignature, &finder,
                             sizeof finder, 7, kAnyTransactionID, &event, errorOut, text);
  };
  ASSERT_EQ(build("'----':obj {want:type('prop'),from:'null'(),form:'prop',seld:type('sele')}",
                  &error),
            noErr);
  AEDesc direct;
  ASSERT_EQ(AEGetParamDesc(&event, keyDirectObject, typeWildCard, &direct), noErr);
  EXPECT_EQ(direct, SelectionSpecifier());
  EXPECT_EQ(Print(event),
            "'core'\\'getd'{'----':'obj '{'want':'type'('prop'), 'from':'null'(), "
            "'form':'prop', 'seld':'type'('sele')}, &'addr':'sign'('MACS'), "
            "&'rtid':'shor'(7), &'tran':0}");
  ASSERT_EQ(build(" ", nullptr), noErr);
  EXPECT_EQ(Count(event), 0);

  const struct {
    std::string text;
    AEBuildErrorCode error;
    std::uint32_t pos;
  } cases[] = {
      {"{'----':1}", kAEBuildBadToken, 0}, {"'----' 1", kAEBuildMissingColon, 7},
      {"a:1,", kAEBuildUnexpectedEnd, 4}, {"a:1 b:2", kAEBuildBadToken, 4},
      {"a:1, a:2", kAEBuildDuplicateKey, 5},
      // The event is a level itself.
      {"a:" + Brackets(kAEMaxNestingDepth, ""), kAEBuildTooDeep, 2 + kAEMaxNestingDepth - 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 80));
    error = AEBuildError{};
    EXPECT_EQ(build(c.text, &error), errAEBuildSyntaxError);
    EXPECT_EQ(event, AEDesc());
    EXPECT_EQ(error.fError, c.error);
    EXPECT_EQ(error.fErrorPos, c.pos);
  }
  event = Long(1);
  EXPECT_EQ(AEBuildAppleEvent(Code("core"), Code("getd"), typeNull, &finder, sizeof finder, 1, 0,
                              &event, nullptr, ""),
            paramErr);
  EXPECT_EQ(event, AEDesc());
  EXPECT_EQ(AEBuildAppleEvent(Code("core"), Code("getd"), typeNull, nullptr, 0, 1, 0, nullptr,
                              nullptr, ""),
            paramErr);

  // Without a class and id the head is the type, and every attribute shows.
  const std::string data = "\0\0\0\0\0\0\0\1evidlong\0\0\0\0\4\0\0\0\0"s;
  ASSERT_EQ(AECreateDesc(typeAppleEvent, data.data(), data.size(), &event), noErr);
  EXPECT_EQ(Print(event), "'aevt'{&'evid':0}");
}

}  // namespace
