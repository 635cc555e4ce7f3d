#include "settings/settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/preferences/preferences_test_support.h"

namespace {

using kestrine_testing::FolderNames, kestrine_testing::ReadFile, kestrine_testing::StartChild,
    kestrine_testing::WaitForChild, kestrine_testing::XmlPropertyList;
using preferences_test::WriteFileAtomically;

class SettingsTest : public ::testing::Test {
 protected:
  // The configuration folder is left for the store to create.
  SettingsTest() { std::filesystem::remove(config_); }
  std::string File() const { return user_.SettingsPath(); }
  // Replaces the settings file, as the user's plist tools would.
  void Store(std::string_view entries) const { ASSERT_TRUE(WriteFileAtomically(File(), XmlPropertyList(entries))); }

  kestrine_testing::ScopedUser user_;
  const std::string config_ = user_.root() + "/config";
};

// No file, an empty dictionary and damaged files all read as an empty
// domain.
TEST_F(SettingsTest, AnEmptyOrDamagedDomainGivesEveryDefault) {
  const std::optional<std::string> kFiles[] = {
      std::nullopt, XmlPropertyList(""), "<plist version=\"1.0\"><dict><key>LabelItems</key><true/>",
      "<plist version=\"1.0\"><array><true/></array></plist>", "", std::string("\x00\x01\x02", 3)};
  for (const std::optional<std::string>& content : kFiles) {
    SCOPED_TRACE(content.value_or("no file"));
    ASSERT_TRUE(!content || WriteFileAtomically(File(), *content));
    EXPECT_TRUE(MakeAsSubmenu());
    EXPECT_FALSE(LabelItems());
    EXPECT_TRUE(IncludeAll());
    EXPECT_TRUE(IncludeCopyFolderPaths());
    EXPECT_EQ(MultipathSeparator(), "\n");
    EXPECT_EQ(CopyPrefixesSetting(), std::nullopt);
    for (const char* key : {"IncludePosixPath", "IncludeUNCWindowsStyle", "ShowClipboardInMenu"}) {
      EXPECT_TRUE(IncludeMenuItem(key, true)) << key;
      EXPECT_FALSE(IncludeMenuItem(key, false)) << key;
    }
    EXPECT_EQ(std::filesystem::exists(config_), content.has_value());  // Reading creates nothing.
  }
  EXPECT_TRUE(SetBooleanSetting("IncludeAll", false));
  EXPECT_FALSE(IncludeAll());
  EXPECT_EQ(ReadFile(File()), XmlPropertyList("\t<key>IncludeAll</key>\n\t<false/>\n"));
}

// Values that are not booleans count as absent. Stored booleans are read in
// the test of the readers below.
TEST_F(SettingsTest, ValuesOfTheWrongTypeCountAsAbsent) {
  const auto item = [](const char* key, bool defaultValue) {
    return [=] { return IncludeMenuItem(key, defaultValue); };
  };
  const struct { const char* stored; std::function<bool()> read; bool expected; } kCases[] = {
      {"<key>LabelItems</key><integer>1</integer>", LabelItems, false},
      {"<key>IncludeAll</key><string>false</string>", IncludeAll, true},
      // IncludeCopyFolderPaths reads another key than its name.
      {"<key>IncludeFolderPaths</key><integer>0</integer><key>IncludeCopyFolderPaths</key><false/>",
       IncludeCopyFolderPaths, true},
      {"<key>MakeAsSubmenu</key><string>NO</string>", MakeAsSubmenu, true},
      {"<key>IncludeHFSPath</key><false/>", item("IncludeHFSPath", true), false},  // Wins over the default.
      {"<key>IncludeFilename</key><integer>0</integer>", item("IncludeFilename", true), true},
      {"<key>IncludeUNCWindowsStyle</key><string>YES</string>", item("IncludeUNCWindowsStyle", false), false},
      {"<key>IncludeUNCWindowsStyle</key><string>YES</string>", item("IncludeUNCWindowsStyle", true), true},
      {"<key>ShowClipboardInMenu</key><array><true/></array>", item("ShowClipboardInMenu", false), false},
      {"<key>ShowClipboardInMenu</key><integer>1</integer>", ShowClipboardInMenu, false},
      {"<key>IncludeAFPURL</key><string>NO</string>", [] { return CopyBooleanSetting("IncludeAFPURL").value_or(true); },
       true},
  };
  for (const auto& [stored, read, expected] : kCases) {
    Store(stored);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kKestrineDomain));
    EXPECT_EQ(read(), expected) << stored;
  }
}

TEST_F(SettingsTest, TheSeparatorIsUsedVerbatim) {
  const std::pair<const char*, const char*> kCases[] = {
      {"<string></string>", "\n"},      {"<string/>", "\n"},         {"<string>\t</string>", "\t"},
      {"<string>&#9;</string>", "\t"},  {"<string>\\n</string>", "\\n"}, {"<string>, </string>", ", "},
      {"<string> </string>", " "},      {"<string>\r\n</string>", "\r\n"}, {"<string>&lt;br&gt;</string>", "<br>"},
      {"<integer>9</integer>", "\n"},   {"<array><string>;</string></array>", "\n"}, {"<true/>", "\n"},
  };
  for (const auto& [stored, expected] : kCases) {
    Store(std::string("<key>MultipathSeparator</key>") + stored);
    EXPECT_EQ(MultipathSeparator(), expected) << stored;
  }
}

TEST_F(SettingsTest, PrefixesAreReturnedAsStored) {
  const std::pair<const char*, std::optional<PrefArray>> kCases[] = {
      {"<array><string>http://intranet/files</string><string></string><integer>3</integer>"
       "<string>smb://server/share</string><string>http://intranet/files</string><dict/></array>",
       PrefArray{"http://intranet/files", "", std::nullopt, "smb://server/share", "http://intranet/files",
                 std::nullopt}},
      {"<array/>", PrefArray{}},
      {"<string>http://intranet/files</string>", std::nullopt},
      {"<dict><key>0</key><string>x</string></dict>", std::nullopt},
  };
  for (const auto& [stored, expected] : kCases) {
    Store(std::string("<key>Prefixes</key>") + stored);
    EXPECT_EQ(CopyPrefixesSetting(), expected) << stored;
  }
}

std::string Text(bool value) { return value ? "true" : "false"; }

std::string Text(const std::optional<PrefArray>& prefixes) {
  if (!prefixes) return "none";
  std::string text;
  for (const std::optional<std::string>& prefix : *prefixes) text += (prefix ? *prefix : "<none>") + ";";
  return text;
}

TEST_F(SettingsTest, OnlyTheSynchronizingReadersSeeAnotherWriterAtOnce) {
  // A reader of `key`, shown as text, and whether it synchronizes first; the
  // value its first reading sees (none: there is no file yet), and the one
  // someone else writes later (empty: the key is removed).
  const struct {
    const char* key;
    bool synchronizes;
    std::function<std::string()> read;
    const char *before, *textBefore, *after, *textAfter;
  } kReaders[] = {
      {"LabelItems", false, [] { return Text(LabelItems()); }, "<true/>", "true", "<false/>", "false"},
      {"LabelItems", false, [] { return Text(LabelItems()); }, nullptr, "false", "<true/>", "true"},
      {"IncludeAll", false, [] { return Text(IncludeAll()); }, "<false/>", "false", "<true/>", "true"},
      {"IncludeFolderPaths", false, [] { return Text(IncludeCopyFolderPaths()); }, "<false/>", "false", "", "true"},
      {"MakeAsSubmenu", true, [] { return Text(MakeAsSubmenu()); }, "<false/>", "false", "<true/>", "true"},
      {"MakeAsSubmenu", true, [] { return Text(MakeAsSubmenu()); }, nullptr, "true", "<false/>", "false"},
      {"MultipathSeparator", true, [] { return MultipathSeparator(); }, "<string>, </string>", ", ",
       "<string>|</string>", "|"},
      {"IncludeUNCWindowsStyle", true, [] { return Text(IncludeMenuItem("IncludeUNCWindowsStyle", false)); },
       "<true/>", "true", "<false/>", "false"},
      {"Prefixes", true, [] { return Text(CopyPrefixesSetting()); }, "<array><string>a</string></array>", "a;",
       "<array><string>a</string><integer>1</integer></array>", "a;<none>;"},
      {"ShowClipboardInMenu", true, [] { return Text(ShowClipboardInMenu()); }, nullptr, "false", "<true/>", "true"},
      {"IncludeAFPURL", false, [] { return Text(CopyBooleanSetting("IncludeAFPURL").value_or(true)); }, "<false/>",
       "false", "", "true"},
      // The window shows a stored value that is no array as it is.
      {"Prefixes", false,
       [] {
         const std::optional<PrefValue> value = CopyStoredPrefixes();
         const std::string* text = value ? std::get_if<std::string>(&*value) : nullptr;
         return text != nullptr ? *text : std::string("none");
       },
       "<string>p</string>", "p", "", "none"},
  };
  int index = 0;
  for (const auto& reader : kReaders) {
    SCOPED_TRACE(reader.key + std::string(reader.before ? "" : ", no file at first"));
    const auto entries = [&](std::string_view value) {
      return XmlPropertyList(value.empty() ? "" : "<key>" + std::string(reader.key) + "</key>" + std::string(value));
    };
    // Each case gets its own file, and so a fresh view of the domain.
    const std::string folder = user_.root() + "/" + std::to_string(++index);
    ::setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
    const std::string file = folder + "/com.corvane.KestrineCM.plist";
    ASSERT_TRUE(!reader.before || WriteFileAtomically(file, entries(reader.before)));
    EXPECT_EQ(reader.read(), reader.textBefore);

    ASSERT_TRUE(WriteFileAtomically(file, entries(reader.after)));
    if (!reader.synchronizes) {
      EXPECT_EQ(reader.read(), reader.textBefore);
      ASSERT_TRUE(CFPreferencesAppSynchronize(kKestrineDomain));
    }
    EXPECT_EQ(reader.read(), reader.textAfter);
  }
}

TEST_F(SettingsTest, WritersStoreAtOnceAndKeepOtherKeys) {
  Store("<key>IncludeAFPURL</key><false/>");
  EXPECT_FALSE(IncludeMenuItem("IncludeAFPURL", true));

  EXPECT_TRUE(SetBooleanSetting("LabelItems", true));
  EXPECT_TRUE(SetMultipathSeparator("\t"));
  EXPECT_TRUE(SetPrefixesSetting({"http://a/", "", "smb://b/"}));
  // Another process sees the values, and the key stored before, at its first reading.
  const pid_t child = StartChild([] {
    const bool seen = LabelItems() && MultipathSeparator() == "\t" && !IncludeMenuItem("IncludeAFPURL", true) &&
                      CopyPrefixesSetting() == PrefArray{"http://a/", "", "smb://b/"};
    return seen ? 0 : 1;
  });
  EXPECT_EQ(WaitForChild(child), 0);

  EXPECT_TRUE(SetBooleanSetting("LabelItems", false));
  EXPECT_TRUE(SetPrefixesSetting({}));
  EXPECT_FALSE(LabelItems());
  EXPECT_EQ(CopyPrefixesSetting(), PrefArray{});
  EXPECT_NE(ReadFile(File())->find("<key>Prefixes</key>\n\t<array/>"), std::string::npos);
}

TEST_F(SettingsTest, SettingsBeginningWithAByteOrderMarkAreReadAndKept) {
  const std::string entries = "<key>LabelItems</key><true/><key>MultipathSeparator</key><string>; </string>"
                              "<key>Prefixes</key><array><string>p</string></array>";
  ASSERT_TRUE(WriteFileAtomically(File(), "\xEF\xBB\xBF" + XmlPropertyList(entries)));
  EXPECT_EQ(MultipathSeparator(), "; ");
  EXPECT_TRUE(LabelItems());
  EXPECT_TRUE(SetBooleanSetting("IncludeAll", false));
  EXPECT_EQ(ReadFile(File()), XmlPropertyList("\t<key>LabelItems</key>\n\t<true/>\n"
                                              "\t<key>MultipathSeparator</key>\n\t<string>; </string>\n"
                                              "\t<key>Prefixes</key>\n\t<array>\n\t\t<string>p</string>\n\t</array>\n"
                                              "\t<key>IncludeAll</key>\n\t<false/>\n"));
  EXPECT_EQ(FolderNames(config_),
            (std::vector<std::string>{"com.corvane.KestrineCM.plist", "com.corvane.KestrineCM.plist.lock"}));
}

TEST_F(SettingsTest, WritersReportAStoreThatCannotBeWritten) {
  ASSERT_TRUE(std::filesystem::create_directories(File()));  // A folder in the file's place.
  EXPECT_FALSE(SetBooleanSetting("LabelItems", true));
  EXPECT_TRUE(std::filesystem::is_directory(File()));
}

}  // namespace
