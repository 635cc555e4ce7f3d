#include "platform/corefoundation/cf_string.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using testing::PrintToString;
using Text = std::optional<std::string>;

TEST(CFStringTest, ValidUTF8AcceptsWellFormedTextOnly) {
  // é, U+20AC, U+1F600, U+10FFFF, U+D7FF, and a NUL.
  for (const std::string& text : {""s, "plain ascii"s, "R\xC3\xA9sum\xC3\xA9"s, "\xE2\x82\xAC"s,
                                  "\xF0\x9F\x98\x80"s, "\xF4\x8F\xBF\xBF"s, "\xED\x9F\xBF"s,
                                  "a\0b"s}) {
    EXPECT_TRUE(IsValidUTF8(text)) << PrintToString(text);
  }
  // A bad byte, a lone continuation byte, cut sequences, overlong forms, the
  // surrogate U+D800, U+110000 and beyond, a missing continuation byte.
  for (const char* text : {"\xFF", "\x80", "\xC3", "\xE2\x82", "\xC0\xAF", "\xC1\xBF",
                           "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                           "\xF5\x80\x80\x80", "ok\xC3("}) {
    EXPECT_FALSE(IsValidUTF8(text)) << PrintToString(text);
  }
}

TEST(CFStringTest, WhiteSpaceIsTheUnicodeProperty) {
  for (const char32_t c : {U'\t', U'\n', U'\v', U'\f', U'\r', U' ', U'\u0085', U'\u00A0',
                           U'\u1680', U'\u2000', U'\u200A', U'\u2028', U'\u2029', U'\u202F',
                           U'\u205F', U'\u3000'}) {
    EXPECT_TRUE(IsUnicodeWhiteSpace(c)) << static_cast<unsigned>(c);
  }
  // Zero-width space and the byte order mark are not White_Space.
  for (const char32_t c : {U'a', U'\0', U'\u200B', U'\uFEFF', U'\u180E', U'\u1FFF', U'\u200C'}) {
    EXPECT_FALSE(IsUnicodeWhiteSpace(c)) << static_cast<unsigned>(c);
  }
  // The last: a bad byte, then a lone 0xA0.
  for (const auto& [text, contains] : {std::pair{"txt ", true}, {"t\xC2\xA0x", true},
                                       {"\xFF\xE3\x80\x80", true}, {"txt", false}, {"", false},
                                       {"\xFF\xA0", false}}) {
    EXPECT_EQ(ContainsWhiteSpace(text), contains) << PrintToString(text);
  }
}

// Each text function on a table of inputs; none stands for a failure.
TEST(CFStringTest, ConversionsGiveTheExactText) {
  using Convert = Text (*)(std::string_view);
  const Convert valid = [](std::string_view s) -> Text { return MakeValidUTF8(s); };
  const Convert trim = [](std::string_view s) -> Text { return CFStringTrimWhitespace(s); };
  const Convert unescape = CFURLCreateStringByReplacingPercentEscapes;
  const Convert escape = CFURLCreateStringByAddingPercentEscapes;
  const Convert escape_bytes = [](std::string_view s) -> Text { return PercentEscapeBytes(s); };
  const Convert roman = [](std::string_view s) -> Text { return CFStringCreateWithMacRoman(s); };
  const std::string bad = "\xEF\xBF\xBD";  // U+FFFD for each bad byte.
  const struct {
    Convert convert;
    std::string input;
    Text expected;
  } cases[] = {
      {valid, "caf\xC3\xA9", "caf\xC3\xA9"}, {valid, "a\xFF" "b", "a" + bad + "b"},
      {valid, "\xE2\x82", bad + bad}, {valid, "\xED\xA0\x80", bad + bad + bad},
      {valid, "x\xC3\xA9\xE9y", "x\xC3\xA9" + bad + "y"}, {valid, "", ""},
      {trim, "  /tmp/a b.txt \t\n", "/tmp/a b.txt"}, {trim, "\xE3\x80\x80x\xC2\xA0", "x"},
      {trim, "\r\n\xE2\x80\xA8", ""}, {trim, "", ""}, {trim, "a \n b", "a \n b"},
      {trim, "\xE2\x80\x8B" "a", "\xE2\x80\x8B" "a"},  // U+200B stays.
      // A bad byte is text: trimming stops at it.
      {trim, " \xFF ", "\xFF"}, {trim, "a\xA0", "a\xA0"},
      {unescape, "/a/%41.txt", "/a/A.txt"}, {unescape, "R%c3%a9sum%C3%A9", "R\xC3\xA9sum\xC3\xA9"},
      {unescape, "%25", "%"}, {unescape, "no escapes", "no escapes"}, {unescape, "", ""},
      {unescape, "50% off.txt", {}}, {unescape, "end%", {}}, {unescape, "end%4", {}},
      {unescape, "%G1", {}}, {unescape, "%FF", {}}, {unescape, "%C3", {}}, {unescape, "\xFF", {}},
      {escape, "/Users/ann/My Files/R\xC3\xA9sum\xC3\xA9.txt",
       "/Users/ann/My%20Files/R%C3%A9sum%C3%A9.txt"},
      // Unreserved and reserved characters stay.
      {escape, "azAZ09-_.!~*'();/?:@&=+$,", "azAZ09-_.!~*'();/?:@&=+$,"},
      {escape, " \"#%<>[\\]^`{|}", "%20%22%23%25%3C%3E%5B%5C%5D%5E%60%7B%7C%7D"},
      {escape, "a\tb\nc\x7F", "a%09b%0Ac%7F"}, {escape, "\xF0\x9F\x98\x80", "%F0%9F%98%80"},
      {escape, "", ""}, {escape, "bad\xFF", {}},
      {escape_bytes, "/mnt/bad\xFF name", "/mnt/bad%FF%20name"},
      {roman, "Plain text\n", "Plain text\n"}, {roman, "R\x8Esum\x8E", "R\xC3\xA9sum\xC3\xA9"},
      {roman, "\xA5\xDB\xBD", "\xE2\x80\xA2\xE2\x82\xAC\xCE\xA9"},
      {roman, "\xDE\xDF\xFF", "\xEF\xAC\x81\xEF\xAC\x82\xCB\x87"},
      {roman, "a\xF0" "b\xF0", "a\xEF\xA3\xBF" "b\xEF\xA3\xBF"}, {roman, "", ""},
      {roman, "a\0b"s, "a\0b"s},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(cases[i].convert(cases[i].input), cases[i].expected)
        << "case " << i << ": " << PrintToString(cases[i].input);
  }
  EXPECT_TRUE(IsValidUTF8(MakeValidUTF8("\xC0\xAF\xF8\x88\x80\x80\x80")));

  std::string every_byte;
  for (int b = 0; b < 256; ++b) every_byte.push_back(static_cast<char>(b));
  const std::string decoded = CFStringCreateWithMacRoman(every_byte);
  EXPECT_TRUE(IsValidUTF8(decoded));
  EXPECT_EQ(decoded.find(bad), std::string::npos) << "every byte has a character";
  EXPECT_EQ(decoded.substr(0, 128), every_byte.substr(0, 128));
}

TEST(CFStringTest, GetCStringFailsRatherThanCut) {
  const struct {
    std::string text;
    std::size_t capacity;
    bool copied;
    std::string buffer;
  } cases[] = {
      {"abcdefg", 8, true, "abcdefg"}, {"abcdefgh", 8, false, ""},  // No room for the NUL.
      {"", 1, true, ""}, {"a", 1, false, ""}, {"ab\xFF", 8, false, ""}, {"a\0b"s, 8, false, ""},
      {"\xC3\xA9t\xC3\xA9", 6, true, "\xC3\xA9t\xC3\xA9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(PrintToString(c.text));
    // Exactly the capacity, so that a sanitizer sees a write beyond it.
    std::vector<char> buffer(c.capacity, 'x');
    EXPECT_EQ(CFStringGetCString(c.text, buffer.data(), c.capacity), c.copied);
    EXPECT_EQ(std::string(buffer.data(), c.buffer.size() + 1), c.buffer + '\0');
  }
  char untouched = 'x';
  EXPECT_FALSE(CFStringGetCString("a", &untouched, 0));
  EXPECT_EQ(untouched, 'x');
  EXPECT_FALSE(CFStringGetCString("a", nullptr, 8));
}

}  // namespace
