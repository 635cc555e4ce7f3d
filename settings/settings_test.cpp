#include "settings/settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/preferences/preferences_test_support.h"

namespace {

using kestrine_testing::ReadFile;
using kestrine_testing::StartChild;
using preferences_test::TemporaryHome;
using kestrine_testing::WaitForChild;
using preferences_test::WriteFileAtomically;
using preferences_test::XmlDictionary;

constexpr const char* kFormKeys[] = {
    "IncludePosixPath", "IncludeEncodedPosixPath", "IncludeTildePosixPath", "IncludeTerminalPath",
    "IncludeHFSPath",   "IncludeFilename",         "IncludeDisplayFilename", "IncludeExtension",
    "IncludeUNCWindowsStyle", "IncludeAFPURL",     "ShowClipboardInMenu"};

class SettingsTest : public ::testing::Test {
 protected:
  std::string File() const { return home_.FileOf(kKestrineDomain); }
  // Replaces the settings file, as the user's plist tools would.
  void Store(std::string_view entries) const {
    ASSERT_TRUE(WriteFileAtomically(File(), XmlDictionary(entries)));
  }

  TemporaryHome home_;
};

TEST_F(SettingsTest, AnEmptyDomainGivesEveryDefault) {
  EXPECT_FALSE(LabelItems());
  EXPECT_TRUE(IncludeAll());
  EXPECT_TRUE(IncludeCopyFolderPaths());
  EXPECT_TRUE(MakeAsSubmenu());
  EXPECT_EQ(MultipathSeparator(), "\n");
  EXPECT_EQ(CopyPrefixesSetting(), std::nullopt);
  for (const char* key : kFormKeys) {
    EXPECT_TRUE(IncludeMenuItem(key, true)) << key;
    EXPECT_FALSE(IncludeMenuItem(key, false)) << key;
  }
  // Reading creates nothing.
  EXPECT_FALSE(std::filesystem::exists(home_.ConfigFolder()));

  // A file holding an empty dictionary is the same.
  Store("");
  EXPECT_TRUE(MakeAsSubmenu());
  EXPECT_FALSE(LabelItems());
  EXPECT_TRUE(IncludeAll());
  EXPECT_EQ(MultipathSeparator(), "\n");
}

TEST_F(SettingsTest, StoredBooleansAreReturned) {
  Store(
      "<key>LabelItems</key><true/><key>IncludeAll</key><false/>"
      "<key>IncludeFolderPaths</key><false/><key>MakeAsSubmenu</key><false/>"
      "<key>IncludeUNCWindowsStyle</key><true/><key>IncludeHFSPath</key><false/>");
  EXPECT_TRUE(LabelItems());
  EXPECT_FALSE(IncludeAll());
  EXPECT_FALSE(IncludeCopyFolderPaths());
  EXPECT_FALSE(MakeAsSubmenu());
  EXPECT_TRUE(IncludeMenuItem("IncludeUNCWindowsStyle", false));
  EXPECT_FALSE(IncludeMenuItem("IncludeHFSPath", true));
  EXPECT_TRUE(IncludeMenuItem("IncludePosixPath", true));
}

TEST_F(SettingsTest, ValuesOfTheWrongTypeCountAsAbsent) {
  Store(
      "<key>IncludeAll</key><string>false</string>"
      "<key>LabelItems</key><integer>1</integer>"
      "<key>IncludeFolderPaths</key><integer>0</integer>"
      "<key>MakeAsSubmenu</key><string>NO</string>"
      "<key>IncludeFilename</key><integer>0</integer>"
      "<key>IncludeUNCWindowsStyle</key><string>YES</string>"
      "<key>ShowClipboardInMenu</key><array><true/></array>"
      "<key>IncludeCopyFolderPaths</key><false/>");  // Not the key that IncludeCopyFolderPaths reads.
  EXPECT_TRUE(IncludeAll());
  EXPECT_FALSE(LabelItems());
  EXPECT_TRUE(IncludeCopyFolderPaths());
  EXPECT_TRUE(MakeAsSubmenu());
  EXPECT_TRUE(IncludeMenuItem("IncludeFilename", true));
  EXPECT_FALSE(IncludeMenuItem("IncludeUNCWindowsStyle", false));
  EXPECT_TRUE(IncludeMenuItem("IncludeUNCWindowsStyle", true));
  EXPECT_FALSE(IncludeMenuItem("ShowClipboardInMenu", false));

  Store(
      "<key>IncludeAll</key><integer>0</integer>"
      "<key>LabelItems</key><string>true</string>"
      "<key>MakeAsSubmenu</key><real>0</real>");
  EXPECT_TRUE(MakeAsSubmenu());
  EXPECT_TRUE(IncludeAll());
  EXPECT_FALSE(LabelItems());

  Store("<key>LabelItems</key><dict><key>LabelItems</key><true/></dict>");
  EXPECT_TRUE(MakeAsSubmenu());
  EXPECT_FALSE(LabelItems());
}

TEST_F(SettingsTest, TheSeparatorIsUsedVerbatim) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"<string></string>", "\n"},
      {"<string/>", "\n"},
      {"<string>\t</string>", "\t"},
      {"<string>&#9;</string>", "\t"},
      {"<string>\\n</string>", "\\n"},
      {"<string>, </string>", ", "},
      {"<string> </string>", " "},
      {"<string>\r\n</string>", "\r\n"},
      {"<string>&lt;br&gt;</string>", "<br>"},
      {"<integer>9</integer>", "\n"},
      {"<array><string>;</string></array>", "\n"},
      {"<true/>", "\n"},
  };
  for (const auto& [stored, expected] : cases) {
    Store("<key>MultipathSeparator</key>" + stored);
    EXPECT_EQ(MultipathSeparator(), expected) << stored;
  }
}

TEST_F(SettingsTest, PrefixesAreReturnedAsStored) {
  Store(
      "<key>Prefixes</key><array>"
      "<string>http://intranet/files</string><string></string><integer>3</integer>"
      "<string>smb://server/share</string><string>http://intranet/files</string><dict/>"
      "</array>");
  EXPECT_EQ(CopyPrefixesSetting(),
            (PrefArray{"http://intranet/files", "", std::nullopt, "smb://server/share", "http://intranet/files",
                       std::nullopt}));

  Store("<key>Prefixes</key><array/>");
  EXPECT_EQ(CopyPrefixesSetting(), PrefArray{});

  Store("<key>Prefixes</key><string>http://intranet/files</string>");
  EXPECT_EQ(CopyPrefixesSetting(), std::nullopt);

  Store("<key>Prefixes</key><dict><key>0</key><string>x</string></dict>");
  EXPECT_EQ(CopyPrefixesSetting(), std::nullopt);
}

// A reader, shown as text, and whether it synchronizes first.
struct ReaderCase {
  const char* name;
  bool synchronizes;
  std::function<std::string()> read;
  const char* before;  // File entries that the first reading sees,
  std::string valueBefore;
  const char* after;  // and those that someone else writes later.
  std::string valueAfter;
};

std::string Text(bool value) { return value ? "true" : "false"; }

std::string Text(const std::optional<PrefArray>& prefixes) {
  if (!prefixes) return "none";
  std::string text;
  for (const std::optional<std::string>& prefix : *prefixes) text += (prefix ? *prefix : "<none>") + ";";
  return text;
}

TEST_F(SettingsTest, OnlyTheSynchronizingReadersSeeAnotherWriterAtOnce) {
  const std::vector<ReaderCase> readers = {
      {"LabelItems", false, [] { return Text(LabelItems()); }, "<key>LabelItems</key><true/>", "true",
       "<key>LabelItems</key><false/>", "false"},
      {"IncludeAll", false, [] { return Text(IncludeAll()); }, "<key>IncludeAll</key><false/>", "false",
       "<key>IncludeAll</key><true/>", "true"},
      {"IncludeCopyFolderPaths", false, [] { return Text(IncludeCopyFolderPaths()); },
       "<key>IncludeFolderPaths</key><false/>", "false", "", "true"},
      {"MakeAsSubmenu", true, [] { return Text(MakeAsSubmenu()); }, "<key>MakeAsSubmenu</key><false/>", "false",
       "<key>MakeAsSubmenu</key><true/>", "true"},
      {"MultipathSeparator", true, [] { return MultipathSeparator(); },
       "<key>MultipathSeparator</key><string>, </string>", ", ",
       "<key>MultipathSeparator</key><string>|</string>", "|"},
      {"IncludeMenuItem", true, [] { return Text(IncludeMenuItem("IncludeUNCWindowsStyle", false)); },
       "<key>IncludeUNCWindowsStyle</key><true/>", "true", "<key>IncludeUNCWindowsStyle</key><false/>", "false"},
      {"CopyPrefixesSetting", true, [] { return Text(CopyPrefixesSetting()); },
       "<key>Prefixes</key><array><string>a</string></array>", "a;",
       "<key>Prefixes</key><array><string>a</string><integer>1</integer></array>", "a;<none>;"},
  };
  for (const ReaderCase& reader : readers) {
    SCOPED_TRACE(reader.name);
    // Each case gets its own file, and so a fresh view of the domain.
    const std::string folder = home_.root() + "/" + reader.name;
    ::setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
    const std::string file = folder + "/com.corvane.KestrineCM.plist";
    ASSERT_TRUE(WriteFileAtomically(file, XmlDictionary(reader.before)));
    EXPECT_EQ(reader.read(), reader.valueBefore);

    ASSERT_TRUE(WriteFileAtomically(file, XmlDictionary(reader.after)));
    if (reader.synchronizes) {
      EXPECT_EQ(reader.read(), reader.valueAfter);
    } else {
      EXPECT_EQ(reader.read(), reader.valueBefore);
      ASSERT_TRUE(CFPreferencesAppSynchronize(kKestrineDomain));
      EXPECT_EQ(reader.read(), reader.valueAfter);
    }
  }
}

TEST_F(SettingsTest, WritersStoreAtOnceAndKeepOtherKeys) {
  Store("<key>IncludeAFPURL</key><false/><key>Custom</key><integer>5</integer>");
  EXPECT_FALSE(IncludeMenuItem("IncludeAFPURL", true));

  EXPECT_TRUE(SetBooleanSetting("LabelItems", true));
  EXPECT_TRUE(SetMultipathSeparator("\t"));
  EXPECT_TRUE(SetPrefixesSetting({"http://a/", "", "smb://b/"}));
  EXPECT_EQ(ReadFile(File()), XmlDictionary(
                                      "\t<key>IncludeAFPURL</key>\n\t<false/>\n"
                                      "\t<key>Custom</key>\n\t<integer>5</integer>\n"
                                      "\t<key>LabelItems</key>\n\t<true/>\n"
                                      "\t<key>MultipathSeparator</key>\n\t<string>\t</string>\n"
                                      "\t<key>Prefixes</key>\n\t<array>\n\t\t<string>http://a/</string>\n"
                                      "\t\t<string></string>\n\t\t<string>smb://b/</string>\n\t</array>\n"));

  // Another process sees the values at its first reading.
  const pid_t child = StartChild([] {
    const bool ok = LabelItems() && MultipathSeparator() == "\t" &&
                    CopyPrefixesSetting() == PrefArray{"http://a/", "", "smb://b/"} &&
                    !IncludeMenuItem("IncludeAFPURL", true);
    return ok ? 0 : 1;
  });
  EXPECT_EQ(WaitForChild(child), 0);

  EXPECT_TRUE(SetBooleanSetting("LabelItems", false));
  EXPECT_TRUE(SetPrefixesSetting({}));
  EXPECT_FALSE(LabelItems());
  EXPECT_EQ(CopyPrefixesSetting(), PrefArray{});
  EXPECT_NE(ReadFile(File())->find("<key>Prefixes</key>\n\t<array/>"), std::string::npos);
}

TEST_F(SettingsTest, AWriterInAnotherProcessIsSeenByTheNextSynchronizingReader) {
  EXPECT_TRUE(MakeAsSubmenu());
  EXPECT_EQ(MultipathSeparator(), "\n");
  EXPECT_FALSE(LabelItems());
  // The file this child writes comes from the library's own plist writer.
  const pid_t child = StartChild([] {
    return SetBooleanSetting("MakeAsSubmenu", false) && SetBooleanSetting("LabelItems", true) &&
                   SetMultipathSeparator(" / ") && SetPrefixesSetting({"file:///srv"})
               ? 0
               : 1;
  });
  ASSERT_EQ(WaitForChild(child), 0);
  EXPECT_FALSE(LabelItems());
  EXPECT_FALSE(MakeAsSubmenu());
  EXPECT_TRUE(LabelItems());
  EXPECT_EQ(MultipathSeparator(), " / ");
  EXPECT_EQ(CopyPrefixesSetting(), PrefArray{"file:///srv"});
}

TEST_F(SettingsTest, DamagedSettingsGiveDefaultsAndAreKeptAside) {
  for (const std::string& content :
       {std::string("<plist version=\"1.0\"><dict><key>LabelItems</key><true/>"),
        std::string("<plist version=\"1.0\"><array><true/></array></plist>"), std::string(),
        std::string("\x00\x01\x02", 3)}) {
    ASSERT_TRUE(WriteFileAtomically(File(), content));
    EXPECT_TRUE(MakeAsSubmenu());
    EXPECT_FALSE(LabelItems());
    EXPECT_TRUE(IncludeAll());
    EXPECT_EQ(MultipathSeparator(), "\n");
    EXPECT_EQ(CopyPrefixesSetting(), std::nullopt);
  }
  EXPECT_TRUE(SetBooleanSetting("IncludeAll", false));
  EXPECT_FALSE(IncludeAll());
  EXPECT_EQ(ReadFile(File()), XmlDictionary("\t<key>IncludeAll</key>\n\t<false/>\n"));
  int damaged = 0;
  for (const std::string& name : kestrine_testing::FolderNames(home_.ConfigFolder())) {
    if (name.starts_with("com.corvane.KestrineCM.plist.damaged-")) ++damaged;
  }
  EXPECT_EQ(damaged, 1);
}

TEST_F(SettingsTest, SettingsBeginningWithAByteOrderMarkAreReadAndKept) {
  ASSERT_TRUE(WriteFileAtomically(
      File(), "\xEF\xBB\xBF" + XmlDictionary("<key>LabelItems</key><true/><key>MultipathSeparator</key>"
                                             "<string>; </string><key>Prefixes</key><array><string>p</string></array>")));
  EXPECT_EQ(MultipathSeparator(), "; ");
  EXPECT_TRUE(LabelItems());
  EXPECT_TRUE(SetBooleanSetting("IncludeAll", false));
  EXPECT_EQ(ReadFile(File()), XmlDictionary("\t<key>LabelItems</key>\n\t<true/>\n"
                                                "\t<key>MultipathSeparator</key>\n\t<string>; </string>\n"
                                                "\t<key>Prefixes</key>\n\t<array>\n\t\t<string>p</string>\n\t</array>\n"
                                                "\t<key>IncludeAll</key>\n\t<false/>\n"));
  EXPECT_EQ(kestrine_testing::FolderNames(home_.ConfigFolder()),
            (std::vector<std::string>{"com.corvane.KestrineCM.plist", "com.corvane.KestrineCM.plist.lock"}));
}

TEST_F(SettingsTest, WritersReportAStoreThatCannotBeWritten) {
  ASSERT_TRUE(std::filesystem::create_directories(File()));  // A folder in the file's place.
  EXPECT_FALSE(SetBooleanSetting("LabelItems", true));
  EXPECT_FALSE(SetMultipathSeparator(";"));
  EXPECT_FALSE(SetPrefixesSetting({"x"}));
  EXPECT_TRUE(std::filesystem::is_directory(File()));
}

}  // namespace
