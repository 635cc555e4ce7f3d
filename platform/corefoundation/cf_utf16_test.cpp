#include "platform/corefoundation/cf_utf16.h"

#include <gtest/gtest.h>

namespace {

TEST(CFUTF16Test, RoundTripsEveryPlaneAndRefusesMalformedInput) {
  // ASCII, two-byte, three-byte and four-byte UTF-8 sequences.
  const std::string text = "a\xC3\xA9\xE2\x80\xA2\xF0\x9F\x93\x81";
  const std::u16string units = {u'a', u'\u00E9', u'\u2022', 0xD83D, 0xDCC1};
  EXPECT_EQ(CFStringGetCharacters(text), units);
  EXPECT_EQ(CFStringCreateWithCharacters(units), text);
  EXPECT_EQ(CFStringGetCharacters(""), std::u16string());
  EXPECT_EQ(CFStringCreateWithCharacters(u""), "");

  // The last is an encoded surrogate.
  for (const char* bad : {"\xFF", "\xC3", "\xED\xA0\x80"}) {
    EXPECT_EQ(CFStringGetCharacters(bad), std::nullopt) << bad;
  }
  // A lone high surrogate, a lone low one, and a pair in the wrong order.
  using U16 = std::u16string;
  for (const U16& bad : {U16{u'a', 0xD83D}, U16{0xDCC1, u'a'}, U16{0xDCC1, 0xD83D}}) {
    EXPECT_EQ(CFStringCreateWithCharacters(bad), std::nullopt);
  }

  // The byte forms: the units' bytes in host byte order, whole units only.
  const std::string bytes(reinterpret_cast<const char*>(units.data()), units.size() * 2);
  EXPECT_EQ(CFStringGetCharacterBytes(text), bytes);
  EXPECT_EQ(CFStringCreateWithCharacterBytes(bytes), text);
  EXPECT_EQ(CFStringGetCharacterBytes("\xFF"), std::nullopt);
  EXPECT_EQ(CFStringCreateWithCharacterBytes(bytes + 'a'), std::nullopt);
  EXPECT_EQ(CFStringCreateWithCharacterBytes(bytes.substr(0, 8)), std::nullopt);
  std::string pair;
  AppendUTF8(0x1F4C1, &pair);
  EXPECT_EQ(pair, "\xF0\x9F\x93\x81");
}

}  // namespace
