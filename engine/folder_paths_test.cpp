#include "engine/folder_paths.h"

#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/packages.h"
#include "engine/path_forms.h"
#include "platform/events/events.h"
#include "platform/files/files_test_support.h"
#include "settings/settings.h"
#include "testing/test_support.h"

namespace {

using files_testing::RefOf;
using kestrine_testing::MakeDirs;
using kestrine_testing::ScopedUser;
using kestrine_testing::SplitLines;
using kestrine_testing::WriteFile;

// A walk's filter that counts its calls in `data`, an int.
bool CountCalls(bool, ItemCount, const FSCatalogInfo*, const FSRef*, const FSSpec*, const std::string*,
                void* data) {
  ++*static_cast<int*>(data);
  return false;
}

class FolderPathsTest : public ::testing::Test {
 protected:
  // Runs both passes and returns the text, counting the yields.
  std::string Collect(const std::string& path) {
    const FSRef ref = RefOf(path);
    yields_ = 0;
    auto previous = SetWaitNextEventHook([this] { ++yields_; });
    IterateCountFolders(ref);
    countYields_ = yields_;
    IterateCollectFolders(ref);
    SetWaitNextEventHook(previous);
    return GetFolderPathsClipboardStrings().value_or("<none>");
  }

  std::string Root() const { return user_.home() + "/A"; }

  ScopedUser user_;
  int yields_ = 0;
  int countYields_ = 0;
};

TEST_F(FolderPathsTest, FoldersInPreOrderEachFollowedByTheSeparator) {
  MakeDirs(Root() + "/B/D");
  MakeDirs(Root() + "/C");
  WriteFile(Root() + "/f", "x");
  WriteFile(Root() + "/B/g", "x");
  const std::string text = Collect(Root());
  EXPECT_EQ(gNbrFoldersCounted, 4);
  EXPECT_EQ(gNbrFoldersCollected, 4);
  ASSERT_TRUE(text.ends_with("\n"));
  const std::vector<std::string> lines = SplitLines(text);
  ASSERT_EQ(lines.size(), 4u) << text;
  EXPECT_EQ(lines[0], Root());
  // The order of siblings is the file system's; pre-order holds either way.
  const std::vector<std::string> bFirst = {Root(), Root() + "/B", Root() + "/B/D", Root() + "/C"};
  const std::vector<std::string> cFirst = {Root(), Root() + "/C", Root() + "/B", Root() + "/B/D"};
  EXPECT_TRUE(lines == bFirst || lines == cFirst) << text;
}

TEST_F(FolderPathsTest, PackagesAreNeitherListedNorEntered) {
  MakeDirs(Root() + "/Tool.app/Contents/MacOS");
  MakeDirs(Root() + "/Kit.framework/Versions");
  MakeDirs(Root() + "/Data.BUNDLE/inner");
  MakeDirs(Root() + "/Flagged/Contents");
  WriteFile(Root() + "/Flagged/Contents/Info.plist", "<plist/>");
  MakeDirs(Root() + "/Plain/Sub");
  const std::string text = Collect(Root());
  EXPECT_EQ(text, Root() + "\n" + Root() + "/Plain\n" + Root() + "/Plain/Sub\n");
  EXPECT_TRUE(ItemIsABundle(RefOf(Root() + "/Flagged")));
  EXPECT_FALSE(ItemIsABundleByExtension(RefOf(Root() + "/Flagged")));
  EXPECT_TRUE(ItemIsABundleByExtension(RefOf(Root() + "/Data.BUNDLE")));
}

TEST_F(FolderPathsTest, StartItemThatIsAFileOrAPackage) {
  WriteFile(Root() + "/only.txt", "x");
  EXPECT_EQ(Collect(Root() + "/only.txt"), Root() + "/only.txt\n");
  EXPECT_EQ(gNbrFoldersCounted, 1);
  MakeDirs(Root() + "/Tool.app/Sub");
  EXPECT_EQ(Collect(Root() + "/Tool.app"), Root() + "/Tool.app\n");
}

TEST_F(FolderPathsTest, LabelsAndSeparator) {
  MakeDirs(Root() + "/B");
  user_.WriteSettings(
      "<key>LabelItems</key><true/><key>MultipathSeparator</key><string>, </string>");
  CFPreferencesAppSynchronize(kKestrineDomain);
  EXPECT_EQ(Collect(Root()), "Mac Path: " + Root() + ", Mac Path: " + Root() + "/B, ");
}

TEST_F(FolderPathsTest, YieldsEveryTwentyFoldersInBothPasses) {
  for (int i = 0; i < 45; ++i) MakeDirs(Root() + "/d" + std::to_string(i));
  const std::string text = Collect(Root());
  EXPECT_EQ(gNbrFoldersCounted, 46);
  EXPECT_EQ(SplitLines(text).size(), 46u);
  EXPECT_EQ(countYields_, 2);
  EXPECT_EQ(yields_, 4);
}

TEST_F(FolderPathsTest, SymbolicLinksAreNotEnteredAndLoopsEnd) {
  MakeDirs(Root() + "/B");
  ASSERT_EQ(::symlink(Root().c_str(), (Root() + "/B/loop").c_str()), 0);
  ASSERT_EQ(::symlink("..", (Root() + "/up").c_str()), 0);
  EXPECT_EQ(Collect(Root()), Root() + "\n" + Root() + "/B\n");
}

TEST_F(FolderPathsTest, FoldersThatMayNotBeReadAreListedButNotEntered) {
  // The walk runs as an ordinary user, in a child: root reads every folder.
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to walk as nobody";
  ::chmod(user_.root().c_str(), 0755);
  ::chmod(user_.home().c_str(), 0755);
  for (const mode_t mode : std::initializer_list<mode_t>{0000, 0100, 0400}) {
    SCOPED_TRACE(mode);
    const std::string root = Root() + std::to_string(mode);
    for (const char* folder : {"/a/inside", "/locked/sub/deeper", "/m/after"}) MakeDirs(root + folder);
    ASSERT_EQ(::chmod((root + "/locked").c_str(), mode), 0);
    const kestrine_testing::RunResult r = kestrine_testing::RunForked([&] {
      return kestrine_testing::BecomeNobody() ? Collect(root) : "<not nobody>";
    });
    ::chmod((root + "/locked").c_str(), 0755);
    EXPECT_EQ(r.exitStatus, 0);
    std::vector<std::string> lines = SplitLines(r.out);
    // Readable but not searchable (0400), the folder shows the names inside
    // it, but whether they are folders may stay unknown.
    std::erase(lines, root + "/locked/sub");
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{root, root + "/a", root + "/a/inside",
                                               root + "/locked", root + "/m", root + "/m/after"}))
        << r.out;
  }
}

TEST_F(FolderPathsTest, TreeGrowingBetweenPassesKeepsTheCountedNumber) {
  MakeDirs(Root() + "/a");
  const FSRef ref = RefOf(Root());
  IterateCountFolders(ref);
  MakeDirs(Root() + "/b");
  MakeDirs(Root() + "/c");
  ::testing::internal::CaptureStderr();
  IterateCollectFolders(ref);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(gNbrFoldersCollected, 2);
  // Only the folder that found room is logged as collected.
  EXPECT_EQ(SplitLines(log).size(), 1u) << log;
  EXPECT_EQ(SplitLines(GetFolderPathsClipboardStrings().value()).size(), 2u);
}

TEST_F(FolderPathsTest, FolderRemovedBeforeTheWalk) {
  MakeDirs(Root() + "/x");
  const FSRef ref = RefOf(Root() + "/x");
  ASSERT_EQ(::rmdir((Root() + "/x").c_str()), 0);
  IterateCountFolders(ref);
  IterateCollectFolders(ref);
  EXPECT_EQ(gNbrFoldersCounted, 1);
  // The start item is kept but its path can no longer be rendered.
  EXPECT_EQ(GetFolderPathsClipboardStrings(), "\n");
}

TEST_F(FolderPathsTest, DeepChainWithFewDescriptorsIsWalkedToItsEndAndPast) {
  // 3,000 nested folders, with siblings beside the chain at the top and at
  // depth 50, walked with 64 descriptors.
  constexpr int kDepth = 3000;
  MakeDirs(Root() + "/b");
  MakeDirs(Root() + "/c");
  kestrine_testing::MakeFolderChain(Root(), "d", kDepth);
  std::string atFifty = Root();
  for (int level = 0; level < 50; ++level) atFifty += "/d";
  MakeDirs(atFifty + "/e");
  const kestrine_testing::RunResult r = kestrine_testing::RunForked([&] {
    rlimit low{64, 64};
    if (::setrlimit(RLIMIT_NOFILE, &low) != 0) return std::string("setrlimit failed");
    const std::string text = Collect(Root());
    return std::to_string(gNbrFoldersCounted) + "\n" + text;
  });
  ASSERT_EQ(r.exitStatus, 0);
  std::vector<std::string> lines = SplitLines(r.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), std::to_string(1 + kDepth + 3));
  lines.erase(lines.begin());
  // Folders whose paths do not fit the working buffer are left out of the text.
  std::vector<std::string> expected = {Root(), Root() + "/b", Root() + "/c", atFifty + "/e"};
  for (std::string path = Root() + "/d"; path.size() < kWorkingPathSize; path += "/d") {
    expected.push_back(path);
  }
  std::sort(lines.begin(), lines.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);
}

TEST_F(FolderPathsTest, FolderRemovedDuringTheWalkIsSkippedAndTheRestWalked) {
  for (int i = 0; i < 10; ++i) MakeDirs(Root() + "/d" + std::to_string(i) + "/sub/leaf");
  struct Seen {
    std::vector<std::string> paths;
    std::string removed;
  } seen;
  // Removes the first folder it meets, as another program might just then.
  auto filter = [](bool, ItemCount, const FSCatalogInfo*, const FSRef* ref, const FSSpec*,
                   const std::string*, void* data) {
    auto& state = *static_cast<Seen*>(data);
    const std::string path = FSRefCopyPathUnchecked(*ref).value_or("");
    state.paths.push_back(path);
    if (state.removed.empty()) {
      std::filesystem::remove_all(path);
      state.removed = path;
    }
    return false;
  };
  EXPECT_EQ(FSIterateContainer(RefOf(Root()), 0, kFSCatInfoNone, false, false, filter, &seen,
                               kFolderWalkPackageTest),
            noErr);
  ASSERT_FALSE(seen.removed.empty());
  EXPECT_EQ(std::count(seen.paths.begin(), seen.paths.end(), seen.removed + "/sub/leaf"), 0);
  // Every other folder is met.
  EXPECT_EQ(std::count_if(seen.paths.begin(), seen.paths.end(),
                          [&](const std::string& path) { return !path.starts_with(seen.removed); }),
            27);
}

TEST_F(FolderPathsTest, FoldersOnlyWalkSkipsLeavesWithTheSameText) {
  // Folders that hold no folder, of every kind the package test or the text
  // could tell apart, beside folders that hold some.
  MakeDirs(Root() + "/nest/inner/deep");
  MakeDirs(Root() + "/empty");
  MakeDirs(Root() + "/Tool.app");
  WriteFile(Root() + "/plain/notes.txt", "x");
  WriteFile(Root() + "/fileContents/Contents", "x");
  WriteFile(Root() + "/target/Info.plist", "<plist/>");
  MakeDirs(Root() + "/linked");
  ASSERT_EQ(::symlink("../target", (Root() + "/linked/Contents").c_str()), 0);
  ASSERT_EQ(::symlink("nest", (Root() + "/dirlink").c_str()), 0);
  MakeDirs(Root() + "/bad\xff");
  // A path that is not UTF-8 gives an empty line.
  std::vector<std::string> expected = {""};
  for (const char* folder : {"", "/empty", "/fileContents", "/nest", "/nest/inner",
                             "/nest/inner/deep", "/plain", "/target"}) {
    expected.push_back(Root() + folder);
  }
  auto sorted = [](const std::string& text) {
    std::vector<std::string> lines = SplitLines(text);
    std::sort(lines.begin(), lines.end());
    return lines;
  };
  EXPECT_EQ(sorted(Collect(Root())), expected);
  {
    const ScopedFileSystemSnapshot snapshot;
    EXPECT_EQ(sorted(Collect(Root())), expected);
  }

  // Whether the leaves' files are left out depends on the file system.
  struct statfs volume {};
  ASSERT_EQ(::statfs(Root().c_str(), &volume), 0);
  const bool countsLinks = volume.f_type == EXT4_SUPER_MAGIC || volume.f_type == XFS_SUPER_MAGIC ||
                           volume.f_type == TMPFS_MAGIC;
  auto files = [](bool, ItemCount, const FSCatalogInfo* info, const FSRef*, const FSSpec*,
                  const std::string*, void* data) {
    if ((info->nodeFlags & kFSNodeIsDirectoryMask) == 0) ++*static_cast<int*>(data);
    return false;
  };
  for (const bool inSnapshot : {false, true}) {
    SCOPED_TRACE(inSnapshot);
    std::optional<ScopedFileSystemSnapshot> snapshot;
    if (inSnapshot) snapshot.emplace();
    int all = 0;
    int foldersOnly = 0;
    FSIterateContainer(RefOf(Root()), 0, kFSCatInfoNone, false, false, files, &foldersOnly,
                       kFolderWalkPackageTest, FSIteratorNeeds::kFoldersOnly);
    FSIterateContainer(RefOf(Root()), 0, kFSCatInfoNone, false, false, files, &all,
                       kFolderWalkPackageTest);
    EXPECT_EQ(all, 4);  // notes.txt, the file Contents, Info.plist and dirlink.
    EXPECT_EQ(foldersOnly, inSnapshot && countsLinks ? 1 : 4);
  }
}

TEST_F(FolderPathsTest, AMissingFilterOrPackageTestIsRefusedAndTheLevelLimitStopsDescent) {
  const struct {
    const char* missing;
    IterateContainerFilterProcPtr filter;
    IterateContainerPackageTest packages;
  } cases[] = {{"filter", nullptr, kFolderWalkPackageTest},
               {"byName", CountCalls, {nullptr, ItemIsABundle}},
               {"isPackage", CountCalls, {ItemIsABundleByExtension, nullptr}}};
  int calls = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.missing);
    EXPECT_EQ(FSIterateContainer(RefOf(user_.home()), 0, kFSCatInfoNone, false, false, c.filter, &calls,
                                 c.packages),
              paramErr);
  }
  EXPECT_EQ(calls, 0);
  MakeDirs(Root() + "/B/D/E");
  EXPECT_EQ(FSIterateContainer(RefOf(Root()), 2, kFSCatInfoNone, false, true, CountCalls, &calls,
                               kFolderWalkPackageTest),
            noErr);
  EXPECT_EQ(calls, 2);
}

// The threads of this process.
int Threads() {
  return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                        std::filesystem::directory_iterator()));
}

TEST_F(FolderPathsTest, ReadAheadGivesTheSameWalkOnOneOrMoreProcessorsAndEndsWithTheSnapshot) {
  // A folder wide enough to be read ahead, holding folders of every kind the
  // worker answers for: plain leaves, a package by a Contents link, one by
  // its extension, a name that is not UTF-8, unreadable folders with and
  // without folders inside, and a folder that holds folders.
  const std::string wide = Root() + "/wide";
  for (int i = 0; i < 10; ++i) MakeDirs(wide + "/l" + std::to_string(i));
  MakeDirs(wide + "/deep/sub/leaf");
  MakeDirs(wide + "/Tool.app");
  MakeDirs(wide + "/bad\xff");
  MakeDirs(wide + "/locked/sub");
  MakeDirs(wide + "/shut");
  WriteFile(Root() + "/target/Info.plist", "<plist/>");
  MakeDirs(wide + "/linked");
  ASSERT_EQ(::symlink("../../target", (wide + "/linked/Contents").c_str()), 0);
  ASSERT_EQ(::chmod((wide + "/locked").c_str(), 0), 0);
  ASSERT_EQ(::chmod((wide + "/shut").c_str(), 0), 0);
  ::chmod(user_.root().c_str(), 0755);
  ::chmod(user_.home().c_str(), 0755);
  // As nobody (or this user) neither locked folder may be read.
  std::vector<std::string> expected = {"", Root(), Root() + "/target", wide};
  for (const char* folder : {"/deep", "/deep/sub", "/deep/sub/leaf", "/locked", "/shut"}) {
    expected.push_back(wide + folder);
  }
  for (int i = 0; i < 10; ++i) expected.push_back(wide + "/l" + std::to_string(i));
  std::sort(expected.begin(), expected.end());

  cpu_set_t all;
  ASSERT_EQ(::sched_getaffinity(0, sizeof all, &all), 0);
  const bool manyProcessors = CPU_COUNT(&all) > 1;
  const struct {
    const char* name;
    bool oneProcessor;
    int stopAfter;  // Folders after which a first walk stops; 0: none.
  } cases[] = {{"read ahead", false, 0},
               {"one processor", true, 0},
               {"stopped early in the wide folder", false, 4},
               {"stopped early on one processor", true, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const kestrine_testing::RunResult r = kestrine_testing::RunForked([&] {
      if (c.oneProcessor) {
        cpu_set_t one;
        CPU_ZERO(&one);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
          if (CPU_ISSET(cpu, &all)) {
            CPU_SET(cpu, &one);
            break;
          }
        }
        if (::sched_setaffinity(0, sizeof one, &one) != 0) return std::string("<affinity>");
      }
      if (::geteuid() == 0 && !kestrine_testing::BecomeNobody()) return std::string("<not nobody>");
      const int before = Threads();
      struct Stop {
        int left;
        int threads = 0;
      } stop{c.stopAfter};
      std::string text;
      {
        const ScopedFileSystemSnapshot snapshot;
        if (c.stopAfter > 0) {
          auto filter = [](bool, ItemCount, const FSCatalogInfo*, const FSRef*, const FSSpec*,
                           const std::string*, void* data) {
            auto& state = *static_cast<Stop*>(data);
            state.threads = std::max(state.threads, Threads());
            return --state.left == 0;
          };
          FSIterateContainer(RefOf(Root()), 0, kFSCatInfoNone, false, false, filter, &stop,
                             kFolderWalkPackageTest, FSIteratorNeeds::kFoldersOnly);
        }
        text = Collect(Root());
        if (c.stopAfter == 0) stop.threads = Threads();
      }
      return text + "threads " + std::to_string(stop.threads - before) + " then " +
             std::to_string(Threads() - before) + (c.stopAfter > 0 && stop.left == 0 ? " stopped" : "");
    });
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    const std::size_t tail = r.out.rfind("threads ");
    ASSERT_NE(tail, std::string::npos) << r.out;
    std::vector<std::string> lines = SplitLines(r.out.substr(0, tail));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, expected);
    // The worker runs while the snapshot lives, and only on more than one
    // processor; it is gone with the snapshot.
    const bool worker = manyProcessors && !c.oneProcessor;
    EXPECT_EQ(r.out.substr(tail), std::string("threads ") + (worker ? "1" : "0") + " then 0" +
                                      (c.stopAfter > 0 ? " stopped" : ""));
  }
  ::chmod((wide + "/locked").c_str(), 0755);
  ::chmod((wide + "/shut").c_str(), 0755);
}

TEST_F(FolderPathsTest, ReadAheadOfADeepWideTreeHoldsFewDescriptors) {
  // 40 levels, each with 8 folders beside the next level: every level is
  // read ahead, walked with 32 descriptors.
  constexpr int kDepth = 40;
  std::string level = Root();
  for (int depth = 0; depth < kDepth; ++depth) {
    for (int i = 0; i < 8; ++i) MakeDirs(level + "/s" + std::to_string(i));
    level += "/d";
  }
  MakeDirs(level);
  const kestrine_testing::RunResult r = kestrine_testing::RunForked([&] {
    rlimit low{32, 32};
    if (::setrlimit(RLIMIT_NOFILE, &low) != 0) return std::string("setrlimit failed");
    const ScopedFileSystemSnapshot snapshot;
    return std::to_string(SplitLines(Collect(Root())).size());
  });
  EXPECT_EQ(r.out, std::to_string(1 + kDepth * 9));
}

}  // namespace
