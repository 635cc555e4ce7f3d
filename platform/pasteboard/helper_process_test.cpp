#include "platform/pasteboard/helper_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_support.h"

namespace kestrine_pasteboard {
namespace {

namespace fs = std::filesystem;
using kestrine_testing::WriteProgram;
using std::chrono::milliseconds;

std::string ReadFile(const fs::path& path) { return kestrine_testing::ReadFile(path).value_or(""); }

// Runs `script` with /bin/sh; "$0" in the script is `argument`.
OSStatus RunShell(const std::string& script, const std::string& argument, std::string_view input,
                  milliseconds limit) {
  return RunHelper("/bin/sh", {"sh", "-c", script, argument}, input, {.limit = limit});
}

class HelperProcessTest : public ::testing::Test {
 protected:
  kestrine_testing::ScopedTempDir temp_;
  const fs::path dir_ = temp_.path();
  kestrine_testing::ScopedEnvironment environment_;
};

TEST_F(HelperProcessTest, FindProgramOnPathTakesTheFirstExecutableFile) {
  WriteProgram(dir_ / "a/tool", "#!/bin/sh\n", 0644);  // Not executable.
  fs::create_directories(dir_ / "b/tool");              // A folder.
  WriteProgram(dir_ / "c/tool");
  WriteProgram(dir_ / "d/tool");
  const std::string d = dir_.string();
  environment_.Set("PATH", d + "/a:" + d + "/b:" + d + "/c:" + d + "/d");
  EXPECT_EQ(FindProgramOnPath("tool"), d + "/c/tool");
  for (const char* name : {"missing", "c/tool", ""}) EXPECT_FALSE(FindProgramOnPath(name)) << name;

  // An empty entry stands for the current folder.
  environment_.Set("PATH", "/nonexistent::" + d + "/d");
  const fs::path saved = fs::current_path();
  fs::current_path(dir_ / "c");
  EXPECT_EQ(FindProgramOnPath("tool"), "./tool");
  fs::current_path(saved);

  environment_.Set("PATH", std::nullopt);
  EXPECT_TRUE(FindProgramOnPath("sh").value_or("").ends_with("/sh"));
}

// The helper starts in its own session, with /dev/null as output, no other
// descriptor of this process, and no blocked or ignored signal. A subshell
// writes what the helper's shell sees of itself, then it reads its input.
TEST_F(HelperProcessTest, HelperIsDetachedFromThisProcess) {
  const int leaked = open("/dev/null", O_RDONLY);  // Without close-on-exec.
  ASSERT_GE(leaked, 0);
  struct sigaction ignore {}, old_hup {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGHUP, &ignore, &old_hup);
  sigset_t term, old_mask;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, &old_mask);
  const std::string facts = dir_ / "facts";
  const OSStatus status = RunShell(
      "(echo $$; cut -d' ' -f6 /proc/$$/stat; ls /proc/$$/fd; cd /proc/$$/fd && readlink 0 1 2;"
      " grep '^Sig[BI]' /proc/$$/status) > \"$0\"; cat > /dev/null",
      facts, "input", milliseconds(5000));
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  sigaction(SIGHUP, &old_hup, nullptr);
  close(leaked);
  ASSERT_EQ(status, noErr);

  std::vector<std::string> lines = kestrine_testing::SplitLines(ReadFile(facts));
  ASSERT_EQ(lines.size(), 10u) << ReadFile(facts);
  EXPECT_EQ(lines[1], lines[0]) << "the session";
  EXPECT_TRUE(lines[5].starts_with("pipe:")) << lines[5];
  // Signals from 32 on belong to the C library's threads, not to the helper.
  EXPECT_TRUE(std::regex_match(lines[9], std::regex("SigIgn:\t[0-9a-f]{8}[08]0{7}"))) << lines[9];
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.begin() + 5),
            (std::vector<std::string>{"0", "1", "2"}));
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 6, lines.begin() + 9),
            (std::vector<std::string>{"/dev/null", "/dev/null", "SigBlk:\t0000000000000000"}));
}

// A helper that fails, cannot be started, or ends without reading all of
// its input fails the run; one that ends early must not kill the caller by
// SIGPIPE, and leaves no SIGPIPE pending.
TEST_F(HelperProcessTest, FailuresAreReportedWithoutSigpipe) {
  ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL);
  WriteProgram(dir_ / "not-executable", "#!/bin/sh\n", 0644);
  const std::string large(4 * 1024 * 1024, 'x');
  const struct {
    std::string program, script, input;
    OSStatus status;
  } cases[] = {
      {"/bin/sh", "exit 0", large, ioErr},
      {"/bin/sh", "head -c 10 > /dev/null; exit 0", large, ioErr},
      {"/bin/sh", "kill -TERM $$", "", ioErr},
      {dir_ / "missing", "", "text", fnfErr},
      {dir_ / "not-executable", "", "text", afpAccessDenied},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RunHelper(c.program, {"sh", "-c", c.script}, c.input), c.status) << c.script;
  }
  sigset_t pending;
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}

// A helper that does not take its input, or does not exit after it, within
// the limit is killed with what it started, and the run fails.
TEST_F(HelperProcessTest, HelperThatDoesNotFinishIsKilled) {
  const struct {
    const char* script;
    std::size_t input_size;
  } cases[] = {
      {"echo $$ > \"$0\"; sleep 60 & echo $! >> \"$0\"; exec sleep 60", 4 * 1024 * 1024},
      {"cat > /dev/null; echo $$ > \"$0\"; sleep 60 & echo $! >> \"$0\"; exec sleep 60", 10},
      {"echo $$ > \"$0\"; echo $$ >> \"$0\"; kill -STOP $$", 10},
  };
  const std::string pid_file = dir_ / "pids";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    fs::remove(pid_file);
    const auto start = std::chrono::steady_clock::now();
    const std::string input(c.input_size, 'x');
    EXPECT_EQ(RunShell(c.script, pid_file, input, milliseconds(500)), ioErr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    std::istringstream pids(ReadFile(pid_file));
    pid_t helper = 0;
    pids >> helper;
    EXPECT_EQ(waitpid(helper, nullptr, WNOHANG), -1);  // Reaped.
    EXPECT_EQ(errno, ECHILD);
    for (pid_t pid = 0; pids >> pid;) {
      // The background child is gone too, or a zombie waiting for init.
      const std::string stat_path = "/proc/" + std::to_string(pid) + "/stat";
      const auto gone = [&] {
        const std::string stat = ReadFile(stat_path);
        return stat.empty() || stat.find(") Z") != std::string::npos;
      };
      for (int i = 0; i < 100 && !gone(); ++i) std::this_thread::sleep_for(milliseconds(10));
      EXPECT_TRUE(gone()) << ReadFile(stat_path);
    }
  }
}

}  // namespace
}  // namespace kestrine_pasteboard
