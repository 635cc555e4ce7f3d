#include "platform/files/files.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "platform/files/directory_entry.h"
#include "platform/files/files_test_support.h"
#include "platform/files/node_table.h"
#include "testing/test_support.h"

namespace {

using files_testing::MakeFile;
using files_testing::MakeFolder;
using files_testing::TempFolder;

std::string PathOf(const FSRef& ref, std::size_t capacity = 4096) {
  std::string buffer(capacity, 'x');
  if (FSRefMakePath(ref, buffer.data(), capacity) != noErr) return "<failed>";
  return std::string(buffer.c_str());
}

FSRef RefOf(const std::string& path) {
  FSRef ref{};
  EXPECT_EQ(FSPathMakeRef(path, &ref), noErr) << path;
  return ref;
}

struct Entry {
  FSRef ref;
  bool is_folder;
};

// Every entry of `folder`, by name.
std::map<std::string, Entry> ReadFolder(const FSRef& folder) {
  std::map<std::string, Entry> entries;
  FSIteratorRef iterator;
  EXPECT_EQ(FSOpenIterator(folder, &iterator), noErr);
  if (!iterator) return entries;
  for (;;) {
    ItemCount count = 99;
    FSCatalogInfo info;
    FSRef ref{};
    const OSErr status = FSGetCatalogInfoBulk(*iterator, &count, &info, &ref);
    if (status == errFSNoMoreItems) {
      EXPECT_EQ(count, 0u);
      break;
    }
    EXPECT_EQ(status, noErr);
    EXPECT_EQ(count, 1u);
    if (status != noErr) break;
    const std::optional<std::string> name = FSGetFileDirName(ref);
    EXPECT_TRUE(name.has_value());
    EXPECT_FALSE(entries.count(name.value_or(""))) << "delivered twice: " << *name;
    entries[name.value_or("")] = {ref, (info.nodeFlags & kFSNodeIsDirectoryMask) != 0};
  }
  FSCloseIterator(&iterator);
  EXPECT_EQ(iterator, nullptr);
  return entries;
}

TEST(FSRefTest, PathsWithAwkwardBytesComeBackExactly) {
  TempFolder temp;
  ASSERT_FALSE(temp.path().empty());
  const std::vector<std::string> names = {
      "My File (1).txt", "50% off", "back\\slash", "tab\there", "line\nfeed", "trailing ",
      "bad\xFFname", "R\xC3\xA9sum\xC3\xA9", "colon:name", std::string(71, 'a'),
      std::string(72, 'b'), std::string(255, 'c')};
  for (const std::string& name : names) {
    const std::string path = temp / name;
    ASSERT_TRUE(MakeFile(path)) << name;
    bool is_folder = true;
    FSRef ref{};
    ASSERT_EQ(FSPathMakeRef(path, &ref, &is_folder), noErr) << name;
    EXPECT_FALSE(is_folder);
    EXPECT_EQ(PathOf(ref), path);
    EXPECT_EQ(FSRefCopyPathUnchecked(ref), path);
    EXPECT_EQ(FSGetFileDirName(ref), name);
  }
  const std::string folder = temp / "a folder";
  ASSERT_TRUE(MakeFolder(folder));
  bool is_folder = false;
  FSRef ref{};
  ASSERT_EQ(FSPathMakeRef(folder + "/", &ref, &is_folder), noErr);
  EXPECT_TRUE(is_folder);
  EXPECT_EQ(PathOf(ref), folder) << "no trailing slash";
}

TEST(FSRefTest, MakingARefResolvesLikeRealpath) {
  TempFolder temp;
  ASSERT_TRUE(MakeFolder(temp / "real"));
  ASSERT_TRUE(MakeFile(temp / "real/file.txt"));
  ASSERT_EQ(symlink("real", (temp / "link").c_str()), 0);
  ASSERT_EQ(symlink("file.txt", (temp / "real/file link").c_str()), 0);

  const FSRef direct = RefOf(temp / "real/file.txt");
  EXPECT_EQ(RefOf(temp / "link/file.txt"), direct);
  EXPECT_EQ(RefOf(temp / "real/file link"), direct);
  EXPECT_EQ(RefOf(temp / "real/./../real//file.txt"), direct);
  EXPECT_EQ(PathOf(RefOf(temp / "link")), temp / "real");

  char saved_cwd[4096];
  ASSERT_NE(getcwd(saved_cwd, sizeof saved_cwd), nullptr);
  ASSERT_EQ(chdir((temp / "real").c_str()), 0);
  FSRef relative{};
  const OSErr status = FSPathMakeRef("file.txt", &relative);
  const OSErr dotted = FSPathMakeRef("../link/./file.txt", &relative);
  ASSERT_EQ(chdir(saved_cwd), 0);
  EXPECT_EQ(status, noErr);
  EXPECT_EQ(dotted, noErr);
  EXPECT_EQ(relative, direct);
}

TEST(FSRefTest, PathsThatNameNothingFailAndLeaveTheRefAlone) {
  TempFolder temp;
  ASSERT_TRUE(MakeFile(temp / "file"));
  ASSERT_EQ(symlink("loop-b", (temp / "loop-a").c_str()), 0);
  ASSERT_EQ(symlink("loop-a", (temp / "loop-b").c_str()), 0);
  ASSERT_EQ(symlink("missing", (temp / "dangling").c_str()), 0);

  FSRef ref;
  std::memset(ref.hidden, 0xAB, sizeof ref.hidden);
  const FSRef untouched = ref;
  EXPECT_EQ(FSPathMakeRef(temp / "missing", &ref), fnfErr);
  EXPECT_EQ(FSPathMakeRef(temp / "missing/deeper", &ref), fnfErr);
  EXPECT_EQ(FSPathMakeRef(temp / "file/child", &ref), fnfErr);
  EXPECT_EQ(FSPathMakeRef(temp / "loop-a", &ref), fnfErr);
  EXPECT_EQ(FSPathMakeRef(temp / "loop-a/x", &ref), fnfErr);
  EXPECT_EQ(FSPathMakeRef(temp / "dangling", &ref), fnfErr);
  EXPECT_EQ(FSPathMakeRef("", &ref), fnfErr);
  EXPECT_EQ(FSPathMakeRef(std::string("/tm\0p", 5), &ref), paramErr);
  EXPECT_EQ(FSPathMakeRef("/" + std::string(5000, 'n'), &ref), bdNamErr);
  EXPECT_EQ(FSPathMakeRef(temp / std::string(256, 'n'), &ref), bdNamErr);
  EXPECT_EQ(ref, untouched);
  EXPECT_EQ(FSPathMakeRef(temp.path(), nullptr), paramErr);
}

TEST(FSRefTest, RootIsItsOwnParent) {
  bool is_folder = false;
  FSRef root{};
  ASSERT_EQ(FSPathMakeRef("/", &root, &is_folder), noErr);
  EXPECT_TRUE(is_folder);
  EXPECT_EQ(RefOf("/.."), root);
  EXPECT_EQ(RefOf("//"), root);
  EXPECT_EQ(PathOf(root), "/");

  FSCatalogInfo info;
  std::string name;
  FSRef parent{};
  ASSERT_EQ(FSGetCatalogInfo(root, kFSCatInfoNodeFlags, &info, &name, &parent), noErr);
  EXPECT_EQ(name, "/");
  EXPECT_EQ(parent, root);
  EXPECT_EQ(info.nodeFlags & kFSNodeIsDirectoryMask, kFSNodeIsDirectoryMask);

  char buffer[2] = {'x', 'x'};
  EXPECT_EQ(FSRefMakePath(root, buffer, 2), noErr);
  EXPECT_STREQ(buffer, "/");
  buffer[0] = 'x';
  EXPECT_EQ(FSRefMakePath(root, buffer, 1), errFSBadBuffer);
  EXPECT_EQ(buffer[0], '\0');
}

TEST(FSRefTest, TooSmallBufferFailsWithoutACutPath) {
  TempFolder temp;
  const std::string path = temp / "some file.txt";
  ASSERT_TRUE(MakeFile(path));
  const FSRef ref = RefOf(path);
  std::vector<char> buffer(path.size() + 8, 'x');

  EXPECT_EQ(FSRefMakePath(ref, buffer.data(), path.size()), errFSBadBuffer);
  EXPECT_STREQ(buffer.data(), "");
  std::fill(buffer.begin(), buffer.end(), 'x');
  EXPECT_EQ(FSRefMakePath(ref, buffer.data(), path.size() + 1), noErr);
  EXPECT_EQ(std::string(buffer.data()), path);
  EXPECT_EQ(buffer[path.size() + 1], 'x') << "nothing written past the NUL";

  EXPECT_EQ(FSRefMakePath(ref, buffer.data(), 0), errFSBadBuffer);
  EXPECT_EQ(FSRefMakePath(ref, nullptr, 100), paramErr);
}

TEST(FSRefTest, DeletedItemsFailEveryOperation) {
  TempFolder temp;
  ASSERT_TRUE(MakeFolder(temp / "gone"));
  ASSERT_TRUE(MakeFile(temp / "gone/file.txt"));
  ASSERT_TRUE(MakeFile(temp / "gone/" + std::string(100, 'L')));
  const FSRef folder = RefOf(temp / "gone");
  const FSRef file = RefOf(temp / "gone/file.txt");
  const FSRef long_named = RefOf(temp / "gone/" + std::string(100, 'L'));
  ASSERT_EQ(unlink((temp / "gone/file.txt").c_str()), 0);
  ASSERT_EQ(unlink((temp / "gone/" + std::string(100, 'L')).c_str()), 0);
  ASSERT_EQ(rmdir((temp / "gone").c_str()), 0);

  for (const FSRef& ref : {folder, file, long_named}) {
    char buffer[4096];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(FSRefMakePath(ref, buffer, sizeof buffer), fnfErr);
    EXPECT_STREQ(buffer, "");
    FSCatalogInfo info;
    std::string name = "unchanged";
    EXPECT_EQ(FSGetCatalogInfo(ref, kFSCatInfoNodeFlags | kFSCatInfoVolume, &info, &name, nullptr),
              fnfErr);
    EXPECT_EQ(name, "unchanged");
    EXPECT_EQ(FSGetFileDirName(ref), std::nullopt);
    EXPECT_EQ(FSGetVRefNum(ref), std::nullopt);
    FSIteratorRef iterator;
    EXPECT_EQ(FSOpenIterator(ref, &iterator), fnfErr);
    EXPECT_EQ(iterator, nullptr);
  }
  EXPECT_EQ(FSRefCopyPathUnchecked(file), temp / "gone/file.txt");

  // A reference names a location: an item made there again is found.
  ASSERT_TRUE(MakeFolder(temp / "gone"));
  ASSERT_TRUE(MakeFile(temp / "gone/file.txt"));
  EXPECT_EQ(PathOf(file), temp / "gone/file.txt");
}

TEST(FSRefTest, ZeroedAndForeignRefsFailWithParamErr) {
  TempFolder temp;
  ASSERT_TRUE(MakeFile(temp / "f"));
  const FSRef good = RefOf(temp / "f");

  FSRef zeroed{};
  FSRef random;
  for (std::size_t i = 0; i < sizeof random.hidden; ++i) {
    random.hidden[i] = static_cast<std::uint8_t>(i * 37 + 11);
  }
  FSRef dirty_padding = good;
  dirty_padding.hidden[79] = 1;
  FSRef bad_node = good;
  std::memset(bad_node.hidden + 4, 0xFF, 4);
  FSRef slash_in_name = good;
  slash_in_name.hidden[9] = '/';

  for (const FSRef& ref : {zeroed, random, dirty_padding, bad_node, slash_in_name}) {
    char buffer[64] = "x";
    EXPECT_EQ(FSRefMakePath(ref, buffer, sizeof buffer), paramErr);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(FSRefCopyPathUnchecked(ref), std::nullopt);
    EXPECT_EQ(FSGetCatalogInfo(ref, kFSCatInfoNodeFlags, nullptr, nullptr, nullptr), paramErr);
    FSIteratorRef iterator;
    EXPECT_EQ(FSOpenIterator(ref, &iterator), paramErr);
  }
}

TEST(FSRefTest, SameLocationGivesIdenticalBytesAndWalksDoNotGrowTheTable) {
  TempFolder temp;
  ASSERT_TRUE(MakeFolder(temp / "tree"));
  for (int i = 0; i < 20; ++i) {
    const std::string folder = temp / ("tree/folder " + std::to_string(i));
    ASSERT_TRUE(MakeFolder(folder));
    ASSERT_TRUE(MakeFile(folder + "/file.txt"));
    ASSERT_TRUE(MakeFile(folder + "/" + std::string(90, 'z')));
  }
  const FSRef first = RefOf(temp / "tree/folder 3/file.txt");
  const FSRef second = RefOf(temp / "tree/folder 3/file.txt");
  EXPECT_EQ(std::memcmp(first.hidden, second.hidden, sizeof first.hidden), 0);
  EXPECT_EQ(RefOf(temp / "tree/folder 3/" + std::string(90, 'z')),
            RefOf(temp / "tree/folder 3/" + std::string(90, 'z')));

  const auto walk = [&] {
    for (const auto& [name, folder] : ReadFolder(RefOf(temp / "tree"))) {
      EXPECT_TRUE(folder.is_folder);
      for (const auto& [child_name, child] : ReadFolder(folder.ref)) {
        EXPECT_EQ(child.ref, RefOf(temp / ("tree/" + name + "/" + child_name)));
      }
    }
  };
  walk();
  const std::size_t nodes = files_internal::NodeTable::Shared().size();
  walk();
  walk();
  EXPECT_EQ(files_internal::NodeTable::Shared().size(), nodes);
}

TEST(FSRefTest, CatalogInfoGivesKindNameParentAndVolume) {
  TempFolder temp;
  ASSERT_TRUE(MakeFolder(temp / "dir"));
  ASSERT_TRUE(MakeFile(temp / "dir/file"));
  const FSRef dir = RefOf(temp / "dir");
  const FSRef file = RefOf(temp / "dir/file");

  FSCatalogInfo info;
  std::string name;
  FSRef parent{};
  ASSERT_EQ(FSGetCatalogInfo(file, kFSCatInfoNodeFlags | kFSCatInfoVolume, &info, &name, &parent),
            noErr);
  EXPECT_EQ(info.nodeFlags & kFSNodeIsDirectoryMask, 0);
  EXPECT_EQ(name, "file");
  EXPECT_EQ(parent, dir);
  const FSVolumeRefNum volume = info.volume;

  ASSERT_EQ(FSGetCatalogInfo(dir, kFSCatInfoNodeFlags, &info, &name, &parent), noErr);
  EXPECT_EQ(info.nodeFlags & kFSNodeIsDirectoryMask, kFSNodeIsDirectoryMask);
  EXPECT_EQ(name, "dir");
  EXPECT_EQ(parent, RefOf(temp.path()));
  EXPECT_EQ(FSGetCatalogInfo(dir, kFSCatInfoNone, nullptr, nullptr, nullptr), noErr);

  EXPECT_EQ(FSGetVRefNum(file), volume);
  EXPECT_EQ(FSGetVRefNum(dir), volume);
  EXPECT_EQ(FSGetFileDirName(dir), "dir");

  // The parent chain leads to the root.
  FSRef at = file;
  int steps = 0;
  for (FSRef up{}; steps < 100; ++steps, at = up) {
    ASSERT_EQ(FSGetCatalogInfo(at, kFSCatInfoNone, nullptr, nullptr, &up), noErr);
    if (up == at) break;
  }
  EXPECT_EQ(at, RefOf("/"));
  const std::string file_path = temp / "dir/file";
  EXPECT_EQ(steps, std::count(file_path.begin(), file_path.end(), '/'));
}

TEST(FSRefTest, VolumesAreMounts) {
  const std::optional<FSVolumeRefNum> root = FSGetVRefNum(RefOf("/"));
  ASSERT_TRUE(root.has_value());
  struct stat proc_status {};
  if (stat("/proc/self", &proc_status) != 0) GTEST_SKIP() << "no /proc";
  const std::optional<FSVolumeRefNum> proc = FSGetVRefNum(RefOf("/proc"));
  ASSERT_TRUE(proc.has_value());
  EXPECT_NE(*proc, *root);
  EXPECT_EQ(FSGetVRefNum(RefOf("/proc/self")), proc);  // The process's own folder.
}

TEST(FSIteratorTest, DeliversEveryEntryOnceWithItsKind) {
  TempFolder temp;
  ASSERT_TRUE(MakeFolder(temp / "dir"));
  ASSERT_TRUE(MakeFolder(temp / "dir/sub folder"));
  ASSERT_TRUE(MakeFolder(temp / "dir/.hidden"));
  ASSERT_TRUE(MakeFile(temp / "dir/file.txt"));
  ASSERT_TRUE(MakeFile(temp / "dir/bad\xFFname"));
  ASSERT_EQ(symlink("sub folder", (temp / "dir/link to folder").c_str()), 0);
  ASSERT_EQ(symlink("file.txt", (temp / "dir/link to file").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (temp / "dir/dangling").c_str()), 0);
  ASSERT_EQ(mkfifo((temp / "dir/fifo").c_str(), 0600), 0);

  const std::map<std::string, Entry> entries = ReadFolder(RefOf(temp / "dir"));
  std::map<std::string, bool> kinds;
  for (const auto& [name, entry] : entries) kinds[name] = entry.is_folder;
  const std::map<std::string, bool> expected = {
      {"sub folder", true},       {".hidden", true},          {"file.txt", false},
      {"bad\xFFname", false},     {"link to folder", false},  {"link to file", false},
      {"dangling", false},        {"fifo", false}};
  EXPECT_EQ(kinds, expected);

  EXPECT_EQ(entries.at("sub folder").ref, RefOf(temp / "dir/sub folder"));
  EXPECT_EQ(entries.at("file.txt").ref, RefOf(temp / "dir/file.txt"));
  EXPECT_EQ(PathOf(entries.at("bad\xFFname").ref), temp / "dir/bad\xFFname");
  // The entry is the link itself, not what it leads to.
  EXPECT_EQ(PathOf(entries.at("link to folder").ref), temp / "dir/link to folder");
  EXPECT_EQ(PathOf(entries.at("dangling").ref), temp / "dir/dangling");
  FSCatalogInfo info;
  ASSERT_EQ(FSGetCatalogInfo(entries.at("link to folder").ref, kFSCatInfoNodeFlags, &info, nullptr,
                             nullptr),
            noErr);
  EXPECT_EQ(info.nodeFlags & kFSNodeIsDirectoryMask, 0);
}

TEST(FSIteratorTest, KindComesFromTheEntryTypeOrFromLstat) {
  using files_internal::EntryKind;
  using files_internal::KindOfEntry;
  TempFolder temp;
  ASSERT_TRUE(MakeFolder(temp / "folder"));
  ASSERT_TRUE(MakeFile(temp / "file"));
  ASSERT_EQ(symlink("folder", (temp / "link").c_str()), 0);
  const int fd = open(temp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  // A file system that reports no types: one lstat per entry.
  EXPECT_EQ(KindOfEntry(fd, "folder", DT_UNKNOWN), EntryKind::kFolder);
  EXPECT_EQ(KindOfEntry(fd, "file", DT_UNKNOWN), EntryKind::kOther);
  EXPECT_EQ(KindOfEntry(fd, "link", DT_UNKNOWN), EntryKind::kOther);
  EXPECT_EQ(KindOfEntry(fd, "deleted", DT_UNKNOWN), EntryKind::kGone);
  // A reported type is trusted without a look at the item.
  EXPECT_EQ(KindOfEntry(fd, "deleted", DT_DIR), EntryKind::kFolder);
  EXPECT_EQ(KindOfEntry(fd, "folder", DT_LNK), EntryKind::kOther);
  EXPECT_EQ(KindOfEntry(fd, "folder", DT_REG), EntryKind::kOther);
  close(fd);
}

TEST(FSIteratorTest, EmptyFolderEndsAtOnceAndStaysEnded) {
  TempFolder temp;
  FSIteratorRef iterator;
  ASSERT_EQ(FSOpenIterator(RefOf(temp.path()), &iterator), noErr);
  for (int i = 0; i < 3; ++i) {
    ItemCount count = 7;
    FSRef ref{};
    EXPECT_EQ(FSGetCatalogInfoBulk(*iterator, &count, nullptr, &ref), errFSNoMoreItems);
    EXPECT_EQ(count, 0u);
  }
}

TEST(FSIteratorTest, LargeFolderIsReadCompletely) {
  TempFolder temp;
  constexpr int kFiles = 5000;
  for (int i = 0; i < kFiles; ++i) {
    ASSERT_TRUE(MakeFile(temp / ("entry-with-a-longish-name-" + std::to_string(i))));
  }
  FSIteratorRef iterator;
  ASSERT_EQ(FSOpenIterator(RefOf(temp.path()), &iterator), noErr);
  std::vector<std::string> names;
  ItemCount count = 0;
  FSRef ref{};
  FSCatalogInfo info;
  while (FSGetCatalogInfoBulk(*iterator, &count, &info, &ref) == noErr) {
    ASSERT_EQ(count, 1u);
    names.push_back(FSGetFileDirName(ref).value_or(""));
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
  ASSERT_EQ(names.size(), static_cast<std::size_t>(kFiles));
  EXPECT_EQ(names.front(), "entry-with-a-longish-name-0");
}

TEST(FSIteratorTest, OpeningFailsWithTheRightStatus) {
  TempFolder temp;
  ASSERT_TRUE(MakeFolder(temp / "folder"));
  ASSERT_TRUE(MakeFile(temp / "file"));
  ASSERT_EQ(symlink("folder", (temp / "link").c_str()), 0);
  const std::map<std::string, Entry> entries = ReadFolder(RefOf(temp.path()));
  ASSERT_EQ(entries.size(), 3u);

  FSIteratorRef iterator;
  EXPECT_EQ(FSOpenIterator(entries.at("file").ref, &iterator), dirNFErr);
  EXPECT_EQ(FSOpenIterator(entries.at("link").ref, &iterator), dirNFErr);
  EXPECT_EQ(iterator, nullptr);
  EXPECT_EQ(FSOpenIterator(entries.at("folder").ref, nullptr), paramErr);

  // A file put where the folder was.
  const FSRef folder = entries.at("folder").ref;
  ASSERT_EQ(rmdir((temp / "folder").c_str()), 0);
  EXPECT_EQ(FSOpenIterator(folder, &iterator), fnfErr);
  ASSERT_TRUE(MakeFile(temp / "folder"));
  EXPECT_EQ(FSOpenIterator(folder, &iterator), dirNFErr);
  FSCloseIterator(nullptr);
}

// The checks on a folder that may not be read; a bit set for each that fails.
int LockedFolderFailures(const TempFolder& temp, const FSRef& locked, const FSRef& inside) {
  int failures = 0;
  FSIteratorRef iterator;
  if (FSOpenIterator(locked, &iterator) != afpAccessDenied) failures |= 1;
  char buffer[4096];
  if (FSRefMakePath(inside, buffer, sizeof buffer) != afpAccessDenied) failures |= 2;
  FSRef ref{};
  if (FSPathMakeRef(temp / "locked/inside", &ref) != afpAccessDenied) failures |= 4;
  // The folder itself can still be named and stat'ed.
  if (FSRefMakePath(locked, buffer, sizeof buffer) != noErr) failures |= 8;
  return failures;
}

TEST(FSIteratorTest, UnreadableFolderIsAccessDenied) {
  TempFolder temp;
  ASSERT_TRUE(MakeFolder(temp / "locked"));
  ASSERT_TRUE(MakeFile(temp / "locked/inside"));
  const FSRef locked = RefOf(temp / "locked");
  const FSRef inside = RefOf(temp / "locked/inside");
  ASSERT_EQ(chmod((temp / "locked").c_str(), 0), 0);
  if (geteuid() != 0) {
    EXPECT_EQ(LockedFolderFailures(temp, locked, inside), 0);
    return;
  }
  // Root reads folders whatever their mode: check in a child that runs as
  // an unprivileged user.
  ASSERT_EQ(chmod(temp.path().c_str(), 0755), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
    _exit(LockedFolderFailures(temp, locked, inside));
  }
  int wait_status = 0;
  ASSERT_EQ(waitpid(child, &wait_status, 0), child);
  ASSERT_TRUE(WIFEXITED(wait_status));
  ASSERT_NE(WEXITSTATUS(wait_status), 100) << "could not drop privileges";
  EXPECT_EQ(WEXITSTATUS(wait_status), 0) << "failed checks, as bits";
}

TEST(FSIteratorTest, IteratorsHoldFewDescriptorsAndNoneLeftIsTmfoErr) {
  TempFolder temp;
  ASSERT_TRUE(MakeFile(temp / "entry"));
  const FSRef folder = RefOf(temp.path());
  const kestrine_testing::RunResult r = kestrine_testing::RunForked([&]() -> std::string {
    rlimit low{64, 64};
    if (setrlimit(RLIMIT_NOFILE, &low) != 0) return "setrlimit failed";
    std::vector<FSIteratorRef> open;
    for (int i = 0; i < 100; ++i) {
      FSIteratorRef iterator;
      if (FSOpenIterator(folder, &iterator) != noErr) return "open " + std::to_string(i) + " failed";
      open.push_back(std::move(iterator));
    }
    while (dup(0) >= 0) {
    }
    FSIteratorRef iterator;
    return std::to_string(FSOpenIterator(folder, &iterator));
  });
  EXPECT_EQ(r.out, std::to_string(tmfoErr));
}

TEST(FSIteratorTest, PathsBeyondPathMaxAreReadButGiveNoPath) {
  TempFolder temp;
  // Twenty levels of 250-byte names: some 5000 bytes of path.
  const std::string name(250, 'd');
  kestrine_testing::MakeFolderChain(temp.path(), name, 20);

  FSRef at = RefOf(temp.path());
  for (int depth = 0; depth < 20; ++depth) {
    // Each iterator is closed before the next opens: the path is opened whole.
    FSIteratorRef iterator;
    ASSERT_EQ(FSOpenIterator(at, &iterator), noErr) << depth;
    ItemCount count = 0;
    FSCatalogInfo info;
    ASSERT_EQ(FSGetCatalogInfoBulk(*iterator, &count, &info, &at), noErr);
    ASSERT_TRUE(info.nodeFlags & kFSNodeIsDirectoryMask);
  }
  char buffer[8192];
  EXPECT_EQ(FSRefMakePath(at, buffer, sizeof buffer), bdNamErr);
  const std::optional<std::string> path = FSRefCopyPathUnchecked(at);
  ASSERT_TRUE(path.has_value());
  EXPECT_GT(path->size(), 4096u);
  EXPECT_EQ(path->substr(0, temp.path().size()), temp.path());
}

// The number of entries an iterator delivers, asking nothing else of them.
std::size_t CountEntries(const FSRef& folder) {
  FSIteratorRef iterator;
  if (FSOpenIterator(folder, &iterator) != noErr) return 0;
  std::size_t entries = 0;
  ItemCount count = 0;
  FSCatalogInfo info;
  FSRef ref{};
  while (FSGetCatalogInfoBulk(*iterator, &count, &info, &ref) == noErr && count == 1) ++entries;
  return entries;
}

TEST(FolderListingCacheTest, WithoutACacheEveryReadIsLive) {
  TempFolder temp;
  ASSERT_TRUE(MakeFile(temp / "a"));
  const FSRef folder = RefOf(temp.path());
  EXPECT_EQ(ReadFolder(folder).size(), 1u);
  ASSERT_TRUE(MakeFile(temp / "b"));
  EXPECT_EQ(ReadFolder(folder).size(), 2u);
}

TEST(FolderListingCacheTest, ASecondReadReplaysTheFirst) {
  TempFolder temp;
  ASSERT_TRUE(MakeFolder(temp / "sub"));
  ASSERT_TRUE(MakeFile(temp / "gone"));
  const FSRef folder = RefOf(temp.path());
  FSRef gone{};
  {
    const ScopedFileSystemSnapshot cache;
    const std::map<std::string, Entry> first = ReadFolder(folder);
    ASSERT_EQ(first.size(), 2u);
    gone = first.at("gone").ref;
    ASSERT_TRUE(MakeFile(temp / "new"));
    const std::map<std::string, Entry> second = ReadFolder(folder);
    ASSERT_EQ(second.size(), 2u);
    EXPECT_TRUE(second.at("sub").is_folder);
    EXPECT_TRUE(second.at("sub").ref == first.at("sub").ref);
    // A removed entry still gives its path back, as the listing had it.
    ASSERT_EQ(unlink((temp / "gone").c_str()), 0);
    EXPECT_EQ(PathOf(gone), temp / "gone");
    {
      // A nested scope shares the outer one's memory.
      const ScopedFileSystemSnapshot inner;
      EXPECT_EQ(CountEntries(folder), 2u);
    }
    EXPECT_EQ(CountEntries(folder), 2u);
  }
  // Once the scope ends the folder is read again, and the removed entry fails.
  const std::map<std::string, Entry> after = ReadFolder(folder);
  EXPECT_EQ(after.count("new"), 1u);
  EXPECT_EQ(after.count("gone"), 0u);
  EXPECT_EQ(PathOf(gone), "<failed>");
}

// Inside a snapshot, references are made with one lstat per item, yet come
// out exactly as the full resolution makes them.
TEST(FileSystemSnapshotTest, PathsResolveAsWithoutTheSnapshot) {
  TempFolder temp;
  ASSERT_TRUE(MakeFolder(temp / "real"));
  ASSERT_TRUE(MakeFile(temp / "real/a.txt"));
  ASSERT_TRUE(MakeFolder(temp / "real/sub"));
  ASSERT_EQ(symlink("real", (temp / "via").c_str()), 0);
  ASSERT_EQ(symlink("a.txt", (temp / "real/link").c_str()), 0);
  const std::vector<std::string> paths = {
      temp / "real/a.txt", temp / "via/a.txt", temp / "real/sub", temp / "real/link",
      temp / "real/sub/", temp / "real/./a.txt", temp / "real/sub/..", "/", temp.path()};
  std::vector<FSRef> plain;
  for (const std::string& path : paths) plain.push_back(RefOf(path));
  const ScopedFileSystemSnapshot snapshot;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    FSRef ref{};
    bool is_directory = false;
    ASSERT_EQ(FSPathMakeRef(paths[i], &ref, &is_directory), noErr) << paths[i];
    EXPECT_TRUE(ref == plain[i]) << paths[i] << " gave " << PathOf(ref);
    EXPECT_EQ(is_directory, paths[i].find("sub") != std::string::npos || paths[i] == "/" ||
                                paths[i] == temp.path())
        << paths[i];
  }
  FSRef missing{};
  EXPECT_EQ(FSPathMakeRef(temp / "real/none", &missing), fnfErr);
  EXPECT_EQ(FSPathMakeRef(temp / "none/a.txt", &missing), fnfErr);
}

TEST(FileSystemSnapshotTest, RelativePathsAndRemovedItems) {
  TempFolder temp;
  ASSERT_TRUE(MakeFile(temp / "a.txt"));
  char old[PATH_MAX];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(temp.path().c_str()), 0);
  FSRef ref{};
  {
    const ScopedFileSystemSnapshot snapshot;
    EXPECT_EQ(FSPathMakeRef("a.txt", &ref), noErr);
    EXPECT_EQ(PathOf(ref), temp / "a.txt");
    // An item found in the snapshot keeps its path while the snapshot lives.
    ASSERT_EQ(unlink((temp / "a.txt").c_str()), 0);
    EXPECT_EQ(PathOf(ref), temp / "a.txt");
  }
  EXPECT_EQ(PathOf(ref), "<failed>");
  ASSERT_EQ(chdir(old), 0);
}

TEST(FSRefTest, ThreadsMakeTheSameRefs) {
  TempFolder temp;
  std::vector<std::string> paths;
  for (int i = 0; i < 50; ++i) {
    std::string folder = temp / "f";
    folder += std::to_string(i);
    ASSERT_TRUE(MakeFolder(folder));
    paths.push_back(folder + "/" + std::string(80, static_cast<char>('a' + i % 26)));
    ASSERT_TRUE(MakeFile(paths.back()));
  }
  std::vector<std::vector<FSRef>> made(4);
  std::vector<std::thread> threads;
  for (auto& refs : made) {
    threads.emplace_back([&paths, &refs] {
      for (const std::string& path : paths) {
        FSRef ref{};
        FSPathMakeRef(path, &ref);
        refs.push_back(ref);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t i = 0; i < paths.size(); ++i) {
    EXPECT_EQ(PathOf(made[0][i]), paths[i]);
    for (const auto& refs : made) EXPECT_EQ(refs[i], made[0][i]);
  }
}

TEST(OSErrFromErrnoTest, MapsEachErrnoToItsStatus) {
  EXPECT_EQ(OSErrFromErrno(0), noErr);
  EXPECT_EQ(OSErrFromErrno(EACCES), afpAccessDenied);
  EXPECT_EQ(OSErrFromErrno(EPERM), afpAccessDenied);
  EXPECT_EQ(OSErrFromErrno(ENOENT), fnfErr);
  EXPECT_EQ(OSErrFromErrno(ELOOP), fnfErr);
  EXPECT_EQ(OSErrFromErrno(ENOTDIR), dirNFErr);
  EXPECT_EQ(OSErrFromErrno(EMFILE), tmfoErr);
  EXPECT_EQ(OSErrFromErrno(ENFILE), tmfoErr);
  EXPECT_EQ(OSErrFromErrno(ENAMETOOLONG), bdNamErr);
  EXPECT_EQ(OSErrFromErrno(ENOMEM), memFullErr);
  EXPECT_EQ(OSErrFromErrno(EINVAL), paramErr);
  EXPECT_EQ(OSErrFromErrno(EIO), ioErr);
  EXPECT_EQ(OSErrFromErrno(EROFS), ioErr);
}

}  // namespace
