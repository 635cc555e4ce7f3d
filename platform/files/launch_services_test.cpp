#include "platform/files/launch_services.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>

#include "platform/files/files_test_support.h"

namespace {

using namespace files_testing;
using kestrine_testing::ScopedEnv;

// The reference of the entry `name` of `folder` itself, links not followed.
FSRef EntryRef(const std::string& folder, const std::string& name) {
  return ReadFolder(RefOf(folder)).at(name).ref;
}

bool HasDiskLabels() { return std::filesystem::exists("/dev/disk/by-label"); }

TEST(LSExtensionTest, ExtensionRules) {
  constexpr std::size_t kNone = kLSInvalidExtensionIndex;
  // A leading period starts a hidden name. White space (a no-break space too)
  // may come before the period, not after it; bad bytes are no white space.
  const std::pair<std::string, std::size_t> cases[] = {
      {"archive.tar.gz", 12}, {"Plan.txt", 5}, {"README", kNone}, {".bashrc", kNone},
      {".config.json", 8}, {"file.", kNone}, {"a.txt ", kNone}, {"a.b c", kNone},
      {"a.t\txt", kNone}, {"a.\xC2\xA0", kNone}, {"my file.txt", 8},
      {"R\xC3\xA9sum\xC3\xA9.txt", 9}, {"photo.j\xC3\xA9g", 6}, {"a..b", 3}, {"..", kNone},
      {".", kNone}, {"", kNone}, {"x.\xFF", 2}};
  for (const auto& [name, index] : cases) EXPECT_EQ(LSGetExtensionInfo(name), index) << name;
}

// Display names are valid UTF-8 and show a volume's name at its root. Both
// texts belong to the location, but only the extension outlives the item.
TEST(LSItemTextTest, PathExtensionIsThePlainURLRuleAndDisplayNamesAreUTF8) {
  ScopedTempDir temp;
  const std::pair<std::string, std::optional<std::string>> extensions[] = {
      {".bashrc", "bashrc"}, {"a.txt ", "txt "}, {"file.", std::nullopt},
      {"README", std::nullopt}, {"Tool.APP", "APP"}, {"x.tar.gz", "gz"}};
  for (const auto& [name, extension] : extensions) {
    MakeItems(temp, {name});
    EXPECT_EQ(CFURLCopyPathExtension(RefOf(temp.Join(name))), extension) << name;
  }
  EXPECT_EQ(CFURLCopyPathExtension(RefOf("/")), std::nullopt);
  const std::pair<std::string, std::string> display_names[] = {
      {"bad\xFF\xFEname.txt", "bad\xEF\xBF\xBD\xEF\xBF\xBDname.txt"},
      {"R\xC3\xA9sum\xC3\xA9.txt", "R\xC3\xA9sum\xC3\xA9.txt"},
      {"line\nfeed", "line\nfeed"}};
  for (const auto& [name, shown] : display_names) {
    MakeItems(temp, {name});
    EXPECT_EQ(LSCopyDisplayNameForRef(RefOf(temp.Join(name))), shown);
    EXPECT_EQ(FSGetFileDirName(RefOf(temp.Join(name))), name);
  }
  if (!HasDiskLabels()) { EXPECT_EQ(LSCopyDisplayNameForRef(RefOf("/")), "Linux"); }
  EXPECT_EQ(LSCopyDisplayNameForRef(RefOf("/proc")), "proc");

  const FSRef gone = RefOf(temp.Join("x.tar.gz"));
  ASSERT_EQ(unlink(temp.Join("x.tar.gz").c_str()), 0);
  EXPECT_EQ(CFURLCopyPathExtension(gone), "gz");
  EXPECT_EQ(LSCopyDisplayNameForRef(gone), std::nullopt);
  EXPECT_EQ(CFURLCopyPathExtension(FSRef{}), std::nullopt);
  EXPECT_EQ(LSCopyDisplayNameForRef(FSRef{}), std::nullopt);
}

LSItemInfoFlags FlagsOf(const FSRef& ref, LSRequestedInfo which = kLSRequestBasicFlagsOnly) {
  LSItemInfoRecord info;
  info.flags = 0xDEAD;
  EXPECT_EQ(LSCopyItemInfoForRef(ref, which, &info), noErr);
  return info.flags;
}

TEST(LSItemInfoTest, PackagesApplicationsPlainItemsAndRememberedPackageFlags) {
  ScopedTempDir temp;
  MakeItems(temp, {"Bundle/Contents/Info.plist", "NoPlist/Contents/", "link.app->Tool.app"});
  constexpr LSItemInfoFlags kFolder = kLSItemInfoIsContainer;
  constexpr LSItemInfoFlags kPackage = kFolder | kLSItemInfoIsPackage;
  constexpr LSItemInfoFlags kApp = kPackage | kLSItemInfoIsApplication;
  const std::pair<std::string, LSItemInfoFlags> cases[] = {
      {"Tool.app/", kApp},          {"Tool.AppDir/", kApp},         {"Kit.framework/", kPackage},
      {"Data.BUNDLE/", kPackage},   {"KestrineCM.plugin/", kPackage}, {"Driver.kext/", kPackage},
      {"Bundle/", kPackage},        {"Plain/", kFolder},            {"NoPlist/", kFolder},
      {".app/", kFolder},           {"Spaced.app /", kFolder},
      {"file.app", kLSItemInfoIsPlainFile}, {"notes.txt", kLSItemInfoIsPlainFile}};
  for (const auto& [name, flags] : cases) {
    MakeItems(temp, {name});
    EXPECT_EQ(FlagsOf(RefOf(temp.Join(name))), flags) << name;
  }
  EXPECT_EQ(FlagsOf(EntryRef(temp.path(), "link.app")),
            kLSItemInfoIsSymlink | kLSItemInfoIsPlainFile);
  EXPECT_EQ(FlagsOf(RefOf("/")), kFolder);

  // The walk's cheap question agrees with the full one, for items named by
  // their path and relative to the folder an iterator holds open.
  constexpr LSItemInfoFlags kBits = kLSItemInfoIsPackage | kLSItemInfoIsApplication;
  const auto only = [](const FSRef& ref) { return FlagsOf(ref, kLSRequestPackageFlagsOnly); };
  EXPECT_EQ(ForEachEntry(RefOf(temp.path()), [&](const FSRef& entry, bool) {
              const std::string path = temp.Join(*FSGetFileDirName(entry));
              EXPECT_EQ(only(entry), FlagsOf(entry) & kBits) << path;
              EXPECT_EQ(only(RefOf(path)), FlagsOf(RefOf(path)) & kBits) << path;
            }),
            14u);
  EXPECT_EQ(only(RefOf("/")), 0u);

  LSItemInfoRecord info;
  EXPECT_EQ(LSCopyItemInfoForRef(RefOf(temp.Join("Plain")), kLSRequestBasicFlagsOnly, nullptr),
            paramErr);
  EXPECT_EQ(LSCopyItemInfoForRef(FSRef{}, kLSRequestBasicFlagsOnly, &info), paramErr);

  // Under a listing cache the package answer found while reading a folder is
  // kept with its entry, so a second pass asks the file system nothing.
  const FSRef bundle = RefOf(temp.Join("Bundle"));
  const auto bundleFlagsInAWalk = [&] {
    LSItemInfoFlags flags = 0xDEAD;
    ForEachEntry(RefOf(temp.path()), [&](const FSRef& entry, bool) {
      if (entry == bundle) flags = only(entry);
    });
    return flags;
  };
  {
    const ScopedFileSystemSnapshot cache;
    EXPECT_EQ(bundleFlagsInAWalk(), kLSItemInfoIsPackage);
    ASSERT_EQ(unlink(temp.Join("Bundle/Contents/Info.plist").c_str()), 0);
    EXPECT_EQ(bundleFlagsInAWalk(), kLSItemInfoIsPackage);
  }
  EXPECT_EQ(bundleFlagsInAWalk(), 0u);

  const FSRef gone = RefOf(temp.Join("notes.txt"));
  ASSERT_EQ(unlink(temp.Join("notes.txt").c_str()), 0);
  std::filesystem::remove_all(temp.Join("Bundle"));
  EXPECT_EQ(LSCopyItemInfoForRef(gone, kLSRequestBasicFlagsOnly, &info), fnfErr);
  // An item gone since its reference was made is no package.
  EXPECT_EQ(only(bundle), 0u);
}

// A local volume's URL is its mount point's; its name starts HFS paths.
TEST(VolumeTest, URLsAndHFSPathsWithTheVolumeNameThenComponentsWithColons) {
  EXPECT_EQ(FSCopyURLForVolume(FSGetVRefNum(RefOf("/")).value_or(-1)), "file:///");
  EXPECT_EQ(FSCopyURLForVolume(FSGetVRefNum(RefOf("/proc")).value_or(-1)), "file:///proc/");
  EXPECT_EQ(FSCopyURLForVolume(-1), std::nullopt);
  EXPECT_EQ(FSCopyURLForVolume(0x7FFFFFFF), std::nullopt);
  if (!HasDiskLabels()) { EXPECT_EQ(CFURLCopyHFSPath(RefOf("/")), "Linux:"); }
  const std::optional<std::string> root = CFURLCopyHFSPath(RefOf("/"));
  ASSERT_TRUE(root.has_value() && !root->empty());
  EXPECT_EQ(root->find(':'), root->size() - 1) << "one colon, at the end";
  EXPECT_EQ(CFURLCopyHFSPath(RefOf("/proc")), "proc:");
  // The link is followed to the process's own folder.
  EXPECT_EQ(CFURLCopyHFSPath(RefOf("/proc/self")), "proc:" + std::to_string(getpid()) + ":");

  ScopedTempDir temp;
  const std::optional<std::string> base = CFURLCopyHFSPath(RefOf(temp.path()));
  ASSERT_TRUE(base.has_value());
  // A folder's path ends with a colon.
  ASSERT_TRUE(base->ends_with(temp.path().substr(temp.path().rfind('/') + 1) + ":")) << *base;

  MakeItems(temp, {"My Folder/a:b.txt", "My Folder/x/R\xC3\xA9sum\xC3\xA9", "bad\xFFname",
                   "link->My Folder"});
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"My Folder", *base + "My Folder:"},
      {"My Folder/a:b.txt", *base + "My Folder:a/b.txt"},
      {"My Folder/x/R\xC3\xA9sum\xC3\xA9", *base + "My Folder:x:R\xC3\xA9sum\xC3\xA9"},
      {"bad\xFFname", std::nullopt}};
  for (const auto& [path, hfs] : cases) EXPECT_EQ(CFURLCopyHFSPath(RefOf(temp.Join(path))), hfs);
  EXPECT_EQ(CFURLCopyHFSPath(EntryRef(temp.path(), "link")), *base + "link");

  const FSRef gone = RefOf(temp.Join("My Folder/a:b.txt"));
  ASSERT_EQ(unlink(temp.Join("My Folder/a:b.txt").c_str()), 0);
  EXPECT_EQ(CFURLCopyHFSPath(gone), std::nullopt);
  EXPECT_EQ(CFURLCopyHFSPath(FSRef{}), std::nullopt);
}

TEST(HomeTest, HomeFromTheEnvironmentOrThePasswordEntryAndTildePaths) {
  const passwd* entry = getpwuid(geteuid());
  const std::optional<std::string> fromPasswd =
      entry != nullptr && entry->pw_dir[0] == '/' ? std::optional<std::string>(entry->pw_dir)
                                                  : std::nullopt;
  const std::pair<std::optional<std::string>, std::optional<std::string>> homes[] = {
      {"/home/ann", "/home/ann"}, {"/home/ann//", "/home/ann"}, {"/", "/"},
      {"relative/home", fromPasswd}, {"", fromPasswd}, {std::nullopt, fromPasswd},
  };
  for (const auto& [home, expected] : homes) {
    const ScopedEnv scoped("HOME", home);
    EXPECT_EQ(NSHomeDirectory(), expected) << home.value_or("(unset)");
  }

  // The tilde replaces the home folder by whole components.
  const struct { const char *home, *path, *expected; } cases[] = {
      {"/home/ann", "/home/ann", "~"}, {"/home/ann", "/home/ann/", "~"},
      {"/home/ann", "/home/ann/Documents/Plan.txt", "~/Documents/Plan.txt"},
      {"/home/ann", "/home/ann/My Files/a b", "~/My Files/a b"},
      {"/home/ann", "/home/ann2", "/home/ann2"}, {"/home/ann", "/home/ann2/x", "/home/ann2/x"},
      {"/home/ann", "/home", "/home"}, {"/home/ann", "/Applications", "/Applications"},
      {"/home/ann", "x/home/ann", "x/home/ann"}, {"/home/ann", "", ""},
      {"/home/ann/", "/home/ann/a", "~/a"}, {"/", "/", "~"}, {"/", "/etc/hosts", "~/etc/hosts"}};
  for (const auto& c : cases) {
    const ScopedEnv home("HOME", c.home);
    EXPECT_EQ(stringByAbbreviatingWithTildeInPath(c.path), c.expected) << c.home << " " << c.path;
  }
}

}  // namespace
