#include "platform/corefoundation/cf_utf16.h"

#include <gtest/gtest.h>

namespace {

TEST(CFUTF16Test, RoundTripsEveryPlane) {
  // ASCII, two-byte, three-byte and four-byte UTF-8 sequences.
  const std::string text = "a\xC3\xA9\xE2\x80\xA2\xF0\x9F\x93\x81";
  const std::optional<std::u16string> units = CFStringGetCharacters(text);
  ASSERT_TRUE(units.has_value());
  EXPECT_EQ(*units, (std::u16string{u'a', u'\u00E9', u'\u2022', 0xD83D, 0xDCC1}));
  EXPECT_EQ(CFStringCreateWithCharacters(*units), text);
  EXPECT_EQ(CFStringGetCharacters(""), std::u16string());
  EXPECT_EQ(CFStringCreateWithCharacters(u""), "");
}

TEST(CFUTF16Test, RefusesMalformedInput) {
  EXPECT_EQ(CFStringGetCharacters("\xFF"), std::nullopt);
  EXPECT_EQ(CFStringGetCharacters("\xC3"), std::nullopt);
  EXPECT_EQ(CFStringGetCharacters("\xED\xA0\x80"), std::nullopt);  // An encoded surrogate.
  const char16_t lonelyHigh[] = {u'a', 0xD83D};
  EXPECT_EQ(CFStringCreateWithCharacters(std::u16string_view(lonelyHigh, 2)), std::nullopt);
  const char16_t lonelyLow[] = {0xDCC1, u'a'};
  EXPECT_EQ(CFStringCreateWithCharacters(std::u16string_view(lonelyLow, 2)), std::nullopt);
  const char16_t swapped[] = {0xDCC1, 0xD83D};
  EXPECT_EQ(CFStringCreateWithCharacters(std::u16string_view(swapped, 2)), std::nullopt);
}

}  // namespace
