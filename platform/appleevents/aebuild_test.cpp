#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "platform/appleevents/appleevent.h"

namespace {

using namespace std::string_literals;

constexpr auto Code = MakeFourCharCode;

AEDesc Bytes(DescType type, const std::string& data) {
  AEDesc desc;
  EXPECT_EQ(AECreateDesc(type, data.data(), data.size(), &desc), noErr);
  return desc;
}

template <typename T>
AEDesc Value(DescType type, T value) {
  return Bytes(type, std::string(reinterpret_cast<const char*>(&value), sizeof value));
}

AEDesc Utxt(const std::u16string& text) {
  return Bytes(typeUnicodeText,
               std::string(reinterpret_cast<const char*>(text.data()), 2 * text.size()));
}

AEDesc Long(std::int32_t value) { return Value(typeSInt32, value); }
AEDesc Double(double value) { return Value(typeIEEE64BitFloatingPoint, value); }
AEDesc Enum(const char (&code)[5]) { return Value(typeEnumerated, Code(code)); }

AEDesc List(std::initializer_list<AEDesc> items) {
  AEDesc list;
  EXPECT_EQ(AECreateList(nullptr, 0, false, &list), noErr);
  for (const AEDesc& item : items) EXPECT_EQ(AEPutDesc(&list, 0, &item), noErr);
  return list;
}

// A record of `items`, coerced to `type` unless that is 'reco'.
AEDesc Record(std::initializer_list<std::pair<AEKeyword, AEDesc>> items,
              DescType type = typeAERecord) {
  AEDesc record;
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

std::string Print(const AEDesc& desc) {
  std::string text = "not printed";
  EXPECT_EQ(AEPrintDescToHandle(&desc, &text), noErr);
  return text;
}

// `inner` in `depth` brackets.
std::string Nested(std::size_t depth, std::string_view inner) {
  return std::string(depth, '[') + std::string(inner) + std::string(depth, ']');
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
      {kAEBuildBadToken, {{"[1 2]", 3}, {"@", 0}, {"{1:2}", 1}}},
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
      {kAEBuildTooDeep, {{Nested(kAEMaxNestingDepth + 1, ""), kAEMaxNestingDepth}}},
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
  EXPECT_EQ(AEBuildDesc(&built, nullptr, Nested(kAEMaxNestingDepth, "1")), noErr);
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
  long count = -1;
  ASSERT_EQ(AECountItems(&event, &count), noErr);
  EXPECT_EQ(count, 0);

  const struct {
    std::string text;
    AEBuildErrorCode error;
    std::uint32_t pos;
  } cases[] = {
      {"{'----':1}", kAEBuildBadToken, 0}, {"'----' 1", kAEBuildMissingColon, 7},
      {"a:1,", kAEBuildUnexpectedEnd, 4}, {"a:1 b:2", kAEBuildBadToken, 4},
      {"a:1, a:2", kAEBuildDuplicateKey, 5},
      // The event is a level itself.
      {"a:" + Nested(kAEMaxNestingDepth, ""), kAEBuildTooDeep, 2 + kAEMaxNestingDepth - 1},
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
