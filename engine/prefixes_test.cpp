#include "engine/prefixes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "engine/path_forms.h"
#include "platform/bundle/bundle.h"
#include "settings/settings.h"
#include "testing/test_support.h"

namespace {

using kestrine_testing::ScopedUser;
using kestrine_testing::WriteFile;

std::string Render(const FSRef& ref, std::int32_t id) {
  char buffer[kRenderBufferSize];
  std::memset(buffer, 'x', sizeof buffer);
  const std::int32_t length = get_clipboard_data(ref, buffer, sizeof buffer, id);
  EXPECT_EQ(length, static_cast<std::int32_t>(std::strlen(buffer)));
  return buffer;
}

class PrefixesTest : public ::testing::Test {
 protected:
  PrefixesTest() { CFBundleForgetAllForTesting(); }
  ~PrefixesTest() override {
    CFBundleForgetAllForTesting();
    gPrefixes.reset();
  }

  // Makes a bundle "com.corvane.KestrineCM" known to the process, with
  // `prefixFile` as its Prefixes.txt when given.
  void MakeBundle(std::optional<std::string_view> prefixFile) {
    const std::string bundle = user_.root() + "/KestrineCM.plugin";
    WriteFile(bundle + "/Contents/Info.plist", kestrine_testing::XmlPropertyList(
                                                   "<key>CFBundleIdentifier</key><string>com.corvane.KestrineCM</string>"));
    kestrine_testing::MakeDirs(bundle + "/Contents/Resources");
    if (prefixFile) WriteFile(bundle + "/Contents/Resources/Prefixes.txt", *prefixFile);
    ASSERT_TRUE(CFBundleCreate(bundle).has_value());
  }

  void SetSetting(std::string_view entries) {
    user_.WriteSettings(entries);
    CFPreferencesAppSynchronize(kKestrineDomain);
  }

  FSRef File(const std::string& relative) {
    const std::string path = user_.home() + "/" + relative;
    WriteFile(path, "");
    FSRef ref{};
    EXPECT_EQ(FSPathMakeRef(path, &ref), noErr);
    return ref;
  }

  ScopedUser user_;
};

TEST_F(PrefixesTest, SplitsLikeTheFileFormatSays) {
  EXPECT_EQ(SplitPrefixText("a\r\nb\r\n"),
            (PrefArray{std::string("a\r"), std::string("b\r"), std::string("")}));
  EXPECT_EQ(SplitPrefixText("a\rb\rc"),
            (PrefArray{std::string("a"), std::string("b"), std::string("c")}));
  EXPECT_EQ(SplitPrefixText(" whole text "), (PrefArray{std::string(" whole text ")}));
  EXPECT_EQ(SplitPrefixText("a\n\nb"),
            (PrefArray{std::string("a"), std::string(""), std::string("b")}));
  EXPECT_TRUE(SplitPrefixText("").empty());
}

TEST_F(PrefixesTest, FileEntriesComeFirstThenTheSetting) {
  MakeBundle("smb://server/a\nhttp://b");
  SetSetting("<key>Prefixes</key><array><string>c</string><string>d</string>"
             "<string>e</string></array>");
  LoadPrefixes();
  ASSERT_TRUE(gPrefixes.has_value());
  EXPECT_EQ(*gPrefixes, (PrefArray{std::string("smb://server/a"), std::string("http://b"),
                                   std::string("c"), std::string("d"), std::string("e")}));
}

TEST_F(PrefixesTest, FileIsMacRoman) {
  MakeBundle("\xA5 item");
  LoadPrefixes();
  ASSERT_TRUE(gPrefixes.has_value());
  EXPECT_EQ(*gPrefixes, (PrefArray{std::string("\xE2\x80\xA2 item")}));
}

TEST_F(PrefixesTest, NoFileNoSettingMeansNoTable) {
  LoadPrefixes();
  EXPECT_FALSE(gPrefixes.has_value());
  const FSRef ref = File("a.txt");
  EXPECT_EQ(Render(ref, 1000), "");
  EXPECT_EQ(Render(ref, 2000), "");

  MakeBundle(std::nullopt);
  LoadPrefixes();
  EXPECT_FALSE(gPrefixes.has_value());
  MakeBundle("");
  LoadPrefixes();
  EXPECT_FALSE(gPrefixes.has_value());
}

TEST_F(PrefixesTest, SettingAloneAndWrongTypes) {
  SetSetting("<key>Prefixes</key><array><string>P</string><integer>3</integer></array>");
  LoadPrefixes();
  ASSERT_TRUE(gPrefixes.has_value());
  ASSERT_EQ(gPrefixes->size(), 2u);
  const FSRef ref = File("a.txt");
  EXPECT_EQ(Render(ref, 1000), "P" + user_.home() + "/a.txt");
  EXPECT_EQ(Render(ref, 1001), "");
  EXPECT_EQ(Render(ref, 2001), "");
  EXPECT_EQ(Render(ref, 1002), "");

  SetSetting("<key>Prefixes</key><string>P</string>");
  LoadPrefixes();
  EXPECT_FALSE(gPrefixes.has_value());
}

TEST_F(PrefixesTest, SlashAndBackslashForms) {
  SetSetting("<key>Prefixes</key><array><string>P</string><string>smb://s/</string></array>");
  LoadPrefixes();
  const FSRef ref = File("My Plans/50% a.txt");
  const std::string escapedHome = user_.home();  // Temporary folders need no escaping.
  EXPECT_EQ(Render(ref, 1000), "P" + escapedHome + "/My%20Plans/50%25%20a.txt");
  // An entry ending with "/" gives two slashes in a row.
  EXPECT_EQ(Render(ref, 1001), "smb://s/" + escapedHome + "/My%20Plans/50%25%20a.txt");
  std::string unc = escapedHome + "/My%20Plans/50%25%20a.txt";
  std::replace(unc.begin(), unc.end(), '/', '\\');
  EXPECT_EQ(Render(ref, 2000), "P" + unc);

  // No label is ever put in front of a prefix form.
  SetSetting("<key>LabelItems</key><true/>"
             "<key>Prefixes</key><array><string>P</string></array>");
  LoadPrefixes();
  EXPECT_EQ(Render(ref, 1000), "P" + escapedHome + "/My%20Plans/50%25%20a.txt");
  EXPECT_EQ(Render(ref, 2000), "P" + unc);
}

TEST_F(PrefixesTest, ManyEntriesKeepTheirBackslashForm) {
  std::string file;
  for (int i = 0; i < 1500; ++i) file += "p" + std::to_string(i) + "\n";
  MakeBundle(file);
  LoadPrefixes();
  ASSERT_TRUE(gPrefixes.has_value());
  // The line feed at the end adds an empty last entry.
  EXPECT_EQ(gPrefixes->size(), 1501u);
  const FSRef ref = File("x");
  std::string unc = user_.home() + "/x";
  std::replace(unc.begin(), unc.end(), '/', '\\');
  EXPECT_EQ(Render(ref, 1999), "p999" + user_.home() + "/x");
  EXPECT_EQ(Render(ref, 2000 + 1200), "p1200" + unc);
  EXPECT_EQ(Render(ref, 2000 + 1500), unc);
  EXPECT_EQ(Render(ref, 2000 + 1501), "");
}

TEST_F(PrefixesTest, PrefixFormsOfNamesThatAreNotUTF8RenderNothing) {
  SetSetting("<key>Prefixes</key><array><string>P</string></array>");
  LoadPrefixes();
  const FSRef ref = File("bad\xff");
  EXPECT_EQ(Render(ref, 1000), "");
  EXPECT_EQ(Render(ref, 2000), "");
}

}  // namespace
