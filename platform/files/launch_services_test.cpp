#include "platform/files/launch_services.h"

#include <cstdlib>

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files/files_test_support.h"

namespace {

using files_testing::MakeFile;
using files_testing::MakeFolder;
using files_testing::ScopedHome;
using files_testing::TempFolder;

FSRef RefOf(const std::string& path) {
  FSRef ref{};
  EXPECT_EQ(FSPathMakeRef(path, &ref), noErr) << path;
  return ref;
}

// The reference of the entry `name` of `folder` itself, links not followed.
FSRef EntryRef(const std::string& folder, const std::string& name) {
  FSIteratorRef iterator;
  EXPECT_EQ(FSOpenIterator(RefOf(folder), &iterator), noErr);
  FSRef ref{};
  ItemCount count = 0;
  while (iterator && FSGetCatalogInfoBulk(*iterator, &count, nullptr, &ref) == noErr) {
    if (FSGetFileDirName(ref) == name) return ref;
  }
  ADD_FAILURE() << "no entry " << name;
  return FSRef{};
}

bool ByLabelFolderExists() {
  struct stat status {};
  return stat("/dev/disk/by-label", &status) == 0;
}

TEST(LSExtensionTest, ExtensionRules) {
  const std::vector<std::pair<std::string, std::size_t>> cases = {
      {"archive.tar.gz", 12},
      {"Plan.txt", 5},
      {"README", kLSInvalidExtensionIndex},
      {".bashrc", kLSInvalidExtensionIndex},   // A leading period starts a hidden name.
      {".config.json", 8},
      {"file.", kLSInvalidExtensionIndex},
      {"a.txt ", kLSInvalidExtensionIndex},    // White space after the period.
      {"a.b c", kLSInvalidExtensionIndex},
      {"a.t\txt", kLSInvalidExtensionIndex},
      {"a.\xC2\xA0", kLSInvalidExtensionIndex},  // No-break space.
      {"my file.txt", 8},                      // White space before the period is fine.
      {"R\xC3\xA9sum\xC3\xA9.txt", 9},
      {"photo.j\xC3\xA9g", 6},
      {"a..b", 3},
      {"..", kLSInvalidExtensionIndex},
      {".", kLSInvalidExtensionIndex},
      {"", kLSInvalidExtensionIndex},
      {"x.\xFF", 2},                           // Bad bytes are no white space.
  };
  for (const auto& [name, index] : cases) EXPECT_EQ(LSGetExtensionInfo(name), index) << name;
}

TEST(LSExtensionTest, PathExtensionIsThePlainURLRule) {
  TempFolder temp;
  for (const char* name : {".bashrc", "a.txt ", "file.", "README", "Tool.APP", "x.tar.gz"}) {
    ASSERT_TRUE(MakeFile(temp / name));
  }
  EXPECT_EQ(CFURLCopyPathExtension(RefOf(temp / ".bashrc")), "bashrc");
  EXPECT_EQ(CFURLCopyPathExtension(RefOf(temp / "a.txt ")), "txt ");
  EXPECT_EQ(CFURLCopyPathExtension(RefOf(temp / "file.")), std::nullopt);
  EXPECT_EQ(CFURLCopyPathExtension(RefOf(temp / "README")), std::nullopt);
  EXPECT_EQ(CFURLCopyPathExtension(RefOf(temp / "Tool.APP")), "APP");
  EXPECT_EQ(CFURLCopyPathExtension(RefOf(temp / "x.tar.gz")), "gz");
  EXPECT_EQ(CFURLCopyPathExtension(RefOf("/")), std::nullopt);
  EXPECT_EQ(CFURLCopyPathExtension(FSRef{}), std::nullopt);

  // The extension belongs to the location: it stays when the item is gone.
  const FSRef gone = RefOf(temp / "x.tar.gz");
  ASSERT_EQ(unlink((temp / "x.tar.gz").c_str()), 0);
  EXPECT_EQ(CFURLCopyPathExtension(gone), "gz");
}

TEST(LSItemInfoTest, PackagesApplicationsAndPlainItems) {
  TempFolder temp;
  for (const char* folder : {"Tool.app", "Kit.framework", "Data.BUNDLE", "KestrineCM.plugin",
                             "Driver.kext", "Tool.AppDir", "Plain", "Bundle", "Bundle/Contents",
                             "NoPlist", "NoPlist/Contents", ".app", "Spaced.app "}) {
    ASSERT_TRUE(MakeFolder(temp / folder)) << folder;
  }
  ASSERT_TRUE(MakeFile(temp / "Bundle/Contents/Info.plist"));
  ASSERT_TRUE(MakeFile(temp / "file.app"));
  ASSERT_TRUE(MakeFile(temp / "notes.txt"));
  ASSERT_EQ(symlink("Tool.app", (temp / "link.app").c_str()), 0);

  const auto flags = [&](const FSRef& ref) {
    LSItemInfoRecord info;
    info.flags = 0xDEAD;
    EXPECT_EQ(LSCopyItemInfoForRef(ref, kLSRequestBasicFlagsOnly, &info), noErr);
    return info.flags;
  };
  constexpr LSItemInfoFlags kApp =
      kLSItemInfoIsContainer | kLSItemInfoIsPackage | kLSItemInfoIsApplication;
  constexpr LSItemInfoFlags kPackage = kLSItemInfoIsContainer | kLSItemInfoIsPackage;
  EXPECT_EQ(flags(RefOf(temp / "Tool.app")), kApp);
  EXPECT_EQ(flags(RefOf(temp / "Tool.AppDir")), kApp);
  EXPECT_EQ(flags(RefOf(temp / "Kit.framework")), kPackage);
  EXPECT_EQ(flags(RefOf(temp / "Data.BUNDLE")), kPackage);
  EXPECT_EQ(flags(RefOf(temp / "KestrineCM.plugin")), kPackage);
  EXPECT_EQ(flags(RefOf(temp / "Driver.kext")), kPackage);
  EXPECT_EQ(flags(RefOf(temp / "Bundle")), kPackage);
  EXPECT_EQ(flags(RefOf(temp / "Plain")), kLSItemInfoIsContainer);
  EXPECT_EQ(flags(RefOf(temp / "NoPlist")), kLSItemInfoIsContainer);
  EXPECT_EQ(flags(RefOf(temp / ".app")), kLSItemInfoIsContainer);
  EXPECT_EQ(flags(RefOf(temp / "Spaced.app ")), kLSItemInfoIsContainer);
  EXPECT_EQ(flags(RefOf(temp / "file.app")), kLSItemInfoIsPlainFile);
  EXPECT_EQ(flags(RefOf(temp / "notes.txt")), kLSItemInfoIsPlainFile);
  EXPECT_EQ(flags(EntryRef(temp.path(), "link.app")),
            kLSItemInfoIsSymlink | kLSItemInfoIsPlainFile);
  EXPECT_EQ(flags(RefOf("/")), kLSItemInfoIsContainer);

  // The walk's cheap question agrees with the full one, for items named by
  // their path and relative to the folder an iterator holds open.
  constexpr LSItemInfoFlags kBits = kLSItemInfoIsPackage | kLSItemInfoIsApplication;
  const auto only = [](const FSRef& ref) {
    LSItemInfoRecord info;
    EXPECT_EQ(LSCopyItemInfoForRef(ref, kLSRequestPackageFlagsOnly, &info), noErr);
    return info.flags;
  };
  FSIteratorRef iterator;
  ASSERT_EQ(FSOpenIterator(RefOf(temp.path()), &iterator), noErr);
  int seen = 0;
  ItemCount count = 0;
  FSCatalogInfo catalog;
  FSRef entry{};
  while (FSGetCatalogInfoBulk(*iterator, &count, &catalog, &entry) == noErr && count == 1) {
    ++seen;
    const std::string name = *FSGetFileDirName(entry);
    EXPECT_EQ(only(entry), flags(entry) & kBits) << name;
    EXPECT_EQ(only(RefOf(temp / name)), flags(RefOf(temp / name)) & kBits) << name;
  }
  EXPECT_EQ(seen, 14);
  EXPECT_EQ(only(RefOf("/")), 0u);

  LSItemInfoRecord info;
  EXPECT_EQ(LSCopyItemInfoForRef(RefOf(temp / "Plain"), kLSRequestBasicFlagsOnly, nullptr),
            paramErr);
  EXPECT_EQ(LSCopyItemInfoForRef(FSRef{}, kLSRequestBasicFlagsOnly, &info), paramErr);
  const FSRef gone = RefOf(temp / "notes.txt");
  ASSERT_EQ(unlink((temp / "notes.txt").c_str()), 0);
  EXPECT_EQ(LSCopyItemInfoForRef(gone, kLSRequestBasicFlagsOnly, &info), fnfErr);
  // An item gone since its reference was made is no package.
  const FSRef goneBundle = RefOf(temp / "Bundle");
  ASSERT_EQ(std::system(("rm -rf '" + (temp / "Bundle") + "'").c_str()), 0);
  EXPECT_EQ(only(goneBundle), 0u);
}

// Under a listing cache the package answer found while reading a folder is
// kept with its entry, so a second pass asks the file system nothing.
TEST(LSItemInfoTest, PackageFlagsAreRememberedWithTheListing) {
  TempFolder temp;
  ASSERT_TRUE(MakeFolder(temp / "Bundle"));
  ASSERT_TRUE(MakeFolder(temp / "Bundle/Contents"));
  ASSERT_TRUE(MakeFile(temp / "Bundle/Contents/Info.plist"));
  const auto packageFlagsOfEntries = [&] {
    LSItemInfoFlags flags = 0xDEAD;
    FSIteratorRef iterator;
    EXPECT_EQ(FSOpenIterator(RefOf(temp.path()), &iterator), noErr);
    ItemCount count = 0;
    FSCatalogInfo info;
    FSRef entry{};
    while (FSGetCatalogInfoBulk(*iterator, &count, &info, &entry) == noErr && count == 1) {
      LSItemInfoRecord record;
      EXPECT_EQ(LSCopyItemInfoForRef(entry, kLSRequestPackageFlagsOnly, &record), noErr);
      flags = record.flags;
    }
    return flags;
  };
  {
    const ScopedFileSystemSnapshot cache;
    EXPECT_EQ(packageFlagsOfEntries(), kLSItemInfoIsPackage);
    ASSERT_EQ(unlink((temp / "Bundle/Contents/Info.plist").c_str()), 0);
    EXPECT_EQ(packageFlagsOfEntries(), kLSItemInfoIsPackage);
  }
  EXPECT_EQ(packageFlagsOfEntries(), 0u);
}

TEST(LSDisplayNameTest, NamesAreValidUTF8AndVolumeRootsShowTheVolume) {
  TempFolder temp;
  ASSERT_TRUE(MakeFile(temp / "bad\xFF\xFEname.txt"));
  ASSERT_TRUE(MakeFile(temp / "R\xC3\xA9sum\xC3\xA9.txt"));
  ASSERT_TRUE(MakeFile(temp / "line\nfeed"));
  EXPECT_EQ(LSCopyDisplayNameForRef(RefOf(temp / "bad\xFF\xFEname.txt")),
            "bad\xEF\xBF\xBD\xEF\xBF\xBDname.txt");
  EXPECT_EQ(FSGetFileDirName(RefOf(temp / "bad\xFF\xFEname.txt")), "bad\xFF\xFEname.txt");
  EXPECT_EQ(LSCopyDisplayNameForRef(RefOf(temp / "R\xC3\xA9sum\xC3\xA9.txt")),
            "R\xC3\xA9sum\xC3\xA9.txt");
  EXPECT_EQ(LSCopyDisplayNameForRef(RefOf(temp / "line\nfeed")), "line\nfeed");

  if (!ByLabelFolderExists()) {
    EXPECT_EQ(LSCopyDisplayNameForRef(RefOf("/")), "Linux");
  }
  struct stat proc_status {};
  if (stat("/proc/self", &proc_status) == 0) {
    EXPECT_EQ(LSCopyDisplayNameForRef(RefOf("/proc")), "proc");
  }

  const FSRef gone = RefOf(temp / "line\nfeed");
  ASSERT_EQ(unlink((temp / "line\nfeed").c_str()), 0);
  EXPECT_EQ(LSCopyDisplayNameForRef(gone), std::nullopt);
  EXPECT_EQ(LSCopyDisplayNameForRef(FSRef{}), std::nullopt);
}

TEST(HFSPathTest, VolumeNameThenComponentsWithColons) {
  if (!ByLabelFolderExists()) {
    EXPECT_EQ(CFURLCopyHFSPath(RefOf("/")), "Linux:");
  }
  const std::optional<std::string> root = CFURLCopyHFSPath(RefOf("/"));
  ASSERT_TRUE(root.has_value());
  ASSERT_EQ(root->back(), ':');
  EXPECT_EQ(root->find(':'), root->size() - 1);

  struct stat proc_status {};
  if (stat("/proc/self", &proc_status) == 0) {
    EXPECT_EQ(CFURLCopyHFSPath(RefOf("/proc")), "proc:");
    FSRef self{};
    ASSERT_EQ(FSPathMakeRef("/proc/self", &self), noErr);  // Follows the link.
    EXPECT_EQ(CFURLCopyHFSPath(self), "proc:" + std::to_string(getpid()) + ":");
  }

  TempFolder temp;
  const std::optional<std::string> base = CFURLCopyHFSPath(RefOf(temp.path()));
  ASSERT_TRUE(base.has_value());
  ASSERT_EQ(base->back(), ':') << "a folder's path ends with a colon";
  const std::string folder_name = temp.path().substr(temp.path().rfind('/') + 1);
  EXPECT_EQ(base->substr(base->size() - folder_name.size() - 1), folder_name + ":");

  ASSERT_TRUE(MakeFolder(temp / "My Folder"));
  ASSERT_TRUE(MakeFile(temp / "My Folder/a:b.txt"));
  ASSERT_TRUE(MakeFolder(temp / "My Folder/x"));
  ASSERT_TRUE(MakeFile(temp / "My Folder/x/R\xC3\xA9sum\xC3\xA9"));
  ASSERT_TRUE(MakeFile(temp / "bad\xFFname"));
  ASSERT_EQ(symlink("My Folder", (temp / "link").c_str()), 0);

  EXPECT_EQ(CFURLCopyHFSPath(RefOf(temp / "My Folder")), *base + "My Folder:");
  EXPECT_EQ(CFURLCopyHFSPath(RefOf(temp / "My Folder/a:b.txt")), *base + "My Folder:a/b.txt");
  EXPECT_EQ(CFURLCopyHFSPath(RefOf(temp / "My Folder/x/R\xC3\xA9sum\xC3\xA9")),
            *base + "My Folder:x:R\xC3\xA9sum\xC3\xA9");
  EXPECT_EQ(CFURLCopyHFSPath(EntryRef(temp.path(), "link")), *base + "link");
  EXPECT_EQ(CFURLCopyHFSPath(RefOf(temp / "bad\xFFname")), std::nullopt);

  const FSRef gone = RefOf(temp / "My Folder/a:b.txt");
  ASSERT_EQ(unlink((temp / "My Folder/a:b.txt").c_str()), 0);
  EXPECT_EQ(CFURLCopyHFSPath(gone), std::nullopt);
  EXPECT_EQ(CFURLCopyHFSPath(FSRef{}), std::nullopt);
}

TEST(VolumeURLTest, LocalVolumesGiveTheirMountPointAsFileURL) {
  const std::optional<FSVolumeRefNum> root = FSGetVRefNum(RefOf("/"));
  ASSERT_TRUE(root.has_value());
  EXPECT_EQ(FSCopyURLForVolume(*root), "file:///");
  struct stat proc_status {};
  if (stat("/proc/self", &proc_status) == 0) {
    EXPECT_EQ(FSCopyURLForVolume(FSGetVRefNum(RefOf("/proc")).value_or(-1)), "file:///proc/");
  }
  EXPECT_EQ(FSCopyURLForVolume(-1), std::nullopt);
  EXPECT_EQ(FSCopyURLForVolume(0x7FFFFFFF), std::nullopt);
}

TEST(HomeTest, HomeComesFromTheEnvironmentOrThePasswordEntry) {
  const passwd* entry = getpwuid(geteuid());
  const std::optional<std::string> fromPasswd =
      entry != nullptr && entry->pw_dir[0] == '/' ? std::optional<std::string>(entry->pw_dir)
                                                  : std::nullopt;
  const std::pair<std::optional<std::string>, std::optional<std::string>> cases[] = {
      {"/home/ann", "/home/ann"}, {"/home/ann//", "/home/ann"}, {"/", "/"},
      {"relative/home", fromPasswd}, {"", fromPasswd}, {std::nullopt, fromPasswd},
  };
  for (const auto& [home, expected] : cases) {
    ScopedHome scoped(home);
    EXPECT_EQ(NSHomeDirectory(), expected) << home.value_or("(unset)");
  }
}

TEST(HomeTest, TildeReplacesTheHomeFolderByWholeComponents) {
  const struct {
    const char* home;
    const char* path;
    const char* expected;
  } cases[] = {
      {"/home/ann", "/home/ann", "~"},
      {"/home/ann", "/home/ann/", "~"},
      {"/home/ann", "/home/ann/Documents/Plan.txt", "~/Documents/Plan.txt"},
      {"/home/ann", "/home/ann/My Files/a b", "~/My Files/a b"},
      {"/home/ann", "/home/ann2", "/home/ann2"},
      {"/home/ann", "/home/ann2/x", "/home/ann2/x"},
      {"/home/ann", "/home", "/home"},
      {"/home/ann", "/Applications", "/Applications"},
      {"/home/ann", "x/home/ann", "x/home/ann"},
      {"/home/ann", "", ""},
      {"/home/ann/", "/home/ann/a", "~/a"},
      {"/", "/", "~"},
      {"/", "/etc/hosts", "~/etc/hosts"},
  };
  for (const auto& c : cases) {
    ScopedHome home{std::string(c.home)};
    EXPECT_EQ(stringByAbbreviatingWithTildeInPath(c.path), c.expected) << c.home << " " << c.path;
  }
  // A real home folder and a real file in it, through a reference.
  TempFolder temp;
  ScopedHome home(temp.path());
  ASSERT_TRUE(MakeFile(temp / "Plan.txt"));
  char path[4096];
  ASSERT_EQ(FSRefMakePath(RefOf(temp / "Plan.txt"), path, sizeof path), noErr);
  EXPECT_EQ(stringByAbbreviatingWithTildeInPath(path), "~/Plan.txt");
}

}  // namespace
