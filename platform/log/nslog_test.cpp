#include "platform/log/nslog.h"

#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_support.h"

namespace {

using kestrine_testing::CapturedStderr;
using kestrine_testing::SplitLines;

std::string Prefix(long pid, long tid) {
  return R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} nslog_test\[)" + std::to_string(pid) + ":" +
         std::to_string(tid) + R"(\] )";
}

TEST(NSLogTest, LineHasDateProgramPidTidAndText) {
  CapturedStderr captured;
  const time_t before = time(nullptr);
  NSLog("Total Nbr Folders: %d ", 42);
  const time_t after = time(nullptr);
  captured.Restore();

  const std::string text = captured.Text();
  EXPECT_TRUE(std::regex_match(text, std::regex(Prefix(getpid(), gettid()) +
                                                "Total Nbr Folders: 42 \n")))
      << text;
  tm logged{};
  ASSERT_NE(strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &logged), nullptr);
  logged.tm_isdst = -1;
  const time_t logged_time = mktime(&logged);
  EXPECT_GE(logged_time, before - 1);
  EXPECT_LE(logged_time, after);
}

TEST(NSLogTest, LineFeedIsAddedOnlyWhenMissing) {
  CapturedStderr captured;
  NSLog("Copy All Paths");
  NSLog("ends with a line feed\n");
  NSLog("%s", "");
  NSLog("two\nlines");
  captured.Restore();

  const std::vector<std::string> lines = SplitLines(captured.Text());
  ASSERT_EQ(lines.size(), 5u) << captured.Text();
  const std::string prefix = Prefix(getpid(), gettid());
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(prefix + "Copy All Paths")));
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(prefix + "ends with a line feed")));
  EXPECT_TRUE(std::regex_match(lines[2], std::regex(prefix)));
  EXPECT_TRUE(std::regex_match(lines[3], std::regex(prefix + "two")));
  EXPECT_EQ(lines[4], "lines");
}

TEST(NSLogTest, LongTextAndPercentSignsArriveWhole) {
  const std::string path = "/home/ann/50% off/" + std::string(9000, 'x') + "/\xe6\x97\xa5";
  CapturedStderr captured;
  NSLog("%s", path.c_str());
  captured.Restore();

  const std::string text = captured.Text();
  ASSERT_GT(text.size(), path.size() + 1);
  EXPECT_EQ(text.substr(text.size() - path.size() - 1), path + "\n");
  EXPECT_EQ(SplitLines(text).size(), 1u);
}

TEST(NSLogTest, ErrnoIsKept) {
  CapturedStderr captured;
  errno = ENOENT;
  NSLog("%d", 1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(NSLogTest, EachThreadShowsItsOwnId) {
  CapturedStderr captured;
  long worker_tid = 0;
  std::thread worker([&] {
    worker_tid = gettid();
    NSLog("from the worker");
  });
  worker.join();
  captured.Restore();

  EXPECT_NE(worker_tid, static_cast<long>(getpid()));
  EXPECT_TRUE(std::regex_match(captured.Text(), std::regex(Prefix(getpid(), worker_tid) +
                                                           "from the worker\n")))
      << captured.Text();
}

// Several processes log long lines to one shared file at once; every line
// must come out whole, which needs one write per line.
TEST(NSLogTest, LinesOfConcurrentProcessesDoNotInterleave) {
  constexpr int kProcesses = 4;
  constexpr int kLinesEach = 150;
  CapturedStderr captured;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    children.push_back(kestrine_testing::StartChild([p] {
      const std::string body(3000, static_cast<char>('a' + p));
      for (int i = 0; i < kLinesEach; ++i) NSLog("%d %s", p, body.c_str());
      return 0;
    }));
  }
  for (pid_t child : children) EXPECT_EQ(kestrine_testing::WaitForChild(child), 0);
  captured.Restore();

  const std::vector<std::string> lines = SplitLines(captured.Text());
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kProcesses * kLinesEach));
  const std::regex prefix(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} nslog_test\[(\d+):\1\] )");
  int bad = 0;
  for (const std::string& line : lines) {
    const std::size_t text_start = line.find("] ") + 2;
    const std::string text = line.substr(text_start);
    const int process = text.empty() ? -1 : text[0] - '0';
    const bool whole = std::regex_match(line.substr(0, text_start), prefix) &&
                       process >= 0 && process < kProcesses &&
                       text.substr(1) == " " + std::string(3000, static_cast<char>('a' + process));
    if (!whole) ++bad;
  }
  EXPECT_EQ(bad, 0);
}

TEST(NSLogTest, BatchedLinesArriveWholeAndInOrderWhenTheBatchEnds) {
  CapturedStderr captured;
  {
    const ScopedNSLogBatch outer;
    NSLog("first");
    {
      const ScopedNSLogBatch inner;
      NSLog("second %d", 2);
    }
    // Nothing is written while a batch is open.
    EXPECT_EQ(captured.Text(), "");
    for (int i = 0; i < 1000; ++i) NSLog("line %04d of a long batch", i);
    // Past 16 KiB the gathered lines go out, whole.
    const std::string early = captured.Text();
    EXPECT_FALSE(early.empty());
    EXPECT_EQ(early.back(), '\n');
  }
  NSLog("after");
  captured.Restore();
  const std::vector<std::string> lines = SplitLines(captured.Text());
  ASSERT_EQ(lines.size(), 1003u);
  EXPECT_TRUE(lines[0].ends_with("] first"));
  EXPECT_TRUE(lines[1].ends_with("] second 2"));
  EXPECT_TRUE(lines[2].ends_with("] line 0000 of a long batch"));
  EXPECT_TRUE(lines[1001].ends_with("] line 0999 of a long batch"));
  EXPECT_TRUE(lines[1002].ends_with("] after"));
}

}  // namespace
