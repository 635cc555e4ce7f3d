#include "platform/pasteboard/helper_process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_support.h"

namespace kestrine_pasteboard {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

std::string ReadFile(const fs::path& path) { return kestrine_testing::ReadFile(path).value_or(""); }

// Runs `script` with /bin/sh; "$0" in the script is `argument`.
OSStatus RunShell(const std::string& script, const std::string& argument, std::string_view input,
                  const HelperTimeouts& timeouts = {}) {
  return RunHelper("/bin/sh", {"sh", "-c", script, argument}, input, timeouts);
}

class HelperProcessTest : public ::testing::Test {
 protected:
  void MakeExecutable(const fs::path& path, unsigned mode = 0755) {
    kestrine_testing::WriteProgram(path, "#!/bin/sh\nexit 0\n", mode);
  }

  kestrine_testing::ScopedTempDir temp_;
  const fs::path dir_ = temp_.path();
  kestrine_testing::ScopedEnvironment environment_;
};

TEST_F(HelperProcessTest, FindProgramOnPathTakesTheFirstExecutableFile) {
  MakeExecutable(dir_ / "a/tool", 0644);  // Not executable.
  fs::create_directories(dir_ / "b/tool");  // A folder.
  MakeExecutable(dir_ / "c/tool");
  MakeExecutable(dir_ / "d/tool");
  environment_.Set("PATH", (dir_ / "a").string() + ":" + (dir_ / "b").string() + ":" +
                              (dir_ / "c").string() + ":" + (dir_ / "d").string());
  EXPECT_EQ(FindProgramOnPath("tool"), (dir_ / "c/tool").string());
  EXPECT_FALSE(FindProgramOnPath("missing"));
  EXPECT_FALSE(FindProgramOnPath("c/tool"));
  EXPECT_FALSE(FindProgramOnPath(""));

  // An empty entry stands for the current folder.
  environment_.Set("PATH", "/nonexistent::" + (dir_ / "d").string());
  const fs::path saved = fs::current_path();
  fs::current_path(dir_ / "c");
  EXPECT_EQ(FindProgramOnPath("tool"), "./tool");
  fs::current_path(saved);

  environment_.Set("PATH", std::nullopt);
  std::optional<std::string> shell = FindProgramOnPath("sh");
  ASSERT_TRUE(shell);
  EXPECT_TRUE(shell->ends_with("/sh"));
}

TEST_F(HelperProcessTest, HelperReceivesTheExactInput) {
  std::string input;
  for (int i = 0; input.size() < 5 * 1024 * 1024; ++i) {
    input += "line " + std::to_string(i) + " \xe6\x97\xa5\xe6\x9c\xac\n";
  }
  input.push_back('\0');
  input += "after a NUL";
  const fs::path out = dir_ / "out";
  ASSERT_EQ(RunShell("cat > \"$0\"", out.string(), input), noErr);
  EXPECT_TRUE(ReadFile(out) == input);

  ASSERT_EQ(RunShell("cat > \"$0\"", out.string(), ""), noErr);
  EXPECT_EQ(ReadFile(out), "");
}

// The helper starts in its own session, with /dev/null as output, no other
// descriptor of this process, and no blocked or ignored signal. It is looked
// at while it runs, then killed.
TEST_F(HelperProcessTest, HelperIsDetachedFromThisProcess) {
  const int leaked = open("/dev/null", O_RDONLY);  // Without close-on-exec.
  ASSERT_GE(leaked, 0);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction old_hup {};
  sigaction(SIGHUP, &ignore, &old_hup);
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigset_t old_mask;
  pthread_sigmask(SIG_BLOCK, &term, &old_mask);

  const fs::path pid_file = dir_ / "pid";
  OSStatus status = noErr;
  std::thread run([&] {
    status = RunShell("echo $$ > \"$0\"; exec sleep 60", pid_file.string(), "",
                      {.limit = milliseconds(60000)});
  });
  pid_t pid = 0;
  std::string proc;
  for (int i = 0; i < 500; ++i) {
    const std::string text = ReadFile(pid_file);
    if (text.ends_with('\n')) {
      pid = std::stoi(text);
      proc = "/proc/" + std::to_string(pid);
      if (ReadFile(proc + "/comm") == "sleep\n") break;
    }
    std::this_thread::sleep_for(milliseconds(10));
  }
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  sigaction(SIGHUP, &old_hup, nullptr);
  close(leaked);
  ASSERT_GT(pid, 0);

  // The program may still be opening its own files as it starts; a
  // descriptor handed down stays.
  std::vector<std::string> descriptors;
  for (int i = 0; i < 500; ++i) {
    descriptors.clear();
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(proc + "/fd", error)) {
      descriptors.push_back(entry.path().filename().string());
    }
    std::sort(descriptors.begin(), descriptors.end());
    if (descriptors.size() <= 3) break;
    std::this_thread::sleep_for(milliseconds(10));
  }
  EXPECT_EQ(descriptors, (std::vector<std::string>{"0", "1", "2"}));
  EXPECT_TRUE(fs::read_symlink(proc + "/fd/0").string().starts_with("pipe:"));
  EXPECT_EQ(fs::read_symlink(proc + "/fd/1"), "/dev/null");
  EXPECT_EQ(fs::read_symlink(proc + "/fd/2"), "/dev/null");

  // Field 6 of stat is the session; the command name comes before it.
  const std::string stat_text = ReadFile(proc + "/stat");
  std::istringstream stat(stat_text.substr(stat_text.rfind(')') + 2));
  std::string state, parent, group, session;
  stat >> state >> parent >> group >> session;
  EXPECT_EQ(session, std::to_string(pid));
  const std::string process_status = ReadFile(proc + "/status");
  EXPECT_NE(process_status.find("SigBlk:\t0000000000000000"), std::string::npos);
  // Signals from 32 on belong to the C library's threads, not to the helper.
  const std::size_t ignored = process_status.find("SigIgn:\t");
  ASSERT_NE(ignored, std::string::npos);
  EXPECT_EQ(std::stoull(process_status.substr(ignored + 8, 16), nullptr, 16) & 0x7fffffffULL, 0u);

  kill(pid, SIGKILL);
  run.join();
  EXPECT_EQ(status, ioErr);
}

// A helper that ends without reading must not kill the caller by SIGPIPE,
// and leaves no SIGPIPE pending.
TEST_F(HelperProcessTest, HelperThatEndsEarlyFailsWithoutSigpipe) {
  ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL);
  const std::string input(4 * 1024 * 1024, 'x');
  EXPECT_EQ(RunShell("exit 0", "", input), ioErr);
  EXPECT_EQ(RunShell("head -c 10 > /dev/null; exit 0", "", input), ioErr);
  sigset_t pending;
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}

TEST_F(HelperProcessTest, FailuresAreReported) {
  EXPECT_EQ(RunShell("cat > /dev/null; exit 3", "", "text"), ioErr);
  EXPECT_EQ(RunShell("kill -TERM $$", "", ""), ioErr);
  EXPECT_EQ(RunHelper((dir_ / "missing").string(), {"missing"}, "text"), fnfErr);
  MakeExecutable(dir_ / "not-executable", 0644);
  EXPECT_EQ(RunHelper((dir_ / "not-executable").string(), {"x"}, "text"), afpAccessDenied);
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
  for (const auto& c : cases) {
    const fs::path pid_file = dir_ / "pids";
    fs::remove(pid_file);
    const auto start = std::chrono::steady_clock::now();
    const OSStatus status = RunShell(c.script, pid_file.string(), std::string(c.input_size, 'x'),
                                     {.limit = milliseconds(500)});
    EXPECT_EQ(status, ioErr) << c.script;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    std::istringstream pids(ReadFile(pid_file));
    const pid_t helper = [&] { pid_t pid = 0; pids >> pid; return pid; }();
    EXPECT_EQ(waitpid(helper, nullptr, WNOHANG), -1) << c.script;  // Reaped.
    EXPECT_EQ(errno, ECHILD);
    for (pid_t pid = 0; pids >> pid;) {
      // The background child is gone too, or a zombie waiting for init.
      for (int i = 0; i < 100 && kill(pid, 0) == 0 &&
                      ReadFile("/proc/" + std::to_string(pid) + "/stat").find(") Z") ==
                          std::string::npos;
           ++i) {
        std::this_thread::sleep_for(milliseconds(10));
      }
      const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
      EXPECT_TRUE(stat.empty() || stat.find(") Z") != std::string::npos) << c.script << stat;
    }
  }
}

}  // namespace
}  // namespace kestrine_pasteboard
