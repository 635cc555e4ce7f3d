// The Finder-selection road against a real `kestrine-finder serve` process.
#include "MoreAppleEvents/FinderSelection.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "MoreAppleEvents/MoreFinderEvents.h"
#include "platform/finder/finder_selection.h"
#include "testing/test_support.h"

namespace {

using kestrine_testing::ScopedFinder;
using kestrine_testing::WriteFile;
using Paths = std::vector<std::string>;

// The paths the selection converts to, as the status-menu command does: each
// item in order, skipping the ones that fail.
struct Converted {
  OSStatus status = noErr;
  long count = -1;
  Paths paths;
  bool operator==(const Converted&) const = default;
  friend void PrintTo(const Converted& c, std::ostream* os) {
    *os << "status " << c.status << ", " << c.count << " items, " << ::testing::PrintToString(c.paths);
  }
};

Converted Failed(OSStatus status) { return {status, -1, {}}; }

Converted Selected(const Paths& paths, long count = -1) {
  return {noErr, count < 0 ? static_cast<long>(paths.size()) : count, paths};
}

Converted ConvertSelection() {
  Converted result;
  AEDescList list;
  result.status = MoreFEGetSelection(gAEIdleUPP, &list);
  if (result.status != noErr) {
    EXPECT_EQ(list.descriptorType(), typeNull);
    return result;
  }
  EXPECT_EQ(list.descriptorType(), typeAEList);
  AECountItems(&list, &result.count);
  for (long i = 1; i <= result.count; ++i) {
    FSRef ref;
    char path[4096];
    if (GetSelectionItemFSRef(&list, i, &ref) == noErr && FSRefMakePath(ref, path, sizeof path) == noErr) {
      result.paths.emplace_back(path);
    }
  }
  return result;
}

class FinderSelectionTest : public ::testing::Test {
 protected:
  // `count` files in the user's home, in the order they are selected.
  Paths MakeFiles(int count) {
    Paths paths;
    for (int i = 0; i < count; ++i) {
      paths.push_back(user_.home() + "/item " + std::to_string(count - i) + ".txt");
      WriteFile(paths.back(), "x");
    }
    return paths;
  }

  kestrine_testing::ScopedUser user_;
};

TEST_F(FinderSelectionTest, EverySizeAndKindConvertsInOrderWithoutDeletedItems) {
  ScopedFinder finder(FINDER_PATH);
  ASSERT_TRUE(finder.ready());
  for (const int count : {0, 1, 3, 1000}) {
    const Paths paths = MakeFiles(count);
    for (const char* kind : {"obj", "fsrf", "alis"}) {
      SCOPED_TRACE(std::to_string(count) + " as " + kind);
      Paths args = {"--as", kind};
      args.insert(args.end(), paths.begin(), paths.end());
      ASSERT_EQ(finder.Select(args), 0);
      EXPECT_EQ(ConvertSelection(), Selected(paths));
      if (count != 3) continue;
      // An item deleted after it was selected is skipped, the others kept.
      std::remove(paths[1].c_str());
      EXPECT_EQ(ConvertSelection(), Selected({paths[0], paths[2]}, 3));
      WriteFile(paths[1], "x");
    }
  }
}

TEST_F(FinderSelectionTest, RequestsAreTracedAndFailAsToldUntilTheNextSelect) {
  ScopedFinder finder(FINDER_PATH);
  ASSERT_TRUE(finder.ready());
  testing::internal::CaptureStdout();
  ConvertSelection();
  const std::string trace = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(trace.starts_with("\n-MoreFEGetSelection: tAppleEvent=\"'core'\\'getd'{'----':'obj '{") &&
              trace.ends_with("}\"."))
      << trace;
  const std::string file = MakeFiles(1)[0];
  ASSERT_EQ(finder.Select({file}), 0);
  ASSERT_EQ(finder.Select({"--fail", "-1719"}), 0);
  EXPECT_EQ(ConvertSelection(), Failed(-1719));
  EXPECT_EQ(ConvertSelection(), Failed(-1719));
  // A select that names nothing leaves everything as it was.
  EXPECT_EQ(finder.Select({user_.home() + "/missing"}), 1);
  EXPECT_EQ(ConvertSelection(), Failed(-1719));
  ASSERT_EQ(finder.Select({}), 0);
  // A path that is not absolute stops a set before anything is sent.
  std::size_t unusable = 9;
  EXPECT_EQ(FinderSetSelection({file, "relative"}, typeFSRef, kAEWaitReply, kAEDefaultTimeout, &unusable),
            paramErr);
  EXPECT_EQ(unusable, 1u);
  EXPECT_EQ(ConvertSelection(), Selected({}));
  EXPECT_EQ(finder.Select({"--as", "text"}), 2);
  EXPECT_EQ(finder.Select({"--fail", "x"}), 2);
}

TEST_F(FinderSelectionTest, WithoutALiveFinderNothingIsSelectedAndNothingHangs) {
  EXPECT_EQ(ConvertSelection(), Failed(procNotFound));
  EXPECT_EQ(FinderSetSelection({}, typeFSRef, kAENoReply, 1), procNotFound);
  AEDesc object;
  AEBuildDesc(&object, nullptr, "obj {want:type('cobj'), from:'null'(), form:'name', seld:1}");
  Handle alias;
  EXPECT_EQ(MoreFEGetObjectAsAlias(&object, &alias, gAEIdleUPP), procNotFound);
  EXPECT_EQ(MoreFEGetSelection(nullptr, &object), paramErr);
  EXPECT_EQ(MoreFEGetSelection(gAEIdleUPP, nullptr), paramErr);

  ScopedFinder first(FINDER_PATH);
  ASSERT_TRUE(first.ready());
  ScopedFinder second(FINDER_PATH);
  EXPECT_FALSE(second.ready());
  EXPECT_EQ(WEXITSTATUS(second.Stop(SIGTERM)), 1);
  EXPECT_EQ(WEXITSTATUS(first.Stop(SIGTERM)), 0);
  EXPECT_EQ(first.Select({}), 1);

  // A Finder that dies in the middle of a request ends the wait.
  ScopedFinder dying(FINDER_PATH);
  ASSERT_TRUE(dying.ready());
  dying.Stop(SIGSTOP);
  auto request = std::async(std::launch::async, ConvertSelection);
  EXPECT_EQ(request.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  dying.Stop(SIGKILL);
  ASSERT_EQ(request.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(request.get(), Failed(connectionInvalid));
}

TEST_F(FinderSelectionTest, FilesCopiedInTheFileManagerAreTheSelection) {
  kestrine_testing::ScopedXvfb xvfb;
  ASSERT_TRUE(xvfb.running()) << xvfb.error();
  const Paths paths = MakeFiles(3);
  WriteFile(user_.home() + "/odd %name", "x");
  ScopedFinder finder(FINDER_PATH);
  ASSERT_TRUE(finder.ready());
  ASSERT_EQ(finder.Select({paths[0]}), 0);
  EXPECT_EQ(ConvertSelection().paths, Paths{paths[0]});

  // What a file manager puts on the clipboard for Ctrl+C.
  const auto copy = [](const std::string& type, const std::string& text) {
    FILE* xclip = popen(("xclip -selection clipboard -t " + type + " -i").c_str(), "w");
    ASSERT_NE(xclip, nullptr);
    fputs(text.c_str(), xclip);
    pclose(xclip);
  };
  // The Finder reads the clipboard through a helper with a time limit, which
  // a loaded machine can exceed once; copied files must show within seconds.
  const auto pathsSoon = [](const Paths& expected) {
    Paths seen;
    for (int i = 0; i < 50 && (seen = ConvertSelection().paths) != expected; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return seen;
  };
  copy("x-special/gnome-copied-files",
       "copy\nfile://" + paths[2] + "\nfile://" + user_.home() + "/odd%20%25name\nhttps://example.com/x\n");
  EXPECT_EQ(pathsSoon({paths[2], user_.home() + "/odd %name"}), (Paths{paths[2], user_.home() + "/odd %name"}));
  // A later `kestrine-finder select` wins over the files copied before it.
  ASSERT_EQ(finder.Select({paths[1]}), 0);
  EXPECT_EQ(ConvertSelection().paths, Paths{paths[1]});
  copy("text/uri-list", "# comment\r\nfile://" + paths[0] + "\r\n");
  EXPECT_EQ(pathsSoon({paths[0]}), Paths{paths[0]});
  // A command's text replaces the copied files on the clipboard; they stay
  // the selection until something newer comes.
  copy("UTF8_STRING", paths[0]);
  EXPECT_EQ(ConvertSelection().paths, Paths{paths[0]});
  EXPECT_EQ(ConvertSelection().paths, Paths{paths[0]});
  ASSERT_EQ(finder.Select({paths[2]}), 0);
  EXPECT_EQ(ConvertSelection().paths, Paths{paths[2]});
}

}  // namespace
