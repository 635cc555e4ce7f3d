#include "platform/preferences/preferences.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/preferences/preferences_test_support.h"
#include "platform/preferences/preferences_testing.h"
#include "platform/preferences/xml_check.h"

namespace {

using kestrine_testing::FolderNames, kestrine_testing::ReadFile, kestrine_testing::StartChild,
    kestrine_testing::WaitForChild, kestrine_testing::XmlPropertyList;
using preferences_test::WriteFileAtomically;
using Names = std::vector<std::string>;

constexpr std::string_view kDomain = "com.corvane.KestrineCM";
const Names kFileAndLock = {"com.corvane.KestrineCM.plist", "com.corvane.KestrineCM.plist.lock"};

using Plist = PlistPtr;

// The top-level dictionary of `text` as libplist reads it; null when there is none.
Plist ParseDictionary(const std::string& text) {
  plist_t root = nullptr;
  plist_from_xml(text.data(), static_cast<uint32_t>(text.size()), &root);
  Plist dict(root);
  if (dict && plist_get_node_type(root) != PLIST_DICT) dict.reset();
  return dict;
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
  while (times-- > 0) text += piece;
  return text;
}

std::optional<PrefValue> Copy(std::string_view key) { return CFPreferencesCopyAppValue(key, kDomain); }
void Set(std::string_view key, std::optional<PrefValue> value) { CFPreferencesSetAppValue(key, value, kDomain); }
bool Sync() { return CFPreferencesAppSynchronize(kDomain); }
unsigned Mode(const std::string& path) { return static_cast<unsigned>(std::filesystem::status(path).permissions()); }

// Starts two processes, each exiting with what `body` returns for its number.
std::vector<pid_t> StartWriters(const std::function<int(int)>& body) {
  return {StartChild([&] { return body(0); }), StartChild([&] { return body(1); })};
}

class PreferencesTest : public ::testing::Test {
 protected:
  // The configuration folder is left for the store to create.
  PreferencesTest() { std::filesystem::remove(config_); }
  std::string File() const { return user_.SettingsPath(); }
  bool WriteEntries(std::string_view entries) const { return WriteFileAtomically(File(), XmlPropertyList(entries)); }
  Plist FileDictionary() const { return ParseDictionary(ReadFile(File()).value_or("")); }
  // The keys of the file's dictionary as libplist reads it, sorted.
  Names FileKeys() const {
    const Plist dict = FileDictionary();
    const std::string xml = dict ? ToXml(dict.get()) : "";
    static const std::regex kTopLevelKey("\n\t<key>([^<]*)</key>");
    Names keys;
    for (std::sregex_iterator it(xml.begin(), xml.end(), kTopLevelKey), end; it != end; ++it) keys.push_back((*it)[1]);
    std::sort(keys.begin(), keys.end());
    return keys;
  }
  Names DamagedFiles() const {
    Names names = FolderNames(config_);
    std::erase_if(names, [](const std::string& name) { return name.find(".damaged-") == std::string::npos; });
    return names;
  }

  kestrine_testing::ScopedUser user_;
  const std::string config_ = user_.root() + "/config";
  kestrine_testing::ScopedEnvironment environment_;
};

TEST_F(PreferencesTest, FilePathFollowsTheEnvironmentAtCallTime) {
  EXPECT_EQ(CFPreferencesFilePath(kDomain), config_ + "/com.corvane.KestrineCM.plist");
  EXPECT_EQ(CFPreferencesFilePath("org.example.Other"), config_ + "/org.example.Other.plist");
  // An empty or relative setting is not used.
  const std::string fallback = user_.root() + "/home/.config/com.corvane.KestrineCM.plist";
  const std::pair<std::optional<std::string>, std::string> kCases[] = {
      {user_.root() + "/elsewhere//", user_.root() + "/elsewhere/com.corvane.KestrineCM.plist"},
      {"", fallback}, {"relative/config", fallback}, {std::nullopt, fallback}};
  for (const auto& [config, expected] : kCases) {
    environment_.Set("XDG_CONFIG_HOME", config);
    EXPECT_EQ(CFPreferencesFilePath(kDomain), expected) << config.value_or("(unset)");
  }
  // Without HOME the password file names the home folder.
  environment_.Set("HOME", std::nullopt);
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
  EXPECT_FALSE(std::filesystem::exists(config_));
}

TEST_F(PreferencesTest, ReadsEveryTypeOfAHandWrittenFileAndKeepsTheOthersAcrossAWrite) {
  ASSERT_TRUE(WriteEntries(
      "\t<key>Yes</key>\n\t<true/>\n\t<key>No</key>\n\t<false/>\n"
      "\t<key>Text</key>\n\t<string>caf\xC3\xA9 &amp; &lt;tab&gt;\t</string>\n\t<key>Empty</key>\n\t<string></string>\n"
      "\t<key>List</key>\n\t<array>\n\t\t<string>a</string>\n\t\t<integer>3</integer>\n"
      "\t\t<string></string>\n\t\t<dict/>\n\t\t<true/>\n\t</array>\n"
      "\t<key>Mixed</key>\n\t<array><string>a</string><real>1.5</real><false/></array>\n"
      "\t<key>NoItems</key>\n\t<array/>\n"
      "\t<key>Number</key>\n\t<integer>-42</integer>\n\t<key>Big</key>\n\t<integer>18446744073709551615</integer>\n"
      "\t<key>Fraction</key>\n\t<real>2.5</real>\n\t<key>When</key>\n\t<date>2021-06-07T08:09:10Z</date>\n"
      "\t<key>Bytes</key>\n\t<data>SGVsbG8=</data>\n"
      "\t<key>Nested</key>\n\t<dict><key>inner</key><array><integer>1</integer><string>x</string></array></dict>\n"));
  EXPECT_EQ(Copy("Yes"), PrefValue(true));
  EXPECT_EQ(Copy("No"), PrefValue(false));
  EXPECT_EQ(Copy("Text"), PrefValue(std::string("caf\xC3\xA9 & <tab>\t")));
  EXPECT_EQ(Copy("Empty"), PrefValue(std::string()));
  EXPECT_EQ(Copy("List"), PrefValue(PrefArray{"a", std::nullopt, "", std::nullopt, std::nullopt}));
  EXPECT_EQ(Copy("NoItems"), PrefValue(PrefArray{}));
  for (const auto& [key, type] : std::initializer_list<std::pair<const char*, const char*>>{
           {"Number", "integer"}, {"Fraction", "real"}, {"When", "date"}, {"Bytes", "data"}, {"Nested", "dict"}}) {
    EXPECT_EQ(Copy(key), PrefValue(PrefOther{type})) << key;
  }
  EXPECT_EQ(Copy("Absent"), std::nullopt);
  EXPECT_EQ(Copy("yes"), std::nullopt);  // Keys are case-sensitive.

  const Plist original = FileDictionary();
  ASSERT_NE(original, nullptr);
  Set("Added", PrefValue(std::string("value")));
  ASSERT_TRUE(Sync());
  const Plist written = FileDictionary();
  ASSERT_NE(written, nullptr);
  EXPECT_EQ(plist_dict_get_size(written.get()), 14u);
  plist_dict_remove_item(written.get(), "Added");
  EXPECT_EQ(ToXml(written.get()), ToXml(original.get()));
  const std::string text = *ReadFile(File());
  for (std::string_view piece : {"<integer>-42</integer>", "<integer>18446744073709551615</integer>",
                                 "<date>2021-06-07T08:09:10Z</date>", "<real>2.5"}) {
    EXPECT_NE(text.find(piece), std::string::npos) << piece;
  }
  EXPECT_EQ(Copy("Mixed"), PrefValue(PrefArray{"a", std::nullopt, std::nullopt}));
}

TEST_F(PreferencesTest, WritesExactXmlAndCreatesTheMissingFolder) {
  EXPECT_EQ(Copy("LabelItems"), std::nullopt);
  EXPECT_TRUE(Sync());  // Nothing to write; no folder is made.
  EXPECT_FALSE(std::filesystem::exists(config_));

  Set("LabelItems", PrefValue(true));
  Set("MultipathSeparator", PrefValue(std::string("\t<&>")));
  Set("Prefixes", PrefValue(PrefArray{"a", std::nullopt, ""}));
  Set("Ignored", PrefValue(PrefOther{"integer"}));
  Set("Ignored", PrefValue(std::string("a\0b", 3)));
  Set(std::string_view("Nul\0Key", 7), PrefValue(true));
  // The view answers at once; the file is written at the synchronize.
  EXPECT_EQ(Copy("LabelItems"), PrefValue(true));
  EXPECT_EQ(Copy("Ignored"), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(File()));

  ASSERT_TRUE(Sync());
  EXPECT_EQ(ReadFile(File()), XmlPropertyList("\t<key>LabelItems</key>\n\t<true/>\n"
                                              "\t<key>MultipathSeparator</key>\n\t<string>\t&lt;&amp;&gt;</string>\n"
                                              "\t<key>Prefixes</key>\n\t<array>\n\t\t<string>a</string>\n"
                                              "\t\t<string></string>\n\t</array>\n"));
  EXPECT_EQ(Mode(config_), 0700u);
  EXPECT_EQ(Mode(File()), 0600u);
  EXPECT_EQ(FolderNames(config_), kFileAndLock);  // No temporary file is left.

  // Removing a key, and a replaced file keeps its mode.
  ASSERT_EQ(::chmod(File().c_str(), 0644), 0);
  Set("Prefixes", std::nullopt);
  Set("LabelItems", PrefValue(false));
  EXPECT_EQ(Copy("Prefixes"), std::nullopt);
  ASSERT_TRUE(Sync());
  EXPECT_EQ(FileKeys(), (Names{"LabelItems", "MultipathSeparator"}));
  EXPECT_NE(ReadFile(File())->find("<key>LabelItems</key>\n\t<false/>"), std::string::npos);
  EXPECT_EQ(Mode(File()), 0644u);
}

TEST_F(PreferencesTest, TextsSurviveTheFileExactly) {
  const Names texts = {"\n", "\t", "\\n", "\r\n", " ", "  padded  ", "]]>", "\xE2\x80\x94", "a\x01z"};
  for (std::size_t i = 0; i < texts.size(); ++i) Set("Text" + std::to_string(i), PrefValue(texts[i]));
  ASSERT_TRUE(Sync());
  // A second process reads them from the file.
  EXPECT_EQ(WaitForChild(StartChild([&] {
              for (std::size_t i = 0; i < texts.size(); ++i) {
                if (Copy("Text" + std::to_string(i)) != PrefValue(texts[i])) return 1;
              }
              return 0;
            })),
            0);
}

// A file is parsed once per version, and others' versions are seen at the
// next synchronize.
TEST_F(PreferencesTest, OthersWritesAreSeenOnlyAfterSynchronizingAndParsedOnce) {
  ASSERT_TRUE(WriteEntries("<key>Mode</key><string>first</string>"));
  const PreferencesCounters before = PreferencesCountersForTesting();
  EXPECT_EQ(Copy("Mode"), PrefValue(std::string("first")));  // Loaded on first use.
  const PreferencesCounters loaded = PreferencesCountersForTesting();
  EXPECT_EQ(loaded.parses, before.parses + 1);
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(Sync());
  const PreferencesCounters unchanged = PreferencesCountersForTesting();
  EXPECT_EQ(unchanged.parses, loaded.parses);
  EXPECT_EQ(unchanged.stats, loaded.stats + 50);

  // After this process's own write the file is known too.
  Set("B", PrefValue(false));
  ASSERT_TRUE(Sync());
  const PreferencesCounters written = PreferencesCountersForTesting();
  EXPECT_EQ(written.writes, unchanged.writes + 1);
  EXPECT_EQ(written.parses, unchanged.parses + 1);  // The merge re-reads under the lock.
  EXPECT_TRUE(Sync());
  EXPECT_EQ(PreferencesCountersForTesting().parses, written.parses);

  ASSERT_TRUE(WriteEntries("<key>Mode</key><string>second</string><key>New</key><true/>"));
  EXPECT_EQ(Copy("Mode"), PrefValue(std::string("first")));
  EXPECT_EQ(Copy("New"), std::nullopt);
  EXPECT_TRUE(Sync());
  EXPECT_TRUE(Sync());
  EXPECT_EQ(PreferencesCountersForTesting().parses, written.parses + 1);
  EXPECT_EQ(Copy("Mode"), PrefValue(std::string("second")));
  EXPECT_EQ(Copy("New"), PrefValue(true));
  EXPECT_EQ(Copy("B"), std::nullopt);

  // Another process of the store writes.
  ASSERT_EQ(WaitForChild(StartChild([] {
              Set("Mode", PrefValue(std::string("third")));
              return Sync() ? 0 : 1;
            })),
            0);
  EXPECT_EQ(Copy("Mode"), PrefValue(std::string("second")));
  EXPECT_TRUE(Sync());
  EXPECT_EQ(Copy("Mode"), PrefValue(std::string("third")));
  EXPECT_EQ(Copy("New"), PrefValue(true));

  // A missing file is not parsed.
  ASSERT_EQ(::unlink(File().c_str()), 0);
  EXPECT_EQ(Copy("Mode"), PrefValue(std::string("third")));
  EXPECT_TRUE(Sync());
  EXPECT_EQ(Copy("Mode"), std::nullopt);
  const uint64_t parses = PreferencesCountersForTesting().parses;
  EXPECT_TRUE(Sync());
  EXPECT_EQ(PreferencesCountersForTesting().parses, parses);
}

TEST_F(PreferencesTest, AnInPlaceEditKeepingSizeAndModificationTimeIsSeen) {
  ASSERT_TRUE(WriteEntries("<key>Word</key><string>aaaa</string>"));
  EXPECT_EQ(Copy("Word"), PrefValue(std::string("aaaa")));
  struct stat before;
  ASSERT_EQ(::stat(File().c_str(), &before), 0);
  // The change time ticks coarsely; let it move on.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  std::string text = *ReadFile(File());
  kestrine_testing::WriteFile(File(), text.replace(text.find("aaaa"), 4, "bbbb"));
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, File().c_str(), times, 0), 0);
  struct stat after;
  ASSERT_EQ(::stat(File().c_str(), &after), 0);
  ASSERT_EQ(after.st_ino, before.st_ino);
  ASSERT_EQ(after.st_size, before.st_size);

  EXPECT_TRUE(Sync());
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

  Set("B", PrefValue(true));
  ASSERT_TRUE(Sync());
  ASSERT_EQ(::stat(File().c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, ahead.tv_sec + 1);
  EXPECT_EQ(st.st_mtim.tv_nsec, 0);
  EXPECT_EQ(FileKeys(), (Names{"A", "B"}));
}

TEST_F(PreferencesTest, ProcessViewsAreKeptPerFile) {
  ASSERT_TRUE(WriteEntries("<key>Where</key><string>one</string>"));
  EXPECT_EQ(Copy("Where"), PrefValue(std::string("one")));

  const std::string other = user_.root() + "/other";
  environment_.Set("XDG_CONFIG_HOME", other);
  ASSERT_TRUE(WriteFileAtomically(other + "/com.corvane.KestrineCM.plist",
                                  XmlPropertyList("<key>Where</key><string>two</string>")));
  EXPECT_EQ(Copy("Where"), PrefValue(std::string("two")));
  Set("OnlyHere", PrefValue(true));

  environment_.Set("XDG_CONFIG_HOME", config_);
  EXPECT_EQ(Copy("Where"), PrefValue(std::string("one")));
  EXPECT_EQ(Copy("OnlyHere"), std::nullopt);
}

TEST_F(PreferencesTest, WritesMergeWithWhatOthersWrote) {
  ASSERT_TRUE(WriteEntries("<key>Keep</key><string>old</string><key>Drop</key><true/>"));
  EXPECT_EQ(Copy("Keep"), PrefValue(std::string("old")));
  Set("Mine", PrefValue(true));
  Set("Drop", std::nullopt);

  // Meanwhile someone else changes the file.
  ASSERT_TRUE(WriteEntries("<key>Keep</key><string>new</string><key>Drop</key><true/><key>Theirs</key><false/>"));
  ASSERT_TRUE(Sync());
  EXPECT_EQ(FileKeys(), (Names{"Keep", "Mine", "Theirs"}));
  EXPECT_EQ(Copy("Keep"), PrefValue(std::string("new")));
  EXPECT_EQ(Copy("Theirs"), PrefValue(false));
  EXPECT_EQ(Copy("Mine"), PrefValue(true));
  EXPECT_EQ(Copy("Drop"), std::nullopt);

  // Written keys are no longer pending: a later change by others stands.
  ASSERT_TRUE(WriteEntries("<key>Mine</key><false/>"));
  ASSERT_TRUE(Sync());
  EXPECT_EQ(Copy("Mine"), PrefValue(false));
  EXPECT_EQ(Copy("Keep"), std::nullopt);
}

// Files of unusual or hostile XML, and the value of key "A" in each; none
// when the file is damaged and reads as an empty domain.
struct FileCase {
  std::string name, content;
  std::optional<PrefValue> value = std::nullopt;
};

std::vector<FileCase> FileCases() {
  const std::string header = XmlPropertyList("").substr(0, XmlPropertyList("").find("<plist"));
  std::string crowded;
  for (int i = 0; i <= 16384; ++i) crowded += "<key>k" + std::to_string(i) + "</key><true/>";
  return {
      {"empty", ""}, {"blank", "  \n\t\n"}, {"text", "LabelItems = true\n"}, {"zeros", std::string(64, '\0')},
      {"top-level array", header + "<plist version=\"1.0\"><array><string>A</string></array></plist>\n"},
      {"top-level string", "<plist version=\"1.0\"><string>A</string></plist>"},
      {"unclosed string", "<plist version=\"1.0\"><dict><key>A</key><string>x</dict></plist>"},
      {"undefined entity",
       "<!DOCTYPE plist [<!ENTITY e \"x\">]><plist version=\"1.0\"><dict><key>A</key><string>&e;</string>"
       "</dict></plist>"},
      // {A: true} as a binary property list.
      {"binary", std::string("bplist00\xD1\x01\x02QA\x09\x08\x0B\x0D\0\0\0\0\0\0\x01\x01\0\0\0\0\0\0\0\x03"
                             "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x0E",
                             49)},
      {"too deep", XmlPropertyList("<key>A</key>" + Repeat("<array>", 200000) + Repeat("</array>", 200000))},
      // A '>' inside each attribute value, and a closing tag after it.
      {"nesting hidden in attribute values",
       XmlPropertyList("<key>A</key>" + Repeat("<array a=\"></x>\">", 200000) + Repeat("</array>", 200000))},
      {"one level too deep", XmlPropertyList("<key>A</key>" + Repeat("<array>", 255) + Repeat("</array>", 255))},
      {"too many keys in one dict", XmlPropertyList(crowded)},
      {"mismatched end tag", XmlPropertyList("<key>A</key><array></dict></array>")},
      {"a second root", XmlPropertyList("<key>A</key><true/>") + "<plist><dict/></plist>"},
      {"'>' in a single-quoted value", "<plist version='>'><dict><key>A</key><true/></dict></plist>"},
      {"'\"' in a single-quoted value", "<plist version='\"'><dict><key>A</key><string>\"</string></dict></plist>"},
      {"'<' in a value", "<plist version=\"<\"><dict><key>A</key><true/></dict></plist>"},
      {"'?>' in quotes in an instruction", "<?pi \"?>\" ?>" + XmlPropertyList("<key>A</key><true/>")},
      {"an early ']>' in a comment of the internal subset",
       "<!DOCTYPE plist [<!-- ]><plist><dict><key>A</key><true/></dict></plist> -->]>"
       "<plist><dict><key>A</key><array><array/></array></dict></plist>"},
      {"a blank inside the subset's end", "<!DOCTYPE plist [ ] ><plist><dict><key>A</key><true/></dict></plist>"},
      {"a document type after the root", XmlPropertyList("<key>A</key><true/>") + "<!DOCTYPE plist>"},
      {"a NUL byte", XmlPropertyList(std::string("<key>A</key><string>a\0b</string>", 33))},
      {"UTF-16", std::string("\xFF\xFE<\0p\0l\0i\0s\0t\0>\0", 14)},
      // Markup inside comments, literals and sections hides no elements.
      {"comments", "<!-- <plist> > -->" + XmlPropertyList("<!-- <array> -- > --><key>A</key><true/>"), true},
      {"CDATA", XmlPropertyList("<key>A</key><string><![CDATA[<array> > ]]]]><![CDATA[>]]></string>"),
       std::string("<array> > ]]>")},
      {"instructions",
       "<?xml version='1.0' encoding=\"UTF-8\"?><?tool a=\"<x>\" b='y>'?>" + XmlPropertyList("<key>A</key><true/>"),
       true},
      {"internal subset",
       "<!DOCTYPE plist PUBLIC '-//Apple//DTD PLIST 1.0//EN' \"x[y]>z\" [\n"
       "  <!ENTITY e \"<array>]>\"> <!ENTITY f 'x'> <!-- a > b --> <?p > ?> %e;\n]>\n"
       "<plist version=\"1.0\"><dict><key>A</key><true/></dict></plist>",
       true},
      {"'>' in a double-quoted value", "<plist version=\">\"><dict><key>A</key><true/></dict></plist>", true},
      {"nesting at the limit", XmlPropertyList("<key>A</key>" + Repeat("<array>", 254) + Repeat("</array>", 254)),
       PrefArray{std::nullopt}},
      {"a long text of references",
       XmlPropertyList("<key>A</key><string>" + Repeat("a&lt;&#x41;&#66;&amp;", 3000) + "</string>"),
       Repeat("a<AB&", 3000)},
      {"byte-order mark", "\xEF\xBB\xBF" + XmlPropertyList("<key>A</key><string>\xC3\xA9</string>"),
       std::string("\xC3\xA9")},
  };
}

// A damaged file is moved aside whole before the next write, under a name of
// its own also when several are moved within one second.
TEST_F(PreferencesTest, FilesReadAsXmlDoesAndDamagedOnesAreMovedAsideBeforeAWrite) {
  const std::string prefix = "com.corvane.KestrineCM.plist.damaged-";
  std::size_t count = 0;
  for (const auto& [name, content, value] : FileCases()) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(WriteFileAtomically(File(), content));
    ASSERT_TRUE(Sync());
    EXPECT_EQ(Copy("A"), value);
    if (value) continue;
    EXPECT_EQ(Copy("LabelItems"), std::nullopt);
    const Names before = DamagedFiles();
    EXPECT_EQ(before.size(), count);  // Reading leaves the file alone.
    EXPECT_EQ(ReadFile(File()), content);

    Set("Written", PrefValue(true));
    ASSERT_TRUE(Sync());
    EXPECT_EQ(FileKeys(), Names{"Written"});
    const Names after = DamagedFiles();
    ASSERT_EQ(after.size(), ++count);
    Names added;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(added));
    ASSERT_EQ(added.size(), 1u);
    ASSERT_TRUE(added[0].starts_with(prefix)) << added[0];
    EXPECT_LE(std::abs(std::stol(added[0].substr(prefix.size())) - static_cast<long>(::time(nullptr))), 5);
    EXPECT_EQ(ReadFile(config_ + "/" + added[0]), content);
  }
}

TEST_F(PreferencesTest, AFileCutShortAnywhereReadsAsEmpty) {
  const std::string whole = XmlPropertyList(
      "\t<key>A</key>\n\t<true/>\n\t<key>B</key>\n\t<array>\n\t\t<string>x</string>\n\t</array>\n");
  ASSERT_TRUE(WriteFileAtomically(File(), whole));
  EXPECT_EQ(Copy("A"), PrefValue(true));
  // Every cut but the one that drops only the final line feed.
  for (std::size_t cut = 0; cut + 1 < whole.size(); ++cut) {
    ASSERT_TRUE(WriteFileAtomically(File(), whole.substr(0, cut)));
    ASSERT_TRUE(Sync());
    ASSERT_EQ(Copy("A"), std::nullopt) << "cut at " << cut;
    ASSERT_EQ(Copy("B"), std::nullopt) << "cut at " << cut;
  }
  ASSERT_TRUE(WriteFileAtomically(File(), whole.substr(0, whole.size() - 1)));
  ASSERT_TRUE(Sync());
  EXPECT_EQ(Copy("A"), PrefValue(true));
}


// A folder in the file's place cannot be read, even by root, and a file in
// the folder's place cannot hold one: the write fails and stays pending.
TEST_F(PreferencesTest, AFileOrFolderInTheWayFailsTheWrite) {
  ASSERT_TRUE(std::filesystem::create_directories(File()));
  ASSERT_TRUE(WriteFileAtomically(user_.root() + "/file", "not a folder"));
  for (const std::string& config : {config_, user_.root() + "/file"}) {
    SCOPED_TRACE(config);
    environment_.Set("XDG_CONFIG_HOME", config);
    EXPECT_EQ(Copy("A"), std::nullopt);
    EXPECT_TRUE(Sync());
    Set("A", PrefValue(true));
    EXPECT_FALSE(Sync());
    EXPECT_EQ(Copy("A"), PrefValue(true));
  }
  EXPECT_TRUE(std::filesystem::is_directory(File()));
  EXPECT_EQ(ReadFile(user_.root() + "/file"), "not a folder");
  EXPECT_EQ(DamagedFiles(), Names{});

  environment_.Set("XDG_CONFIG_HOME", config_);
  ASSERT_TRUE(std::filesystem::remove(File()));
  EXPECT_TRUE(Sync());
  EXPECT_EQ(FileKeys(), Names{"A"});
}

TEST_F(PreferencesTest, ThreadsAndProcessesWritingDifferentKeysLoseNothing) {
  const auto key = [](int thread, int i) { return "t" + std::to_string(thread) + "-" + std::to_string(i); };
  for (pid_t child : StartWriters([&](int p) {
         std::atomic<int> failures = 0;
         std::vector<std::thread> threads;
         for (int t = 3 * p; t < 3 * p + 3; ++t) {
           threads.emplace_back([&, t] {
             for (int i = 0; i < 50; ++i) {
               Set(key(t, i), PrefValue(key(t, i)));
               if (!Sync() || Copy(key(t, i)) != PrefValue(key(t, i))) ++failures;
             }
           });
         }
         for (std::thread& thread : threads) thread.join();
         return failures.load();
       })) {
    EXPECT_EQ(WaitForChild(child), 0);
  }
  Names expected;
  for (int i = 0; i < 300; ++i) expected.push_back(key(i / 50, i % 50));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(FileKeys(), expected);
  EXPECT_TRUE(Sync());
  EXPECT_EQ(Copy("t5-49"), PrefValue(std::string("t5-49")));
}

TEST_F(PreferencesTest, ProcessesWritingOneKeyAtOnceNeverLeaveADamagedFile) {
  const std::vector<pid_t> children = StartWriters([](int p) {
    for (int i = 0; i < 150; ++i) {
      // Values of changing length, so that a torn file would show.
      Set("Shared", PrefValue(std::string(static_cast<std::size_t>(1 + (i * 7 + p * 3) % 50), p == 0 ? 'x' : 'y')));
      if (!Sync()) return 1;
    }
    return 0;
  });
  // Meanwhile every version of the file seen is whole.
  std::atomic<bool> done = false;
  int readings = 0;
  bool whole = true;
  std::thread reader([&] {
    do {
      if (const std::optional<std::string> text = ReadFile(File())) {
        const Plist dict = ParseDictionary(*text);
        whole = whole && dict && plist_dict_get_size(dict.get()) == 1;
        ++readings;
      }
    } while (!done);
  });
  for (pid_t child : children) EXPECT_EQ(WaitForChild(child), 0);
  done = true;
  reader.join();
  EXPECT_TRUE(whole);
  EXPECT_GT(readings, 0);
  EXPECT_EQ(FileKeys(), Names{"Shared"});
  EXPECT_EQ(FolderNames(config_), kFileAndLock);  // Nothing damaged, nothing left behind.
  EXPECT_TRUE(Sync());
  const std::optional<PrefValue> last = Copy("Shared");
  ASSERT_TRUE(last && std::holds_alternative<std::string>(*last));
}

}  // namespace
