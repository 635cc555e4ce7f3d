// End-to-end tests: the finder program loads the built KestrineCM.plugin
// bundle, prints its menu and runs its commands against real files.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "testing/test_support.h"

namespace {

// AddressSanitizer reserves terabytes of address space for its shadow, so
// its builds cannot run under an address-space limit.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

using kestrine_testing::MakeDirs;
using kestrine_testing::RunOptions;
using kestrine_testing::RunProgram;
using kestrine_testing::RunProgramWith;
using kestrine_testing::RunResult;
using kestrine_testing::ScopedEnv;
using kestrine_testing::ScopedUser;
using kestrine_testing::WriteFile;

constexpr const char* kDefaultSubmenu =
    "-\n"
    "Kestrine >\n"
    "  [1] Copy Posix Path\n"
    "  [12] Copy Encoded Posix Path\n"
    "  [2] Copy Tilde Posix Path\n"
    "  [3] Copy Terminal Path\n"
    "  [4] Copy HFS Path\n"
    "  [5] Copy Filename\n"
    "  [6] Copy Display Filename\n"
    "  [7] Copy Extension\n"
    "  [9] Copy AFP URL\n"
    "  -\n"
    "  [10] Copy All\n"
    "  -\n"
    "  [11] Copy Folder Paths\n";

class FinderTest : public ::testing::Test {
 protected:
  FinderTest() : dataDirs_("XDG_DATA_DIRS", user_.root() + "/no-system-data") {}

  RunResult Finder(std::vector<std::string> args, const std::string& bundle = KESTRINE_CM_BUNDLE) {
    std::vector<std::string> argv = {FINDER_PATH, args.at(0)};
    if (!bundle.empty()) {
      argv.push_back("--plugin");
      argv.push_back(bundle);
    }
    argv.insert(argv.end(), args.begin() + 1, args.end());
    return RunProgram(argv);
  }
  std::string Menu(std::vector<std::string> paths) {
    paths.insert(paths.begin(), "menu");
    const RunResult r = Finder(paths);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    return r.out;
  }
  std::optional<std::string> Choose(std::int32_t id, std::vector<std::string> paths) {
    paths.insert(paths.begin(), std::to_string(id));
    paths.insert(paths.begin(), "choose");
    const RunResult r = Finder(paths);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "");
    return user_.Clipboard();
  }
  std::string File(const std::string& relative) {
    const std::string path = user_.home() + "/" + relative;
    WriteFile(path, "x");
    return path;
  }
  void Settings(std::string_view entries) { user_.WriteSettings(entries); }
  // A copy of the built bundle, to add resources to.
  std::string CopyOfBundle(const std::string& folder) {
    const std::string copy = folder + "/KestrineCM.plugin";
    MakeDirs(folder);
    std::filesystem::copy(KESTRINE_CM_BUNDLE, copy, std::filesystem::copy_options::recursive);
    return copy;
  }

  ScopedUser user_;
  ScopedEnv dataDirs_;
};

TEST_F(FinderTest, DefaultMenuIsASubmenuWithoutTheUNCItem) {
  EXPECT_EQ(Menu({File("a.txt")}), kDefaultSubmenu);
  // Several items: the titles do not change.
  EXPECT_EQ(Menu({File("a.txt"), File("b")}), kDefaultSubmenu);
}

TEST_F(FinderTest, ContextsWithoutAFirstFile) {
  EXPECT_EQ(Menu({}), "");
  EXPECT_EQ(Menu({user_.home() + "/missing", File("a.txt")}), "-\nKestrine >\n");
  Settings("<key>MakeAsSubmenu</key><false/>");
  EXPECT_EQ(Menu({}), "-\n");
  EXPECT_EQ(Menu({user_.home() + "/missing"}), "-\n-\n");
}

TEST_F(FinderTest, FlatMenuWithEverythingOff) {
  Settings(
      "<key>MakeAsSubmenu</key><false/><key>IncludePosixPath</key><false/>"
      "<key>IncludeEncodedPosixPath</key><false/><key>IncludeTildePosixPath</key><false/>"
      "<key>IncludeTerminalPath</key><false/><key>IncludeHFSPath</key><false/>"
      "<key>IncludeFilename</key><false/><key>IncludeDisplayFilename</key><false/>"
      "<key>IncludeExtension</key><false/><key>IncludeAFPURL</key><false/>"
      "<key>IncludeAll</key><false/><key>IncludeFolderPaths</key><false/>");
  EXPECT_EQ(Menu({File("a.txt")}), "-\n-\n");
  Settings("<key>MakeAsSubmenu</key><false/><key>IncludeUNCWindowsStyle</key><true/>"
           "<key>IncludeAll</key><string>no</string>");
  EXPECT_EQ(Menu({File("a.txt")}),
            "-\n[1] Copy Posix Path\n[12] Copy Encoded Posix Path\n[2] Copy Tilde Posix Path\n"
            "[3] Copy Terminal Path\n[4] Copy HFS Path\n[5] Copy Filename\n"
            "[6] Copy Display Filename\n[7] Copy Extension\n[8] Copy UNC Windows Style Path\n"
            "[9] Copy AFP URL\n[10] Copy All\n[11] Copy Folder Paths\n-\n");
}

TEST_F(FinderTest, PreviewTitlesShowTheTextOfTheFirstItem) {
  Settings("<key>ShowClipboardInMenu</key><true/><key>LabelItems</key><true/>"
           "<key>IncludeHFSPath</key><false/><key>IncludeAFPURL</key><false/>"
           "<key>IncludeAll</key><false/><key>IncludeFolderPaths</key><false/>");
  const std::string path = File("line\nbreak\t(1)/noext");
  const std::string shown = user_.home() + "/line\\nbreak\\t(1)/noext";
  EXPECT_EQ(Menu({path, File("other.txt")}),
            "-\nKestrine >\n"
            "  [1] Mac Path: " + shown + "\n"
            "  [12] Encoded Mac Path: " + user_.home() + "/line%0Abreak%09(1)/noext\n"
            "  [2] Relative Mac Path: ~/line\\nbreak\\t(1)/noext\n"
            "  [3] Terminal Path: " + shown + "\n"
            "  [5] Filename: noext\n"
            "  [6] Display Filename: noext\n");
}

TEST_F(FinderTest, PrefixBlockFromTheFileAndTheSetting) {
  const std::string bundle = CopyOfBundle(user_.root() + "/bundles");
  WriteFile(bundle + "/Contents/Resources/Prefixes.txt", "smb://nas\r\nhttp://web");
  Settings("<key>IncludePosixPath</key><false/><key>IncludeEncodedPosixPath</key><false/>"
           "<key>IncludeTildePosixPath</key><false/><key>IncludeTerminalPath</key><false/>"
           "<key>IncludeHFSPath</key><false/><key>IncludeFilename</key><false/>"
           "<key>IncludeDisplayFilename</key><false/><key>IncludeExtension</key><false/>"
           "<key>IncludeAFPURL</key><false/><key>IncludeAll</key><false/>"
           "<key>IncludeFolderPaths</key><false/>"
           "<key>Prefixes</key><array><string>P</string></array>");
  const std::string path = File("My File.txt");
  std::string unc = user_.home() + "/My%20File.txt";
  std::replace(unc.begin(), unc.end(), '/', '\\');
  const RunResult r = Finder({"menu", path}, bundle);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, "-\nKestrine >\n  -\n"
                   "  [1000] smb://nas\\r" + user_.home() + "/My%20File.txt\n"
                   "  -\n"
                   "  [2000] smb://nas\\r" + unc + "\n"
                   "  [1001] http://web" + user_.home() + "/My%20File.txt\n"
                   "  -\n"
                   "  [2001] http://web" + unc + "\n"
                   "  [1002] P" + user_.home() + "/My%20File.txt\n"
                   "  -\n"
                   "  [2002] P" + unc + "\n");
  // The command renders with the table the menu build loaded.
  const RunResult chosen = Finder({"choose", "1002", path, File("b.txt")}, bundle);
  EXPECT_EQ(chosen.exitStatus, 0) << chosen.err;
  EXPECT_EQ(user_.Clipboard(),
            "P" + user_.home() + "/My%20File.txt\nP" + user_.home() + "/b.txt");
}

TEST_F(FinderTest, CommandsCopyTheTextOfEveryItem) {
  const std::string a = File("a.txt");
  const std::string b = File("b.txt");
  EXPECT_EQ(Choose(1, {a, b}), a + "\n" + b);
  EXPECT_EQ(Choose(7, {File("noext"), a, b}), "\ntxt\ntxt");
  EXPECT_EQ(Choose(5, {user_.home() + "/missing", b}), "\nb.txt");
  Settings("<key>MultipathSeparator</key><string>, </string>");
  EXPECT_EQ(Choose(5, {a, b}), "a.txt, b.txt");
  MakeDirs(user_.home() + "/tree/sub");
  EXPECT_EQ(Choose(11, {user_.home() + "/tree"}),
            user_.home() + "/tree, " + user_.home() + "/tree/sub, ");
  const std::optional<std::string> all = Choose(10, {a, b});
  ASSERT_TRUE(all.has_value());
  EXPECT_NE(all->find("\n\n" + b + ", "), std::string::npos) << *all;
  // An ID that names no form clears the clipboard and copies nothing.
  EXPECT_EQ(Choose(13, {a}), std::nullopt);
  EXPECT_EQ(Choose(-7, {a}), std::nullopt);
}

TEST_F(FinderTest, DefaultBundleFolder) {
  CopyOfBundle(user_.root() + "/data/Kestrine/Contextual Menu Items");
  const RunResult r = Finder({"menu", File("a.txt")}, "");
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, kDefaultSubmenu);
}

TEST_F(FinderTest, WrongUsage) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"open"},
                                             {"choose"},
                                             {"choose", "abc", "x"},
                                             {"choose", "99999999999", "x"},
                                             {"menu", "--plugin"},
                                             {"menu", "--verbose"}}) {
    std::vector<std::string> argv = {FINDER_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    const RunResult r = RunProgram(argv);
    EXPECT_EQ(r.exitStatus, 2) << args.size();
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(FinderTest, BundlesThatAreMissingOrNotPlugIns) {
  RunResult r = Finder({"menu"}, user_.root() + "/nothing.plugin");
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find(user_.root() + "/nothing.plugin"), std::string::npos) << r.err;

  const std::string plain = user_.root() + "/Plain.bundle";
  WriteFile(plain + "/Contents/Info.plist",
            "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
            "<string>org.example.plain</string><key>CFBundleExecutable</key>"
            "<string>plain.so</string></dict></plist>");
  r = Finder({"menu"}, plain);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find(plain), std::string::npos) << r.err;
}

// A bundle in `folder` named `name` that declares a contextual-menu factory
// and names `executable` as its code, which it does not hold.
std::string JunkBundle(const std::string& folder, const std::string& name,
                       const std::string& executable) {
  const std::string bundle = folder + "/" + name;
  const std::string factory = "<string>33333333-4444-4555-8666-777777777777</string>";
  WriteFile(bundle + "/Contents/Info.plist",
            "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
            "<key>CFBundleIdentifier</key><string>org.example." + name + "</string>" +
            "<key>CFBundleExecutable</key><string>" + executable + "</string>" +
            "<key>CFPlugInFactories</key><dict><key>" + factory.substr(8, 36) + "</key>" +
            "<string>F</string></dict><key>CFPlugInTypes</key><dict>" +
            "<key>2F6522E9-3E66-11D5-80A7-003065B300BC</key><array>" + factory + "</array>" +
            "</dict></dict></plist>");
  MakeDirs(bundle + "/Contents/Linux");
  return bundle;
}

TEST_F(FinderTest, JunkInThePlugInFolderIsSkippedAndNamed) {
  const std::string folder = user_.root() + "/data/Kestrine/Contextual Menu Items";
  CopyOfBundle(folder);
  struct Junk {
    std::string name;
    void (*make)(const std::string& folder, const std::string& name);
    std::string reason;  // What its line says after "<path>: ".
  };
  const std::vector<Junk> junk = {
      {"notes.txt",
       [](const std::string& f, const std::string& n) { WriteFile(f + "/" + n, "hi"); },
       "not a bundle folder"},
      {"NoPlist.plugin",
       [](const std::string& f, const std::string& n) { MakeDirs(f + "/" + n + "/Contents"); },
       "has no Contents/Info.plist"},
      {"NoCode.plugin",
       [](const std::string& f, const std::string& n) { JunkBundle(f, n, "x.so"); },
       "x.so: No such file or directory"},
      {"Loop.plugin",
       [](const std::string& f, const std::string& n) {
         std::filesystem::create_symlink(f + "/" + n, f + "/" + n);
       },
       "Too many levels of symbolic links"},
      {"FifoPlist.plugin",
       [](const std::string& f, const std::string& n) {
         MakeDirs(f + "/" + n + "/Contents");
         ASSERT_EQ(::mkfifo((f + "/" + n + "/Contents/Info.plist").c_str(), 0600), 0);
       },
       "has no Contents/Info.plist"},
      {"Fifo.plugin",
       [](const std::string& f, const std::string& n) {
         ASSERT_EQ(::mkfifo((JunkBundle(f, n, "x.so") + "/Contents/Linux/x.so").c_str(), 0600), 0);
       },
       "x.so: not a regular file"},
      {"Climbs.plugin",
       [](const std::string& f, const std::string& n) {
         WriteFile(JunkBundle(f, n, "../x.so") + "/Contents/x.so", "");
       },
       "CFBundleExecutable \"../x.so\" lies outside the bundle"},
      {"Absolute.plugin",
       [](const std::string& f, const std::string& n) { JunkBundle(f, n, "/bin/true"); },
       "CFBundleExecutable \"/bin/true\" lies outside the bundle"},
  };
  for (const Junk& entry : junk) entry.make(folder, entry.name);

  const RunResult r = RunProgramWith({FINDER_PATH, "menu", File("a.txt")}, RunOptions{{}, {}, 60});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, kDefaultSubmenu);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), static_cast<long>(junk.size())) << r.err;
  for (const Junk& entry : junk) {
    const std::string head = "finder: skipped " + folder + "/" + entry.name + ": ";
    const std::size_t at = r.err.find(head);
    ASSERT_NE(at, std::string::npos) << entry.name << "\n" << r.err;
    const std::string line = r.err.substr(at, r.err.find('\n', at) - at);
    EXPECT_NE(line.find(entry.reason), std::string::npos) << line;
  }

  // Named on the command line, each of them is an error, and none hangs.
  for (const Junk& entry : junk) {
    const RunResult named =
        RunProgramWith({FINDER_PATH, "menu", "--plugin", folder + "/" + entry.name, File("a.txt")},
                       RunOptions{{}, {}, 60});
    EXPECT_EQ(named.exitStatus, 1) << entry.name;
    EXPECT_EQ(named.out, "") << entry.name;
    EXPECT_EQ(named.err.rfind("finder: " + folder + "/" + entry.name + ": ", 0), 0u) << named.err;
  }
}

TEST_F(FinderTest, AUsersCopyStandsInForTheSystemsUnlessItFails) {
  const std::string user = user_.root() + "/data/Kestrine/Contextual Menu Items";
  const std::string system = user_.root() + "/system/Kestrine/Contextual Menu Items";
  const ScopedEnv dataDirs("XDG_DATA_DIRS", "relative:" + user_.root() + "/system");
  CopyOfBundle(system);
  const std::string copy = CopyOfBundle(user);
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
  EXPECT_EQ(r.err, "finder: skipped " + copy + ": cannot load " + copy +
                       "/Contents/Linux/KestrineCM.so: No such file or directory\n");
}

TEST_F(FinderTest, MemoryRunningOutInACommandCopiesNothingAndKeepsTheHost) {
  if (kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer cannot run under RLIMIT_AS";
  Settings("<key>MultipathSeparator</key><string>" + std::string(1 << 20, '-') + "</string>");
  const std::string file = File("a.txt");
  for (const char* id : {"1", "10"}) {
    std::vector<std::string> argv = {FINDER_PATH, "choose", "--plugin", KESTRINE_CM_BUNDLE, id};
    argv.insert(argv.end(), 3000, file);
    const RunResult r = RunProgramWith(argv, RunOptions{{}, {{RLIMIT_AS, 256u << 20}}, 120});
    EXPECT_EQ(r.exitStatus, 0) << id << ": " << r.err.substr(0, 300);
    EXPECT_EQ(user_.Clipboard(), std::nullopt) << id;
  }
}

}  // namespace
