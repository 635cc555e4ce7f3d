// End-to-end tests: the kestrine-finder program loads the built KestrineCM.plugin
// bundle, prints its menu and runs its commands against real files; a test
// plug-in gives the menus KestrineCM never makes.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "testing/test_support.h"

namespace {

using kestrine_testing::MakeDirs;
using kestrine_testing::RunProgramWith;
using kestrine_testing::RunResult;
using kestrine_testing::WriteFile;

constexpr const char* kDefaultSubmenu =
    "-\nKestrine >\n  [1] Copy Posix Path\n  [12] Copy Encoded Posix Path\n"
    "  [2] Copy Tilde Posix Path\n  [3] Copy Terminal Path\n  [4] Copy HFS Path\n"
    "  [5] Copy Filename\n  [6] Copy Display Filename\n  [7] Copy Extension\n"
    "  [9] Copy AFP URL\n  -\n  [10] Copy All\n  -\n  [11] Copy Folder Paths\n";

// Settings that turn off each form named.
std::string Off(std::initializer_list<const char*> forms) {
  std::string entries;
  for (const char* form : forms) entries += std::string("<key>Include") + form + "</key><false/>";
  return entries;
}
const std::string kEverythingOff =
    Off({"PosixPath", "EncodedPosixPath", "TildePosixPath", "TerminalPath", "HFSPath", "Filename",
         "DisplayFilename", "Extension", "AFPURL", "All", "FolderPaths"});

class FinderTest : public ::testing::Test {
 protected:
  // Runs `kestrine-finder COMMAND [--plugin BUNDLE] ARGS...`; no bundle lets it look in its folders.
  RunResult Finder(std::vector<std::string> args, const std::string& bundle = KESTRINE_CM_BUNDLE) {
    if (!bundle.empty()) args.insert(args.begin() + 1, {"--plugin", bundle});
    args.insert(args.begin(), FINDER_PATH);
    return RunProgramWith(args, {.timeoutSeconds = 60});
  }
  std::string Menu(std::vector<std::string> paths) {
    paths.insert(paths.begin(), "menu");
    const RunResult r = Finder(paths);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    return r.out;
  }
  std::optional<std::string> Choose(std::int32_t id, std::vector<std::string> paths) {
    paths.insert(paths.begin(), {"choose", std::to_string(id)});
    const RunResult r = Finder(paths);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, FileNote());
    return user_.Clipboard();
  }
  // The line a copy without a display ends with.
  std::string FileNote() const {
    return "kestrine-finder: no display: the clipboard is the file " + user_.root() + "/run/kestrine/clipboard\n";
  }
  std::string File(const std::string& relative) {
    const std::string path = user_.home() + "/" + relative;
    WriteFile(path, "x");
    return path;
  }
  // A copy of the built bundle in `folder`, to change.
  std::string CopyOfBundle(const std::string& folder) {
    MakeDirs(folder);
    std::filesystem::copy(KESTRINE_CM_BUNDLE, folder + "/KestrineCM.plugin",
                          std::filesystem::copy_options::recursive);
    return folder + "/KestrineCM.plugin";
  }
  // A bundle `name` of the test plug-in in the user's folder.
  std::string TestBundle(const std::string& name) {
    const std::string bundle = user_.root() + "/bundles/" + name + ".plugin";
    MakeDirs(bundle + "/Contents/Linux");
    std::filesystem::copy_file(FINDER_TEST_PLUGIN, bundle + "/Contents/Linux/test.so");
    WriteFile(bundle + "/Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
              "<key>CFBundleIdentifier</key><string>test." + name + "</string>"
              "<key>CFBundleExecutable</key><string>test.so</string>"
              "<key>CFPlugInFactories</key><dict>"
              "<key>0B6F4C2A-1D3E-4F50-8A7B-9C0D1E2F3A4B</key><string>FinderTestFactory</string></dict>"
              "<key>CFPlugInTypes</key><dict><key>2F6522E9-3E66-11D5-80A7-003065B300BC</key>"
              "<array><string>0B6F4C2A-1D3E-4F50-8A7B-9C0D1E2F3A4B</string></array></dict>"
              "</dict></plist>");
    return bundle;
  }

  kestrine_testing::ScopedUser user_;
  kestrine_testing::ScopedEnv dataDirs_{"XDG_DATA_DIRS", user_.root() + "/no-system-data"};
  const std::string pluginFolder_ = user_.root() + "/data/Kestrine/Contextual Menu Items";
};

TEST_F(FinderTest, MenusForEachSettingAndContext) {
  const std::string a = File("a.txt");
  const std::string odd = File("line\nbreak\t(1)/noext");
  const std::string shown = user_.home() + "/line\\nbreak\\t(1)/noext";
  const struct {
    std::string settings;  // Empty: as the case before left them.
    std::vector<std::string> paths;
    std::string menu;
  } cases[] = {
      {"", {a}, kDefaultSubmenu},
      {"", {a, File("b")}, kDefaultSubmenu},
      {"", {user_.home() + "/missing", a}, "-\nKestrine >\n"},
      {"<key>MakeAsSubmenu</key><false/>", {}, "-\n"},
      {"", {user_.home() + "/missing"}, "-\n-\n"},
      {"<key>MakeAsSubmenu</key><false/>" + kEverythingOff, {a}, "-\n-\n"},
      {"<key>MakeAsSubmenu</key><false/><key>IncludeUNCWindowsStyle</key><true/>"
       "<key>IncludeAll</key><string>no</string>",
       {a},
       "-\n[1] Copy Posix Path\n[12] Copy Encoded Posix Path\n[2] Copy Tilde Posix Path\n"
       "[3] Copy Terminal Path\n[4] Copy HFS Path\n[5] Copy Filename\n"
       "[6] Copy Display Filename\n[7] Copy Extension\n[8] Copy UNC Windows Style Path\n"
       "[9] Copy AFP URL\n[10] Copy All\n[11] Copy Folder Paths\n-\n"},
      // Preview titles show the text of the first item.
      {"<key>ShowClipboardInMenu</key><true/><key>LabelItems</key><true/>" +
           Off({"HFSPath", "AFPURL", "All", "FolderPaths"}),
       {odd, a},
       "-\nKestrine >\n  [1] Mac Path: " + shown + "\n  [12] Encoded Mac Path: " + user_.home() +
           "/line%0Abreak%09(1)/noext\n  [2] Relative Mac Path: ~/line\\nbreak\\t(1)/noext\n"
           "  [3] Terminal Path: " + shown + "\n  [5] Filename: noext\n  [6] Display Filename: noext\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.settings + " " + (c.paths.empty() ? "" : c.paths[0]));
    if (!c.settings.empty()) user_.WriteSettings(c.settings);
    EXPECT_EQ(Menu(c.paths), c.menu);
  }
}

TEST_F(FinderTest, PrefixBlockFromTheFileAndTheSetting) {
  const std::string bundle = CopyOfBundle(user_.root() + "/bundles");
  WriteFile(bundle + "/Contents/Resources/Prefixes.txt", "smb://nas\r\nhttp://web");
  user_.WriteSettings(kEverythingOff + "<key>Prefixes</key><array><string>P</string></array>");
  const std::string path = File("My File.txt");
  const std::string encoded = user_.home() + "/My%20File.txt";
  std::string unc = encoded;
  std::replace(unc.begin(), unc.end(), '/', '\\');
  const RunResult r = Finder({"menu", path}, bundle);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, "-\nKestrine >\n  -\n  [1000] smb://nas\\r" + encoded + "\n  -\n  [2000] smb://nas\\r" +
                       unc + "\n  [1001] http://web" + encoded + "\n  -\n  [2001] http://web" + unc +
                       "\n  [1002] P" + encoded + "\n  -\n  [2002] P" + unc + "\n");
  // The command renders with the table the menu build loaded.
  const RunResult chosen = Finder({"choose", "1002", path, File("b.txt")}, bundle);
  EXPECT_EQ(chosen.exitStatus, 0) << chosen.err;
  EXPECT_EQ(user_.Clipboard(), "P" + encoded + "\nP" + user_.home() + "/b.txt");
}

TEST_F(FinderTest, CommandsCopyTheTextOfEveryItem) {
  const std::string a = File("a.txt");
  const std::string b = File("b.txt");
  EXPECT_EQ(Choose(1, {a, b}), a + "\n" + b);
  user_.WriteSettings("<key>MultipathSeparator</key><string>, </string>");
  EXPECT_EQ(Choose(5, {a, b}), "a.txt, b.txt");
  // A command switched off in the menus still runs.
  user_.WriteSettings(kEverythingOff);
  std::string unc = a;
  std::replace(unc.begin(), unc.end(), '/', '\\');
  EXPECT_EQ(Choose(8, {a}), unc);
}

// What kestrine-finder choose cannot do is said, and the clipboard stays as it was.
TEST_F(FinderTest, ChooseRefusesWhatNamesNothing) {
  const std::string a = File("a.txt");
  const std::string missing = user_.home() + "/missing";
  const std::string unknown = " (1 to 12, or an ID that \"kestrine-finder menu\" lists for these PATHs)\n";
  user_.WriteSettings("<key>Prefixes</key><array><string>P</string></array>");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string error;
    std::optional<std::string> copied = "old";
  } cases[] = {
      {{"choose", "99", a}, 2, "kestrine-finder: no command has the ID 99" + unknown},
      {{"choose", "13", a}, 2, "kestrine-finder: no command has the ID 13" + unknown},
      {{"choose", "0", a}, 2, "kestrine-finder: no command has the ID 0" + unknown},
      {{"choose", "-7", a}, 2, "kestrine-finder: no command has the ID -7" + unknown},
      {{"choose", "1001", a}, 2, "kestrine-finder: no command has the ID 1001" + unknown},
      {{"choose", "1", missing}, 1,
       "kestrine-finder: " + missing + ": no such file or folder\nkestrine-finder: no PATH names an item; nothing is copied\n"},
      {{"choose", "1000", missing, a}, 0, "kestrine-finder: " + missing + ": no such file or folder\n" + FileNote(),
       "P" + a},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1] + " " + c.args[2]);
    user_.SetClipboard("old");
    const RunResult r = Finder(c.args);
    EXPECT_EQ(r.exitStatus, c.status);
    EXPECT_EQ(r.err, c.error);
    EXPECT_EQ(user_.Clipboard(), c.copied);
  }
}

// The menu prints as the file-manager modules show it.
TEST_F(FinderTest, MenusPrintAsTheFileManagersShowThem) {
  const std::string bundle = TestBundle("menu");
  const std::string file = File("a.txt");
  const struct {
    std::string menu;  // What the plug-in adds, in the build syntax.
    std::string printed;
  } cases[] = {
      // A title that is no UTF-16 is left empty; a stray last byte is left out.
      {"[{pnam:'utxt'($3DD8$), cmcd:5, cmat:256}]", "[5] \n"},
      {"[{pnam:'utxt'($41004200 43$), cmcd:5, cmat:256}]", "[5] AB\n"},
      {"[{pnam:'TEXT'($A5$), cmcd:6}]", "[6 cmat=0] \xE2\x80\xA2\n"},
      // Any item with the separator attribute is a separator.
      {"[{pnam:\"x\", cmcd:7, cmat:65}]", "-\n"},
      // What is no record, or a command without an ID, is no item.
      {"[5, {pnam:\"no ID\", cmat:256}, {pnam:\"y\", cmcd:7, cmat:256}]", "[7] y\n"},
      {"[{pnam:\"sub\", cmsb:[{pnam:\"z\", cmcd:8, cmat:0}]}]", "sub >\n  [8 cmat=0] z\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.menu);
    const kestrine_testing::ScopedEnv menu("FINDER_TEST_MENU", c.menu);
    const RunResult r = Finder({"menu", file}, bundle);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, c.printed);
  }
}

// An item runs in the plug-in that added it; one of Kestrine's commands
// that no menu shows runs in every plug-in.
TEST_F(FinderTest, ChooseRunsTheCommandOfThePlugInThatAddedIt) {
  const std::vector<std::string> plugIns = {"--plugin", TestBundle("one"), "--plugin",
                                            TestBundle("two")};
  const std::string chosen = user_.root() + "/chosen";
  const kestrine_testing::ScopedEnv menu("FINDER_TEST_MENU", "[{pnam:\"five\", cmcd:5, cmat:256}]");
  const kestrine_testing::ScopedEnv file("FINDER_TEST_CHOSEN", chosen);
  const std::string a = File("a.txt");
  for (const auto& [id, status, runs] :
       std::vector<std::tuple<std::string, int, std::string>>{{"5", 0, "5\n"}, {"3", 0, "3\n3\n"}, {"99", 2, ""}}) {
    SCOPED_TRACE(id);
    std::filesystem::remove(chosen);
    std::vector<std::string> argv = {FINDER_PATH, "choose"};
    argv.insert(argv.end(), plugIns.begin(), plugIns.end());
    argv.insert(argv.end(), {id, a});
    EXPECT_EQ(RunProgramWith(argv, {.timeoutSeconds = 60}).exitStatus, status);
    EXPECT_EQ(kestrine_testing::ReadFile(chosen).value_or(""), runs);
  }
}

TEST_F(FinderTest, WrongUsage) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"open"}, {"choose"}, {"choose", "abc", "x"}, {"choose", "99999999999", "x"},
           {"choose", "1"}, {"-x"}, {"menu", "--plugin"}, {"menu", "--verbose"}}) {
    const RunResult r = Finder(args, "");
    EXPECT_EQ(r.exitStatus, 2) << args.size();
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(FinderTest, HelpGoesToStandardOutput) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"-h"}, {"choose", "--help"}, {"select", "-h"}, {"serve", "--help"}}) {
    const RunResult r = Finder(args, "");
    EXPECT_EQ(r.exitStatus, 0) << args[0];
    EXPECT_TRUE(r.out.starts_with("usage: kestrine-finder menu") && r.out.find("\n  choose ") != std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(FinderTest, JunkInThePlugInFolderIsSkippedAndNamed) {
  const std::string folder = pluginFolder_;
  CopyOfBundle(folder);
  const struct {
    std::string name;
    void (*make)(const std::string& path);
    std::string reason;  // What its line says after "<path>: ".
  } junk[] = {
      {"notes.txt", [](const std::string& p) { WriteFile(p, "hi"); }, "not a bundle folder"},
      {"Loop.plugin", [](const std::string& p) { std::filesystem::create_symlink(p, p); },
       "Too many levels of symbolic links"},
      {"FifoPlist.plugin",
       [](const std::string& p) {
         MakeDirs(p + "/Contents");
         ASSERT_EQ(::mkfifo((p + "/Contents/Info.plist").c_str(), 0600), 0);
       },
       "has no Contents/Info.plist"},
  };
  for (const auto& entry : junk) entry.make(folder + "/" + entry.name);

  const RunResult r = Finder({"menu", File("a.txt")}, "");
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, kDefaultSubmenu);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), static_cast<long>(std::size(junk))) << r.err;
  for (const auto& entry : junk) {
    const std::size_t at = r.err.find("kestrine-finder: skipped " + folder + "/" + entry.name + ": ");
    ASSERT_NE(at, std::string::npos) << entry.name << "\n" << r.err;
    const std::string line = r.err.substr(at, r.err.find('\n', at) - at);
    EXPECT_NE(line.find(entry.reason), std::string::npos) << line;
  }

  // Named on the command line, each of them is an error, and none hangs;
  // so is a missing bundle.
  std::vector<std::string> named = {user_.root() + "/nothing.plugin"};
  for (const auto& entry : junk) named.push_back(folder + "/" + entry.name);
  for (const std::string& bundle : named) {
    const RunResult failed = Finder({"menu", File("a.txt")}, bundle);
    EXPECT_EQ(failed.exitStatus, 1) << bundle;
    EXPECT_EQ(failed.out, "") << bundle;
    EXPECT_EQ(failed.err.rfind("kestrine-finder: " + bundle + ": ", 0), 0u) << failed.err;
  }
}

TEST_F(FinderTest, AUsersCopyStandsInForTheSystemsUnlessItFails) {
  const kestrine_testing::ScopedEnv dataDirs("XDG_DATA_DIRS", "relative:" + user_.root() + "/system");
  CopyOfBundle(user_.root() + "/system/Kestrine/Contextual Menu Items");
  const std::string copy = CopyOfBundle(pluginFolder_);
  // Two working copies: the menu once, nothing said.
  RunResult r = Finder({"menu", File("a.txt")}, "");
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, kDefaultSubmenu);
  EXPECT_EQ(r.err, "");
  // The user's copy lost its code: the system's copy brings the menu.
  std::filesystem::remove(copy + "/Contents/Linux/KestrineCM.so");
  r = Finder({"menu", File("a.txt")}, "");
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, kDefaultSubmenu);
  EXPECT_EQ(r.err, "kestrine-finder: skipped " + copy + ": cannot load " + copy +
                       "/Contents/Linux/KestrineCM.so: No such file or directory\n");
}

TEST_F(FinderTest, MemoryRunningOutInACommandCopiesNothingAndKeepsTheHost) {
  if (kestrine_testing::kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer cannot run under RLIMIT_AS";
  user_.WriteSettings("<key>MultipathSeparator</key><string>" + std::string(1 << 20, '-') + "</string>");
  const std::string file = File("a.txt");
  for (const char* id : {"1", "10"}) {
    std::vector<std::string> argv = {FINDER_PATH, "choose", "--plugin", KESTRINE_CM_BUNDLE, id};
    argv.insert(argv.end(), 3000, file);
    const RunResult r = RunProgramWith(argv, {.limits = {{RLIMIT_AS, 256u << 20}}, .timeoutSeconds = 120});
    EXPECT_EQ(r.exitStatus, 0) << id << ": " << r.err.substr(0, 300);
    EXPECT_EQ(user_.Clipboard(), std::nullopt) << id;
  }
}

}  // namespace
