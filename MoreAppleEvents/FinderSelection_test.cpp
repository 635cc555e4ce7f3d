// The Finder-selection road against a real `finder serve` process.
#include "MoreAppleEvents/FinderSelection.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <future>
#include <string>
#include <vector>

#include "MoreAppleEvents/MoreFinderEvents.h"
#include "platform/finder/finder_selection.h"
#include "testing/test_support.h"

namespace {

using kestrine_testing::RunProgram;
using kestrine_testing::ScopedFinder;
using kestrine_testing::ScopedUser;
using kestrine_testing::ScopedXvfb;
using kestrine_testing::WriteFile;

int Select(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {FINDER_PATH, "select"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv).exitStatus;
}

// The paths the selection converts to, as the status-menu command does: each
// item in order, skipping the ones that fail.
struct Converted {
  OSStatus status = noErr;
  long count = -1;
  std::vector<std::string> paths;
};

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
    if (GetSelectionItemFSRef(&list, i, &ref) == noErr &&
        FSRefMakePath(ref, path, sizeof path) == noErr) {
      result.paths.emplace_back(path);
    }
  }
  return result;
}

class FinderSelectionTest : public ::testing::Test {
 protected:
  // `count` files in the user's home, in the order they are selected.
  std::vector<std::string> MakeFiles(int count) {
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) {
      paths.push_back(user_.home() + "/item " + std::to_string(count - i) + ".txt");
      WriteFile(paths.back(), "x");
    }
    return paths;
  }

  ScopedUser user_;
};

TEST_F(FinderSelectionTest, EverySizeAndKindConvertsInOrder) {
  ScopedFinder finder(FINDER_PATH);
  ASSERT_TRUE(finder.ready());
  for (const int count : {0, 1, 3, 1000}) {
    const std::vector<std::string> paths = MakeFiles(count);
    for (const char* kind : {"obj", "fsrf", "alis"}) {
      SCOPED_TRACE(std::to_string(count) + " as " + kind);
      std::vector<std::string> args = {"--as", kind};
      args.insert(args.end(), paths.begin(), paths.end());
      ASSERT_EQ(Select(args), 0);
      const Converted converted = ConvertSelection();
      EXPECT_EQ(converted.status, noErr);
      EXPECT_EQ(converted.count, count);
      EXPECT_EQ(converted.paths, paths);
    }
  }
}

TEST_F(FinderSelectionTest, AFinderStartedAgainIsFoundAndAnswers) {
  const std::vector<std::string> paths = MakeFiles(2);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ScopedFinder finder(FINDER_PATH);
    ASSERT_TRUE(finder.ready());
    ASSERT_EQ(Select({paths[round % 2]}), 0);
    // Twice: the second request goes over the connection the first one left.
    for (int request = 0; request < 2; ++request) {
      const Converted converted = ConvertSelection();
      EXPECT_EQ(converted.status, noErr);
      EXPECT_EQ(converted.paths, std::vector<std::string>{paths[round % 2]});
    }
    // A Finder that ends without a word, and one that quits.
    finder.Stop(round == 1 ? SIGKILL : SIGTERM);
  }
}

TEST_F(FinderSelectionTest, ADeletedItemIsSkippedAndTheOthersKept) {
  ScopedFinder finder(FINDER_PATH);
  ASSERT_TRUE(finder.ready());
  const std::vector<std::string> paths = MakeFiles(3);
  for (const char* kind : {"obj", "fsrf", "alis"}) {
    SCOPED_TRACE(kind);
    WriteFile(paths[1], "x");
    ASSERT_EQ(Select({"--as", kind, paths[0], paths[1], paths[2]}), 0);
    std::remove(paths[1].c_str());
    const Converted converted = ConvertSelection();
    EXPECT_EQ(converted.count, 3);
    EXPECT_EQ(converted.paths, (std::vector<std::string>{paths[0], paths[2]}));
  }
}

TEST_F(FinderSelectionTest, SelectionRequestsFailAsToldUntilTheNextSelect) {
  ScopedFinder finder(FINDER_PATH);
  ASSERT_TRUE(finder.ready());
  const std::vector<std::string> paths = MakeFiles(1);
  ASSERT_EQ(Select({paths[0]}), 0);
  ASSERT_EQ(Select({"--fail", "-1719"}), 0);
  EXPECT_EQ(ConvertSelection().status, -1719);
  EXPECT_EQ(ConvertSelection().status, -1719);
  // A select that names nothing leaves everything as it was.
  EXPECT_EQ(Select({user_.home() + "/missing"}), 1);
  EXPECT_EQ(ConvertSelection().status, -1719);
  ASSERT_EQ(Select({}), 0);
  EXPECT_EQ(ConvertSelection().count, 0);
  EXPECT_EQ(Select({"--as", "text"}), 2);
  EXPECT_EQ(Select({"--fail", "x"}), 2);
}

TEST_F(FinderSelectionTest, WithoutAFinderNothingIsSelectedAndNothingHangs) {
  EXPECT_EQ(ConvertSelection().status, procNotFound);
  EXPECT_EQ(Select({}), 1);
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
  EXPECT_EQ(ConvertSelection().status, procNotFound);
}

TEST_F(FinderSelectionTest, AFinderThatDiesMidRequestEndsTheWait) {
  ScopedFinder finder(FINDER_PATH);
  ASSERT_TRUE(finder.ready());
  finder.Stop(SIGSTOP);
  auto request = std::async(std::launch::async, ConvertSelection);
  EXPECT_EQ(request.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  finder.Stop(SIGKILL);
  ASSERT_EQ(request.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(request.get().status, connectionInvalid);
  // The next walk removes the dead Finder's entry.
  EXPECT_EQ(ConvertSelection().status, procNotFound);
}

TEST_F(FinderSelectionTest, SetSelectionWithAndWithoutWaitingForTheFinder) {
  const std::vector<std::string> paths = MakeFiles(3);
  EXPECT_EQ(FinderSetSelection(paths, typeFSRef, kAENoReply, 1), procNotFound);
  ScopedFinder finder(FINDER_PATH);
  ASSERT_TRUE(finder.ready());
  const struct {
    std::vector<std::string> paths;
    AESendMode mode;
  } cases[] = {
      {paths, kAEWaitReply},
      {{paths[2], paths[0]}, kAENoReply},
      {{}, kAENoReply},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FinderSetSelection(c.paths, typeFSRef, c.mode, kAEDefaultTimeout), noErr);
    // An event sent without waiting travels on a connection of its own, so
    // the Finder may answer the next question first: ask until it took it.
    Converted converted = ConvertSelection();
    for (int attempt = 0; c.mode == kAENoReply && converted.paths != c.paths && attempt < 200;
         ++attempt) {
      usleep(10 * 1000);
      converted = ConvertSelection();
    }
    EXPECT_EQ(converted.count, static_cast<long>(c.paths.size()));
    EXPECT_EQ(converted.paths, c.paths);
  }
  // A path that is not absolute stops it before anything is sent.
  std::size_t unusable = 9;
  EXPECT_EQ(FinderSetSelection({paths[0], "relative"}, typeFSRef, kAEWaitReply,
                               kAEDefaultTimeout, &unusable),
            paramErr);
  EXPECT_EQ(unusable, 1u);
  EXPECT_EQ(ConvertSelection().count, 0);
  EXPECT_EQ(FinderSetSelectionFailure(-1719), noErr);
  EXPECT_EQ(ConvertSelection().status, -1719);
}

TEST_F(FinderSelectionTest, TheTraceShowsTheBuiltEvent) {
  ScopedFinder finder(FINDER_PATH);
  ASSERT_TRUE(finder.ready());
  testing::internal::CaptureStdout();
  ConvertSelection();
  const std::string trace = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(trace.starts_with("\n-MoreFEGetSelection: tAppleEvent=\"'core'\\'getd'{'----':'obj '{"))
      << trace;
  EXPECT_TRUE(trace.ends_with("}\".")) << trace;
}

TEST_F(FinderSelectionTest, FilesCopiedInTheFileManagerAreTheSelection) {
  ScopedXvfb xvfb;
  ASSERT_TRUE(xvfb.running()) << xvfb.error();
  const std::vector<std::string> paths = MakeFiles(3);
  WriteFile(user_.home() + "/odd %name", "x");
  ScopedFinder finder(FINDER_PATH);
  ASSERT_TRUE(finder.ready());
  ASSERT_EQ(Select({paths[0]}), 0);
  EXPECT_EQ(ConvertSelection().paths, std::vector<std::string>{paths[0]});

  // What a file manager puts on the clipboard for Ctrl+C.
  const auto copy = [](const std::string& type, const std::string& text) {
    FILE* xclip = popen(("xclip -selection clipboard -t " + type + " -i").c_str(), "w");
    ASSERT_NE(xclip, nullptr);
    fputs(text.c_str(), xclip);
    pclose(xclip);
  };
  copy("x-special/gnome-copied-files", "copy\nfile://" + paths[2] + "\nfile://" + user_.home() +
                                           "/odd%20%25name\nhttps://example.com/x\n");
  EXPECT_EQ(ConvertSelection().paths,
            (std::vector<std::string>{paths[2], user_.home() + "/odd %name"}));
  // A later `finder select` wins over the files copied before it.
  ASSERT_EQ(Select({paths[1]}), 0);
  EXPECT_EQ(ConvertSelection().paths, std::vector<std::string>{paths[1]});
  copy("text/uri-list", "# comment\r\nfile://" + paths[0] + "\r\n");
  EXPECT_EQ(ConvertSelection().paths, std::vector<std::string>{paths[0]});
}

}  // namespace
