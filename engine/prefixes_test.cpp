#include "engine/prefixes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "engine/path_forms.h"
#include "platform/bundle/bundle.h"
#include "platform/files/files_test_support.h"
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

std::string Backslashed(std::string path) {
  std::ranges::replace(path, '/', '\\');
  return path;
}

class PrefixesTest : public ::testing::Test {
 protected:
  ~PrefixesTest() override {
    CFBundleForgetAllForTesting();
    gPrefixes.reset();
  }

  // Loads the table from the settings `entries` and, with `bundle`, from a
  // bundle "com.corvane.KestrineCM" with `prefixFile` as its Prefixes.txt
  // when given.
  void Load(bool bundle, std::optional<std::string_view> prefixFile, std::string_view entries) {
    CFBundleForgetAllForTesting();
    const std::string path = user_.root() + "/KestrineCM.plugin";
    std::filesystem::remove_all(path);
    if (bundle) {
      const std::string identifier = "<key>CFBundleIdentifier</key><string>com.corvane.KestrineCM</string>";
      WriteFile(path + "/Contents/Info.plist", kestrine_testing::XmlPropertyList(identifier));
      kestrine_testing::MakeDirs(path + "/Contents/Resources");
      if (prefixFile) WriteFile(path + "/Contents/Resources/Prefixes.txt", *prefixFile);
      ASSERT_TRUE(CFBundleCreate(path).has_value());
    }
    user_.WriteSettings(entries);
    CFPreferencesAppSynchronize(kKestrineDomain);
    LoadPrefixes();
  }

  FSRef File(const std::string& relative) {
    const std::string path = user_.home() + "/" + relative;
    WriteFile(path, "");
    return files_testing::RefOf(path);
  }

  ScopedUser user_;
};

TEST(PrefixTextTest, SplitsLikeTheFileFormatSays) {
  EXPECT_EQ(SplitPrefixText("a\r\nb\r\n"), (PrefArray{"a\r", "b\r", ""}));
  EXPECT_EQ(SplitPrefixText("a\rb\rc"), (PrefArray{"a", "b", "c"}));
  EXPECT_EQ(SplitPrefixText(" whole text "), (PrefArray{" whole text "}));
  EXPECT_EQ(SplitPrefixText("a\n\nb"), (PrefArray{"a", "", "b"}));
  EXPECT_TRUE(SplitPrefixText("").empty());
}

TEST_F(PrefixesTest, FileEntriesComeFirstThenTheSetting) {
  const std::string cde = "<key>Prefixes</key><array><string>c</string><string>d</string><string>e</string></array>";
  struct Case {
    bool bundle;
    std::optional<std::string> file;
    std::string settings;
    std::optional<PrefArray> expected;
  };
  for (const Case& c : std::vector<Case>{
           {false, {}, "", {}},
           {true, {}, "", {}},
           {true, "", "", {}},
           {true, "smb://server/a\nhttp://b", cde, PrefArray{"smb://server/a", "http://b", "c", "d", "e"}},
           {false, {}, cde, PrefArray{"c", "d", "e"}},
           // The file is Mac Roman.
           {true, "\xA5 item", "", PrefArray{"\xE2\x80\xA2 item"}},
       }) {
    SCOPED_TRACE(c.file.value_or("no file") + " / " + c.settings);
    Load(c.bundle, c.file, c.settings);
    EXPECT_EQ(gPrefixes, c.expected);
  }
}

TEST_F(PrefixesTest, SlashAndBackslashForms) {
  const FSRef ref = File("My Plans/50% a.txt");
  const std::string encoded = user_.home() + "/My%20Plans/50%25%20a.txt";  // Temporary folders need no escaping.
  for (const std::string_view labels : {"", "<key>LabelItems</key><true/>"}) {
    SCOPED_TRACE(labels);
    Load(false, {}, std::string(labels) +
                        "<key>Prefixes</key><array><string>P</string><string>smb://s/</string>"
                        "<integer>3</integer></array>");
    // An entry ending with "/" gives two slashes in a row; no label is ever
    // put in front; an entry that is not a text and a missing one give nothing.
    for (const auto& [id, expected] : std::vector<std::pair<std::int32_t, std::string>>{
             {1000, "P" + encoded}, {1001, "smb://s/" + encoded}, {2000, "P" + Backslashed(encoded)},
             {1002, ""}, {2002, ""}, {1003, ""}, {2003, ""}}) {
      EXPECT_EQ(Render(ref, id), expected) << id;
    }
  }
  const FSRef bad = File("bad\xff");
  EXPECT_EQ(Render(bad, 1000), "");
  EXPECT_EQ(Render(bad, 2000), "");
  Load(false, {}, "");
  EXPECT_EQ(Render(ref, 1000), "");
  EXPECT_EQ(Render(ref, 2000), "");
}

TEST_F(PrefixesTest, ManyEntriesKeepTheirBackslashForm) {
  std::string file;
  for (int i = 0; i < 1500; ++i) file += "p" + std::to_string(i) + "\n";
  Load(true, file, "");
  ASSERT_TRUE(gPrefixes.has_value());
  // The line feed at the end adds an empty last entry.
  EXPECT_EQ(gPrefixes->size(), 1501u);
  const FSRef ref = File("x");
  const std::string unc = Backslashed(user_.home() + "/x");
  EXPECT_EQ(Render(ref, 1999), "p999" + user_.home() + "/x");
  EXPECT_EQ(Render(ref, 2000 + 1200), "p1200" + unc);
  EXPECT_EQ(Render(ref, 2000 + 1500), unc);
  EXPECT_EQ(Render(ref, 2000 + 1501), "");
}

}  // namespace
