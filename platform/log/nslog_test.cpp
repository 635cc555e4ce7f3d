#include "platform/log/nslog.h"

#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_support.h"

namespace {

using kestrine_testing::CapturedStderr;

// The process and thread ids of `line` when it is a whole log line of this
// program saying `text`; none otherwise.
std::optional<std::pair<std::string, std::string>> LineIds(const std::string& line,
                                                           const std::string& text) {
  static const std::regex prefix(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} nslog_test\[(\d+):(\d+)\] )");
  std::smatch match;
  if (!line.ends_with(text) ||
      !std::regex_match(line.cbegin(), line.cend() - text.size(), match, prefix)) {
    return std::nullopt;
  }
  return std::pair(match[1].str(), match[2].str());
}

// Lines get the date, the program, the process and thread ids, and one line
// feed; errno stays as it was.
TEST(NSLogTest, LinesHaveDateProgramIdsAndOneLineFeed) {
  const std::string path = "/home/ann/50% off/" + std::string(9000, 'x') + "/\xe6\x97\xa5";
  CapturedStderr captured;
  const time_t before = time(nullptr);
  errno = ENOENT;
  NSLog("Total Nbr Folders: %d ", 42);
  EXPECT_EQ(errno, ENOENT);
  const time_t after = time(nullptr);
  NSLog("ends with a line feed\n");
  NSLog("%s", "");
  NSLog("two\nlines");
  NSLog("%s", path.c_str());
  std::string worker;
  std::thread([&] {
    worker = std::to_string(gettid());
    NSLog("from the worker");
  }).join();
  std::vector<std::string> lines = captured.Lines();
  const std::string text = captured.Text();

  ASSERT_EQ(lines.size(), 7u) << text;
  EXPECT_TRUE(text.ends_with("\n"));
  EXPECT_EQ(lines[4], "lines");
  lines.erase(lines.begin() + 4);
  const std::string pid = std::to_string(getpid()), tid = std::to_string(gettid());
  EXPECT_NE(worker, pid);
  const std::pair<std::string, std::string> expected[] = {
      {"Total Nbr Folders: 42 ", tid}, {"ends with a line feed", tid}, {"", tid},
      {"two", tid}, {path, tid}, {"from the worker", worker}};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(LineIds(lines[i], expected[i].first), std::pair(pid, expected[i].second))
        << lines[i].substr(0, 100);
  }
  tm logged{};
  ASSERT_NE(strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &logged), nullptr);
  logged.tm_isdst = -1;
  const time_t logged_time = mktime(&logged);
  EXPECT_GE(logged_time, before - 1);
  EXPECT_LE(logged_time, after);
}

// The date part of the prefix is kept for a second at most: a line logged
// after the clock passed to the next second carries that second, and the
// milliseconds of each line are its own.
TEST(NSLogTest, TheKeptDateFollowsTheClockIntoTheNextSecond) {
  // The clock NSLog reads; time(2) may lag it by a tick.
  const auto clock_now = [] {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
  };
  CapturedStderr captured;
  NSLog("before");
  const time_t first = clock_now().tv_sec;
  timespec now{};
  do {
    const timespec pause{0, 5'000'000};
    nanosleep(&pause, nullptr);
    now = clock_now();
  } while (now.tv_sec == first);
  NSLog("after");
  const std::vector<std::string> lines = captured.Lines();
  ASSERT_EQ(lines.size(), 2u);
  const auto seconds = [](const std::string& line) {
    tm logged{};
    EXPECT_NE(strptime(line.c_str(), "%Y-%m-%d %H:%M:%S", &logged), nullptr) << line;
    logged.tm_isdst = -1;
    return mktime(&logged);
  };
  EXPECT_LE(seconds(lines[0]), first);
  EXPECT_GE(seconds(lines[1]), now.tv_sec);
  EXPECT_LE(seconds(lines[1]), clock_now().tv_sec);
  EXPECT_TRUE(LineIds(lines[1], "after")) << lines[1];
}

// Several processes log long lines to one shared file at once; every line
// must come out whole, which needs one write per line.
TEST(NSLogTest, LinesOfConcurrentProcessesDoNotInterleave) {
  constexpr int kProcesses = 4;
  constexpr int kLinesEach = 150;
  const auto body = [](int p) {
    return std::to_string(p) + " " + std::string(3000, static_cast<char>('a' + p));
  };
  CapturedStderr captured;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    children.push_back(kestrine_testing::StartChild([&, p] {
      for (int i = 0; i < kLinesEach; ++i) NSLog("%s", body(p).c_str());
      return 0;
    }));
  }
  for (pid_t child : children) EXPECT_EQ(kestrine_testing::WaitForChild(child), 0);

  const std::vector<std::string> lines = captured.Lines();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kProcesses * kLinesEach));
  int bad = 0;
  for (const std::string& line : lines) {
    const int p = line.substr(line.find("] ") + 2, 1)[0] - '0';
    const auto ids = p >= 0 && p < kProcesses ? LineIds(line, body(p)) : std::nullopt;
    if (!ids || ids->first != ids->second) ++bad;
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
  const std::vector<std::string> lines = captured.Lines();
  ASSERT_EQ(lines.size(), 1003u);
  for (const auto& [index, text] : {std::pair{0, "] first"}, {1, "] second 2"}, {2, "] line 0000 of a long batch"},
                                     {1001, "] line 0999 of a long batch"}, {1002, "] after"}}) {
    EXPECT_TRUE(lines[index].ends_with(text)) << lines[index];
  }
}

}  // namespace
