#include "platform/corefoundation/cf_string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using namespace std::string_literals;

TEST(CFStringTest, ValidUTF8AcceptsWellFormedTextOnly) {
  EXPECT_TRUE(IsValidUTF8(""));
  EXPECT_TRUE(IsValidUTF8("plain ascii"));
  EXPECT_TRUE(IsValidUTF8("R\xC3\xA9sum\xC3\xA9"));       // é
  EXPECT_TRUE(IsValidUTF8("\xE2\x82\xAC"));               // U+20AC
  EXPECT_TRUE(IsValidUTF8("\xF0\x9F\x98\x80"));           // U+1F600
  EXPECT_TRUE(IsValidUTF8("\xF4\x8F\xBF\xBF"));           // U+10FFFF
  EXPECT_TRUE(IsValidUTF8("\xED\x9F\xBF"));               // U+D7FF
  EXPECT_TRUE(IsValidUTF8("a\0b"s));

  EXPECT_FALSE(IsValidUTF8("\xFF"));
  EXPECT_FALSE(IsValidUTF8("\x80"));                      // Lone continuation byte.
  EXPECT_FALSE(IsValidUTF8("\xC3"));                      // Cut sequence.
  EXPECT_FALSE(IsValidUTF8("\xE2\x82"));
  EXPECT_FALSE(IsValidUTF8("\xC0\xAF"));                  // Overlong "/".
  EXPECT_FALSE(IsValidUTF8("\xC1\xBF"));
  EXPECT_FALSE(IsValidUTF8("\xE0\x9F\xBF"));              // Overlong three-byte form.
  EXPECT_FALSE(IsValidUTF8("\xF0\x8F\xBF\xBF"));          // Overlong four-byte form.
  EXPECT_FALSE(IsValidUTF8("\xED\xA0\x80"));              // Surrogate U+D800.
  EXPECT_FALSE(IsValidUTF8("\xF4\x90\x80\x80"));          // U+110000.
  EXPECT_FALSE(IsValidUTF8("\xF5\x80\x80\x80"));
  EXPECT_FALSE(IsValidUTF8("ok\xC3(")) << "continuation byte missing";
}

TEST(CFStringTest, MakeValidUTF8ReplacesEachBadByte) {
  EXPECT_EQ(MakeValidUTF8("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_EQ(MakeValidUTF8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(MakeValidUTF8("\xE2\x82"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(MakeValidUTF8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(MakeValidUTF8("x\xC3\xA9\xE9y"), "x\xC3\xA9\xEF\xBF\xBDy");
  EXPECT_EQ(MakeValidUTF8(""), "");
  EXPECT_TRUE(IsValidUTF8(MakeValidUTF8("\xC0\xAF\xF8\x88\x80\x80\x80")));
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
  EXPECT_TRUE(ContainsWhiteSpace("txt "));
  EXPECT_TRUE(ContainsWhiteSpace("t\xC2\xA0x"));
  EXPECT_TRUE(ContainsWhiteSpace("\xFF\xE3\x80\x80"));
  EXPECT_FALSE(ContainsWhiteSpace("txt"));
  EXPECT_FALSE(ContainsWhiteSpace("\xFF\xA0"));  // A bad byte, then a lone 0xA0.
  EXPECT_FALSE(ContainsWhiteSpace(""));
}

TEST(CFStringTest, TrimRemovesUnicodeWhiteSpaceFromBothEnds) {
  EXPECT_EQ(CFStringTrimWhitespace("  /tmp/a b.txt \t\n"), "/tmp/a b.txt");
  EXPECT_EQ(CFStringTrimWhitespace("\xE3\x80\x80x\xC2\xA0"), "x");
  EXPECT_EQ(CFStringTrimWhitespace("\r\n\xE2\x80\xA8"), "");
  EXPECT_EQ(CFStringTrimWhitespace(""), "");
  EXPECT_EQ(CFStringTrimWhitespace("a \n b"), "a \n b");
  EXPECT_EQ(CFStringTrimWhitespace("\xE2\x80\x8B" "a"), "\xE2\x80\x8B" "a");  // U+200B stays.
  // A bad byte is text: trimming stops at it.
  EXPECT_EQ(CFStringTrimWhitespace(" \xFF "), "\xFF");
  EXPECT_EQ(CFStringTrimWhitespace("a\xA0"), "a\xA0");
}

TEST(CFStringTest, ReplacingPercentEscapesDecodesUTF8) {
  EXPECT_EQ(CFURLCreateStringByReplacingPercentEscapes("/a/%41.txt"), "/a/A.txt");
  EXPECT_EQ(CFURLCreateStringByReplacingPercentEscapes("R%c3%a9sum%C3%A9"), "R\xC3\xA9sum\xC3\xA9");
  EXPECT_EQ(CFURLCreateStringByReplacingPercentEscapes("%25"), "%");
  EXPECT_EQ(CFURLCreateStringByReplacingPercentEscapes("no escapes"), "no escapes");
  EXPECT_EQ(CFURLCreateStringByReplacingPercentEscapes(""), "");

  EXPECT_EQ(CFURLCreateStringByReplacingPercentEscapes("50% off.txt"), std::nullopt);
  EXPECT_EQ(CFURLCreateStringByReplacingPercentEscapes("end%"), std::nullopt);
  EXPECT_EQ(CFURLCreateStringByReplacingPercentEscapes("end%4"), std::nullopt);
  EXPECT_EQ(CFURLCreateStringByReplacingPercentEscapes("%G1"), std::nullopt);
  EXPECT_EQ(CFURLCreateStringByReplacingPercentEscapes("%FF"), std::nullopt);
  EXPECT_EQ(CFURLCreateStringByReplacingPercentEscapes("%C3"), std::nullopt);
  EXPECT_EQ(CFURLCreateStringByReplacingPercentEscapes("\xFF"), std::nullopt);
}

TEST(CFStringTest, AddingPercentEscapesFollowsRFC2396) {
  EXPECT_EQ(CFURLCreateStringByAddingPercentEscapes("/Users/ann/My Files/R\xC3\xA9sum\xC3\xA9.txt"),
            "/Users/ann/My%20Files/R%C3%A9sum%C3%A9.txt");
  // Unreserved and reserved characters stay.
  EXPECT_EQ(CFURLCreateStringByAddingPercentEscapes("azAZ09-_.!~*'();/?:@&=+$,"),
            "azAZ09-_.!~*'();/?:@&=+$,");
  EXPECT_EQ(CFURLCreateStringByAddingPercentEscapes(" \"#%<>[\\]^`{|}"),
            "%20%22%23%25%3C%3E%5B%5C%5D%5E%60%7B%7C%7D");
  EXPECT_EQ(CFURLCreateStringByAddingPercentEscapes("a\tb\nc\x7F"), "a%09b%0Ac%7F");
  EXPECT_EQ(CFURLCreateStringByAddingPercentEscapes("\xF0\x9F\x98\x80"), "%F0%9F%98%80");
  EXPECT_EQ(CFURLCreateStringByAddingPercentEscapes(""), "");
  EXPECT_EQ(CFURLCreateStringByAddingPercentEscapes("bad\xFF"), std::nullopt);
  EXPECT_EQ(PercentEscapeBytes("/mnt/bad\xFF name"), "/mnt/bad%FF%20name");
}

TEST(CFStringTest, MacRomanDecodesEveryByte) {
  EXPECT_EQ(CFStringCreateWithMacRoman("Plain text\n"), "Plain text\n");
  EXPECT_EQ(CFStringCreateWithMacRoman("R\x8Esum\x8E"), "R\xC3\xA9sum\xC3\xA9");
  EXPECT_EQ(CFStringCreateWithMacRoman("\xA5\xDB\xBD"), "\xE2\x80\xA2\xE2\x82\xAC\xCE\xA9");
  EXPECT_EQ(CFStringCreateWithMacRoman("\xDE\xDF\xFF"), "\xEF\xAC\x81\xEF\xAC\x82\xCB\x87");
  EXPECT_EQ(CFStringCreateWithMacRoman("a\xF0" "b\xF0"), "a\xEF\xA3\xBF" "b\xEF\xA3\xBF");
  EXPECT_EQ(CFStringCreateWithMacRoman(""), "");
  EXPECT_EQ(CFStringCreateWithMacRoman("a\0b"s), "a\0b"s);

  std::string every_byte;
  for (int b = 0; b < 256; ++b) every_byte.push_back(static_cast<char>(b));
  const std::string decoded = CFStringCreateWithMacRoman(every_byte);
  EXPECT_TRUE(IsValidUTF8(decoded));
  EXPECT_EQ(decoded.find("\xEF\xBF\xBD"), std::string::npos) << "every byte has a character";
  EXPECT_EQ(decoded.substr(0, 128), every_byte.substr(0, 128));
}

TEST(CFStringTest, GetCStringFailsRatherThanCut) {
  char buffer[8];
  EXPECT_TRUE(CFStringGetCString("abcdefg", buffer, sizeof buffer));  // Length 7, capacity 8.
  EXPECT_STREQ(buffer, "abcdefg");

  EXPECT_FALSE(CFStringGetCString("abcdefgh", buffer, sizeof buffer));  // Capacity == length.
  EXPECT_STREQ(buffer, "");

  EXPECT_TRUE(CFStringGetCString("", buffer, 1));
  EXPECT_STREQ(buffer, "");
  std::memcpy(buffer, "xyz", 4);
  EXPECT_FALSE(CFStringGetCString("a", buffer, 1));
  EXPECT_STREQ(buffer, "");

  EXPECT_FALSE(CFStringGetCString("a", buffer, 0));
  EXPECT_FALSE(CFStringGetCString("a", nullptr, 8));

  std::memcpy(buffer, "xyz", 4);
  EXPECT_FALSE(CFStringGetCString("ab\xFF", buffer, sizeof buffer));
  EXPECT_STREQ(buffer, "");
  EXPECT_FALSE(CFStringGetCString("a\0b"s, buffer, sizeof buffer));
  EXPECT_STREQ(buffer, "");

  char wide[16];
  EXPECT_TRUE(CFStringGetCString("\xC3\xA9t\xC3\xA9", wide, 6));  // 5 bytes and the NUL.
  EXPECT_STREQ(wide, "\xC3\xA9t\xC3\xA9");
}

}  // namespace
