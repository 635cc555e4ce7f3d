#include "platform/preferences/preferences.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/preferences/preferences_test_support.h"
#include "platform/preferences/preferences_testing.h"

namespace {

using kestrine_testing::FolderNames;
using kestrine_testing::PollChild;
using kestrine_testing::ReadFile;
using kestrine_testing::StartChild;
using preferences_test::TemporaryHome;
using kestrine_testing::WaitForChild;
using preferences_test::WriteFileAtomically;
using preferences_test::XmlDictionary;

constexpr std::string_view kDomain = "com.corvane.KestrineCM";

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using Plist = std::unique_ptr<void, PlistFree>;

Plist ParseText(const std::string& text) {
  plist_t root = nullptr;
  plist_from_xml(text.data(), static_cast<uint32_t>(text.size()), &root);
  return Plist(root);
}

std::string ToXml(plist_t node) {
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(node, &xml, &length);
  std::string text(xml, length);
  plist_to_xml_free(xml);
  return text;
}

std::string Repeat(std::string_view piece, int times) {
  std::string text;
  text.reserve(piece.size() * static_cast<std::size_t>(times));
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

std::optional<PrefValue> Copy(std::string_view key) { return CFPreferencesCopyAppValue(key, kDomain); }

class PreferencesTest : public ::testing::Test {
 protected:
  std::string File() const { return home_.FileOf(kDomain); }
  bool WriteEntries(std::string_view entries) const {
    return WriteFileAtomically(File(), XmlDictionary(entries));
  }
  // The file's dictionary as libplist reads it; null when it is not one.
  Plist FileDictionary() const {
    const std::optional<std::string> text = ReadFile(File());
    if (!text) return nullptr;
    Plist root = ParseText(*text);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return nullptr;
    return root;
  }
  std::vector<std::string> FileKeys() const {
    std::vector<std::string> keys;
    Plist dict = FileDictionary();
    if (!dict) return keys;
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(dict.get(), &iterator);
    for (;;) {
      char* key = nullptr;
      plist_t value = nullptr;
      plist_dict_next_item(dict.get(), iterator, &key, &value);
      if (!key) break;
      keys.emplace_back(key);
      free(key);
    }
    free(iterator);
    std::sort(keys.begin(), keys.end());
    return keys;
  }
  std::vector<std::string> DamagedFiles() const {
    std::vector<std::string> damaged;
    for (const std::string& name : FolderNames(home_.ConfigFolder())) {
      if (name.find(".damaged-") != std::string::npos) damaged.push_back(name);
    }
    return damaged;
  }

  TemporaryHome home_;
};

TEST_F(PreferencesTest, FilePathFollowsTheEnvironmentAtCallTime) {
  EXPECT_EQ(CFPreferencesFilePath(kDomain), home_.ConfigFolder() + "/com.corvane.KestrineCM.plist");
  EXPECT_EQ(CFPreferencesFilePath("org.example.Other"), home_.ConfigFolder() + "/org.example.Other.plist");

  ::setenv("XDG_CONFIG_HOME", (home_.root() + "/elsewhere//").c_str(), 1);
  EXPECT_EQ(CFPreferencesFilePath(kDomain), home_.root() + "/elsewhere/com.corvane.KestrineCM.plist");

  // An empty or relative setting is not used.
  ::setenv("XDG_CONFIG_HOME", "", 1);
  EXPECT_EQ(CFPreferencesFilePath(kDomain), home_.root() + "/home/.config/com.corvane.KestrineCM.plist");
  ::setenv("XDG_CONFIG_HOME", "relative/config", 1);
  EXPECT_EQ(CFPreferencesFilePath(kDomain), home_.root() + "/home/.config/com.corvane.KestrineCM.plist");
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(CFPreferencesFilePath(kDomain), home_.root() + "/home/.config/com.corvane.KestrineCM.plist");

  // Without HOME the password file names the home folder.
  ::unsetenv("HOME");
  const std::string path = CFPreferencesFilePath(kDomain);
  EXPECT_TRUE(path.ends_with("/.config/com.corvane.KestrineCM.plist")) << path;
  EXPECT_EQ(path.front(), '/');
}

TEST_F(PreferencesTest, IdentifiersThatCannotNameAFileDoNothing) {
  for (std::string_view id : {std::string_view(""), std::string_view("."), std::string_view(".."),
                              std::string_view("a/b"), std::string_view("a\0b", 3)}) {
    EXPECT_EQ(CFPreferencesFilePath(id), "") << id;
    CFPreferencesSetAppValue("Key", PrefValue(true), id);
    EXPECT_EQ(CFPreferencesCopyAppValue("Key", id), std::nullopt);
    EXPECT_FALSE(CFPreferencesAppSynchronize(id));
  }
  EXPECT_FALSE(std::filesystem::exists(home_.ConfigFolder()));
}

TEST_F(PreferencesTest, ReadsEveryTypeOfAHandWrittenFile) {
  ASSERT_TRUE(WriteEntries(
      "\t<key>Yes</key>\n\t<true/>\n"
      "\t<key>No</key>\n\t<false/>\n"
      "\t<key>Text</key>\n\t<string>caf\xC3\xA9 &amp; &lt;tab&gt;\t</string>\n"
      "\t<key>Empty</key>\n\t<string></string>\n"
      "\t<key>List</key>\n\t<array>\n\t\t<string>a</string>\n\t\t<integer>3</integer>\n"
      "\t\t<string></string>\n\t\t<dict/>\n\t\t<true/>\n\t</array>\n"
      "\t<key>NoItems</key>\n\t<array/>\n"
      "\t<key>Number</key>\n\t<integer>-7</integer>\n"
      "\t<key>Fraction</key>\n\t<real>0.5</real>\n"
      "\t<key>When</key>\n\t<date>2020-01-02T03:04:05Z</date>\n"
      "\t<key>Bytes</key>\n\t<data>AAEC</data>\n"
      "\t<key>Nested</key>\n\t<dict><key>x</key><true/></dict>\n"));

  EXPECT_EQ(Copy("Yes"), PrefValue(true));
  EXPECT_EQ(Copy("No"), PrefValue(false));
  EXPECT_EQ(Copy("Text"), PrefValue(std::string("caf\xC3\xA9 & <tab>\t")));
  EXPECT_EQ(Copy("Empty"), PrefValue(std::string()));
  EXPECT_EQ(Copy("List"), PrefValue(PrefArray{"a", std::nullopt, "", std::nullopt, std::nullopt}));
  EXPECT_EQ(Copy("NoItems"), PrefValue(PrefArray{}));
  EXPECT_EQ(Copy("Number"), PrefValue(PrefOther{"integer"}));
  EXPECT_EQ(Copy("Fraction"), PrefValue(PrefOther{"real"}));
  EXPECT_EQ(Copy("When"), PrefValue(PrefOther{"date"}));
  EXPECT_EQ(Copy("Bytes"), PrefValue(PrefOther{"data"}));
  EXPECT_EQ(Copy("Nested"), PrefValue(PrefOther{"dict"}));
  EXPECT_EQ(Copy("Absent"), std::nullopt);
  EXPECT_EQ(Copy("yes"), std::nullopt);  // Keys are case-sensitive.
}

TEST_F(PreferencesTest, ReadsAFileWrittenWithLibplist) {
  Plist dict(plist_new_dict());
  plist_dict_set_item(dict.get(), "Flag", plist_new_bool(1));
  plist_dict_set_item(dict.get(), "Separator", plist_new_string("\r\n"));
  plist_t list = plist_new_array();
  plist_array_append_item(list, plist_new_string("smb://server/share/"));
  plist_array_append_item(list, plist_new_uint(12));
  plist_dict_set_item(dict.get(), "Prefixes", list);
  ASSERT_TRUE(WriteFileAtomically(File(), ToXml(dict.get())));

  EXPECT_EQ(Copy("Flag"), PrefValue(true));
  EXPECT_EQ(Copy("Separator"), PrefValue(std::string("\r\n")));
  EXPECT_EQ(Copy("Prefixes"), PrefValue(PrefArray{"smb://server/share/", std::nullopt}));
}

TEST_F(PreferencesTest, WritesExactXmlAndCreatesTheMissingFolder) {
  EXPECT_EQ(Copy("LabelItems"), std::nullopt);
  EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));  // Nothing to write; no folder is made.
  EXPECT_FALSE(std::filesystem::exists(home_.ConfigFolder()));

  CFPreferencesSetAppValue("LabelItems", PrefValue(true), kDomain);
  CFPreferencesSetAppValue("MultipathSeparator", PrefValue(std::string("\t<&>")), kDomain);
  CFPreferencesSetAppValue("Prefixes", PrefValue(PrefArray{"a", std::nullopt, ""}), kDomain);
  CFPreferencesSetAppValue("Ignored", PrefValue(PrefOther{"integer"}), kDomain);
  CFPreferencesSetAppValue("Ignored", PrefValue(std::string("a\0b", 3)), kDomain);
  CFPreferencesSetAppValue(std::string_view("Nul\0Key", 7), PrefValue(true), kDomain);
  // The view answers at once; the file is written at the synchronize.
  EXPECT_EQ(Copy("LabelItems"), PrefValue(true));
  EXPECT_EQ(Copy("Ignored"), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(File()));

  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(ReadFile(File()), std::string(preferences_test::kXmlHeader) +
                                      "<plist version=\"1.0\">\n"
                                      "<dict>\n"
                                      "\t<key>LabelItems</key>\n"
                                      "\t<true/>\n"
                                      "\t<key>MultipathSeparator</key>\n"
                                      "\t<string>\t&lt;&amp;&gt;</string>\n"
                                      "\t<key>Prefixes</key>\n"
                                      "\t<array>\n"
                                      "\t\t<string>a</string>\n"
                                      "\t\t<string></string>\n"
                                      "\t</array>\n"
                                      "</dict>\n"
                                      "</plist>\n");
  struct stat st;
  ASSERT_EQ(::stat(home_.ConfigFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(::stat(File().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  // Only the file and its lock file remain: no temporary file is left.
  EXPECT_EQ(FolderNames(home_.ConfigFolder()),
            (std::vector<std::string>{"com.corvane.KestrineCM.plist", "com.corvane.KestrineCM.plist.lock"}));

  // Removing a key, and a replaced file keeps its mode.
  ASSERT_EQ(::chmod(File().c_str(), 0644), 0);
  CFPreferencesSetAppValue("Prefixes", std::nullopt, kDomain);
  CFPreferencesSetAppValue("LabelItems", PrefValue(false), kDomain);
  EXPECT_EQ(Copy("Prefixes"), std::nullopt);
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(FileKeys(), (std::vector<std::string>{"LabelItems", "MultipathSeparator"}));
  EXPECT_NE(ReadFile(File())->find("<key>LabelItems</key>\n\t<false/>"), std::string::npos);
  ASSERT_EQ(::stat(File().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(PreferencesTest, TextsSurviveTheFileExactly) {
  const std::vector<std::string> texts = {"\n", "\t", "\\n", "\r\n", " ", "  padded  ", "]]>", "\xE2\x80\x94",
                                          "a\x01z"};
  for (std::size_t i = 0; i < texts.size(); ++i) {
    CFPreferencesSetAppValue("Text" + std::to_string(i), PrefValue(texts[i]), kDomain);
  }
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  // A second process reads them from the file.
  const pid_t child = StartChild([&] {
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (Copy("Text" + std::to_string(i)) != PrefValue(texts[i])) return 1;
    }
    return 0;
  });
  EXPECT_EQ(WaitForChild(child), 0);
}

TEST_F(PreferencesTest, OthersWritesAreSeenOnlyAfterSynchronizing) {
  ASSERT_TRUE(WriteEntries("<key>Mode</key><string>first</string>"));
  EXPECT_EQ(Copy("Mode"), PrefValue(std::string("first")));  // Loaded on first use.

  ASSERT_TRUE(WriteEntries("<key>Mode</key><string>second</string><key>New</key><true/>"));
  EXPECT_EQ(Copy("Mode"), PrefValue(std::string("first")));
  EXPECT_EQ(Copy("New"), std::nullopt);
  EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(Copy("Mode"), PrefValue(std::string("second")));
  EXPECT_EQ(Copy("New"), PrefValue(true));

  // Another process of the store writes.
  const pid_t child = StartChild([] {
    CFPreferencesSetAppValue("Mode", PrefValue(std::string("third")), kDomain);
    return CFPreferencesAppSynchronize(kDomain) ? 0 : 1;
  });
  ASSERT_EQ(WaitForChild(child), 0);
  EXPECT_EQ(Copy("Mode"), PrefValue(std::string("second")));
  EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(Copy("Mode"), PrefValue(std::string("third")));
  EXPECT_EQ(Copy("New"), PrefValue(true));

  // The file is removed.
  ASSERT_EQ(::unlink(File().c_str()), 0);
  EXPECT_EQ(Copy("Mode"), PrefValue(std::string("third")));
  EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(Copy("Mode"), std::nullopt);
}

TEST_F(PreferencesTest, SynchronizingAnUnchangedFileCostsOneStatAndNoParse) {
  ASSERT_TRUE(WriteEntries("<key>A</key><true/>"));
  const PreferencesCounters before = PreferencesCountersForTesting();
  EXPECT_EQ(Copy("A"), PrefValue(true));
  const PreferencesCounters loaded = PreferencesCountersForTesting();
  EXPECT_EQ(loaded.parses, before.parses + 1);

  for (int i = 0; i < 50; ++i) EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
  const PreferencesCounters unchanged = PreferencesCountersForTesting();
  EXPECT_EQ(unchanged.parses, loaded.parses);
  EXPECT_EQ(unchanged.stats, loaded.stats + 50);

  // After this process's own write the file is known too.
  CFPreferencesSetAppValue("B", PrefValue(false), kDomain);
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  const PreferencesCounters written = PreferencesCountersForTesting();
  EXPECT_EQ(written.writes, unchanged.writes + 1);
  EXPECT_EQ(written.parses, unchanged.parses + 1);  // The merge re-reads under the lock.
  EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(PreferencesCountersForTesting().parses, written.parses);

  // A change is parsed once.
  ASSERT_TRUE(WriteEntries("<key>A</key><false/>"));
  EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(PreferencesCountersForTesting().parses, written.parses + 1);
  EXPECT_EQ(Copy("A"), PrefValue(false));
  EXPECT_EQ(Copy("B"), std::nullopt);

  // A missing file stays unparsed.
  ASSERT_EQ(::unlink(File().c_str()), 0);
  EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
  const uint64_t parses = PreferencesCountersForTesting().parses;
  EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(PreferencesCountersForTesting().parses, parses);
}

TEST_F(PreferencesTest, AnInPlaceEditKeepingSizeAndModificationTimeIsSeen) {
  ASSERT_TRUE(WriteEntries("<key>Word</key><string>aaaa</string>"));
  EXPECT_EQ(Copy("Word"), PrefValue(std::string("aaaa")));
  struct stat before;
  ASSERT_EQ(::stat(File().c_str(), &before), 0);
  // The change time ticks coarsely; let it move on.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  {
    std::string text = *ReadFile(File());
    text.replace(text.find("aaaa"), 4, "bbbb");
    std::FILE* out = std::fopen(File().c_str(), "r+");
    ASSERT_NE(out, nullptr);
    std::fwrite(text.data(), 1, text.size(), out);
    std::fclose(out);
  }
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, File().c_str(), times, 0), 0);
  struct stat after;
  ASSERT_EQ(::stat(File().c_str(), &after), 0);
  ASSERT_EQ(after.st_ino, before.st_ino);
  ASSERT_EQ(after.st_size, before.st_size);

  EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(Copy("Word"), PrefValue(std::string("bbbb")));
}

TEST_F(PreferencesTest, EachWrittenVersionIsNewerThanTheOneItReplaces) {
  // Versions written within one tick of the file clock must still differ:
  // here the previous version even claims a time an hour ahead.
  ASSERT_TRUE(WriteEntries("<key>A</key><true/>"));
  struct stat st;
  ASSERT_EQ(::stat(File().c_str(), &st), 0);
  const timespec ahead = {st.st_mtim.tv_sec + 3600, 999'999'999};
  const timespec times[2] = {ahead, ahead};
  ASSERT_EQ(::utimensat(AT_FDCWD, File().c_str(), times, 0), 0);

  CFPreferencesSetAppValue("B", PrefValue(true), kDomain);
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  ASSERT_EQ(::stat(File().c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, ahead.tv_sec + 1);
  EXPECT_EQ(st.st_mtim.tv_nsec, 0);
  EXPECT_EQ(FileKeys(), (std::vector<std::string>{"A", "B"}));
}

TEST_F(PreferencesTest, ProcessViewsAreKeptPerFile) {
  ASSERT_TRUE(WriteEntries("<key>Where</key><string>one</string>"));
  EXPECT_EQ(Copy("Where"), PrefValue(std::string("one")));

  const std::string other = home_.root() + "/other";
  ::setenv("XDG_CONFIG_HOME", other.c_str(), 1);
  ASSERT_TRUE(WriteFileAtomically(other + "/com.corvane.KestrineCM.plist",
                                  XmlDictionary("<key>Where</key><string>two</string>")));
  EXPECT_EQ(Copy("Where"), PrefValue(std::string("two")));
  CFPreferencesSetAppValue("OnlyHere", PrefValue(true), kDomain);

  ::setenv("XDG_CONFIG_HOME", home_.ConfigFolder().c_str(), 1);
  EXPECT_EQ(Copy("Where"), PrefValue(std::string("one")));
  EXPECT_EQ(Copy("OnlyHere"), std::nullopt);
}

TEST_F(PreferencesTest, WritesMergeWithWhatOthersWrote) {
  ASSERT_TRUE(WriteEntries("<key>Keep</key><string>old</string><key>Drop</key><true/>"));
  EXPECT_EQ(Copy("Keep"), PrefValue(std::string("old")));
  CFPreferencesSetAppValue("Mine", PrefValue(true), kDomain);
  CFPreferencesSetAppValue("Drop", std::nullopt, kDomain);

  // Meanwhile someone else changes the file.
  ASSERT_TRUE(WriteEntries(
      "<key>Keep</key><string>new</string><key>Drop</key><true/><key>Theirs</key><false/>"));
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));

  EXPECT_EQ(FileKeys(), (std::vector<std::string>{"Keep", "Mine", "Theirs"}));
  EXPECT_EQ(Copy("Keep"), PrefValue(std::string("new")));
  EXPECT_EQ(Copy("Theirs"), PrefValue(false));
  EXPECT_EQ(Copy("Mine"), PrefValue(true));
  EXPECT_EQ(Copy("Drop"), std::nullopt);

  // Written keys are no longer pending: a later change by others stands.
  ASSERT_TRUE(WriteEntries("<key>Mine</key><false/>"));
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(Copy("Mine"), PrefValue(false));
  EXPECT_EQ(Copy("Keep"), std::nullopt);
}

TEST_F(PreferencesTest, ValuesOfOtherTypesArePreservedAcrossAWrite) {
  const std::string others =
      "<key>Number</key><integer>-42</integer>"
      "<key>Big</key><integer>18446744073709551615</integer>"
      "<key>Fraction</key><real>2.5</real>"
      "<key>When</key><date>2021-06-07T08:09:10Z</date>"
      "<key>Bytes</key><data>SGVsbG8=</data>"
      "<key>Nested</key><dict><key>inner</key><array><integer>1</integer><string>x</string></array></dict>"
      "<key>Mixed</key><array><string>a</string><real>1.5</real><false/></array>";
  ASSERT_TRUE(WriteEntries(others));
  const Plist original = FileDictionary();
  ASSERT_NE(original, nullptr);

  CFPreferencesSetAppValue("Added", PrefValue(std::string("value")), kDomain);
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));

  Plist written = FileDictionary();
  ASSERT_NE(written, nullptr);
  EXPECT_EQ(plist_dict_get_size(written.get()), 8u);
  plist_dict_remove_item(written.get(), "Added");
  EXPECT_EQ(ToXml(written.get()), ToXml(original.get()));
  const std::string text = *ReadFile(File());
  for (std::string_view piece : {"<integer>-42</integer>", "<integer>18446744073709551615</integer>",
                                 "<date>2021-06-07T08:09:10Z</date>", "<real>2.5"}) {
    EXPECT_NE(text.find(piece), std::string::npos) << piece;
  }
  EXPECT_EQ(Copy("Mixed"), PrefValue(PrefArray{"a", std::nullopt, std::nullopt}));
}

// Files that are not a dictionary in XML, each read as an empty domain.
std::vector<std::pair<std::string, std::string>> DamagedContents() {
  std::string binary;
  {
    Plist dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "A", plist_new_bool(1));
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict.get(), &bytes, &length);
    binary.assign(bytes, length);
    plist_to_bin_free(bytes);
  }
  const std::string deep = XmlDictionary("<key>A</key>" + Repeat("<array>", 200000) + Repeat("</array>", 200000));
  // A '>' inside each attribute value, and a closing tag after it.
  const std::string hidden = XmlDictionary("<key>A</key>" + Repeat("<array a=\"></x>\">", 200000) +
                                           Repeat("</array>", 200000));
  std::string crowded;
  for (int i = 0; i <= 16384; ++i) crowded += "<key>k" + std::to_string(i) + "</key><true/>";
  return {
      {"empty", ""},
      {"blank", "  \n\t\n"},
      {"text", "LabelItems = true\n"},
      {"zeros", std::string(64, '\0')},
      {"top-level array", std::string(preferences_test::kXmlHeader) +
                              "<plist version=\"1.0\"><array><string>A</string></array></plist>\n"},
      {"top-level string", "<plist version=\"1.0\"><string>A</string></plist>"},
      {"unclosed string", "<plist version=\"1.0\"><dict><key>A</key><string>x</dict></plist>"},
      {"undefined entity",
       "<!DOCTYPE plist [<!ENTITY e \"x\">]><plist version=\"1.0\"><dict><key>A</key><string>&e;</string>"
       "</dict></plist>"},
      {"binary", binary},
      {"too deep", deep},
      {"nesting hidden in attribute values", hidden},
      {"one level too deep", XmlDictionary("<key>A</key>" + Repeat("<array>", 255) + Repeat("</array>", 255))},
      {"too many keys in one dict", XmlDictionary(crowded)},
      {"mismatched end tag", XmlDictionary("<key>A</key><array></dict></array>")},
      {"a second root", XmlDictionary("<key>A</key><true/>") + "<plist><dict/></plist>"},
      {"'>' in a single-quoted value", "<plist version='>'><dict><key>A</key><true/></dict></plist>"},
      {"'\"' in a single-quoted value",
       "<plist version='\"'><dict><key>A</key><string>\"</string></dict></plist>"},
      {"'<' in a value", "<plist version=\"<\"><dict><key>A</key><true/></dict></plist>"},
      {"'?>' in quotes in an instruction", "<?pi \"?>\" ?>" + XmlDictionary("<key>A</key><true/>")},
      {"an early ']>' in a comment of the internal subset",
       "<!DOCTYPE plist [<!-- ]><plist><dict><key>A</key><true/></dict></plist> -->]>"
       "<plist><dict><key>A</key><array><array/></array></dict></plist>"},
      {"a blank inside the subset's end", "<!DOCTYPE plist [ ] ><plist><dict><key>A</key><true/></dict></plist>"},
      {"a document type after the root", XmlDictionary("<key>A</key><true/>") + "<!DOCTYPE plist>"},
      {"a NUL byte", XmlDictionary(std::string("<key>A</key><string>a\0b</string>", 33))},
      {"UTF-16", std::string("\xFF\xFE<\0p\0l\0i\0s\0t\0>\0", 14)},
  };
}

TEST_F(PreferencesTest, DamagedFilesReadAsEmptyAndAreMovedAsideBeforeAWrite) {
  for (const auto& [name, content] : DamagedContents()) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(WriteFileAtomically(File(), content));
    EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_EQ(Copy("A"), std::nullopt);
    EXPECT_EQ(Copy("LabelItems"), std::nullopt);
    EXPECT_EQ(DamagedFiles(), std::vector<std::string>{});  // Reading leaves the file alone.
    EXPECT_EQ(ReadFile(File()), content);

    CFPreferencesSetAppValue("Written", PrefValue(true), kDomain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_EQ(FileKeys(), std::vector<std::string>{"Written"});
    const std::vector<std::string> damaged = DamagedFiles();
    ASSERT_EQ(damaged.size(), 1u);
    const std::string prefix = "com.corvane.KestrineCM.plist.damaged-";
    ASSERT_TRUE(damaged[0].starts_with(prefix)) << damaged[0];
    const long seconds = std::stol(damaged[0].substr(prefix.size()));
    EXPECT_LE(std::abs(seconds - static_cast<long>(::time(nullptr))), 5);
    EXPECT_EQ(ReadFile(home_.ConfigFolder() + "/" + damaged[0]), content);

    ASSERT_EQ(::unlink((home_.ConfigFolder() + "/" + damaged[0]).c_str()), 0);
    CFPreferencesSetAppValue("Written", std::nullopt, kDomain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  }
}

TEST_F(PreferencesTest, AFileCutShortAnywhereReadsAsEmpty) {
  const std::string whole = XmlDictionary(
      "\t<key>A</key>\n\t<true/>\n\t<key>B</key>\n\t<array>\n\t\t<string>x</string>\n\t</array>\n");
  ASSERT_TRUE(WriteFileAtomically(File(), whole));
  EXPECT_EQ(Copy("A"), PrefValue(true));
  // Every cut but the one that drops only the final line feed.
  for (std::size_t cut = 0; cut + 1 < whole.size(); ++cut) {
    ASSERT_TRUE(WriteFileAtomically(File(), whole.substr(0, cut)));
    ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
    ASSERT_EQ(Copy("A"), std::nullopt) << "cut at " << cut;
    ASSERT_EQ(Copy("B"), std::nullopt) << "cut at " << cut;
  }
  ASSERT_TRUE(WriteFileAtomically(File(), whole.substr(0, whole.size() - 1)));
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(Copy("A"), PrefValue(true));
}

TEST_F(PreferencesTest, MarkupInsideCommentsLiteralsAndSectionsHidesNoElements) {
  std::string entities;
  std::string decoded;
  for (int i = 0; i < 3000; ++i) {
    entities += "a&lt;&#x41;&#66;&amp;";
    decoded += "a<AB&";
  }
  const struct {
    const char* name;
    std::string content;
    PrefValue expected;
  } kCases[] = {
      {"comments", "<!-- <plist> > -->" + XmlDictionary("<!-- <array> -- > --><key>A</key><true/>"), true},
      {"CDATA", XmlDictionary("<key>A</key><string><![CDATA[<array> > ]]]]><![CDATA[>]]></string>"),
       std::string("<array> > ]]>")},
      {"instructions", "<?xml version='1.0' encoding=\"UTF-8\"?><?tool a=\"<x>\" b='y>'?>" +
                           XmlDictionary("<key>A</key><true/>"),
       true},
      {"internal subset",
       "<!DOCTYPE plist PUBLIC '-//Apple//DTD PLIST 1.0//EN' \"x[y]>z\" [\n"
       "  <!ENTITY e \"<array>]>\"> <!ENTITY f 'x'> <!-- a > b --> <?p > ?> %e;\n]>\n"
       "<plist version=\"1.0\"><dict><key>A</key><true/></dict></plist>",
       true},
      {"'>' in a double-quoted value", "<plist version=\">\"><dict><key>A</key><true/></dict></plist>", true},
      {"nesting at the limit", XmlDictionary("<key>A</key>" + Repeat("<array>", 254) + Repeat("</array>", 254)),
       PrefArray{std::nullopt}},
      {"a long text of references", XmlDictionary("<key>A</key><string>" + entities + "</string>"), decoded},
      {"byte-order mark", "\xEF\xBB\xBF" + XmlDictionary("<key>A</key><string>\xC3\xA9</string>"),
       std::string("\xC3\xA9")},
  };
  for (const auto& [name, content, expected] : kCases) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(WriteFileAtomically(File(), content));
    ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_EQ(Copy("A"), expected);
  }
}

TEST_F(PreferencesTest, ADamagedNameAlreadyTakenIsNotOverwritten) {
  ASSERT_TRUE(WriteFileAtomically(File(), "first damage"));
  CFPreferencesSetAppValue("A", PrefValue(true), kDomain);
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  ASSERT_TRUE(WriteFileAtomically(File(), "second damage"));
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  CFPreferencesSetAppValue("B", PrefValue(true), kDomain);
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  ASSERT_TRUE(WriteFileAtomically(File(), "third damage"));
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
  CFPreferencesSetAppValue("C", PrefValue(true), kDomain);
  ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));

  EXPECT_EQ(FileKeys(), std::vector<std::string>{"C"});
  std::vector<std::string> contents;
  for (const std::string& name : DamagedFiles()) {
    contents.push_back(*ReadFile(home_.ConfigFolder() + "/" + name));
  }
  std::sort(contents.begin(), contents.end());
  EXPECT_EQ(contents, (std::vector<std::string>{"first damage", "second damage", "third damage"}));
}

TEST_F(PreferencesTest, AnUnreadableFileIsNeverReplaced) {
  // A folder in the file's place cannot be read, even by root.
  ASSERT_TRUE(std::filesystem::create_directories(File()));
  EXPECT_EQ(Copy("A"), std::nullopt);
  EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));

  CFPreferencesSetAppValue("A", PrefValue(true), kDomain);
  EXPECT_FALSE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(Copy("A"), PrefValue(true));  // Still pending, still seen.
  EXPECT_TRUE(std::filesystem::is_directory(File()));
  EXPECT_EQ(DamagedFiles(), std::vector<std::string>{});

  ASSERT_TRUE(std::filesystem::remove(File()));
  EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(FileKeys(), std::vector<std::string>{"A"});
}

TEST_F(PreferencesTest, AConfigFolderThatIsAFileFailsTheWrite) {
  ASSERT_TRUE(WriteFileAtomically(home_.ConfigFolder(), "not a folder"));
  EXPECT_EQ(Copy("A"), std::nullopt);
  EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
  CFPreferencesSetAppValue("A", PrefValue(true), kDomain);
  EXPECT_FALSE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(Copy("A"), PrefValue(true));
  EXPECT_EQ(ReadFile(home_.ConfigFolder()), "not a folder");
}

TEST_F(PreferencesTest, ThreadsWritingDifferentKeysLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kWrites = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kWrites; ++i) {
        const std::string key = "t" + std::to_string(t) + "-" + std::to_string(i);
        CFPreferencesSetAppValue(key, PrefValue(key), kDomain);
        CFPreferencesAppSynchronize(kDomain);
        (void)Copy(key);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::vector<std::string> keys = FileKeys();
  EXPECT_EQ(keys.size(), static_cast<std::size_t>(kThreads * kWrites));
  EXPECT_EQ(Copy("t3-39"), PrefValue(std::string("t3-39")));
}

TEST_F(PreferencesTest, ProcessesWritingDifferentKeysLoseNothing) {
  constexpr int kWrites = 150;
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    children.push_back(StartChild([p] {
      for (int i = 0; i < kWrites; ++i) {
        const std::string key = "p" + std::to_string(p) + "-" + std::to_string(i);
        CFPreferencesSetAppValue(key, PrefValue(true), kDomain);
        if (!CFPreferencesAppSynchronize(kDomain)) return 1;
        if (Copy(key) != PrefValue(true)) return 2;
      }
      return 0;
    }));
  }
  for (pid_t child : children) EXPECT_EQ(WaitForChild(child), 0);

  const std::vector<std::string> keys = FileKeys();
  ASSERT_EQ(keys.size(), static_cast<std::size_t>(2 * kWrites));
  for (int p = 0; p < 2; ++p) {
    for (int i = 0; i < kWrites; ++i) {
      const std::string key = "p" + std::to_string(p) + "-" + std::to_string(i);
      EXPECT_TRUE(std::binary_search(keys.begin(), keys.end(), key)) << key;
    }
  }
  EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
  EXPECT_EQ(Copy("p1-149"), PrefValue(true));
}

TEST_F(PreferencesTest, ProcessesWritingOneKeyAtOnceNeverLeaveADamagedFile) {
  constexpr int kWrites = 150;
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    children.push_back(StartChild([p] {
      for (int i = 0; i < kWrites; ++i) {
        // Values of changing length, so that a torn file would show.
        const std::string value(static_cast<std::size_t>(1 + (i * 7 + p * 3) % 50), p == 0 ? 'x' : 'y');
        CFPreferencesSetAppValue("Shared", PrefValue(value), kDomain);
        if (!CFPreferencesAppSynchronize(kDomain)) return 1;
      }
      return 0;
    }));
  }
  // Meanwhile every version of the file seen is whole.
  std::vector<std::optional<int>> results(children.size());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  int readings = 0;
  bool whole = true;
  while (std::chrono::steady_clock::now() < deadline &&
         std::any_of(results.begin(), results.end(), [](const auto& r) { return !r; })) {
    if (const std::optional<std::string> text = ReadFile(File())) {
      const Plist dict = ParseText(*text);
      if (!dict || plist_get_node_type(dict.get()) != PLIST_DICT || plist_dict_get_size(dict.get()) != 1) {
        whole = false;
      }
      ++readings;
    }
    for (std::size_t c = 0; c < children.size(); ++c) {
      if (!results[c]) results[c] = PollChild(children[c]);
    }
  }
  for (std::size_t c = 0; c < children.size(); ++c) {
    if (!results[c]) results[c] = WaitForChild(children[c]);
    EXPECT_EQ(results[c], 0);
  }
  EXPECT_TRUE(whole);
  EXPECT_GT(readings, 0);
  EXPECT_EQ(FileKeys(), std::vector<std::string>{"Shared"});
  EXPECT_EQ(DamagedFiles(), std::vector<std::string>{});
  EXPECT_EQ(FolderNames(home_.ConfigFolder()),
            (std::vector<std::string>{"com.corvane.KestrineCM.plist", "com.corvane.KestrineCM.plist.lock"}));
  EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
  const std::optional<PrefValue> last = Copy("Shared");
  ASSERT_TRUE(last && std::holds_alternative<std::string>(*last));
}

}  // namespace
