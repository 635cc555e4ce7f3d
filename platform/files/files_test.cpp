#include "platform/files/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/files/directory_entry.h"
#include "platform/files/files_test_support.h"
#include "platform/files/node_table.h"

namespace {

using namespace files_testing;

std::string PathOf(const FSRef& ref, std::size_t capacity = 4096) {
  std::string buffer(capacity, 'x');
  if (FSRefMakePath(ref, buffer.data(), capacity) != noErr) return "<failed>";
  return std::string(buffer.c_str());
}

// Checks that FSRefMakePath gives exactly `path`, and a buffer one byte
// short gets "" and an error, never a cut path.
void ExpectPathIs(const FSRef& ref, const std::string& path) {
  std::vector<char> buffer(path.size() + 8, 'x');
  EXPECT_EQ(FSRefMakePath(ref, buffer.data(), path.size()), errFSBadBuffer);
  EXPECT_EQ(buffer[0], '\0');
  std::fill(buffer.begin(), buffer.end(), 'x');
  EXPECT_EQ(FSRefMakePath(ref, buffer.data(), path.size() + 1), noErr);
  EXPECT_EQ(std::string(buffer.data()), path);
  EXPECT_EQ(buffer[path.size() + 1], 'x') << "nothing written past the NUL";
  EXPECT_EQ(FSRefMakePath(ref, buffer.data(), 0), errFSBadBuffer);
  EXPECT_EQ(FSRefMakePath(ref, nullptr, 100), paramErr);
}

// Paths resolve as realpath(3) resolves them, relative ones from the working
// folder, and to the same references inside a snapshot as outside. Paths
// that name nothing fail and leave the reference alone.
TEST(FSRefTest, PathsResolveLikeRealpathWithAndWithoutASnapshotOrFail) {
  ScopedTempDir temp;
  MakeItems(temp, {"real/sub/", "real/a.txt", "via->real", "real/link->a.txt", "loop-a->loop-b",
                   "loop-b->loop-a", "dangling->missing"});
  const std::string real = temp.Join("real");
  const std::string file = temp.Join("real/a.txt");
  const struct { std::string path, resolved; bool folder; } cases[] = {
      {file, file, false}, {temp.Join("via/a.txt"), file, false},
      {temp.Join("real/link"), file, false}, {temp.Join("real/./../real//a.txt"), file, false},
      {"a.txt", file, false}, {"../via/./a.txt", file, false},
      {temp.Join("via"), real, true}, {temp.Join("real/sub/.."), real, true},
      {temp.Join("real/sub/"), real + "/sub", true}, {temp.path(), temp.path(), true},
      {"/", "/", true}, {"/..", "/", true}, {"//", "/", true}};
  const std::pair<std::string, OSErr> failures[] = {
      {temp.Join("missing"), fnfErr},   {temp.Join("missing/deeper"), fnfErr},
      {file + "/child", fnfErr},        {temp.Join("loop-a"), fnfErr},
      {temp.Join("loop-a/x"), fnfErr},  {temp.Join("dangling"), fnfErr},
      {"", fnfErr},                     {std::string("/tm\0p", 5), paramErr},
      {"/" + std::string(5000, 'n'), bdNamErr}, {temp.Join(std::string(256, 'n')), bdNamErr}};
  char saved_cwd[PATH_MAX];
  ASSERT_NE(getcwd(saved_cwd, sizeof saved_cwd), nullptr);
  ASSERT_EQ(chdir(real.c_str()), 0);
  std::vector<FSRef> plain;
  for (const auto& c : cases) plain.push_back(RefOf(c.resolved));
  const auto resolve_all = [&] {
    for (std::size_t i = 0; i < std::size(cases); ++i) {
      SCOPED_TRACE(cases[i].path);
      bool is_folder = !cases[i].folder;
      FSRef ref{};
      ASSERT_EQ(FSPathMakeRef(cases[i].path, &ref, &is_folder), noErr);
      EXPECT_EQ(is_folder, cases[i].folder);
      EXPECT_EQ(PathOf(ref), cases[i].resolved);
      EXPECT_EQ(ref, plain[i]);
    }
    FSRef ref;
    std::memset(ref.hidden, 0xAB, sizeof ref.hidden);
    const FSRef untouched = ref;
    for (const auto& [path, status] : failures) {
      EXPECT_EQ(FSPathMakeRef(path, &ref), status) << path;
    }
    EXPECT_EQ(ref, untouched);
    EXPECT_EQ(FSPathMakeRef(file, nullptr), paramErr);
  };
  resolve_all();
  FSRef removed{};
  {
    const ScopedFileSystemSnapshot snapshot;
    resolve_all();
    // Items of more folders than the snapshot keeps open are found too.
    for (int i = 0; i < 20; ++i) {
      const std::string item = "many/" + std::to_string(i) + "/x";
      MakeItems(temp, {item});
      FSRef ref{};
      ASSERT_EQ(FSPathMakeRef(temp.Join(item), &ref), noErr) << item;
      EXPECT_EQ(PathOf(ref), temp.Join(item));
    }
    // An item found in the snapshot keeps its path while the snapshot lives.
    ASSERT_EQ(FSPathMakeRef("a.txt", &removed), noErr);
    ASSERT_EQ(unlink(file.c_str()), 0);
    EXPECT_EQ(PathOf(removed), file);
  }
  EXPECT_EQ(PathOf(removed), "<failed>");
  ASSERT_EQ(chdir(saved_cwd), 0);
}

// Every operation fails on a deleted item with fnfErr, on a zeroed or
// foreign reference with paramErr, and leaves its outputs alone.
TEST(FSRefTest, DeletedItemsAndForeignRefsFailEveryOperation) {
  ScopedTempDir temp;
  const std::string long_name = "gone/" + std::string(100, 'L');
  MakeItems(temp, {"gone/file.txt", long_name, "f"});
  const FSRef file = RefOf(temp.Join("gone/file.txt"));
  const FSRef good = RefOf(temp.Join("f"));
  const auto changed = [&](std::size_t at, std::uint8_t byte, std::size_t bytes = 1) {
    FSRef ref = good;
    std::memset(ref.hidden + at, byte, bytes);
    return ref;
  };
  const std::pair<FSRef, OSErr> cases[] = {
      {RefOf(temp.Join("gone")), fnfErr}, {file, fnfErr}, {RefOf(temp.Join(long_name)), fnfErr},
      {FSRef{}, paramErr}, {changed(0, 0xA5, sizeof(FSRef)), paramErr},  // Foreign.
      {changed(79, 1), paramErr},  // Dirty padding.
      {changed(4, 0xFF, 4), paramErr},  // A node that does not exist.
      {changed(9, '/'), paramErr}};     // A slash in the name.
  ASSERT_EQ(std::filesystem::remove_all(temp.Join("gone")), 3u);
  for (const auto& [ref, status] : cases) {
    SCOPED_TRACE(status);
    char buffer[4096];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(FSRefMakePath(ref, buffer, sizeof buffer), status);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(FSRefCopyPathUnchecked(ref).has_value(), status == fnfErr);
    FSCatalogInfo info;
    std::string name = "unchanged";
    EXPECT_EQ(FSGetCatalogInfo(ref, kFSCatInfoNodeFlags | kFSCatInfoVolume, &info, &name, nullptr),
              status);
    EXPECT_EQ(name, "unchanged");
    EXPECT_EQ(FSGetCatalogInfo(ref, kFSCatInfoNodeFlags, nullptr, nullptr, nullptr), status);
    EXPECT_EQ(FSGetFileDirName(ref), std::nullopt);
    EXPECT_EQ(FSGetVRefNum(ref), std::nullopt);
    FSIteratorRef iterator;
    EXPECT_EQ(FSOpenIterator(ref, &iterator), status);
    EXPECT_EQ(iterator, nullptr);
  }
  EXPECT_EQ(FSRefCopyPathUnchecked(file), temp.Join("gone/file.txt"));
  // A reference names a location: an item made there again is found.
  MakeItems(temp, {"gone/file.txt"});
  EXPECT_EQ(PathOf(file), temp.Join("gone/file.txt"));
}

// A location gives the same reference bytes whichever thread makes it, and
// walking a tree again adds no nodes.
TEST(FSRefTest, SameLocationGivesIdenticalBytesAndWalksDoNotGrowTheTable) {
  ScopedTempDir temp;
  std::vector<std::string> paths;
  for (int i = 0; i < 50; ++i) {
    const std::string folder = "tree/folder " + std::to_string(i) + "/";
    const std::string long_name(80, static_cast<char>('a' + i % 26));
    for (const std::string& name : {std::string("file.txt"), long_name}) {
      MakeItems(temp, {folder + name});
      paths.push_back(temp.Join(folder + name));
    }
  }
  std::vector<std::vector<FSRef>> made(4);
  std::vector<std::thread> threads;
  for (auto& refs : made) {
    threads.emplace_back([&paths, &refs] { for (const auto& p : paths) refs.push_back(RefOf(p)); });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t i = 0; i < paths.size(); ++i) {
    EXPECT_EQ(PathOf(made[0][i]), paths[i]);
    for (const auto& refs : made) EXPECT_EQ(refs[i], made[0][i]);
  }

  const auto walk = [&] {
    for (const auto& [name, folder] : ReadFolder(RefOf(temp.Join("tree")))) {
      EXPECT_TRUE(folder.is_folder);
      for (const auto& [child_name, child] : ReadFolder(folder.ref)) {
        EXPECT_EQ(child.ref, RefOf(temp.Join("tree/" + name + "/" + child_name)));
      }
    }
  };
  walk();
  const std::size_t nodes = files_internal::NodeTable::Shared().size();
  walk();
  walk();
  EXPECT_EQ(files_internal::NodeTable::Shared().size(), nodes);
}

// Each item gives back its path, bytes as stored, and its name, kind, parent
// (the root is its own) and volume. A trailing slash names the same folder.
TEST(FSRefTest, ItemsGiveTheirExactPathNameKindParentAndVolume) {
  ScopedTempDir temp;
  MakeItems(temp, {"dir/file", "a folder/"});
  const std::string file = temp.Join("dir/file");
  // {path given, path expected, whether a folder}
  std::vector<std::tuple<std::string, std::string, bool>> cases = {
      {file, file, false}, {temp.Join("dir"), temp.Join("dir"), true}, {"/", "/", true},
      {temp.Join("a folder/"), temp.Join("a folder"), true}, {"/proc", "/proc", true}};
  for (const std::string& name : std::vector<std::string>{
           "My File (1).txt", "50% off", "back\\slash", "tab\there", "line\nfeed", "trailing ",
           "bad\xFFname", "R\xC3\xA9sum\xC3\xA9", "colon:name", std::string(71, 'a'),
           std::string(72, 'b'), std::string(255, 'c')}) {
    MakeItems(temp, {name});
    cases.emplace_back(temp.Join(name), temp.Join(name), false);
  }
  for (const auto& [given, path, folder] : cases) {
    SCOPED_TRACE(given);
    const std::size_t slash = path.rfind('/');
    const std::string name = path == "/" ? "/" : path.substr(slash + 1);
    bool is_folder = !folder;
    FSRef ref{};
    ASSERT_EQ(FSPathMakeRef(given, &ref, &is_folder), noErr);
    EXPECT_EQ(is_folder, folder);
    ExpectPathIs(ref, path);
    EXPECT_EQ(FSRefCopyPathUnchecked(ref), path);
    EXPECT_EQ(FSGetFileDirName(ref), name);
    FSCatalogInfo info;
    std::string named;
    FSRef parent{};
    ASSERT_EQ(FSGetCatalogInfo(ref, kFSCatInfoNodeFlags | kFSCatInfoVolume, &info, &named, &parent),
              noErr);
    EXPECT_EQ((info.nodeFlags & kFSNodeIsDirectoryMask) != 0, folder);
    EXPECT_EQ(named, name);
    EXPECT_EQ(parent, RefOf(slash == 0 ? "/" : path.substr(0, slash)));
    EXPECT_EQ(FSGetVRefNum(ref), info.volume);
    EXPECT_EQ(FSGetCatalogInfo(ref, kFSCatInfoNone, nullptr, nullptr, nullptr), noErr);
  }
  EXPECT_EQ(FSGetVRefNum(RefOf(file)), FSGetVRefNum(RefOf(temp.Join("dir"))));
  // Volumes are mounts: /proc is one, and the process's own folder in it.
  EXPECT_NE(FSGetVRefNum(RefOf("/proc")), FSGetVRefNum(RefOf("/")));
  EXPECT_EQ(FSGetVRefNum(RefOf("/proc/self")), FSGetVRefNum(RefOf("/proc")));
}

TEST(FSRefTest, ProblemsOfAPathAreToldInWords) {
  const std::pair<OSErr, std::string> cases[] = {
      {fnfErr, "no such file or folder"}, {afpAccessDenied, "permission denied"},
      {bdNamErr, "name too long"}, {dirNFErr, "cannot be used (error -120: no such folder)"}};
  for (const auto& [status, words] : cases) EXPECT_EQ(FSPathMakeRefProblem(status), words);
}

TEST(FSIteratorTest, DeliversEveryEntryOfALargeFolderOnceWithItsKind) {
  ScopedTempDir temp;
  MakeItems(temp, {"dir/sub folder/", "dir/.hidden/", "dir/file.txt", "dir/bad\xFFname",
                   "dir/link to folder->sub folder", "dir/link to file->file.txt",
                   "dir/dangling->nowhere"});
  ASSERT_EQ(mkfifo(temp.Join("dir/fifo").c_str(), 0600), 0);
  // Enough entries to take several reads of the folder.
  for (int i = 0; i < 5000; ++i) MakeItems(temp, {"dir/entry-" + std::to_string(i)});

  const std::map<std::string, Entry> entries = ReadFolder(RefOf(temp.Join("dir")));
  std::map<std::string, bool> kinds;
  for (const auto& [name, entry] : entries) {
    kinds[name] = entry.is_folder;
    // The entry is the item itself: a link, not what it leads to.
    EXPECT_EQ(PathOf(entry.ref), temp.Join("dir/" + name));
  }
  std::map<std::string, bool> expected = {
      {"sub folder", true},   {".hidden", true},         {"file.txt", false},
      {"bad\xFFname", false}, {"link to folder", false}, {"link to file", false},
      {"dangling", false},    {"fifo", false}};
  for (int i = 0; i < 5000; ++i) expected["entry-" + std::to_string(i)] = false;
  EXPECT_EQ(kinds, expected);
  EXPECT_EQ(entries.at("sub folder").ref, RefOf(temp.Join("dir/sub folder")));
  EXPECT_EQ(entries.at("file.txt").ref, RefOf(temp.Join("dir/file.txt")));
  FSCatalogInfo info;
  ASSERT_EQ(FSGetCatalogInfo(entries.at("link to folder").ref, kFSCatInfoNodeFlags, &info, nullptr,
                             nullptr),
            noErr);
  EXPECT_EQ(info.nodeFlags & kFSNodeIsDirectoryMask, 0);
}

TEST(FSIteratorTest, KindComesFromTheEntryTypeOrFromLstat) {
  using files_internal::EntryKind;
  ScopedTempDir temp;
  MakeItems(temp, {"folder/", "file", "link->folder"});
  // A file system that reports no types costs one lstat per entry; a
  // reported type is trusted without a look at the item.
  const struct { const char* name; unsigned char type; EntryKind kind; } cases[] = {
      {"folder", DT_UNKNOWN, EntryKind::kFolder}, {"file", DT_UNKNOWN, EntryKind::kOther},
      {"link", DT_UNKNOWN, EntryKind::kOther},    {"deleted", DT_UNKNOWN, EntryKind::kGone},
      {"deleted", DT_DIR, EntryKind::kFolder},    {"folder", DT_LNK, EntryKind::kOther},
      {"folder", DT_REG, EntryKind::kOther}};
  const int fd = open(temp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  for (const auto& c : cases) {
    EXPECT_EQ(files_internal::KindOfEntry(fd, c.name, c.type), c.kind) << c.name << " " << +c.type;
  }
  close(fd);
}

TEST(FSIteratorTest, OpeningFailsWithTheRightStatus) {
  ScopedTempDir temp;
  MakeItems(temp, {"folder/", "file", "link->folder"});
  const std::map<std::string, Entry> entries = ReadFolder(RefOf(temp.path()));
  ASSERT_EQ(entries.size(), 3u);

  FSIteratorRef iterator;
  EXPECT_EQ(FSOpenIterator(entries.at("file").ref, &iterator), dirNFErr);
  EXPECT_EQ(FSOpenIterator(entries.at("link").ref, &iterator), dirNFErr);
  EXPECT_EQ(iterator, nullptr);
  EXPECT_EQ(FSOpenIterator(entries.at("folder").ref, nullptr), paramErr);

  const FSRef folder = entries.at("folder").ref;
  ASSERT_EQ(rmdir(temp.Join("folder").c_str()), 0);
  EXPECT_EQ(FSOpenIterator(folder, &iterator), fnfErr);
  MakeItems(temp, {"folder"});
  EXPECT_EQ(FSOpenIterator(folder, &iterator), dirNFErr);
  FSCloseIterator(nullptr);
}

// Run in a child: as root any folder may be read, so the child becomes
// another user, then lowers its descriptor limit.
TEST(FSIteratorTest, UnreadableFolderIsAccessDeniedAndNoDescriptorLeftIsTmfoErr) {
  ScopedTempDir temp;
  MakeItems(temp, {"locked/inside"});
  const FSRef folder = RefOf(temp.path());
  const FSRef locked = RefOf(temp.Join("locked"));
  const FSRef inside = RefOf(temp.Join("locked/inside"));
  ASSERT_EQ(chmod(temp.Join("locked").c_str(), 0), 0);
  ASSERT_EQ(chmod(temp.path().c_str(), 0755), 0);
  const kestrine_testing::RunResult r = kestrine_testing::RunForked([&]() -> std::string {
    if (geteuid() == 0 && !kestrine_testing::BecomeNobody()) return "could not drop privileges";
    FSIteratorRef iterator;
    char buffer[4096];
    FSRef ref{};
    std::string out;
    // The locked folder itself can still be named.
    for (const int status : {int{FSOpenIterator(locked, &iterator)},
                             int{FSRefMakePath(inside, buffer, sizeof buffer)},
                             int{FSPathMakeRef(temp.Join("locked/inside"), &ref)},
                             int{FSRefMakePath(locked, buffer, sizeof buffer)}}) {
      out += std::to_string(status) + " ";
    }
    // Iterators hold few descriptors, so many stay open under a low limit.
    const rlimit low{64, 64};
    if (setrlimit(RLIMIT_NOFILE, &low) != 0) return "setrlimit failed";
    std::vector<FSIteratorRef> open(100);
    for (int i = 0; i < 100; ++i) {
      if (FSOpenIterator(folder, &open[i]) != noErr) return "open " + std::to_string(i) + " failed";
    }
    while (dup(0) >= 0) {
    }
    return out + std::to_string(FSOpenIterator(folder, &iterator));
  });
  const std::string denied = std::to_string(afpAccessDenied) + " ";
  EXPECT_EQ(r.out, denied + denied + denied + "0 " + std::to_string(tmfoErr));
}

TEST(FSIteratorTest, PathsBeyondPathMaxAreReadButGiveNoPath) {
  ScopedTempDir temp;
  // Twenty levels of 250-byte names: some 5000 bytes of path.
  kestrine_testing::MakeFolderChain(temp.path(), std::string(250, 'd'), 20);
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
  EXPECT_GT(path.value_or("").size(), 4096u);
  EXPECT_TRUE(path.value_or("").starts_with(temp.path() + "/"));
}

TEST(FolderListingCacheTest, ASecondReadReplaysTheFirstOnlyUnderACache) {
  ScopedTempDir temp;
  const FSRef folder = RefOf(temp.path());
  EXPECT_TRUE(ReadFolder(folder).empty());
  MakeItems(temp, {"sub/", "gone"});
  // The entries an iterator delivers, asking nothing else of them.
  const auto count = [&] { return ForEachEntry(folder, [](const FSRef&, bool) {}); };
  FSRef gone{};
  {
    const ScopedFileSystemSnapshot cache;
    const std::map<std::string, Entry> first = ReadFolder(folder);
    ASSERT_EQ(first.size(), 2u);
    gone = first.at("gone").ref;
    MakeItems(temp, {"new"});
    const std::map<std::string, Entry> second = ReadFolder(folder);
    ASSERT_EQ(second.size(), 2u);
    EXPECT_TRUE(second.at("sub").is_folder);
    EXPECT_EQ(second.at("sub").ref, first.at("sub").ref);
    // A removed entry still gives its path back, as the listing had it.
    ASSERT_EQ(unlink(temp.Join("gone").c_str()), 0);
    EXPECT_EQ(PathOf(gone), temp.Join("gone"));
    {
      // A nested scope shares the outer one's memory.
      const ScopedFileSystemSnapshot inner;
      EXPECT_EQ(count(), 2u);
    }
    EXPECT_EQ(count(), 2u);
  }
  const std::map<std::string, Entry> after = ReadFolder(folder);
  EXPECT_EQ(after.count("new"), 1u);
  EXPECT_EQ(after.count("gone"), 0u);
  EXPECT_EQ(PathOf(gone), "<failed>");
}

// Remembered items are known to exist in whatever order they are asked
// for: in the order they were found (as a walk asks), backwards, and again;
// an item found outside the snapshot is looked up and fails once removed.
TEST(FolderListingCacheTest, RemovedItemsGiveTheirPathsInAnyOrder) {
  for (const bool listed : {true, false}) {
    SCOPED_TRACE(listed ? "entries of a listing" : "items of FSPathMakeRef");
    ScopedTempDir temp;
    for (int i = 0; i < 100; ++i) MakeItems(temp, {"in/f" + std::to_string(i)});
    MakeItems(temp, {"out/outside"});
    const FSRef outside = RefOf(temp.Join("out/outside"));
    const ScopedFileSystemSnapshot cache;
    std::vector<std::pair<std::string, FSRef>> found;
    if (listed) {
      ForEachEntry(RefOf(temp.Join("in")), [&](const FSRef& ref, bool) {
        found.emplace_back(FSRefCopyPathUnchecked(ref).value_or(""), ref);
      });
    } else {
      for (int i = 0; i < 100; ++i) {
        const std::string path = temp.Join("in/f" + std::to_string(i));
        found.emplace_back(path, RefOf(path));
      }
    }
    ASSERT_EQ(found.size(), 100u);
    for (const auto& [path, ref] : found) ASSERT_EQ(unlink(path.c_str()), 0) << path;
    ASSERT_EQ(unlink(temp.Join("out/outside").c_str()), 0);
    for (auto it = found.begin(); it != found.end(); ++it) EXPECT_EQ(PathOf(it->second), it->first);
    for (auto it = found.rbegin(); it != found.rend(); ++it)
      EXPECT_EQ(PathOf(it->second), it->first);
    for (auto it = found.begin(); it != found.end(); ++it) EXPECT_EQ(PathOf(it->second), it->first);
    EXPECT_EQ(PathOf(outside), "<failed>");
  }
}

}  // namespace
