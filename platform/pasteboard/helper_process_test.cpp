#include "platform/pasteboard/helper_process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace kestrine_pasteboard {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs `script` with /bin/sh; "$0" in the script is `argument`.
OSStatus RunShell(const std::string& script, const std::string& argument, std::string_view input,
                  const HelperTimeouts& timeouts = {}) {
  return RunHelper("/bin/sh", {"sh", "-c", script, argument}, input, timeouts);
}

class HelperProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char path_template[] = "/tmp/helper_process_test.XXXXXX";
    ASSERT_NE(mkdtemp(path_template), nullptr);
    dir_ = path_template;
    const char* path = getenv("PATH");
    saved_path_ = path != nullptr ? std::optional<std::string>(path) : std::nullopt;
  }
  void TearDown() override {
    if (saved_path_) {
      setenv("PATH", saved_path_->c_str(), 1);
    } else {
      unsetenv("PATH");
    }
    fs::remove_all(dir_);
  }

  void MakeExecutable(const fs::path& path, mode_t mode = 0755) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "#!/bin/sh\nexit 0\n";
    chmod(path.c_str(), mode);
  }

  fs::path dir_;
  std::optional<std::string> saved_path_;
};

TEST_F(HelperProcessTest, FindProgramOnPathTakesTheFirstExecutableFile) {
  MakeExecutable(dir_ / "a/tool", 0644);  // Not executable.
  fs::create_directories(dir_ / "b/tool");  // A folder.
  MakeExecutable(dir_ / "c/tool");
  MakeExecutable(dir_ / "d/tool");
  setenv("PATH", ((dir_ / "a").string() + ":" + (dir_ / "b").string() + ":" +
                  (dir_ / "c").string() + ":" + (dir_ / "d").string())
                     .c_str(),
         1);
  EXPECT_EQ(FindProgramOnPath("tool"), (dir_ / "c/tool").string());
  EXPECT_FALSE(FindProgramOnPath("missing"));
  EXPECT_FALSE(FindProgramOnPath("c/tool"));
  EXPECT_FALSE(FindProgramOnPath(""));

  // An empty entry stands for the current folder.
  setenv("PATH", ("/nonexistent::" + (dir_ / "d").string()).c_str(), 1);
  const fs::path saved = fs::current_path();
  fs::current_path(dir_ / "c");
  EXPECT_EQ(FindProgramOnPath("tool"), "./tool");
  fs::current_path(saved);

  unsetenv("PATH");
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

std::string ProcFile(pid_t pid, const std::string& name) {
  return ReadFile("/proc/" + std::to_string(pid) + "/" + name);
}

// The helper starts in its own session, with /dev/null as output, no other
// descriptor of this process, and no blocked or ignored signal. The helper
// here keeps running after its input so that it can be looked at.
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
  const OSStatus status =
      RunShell("echo $$ > \"$0\"; exec sleep 60", pid_file.string(), "",
               {.input_stall = milliseconds(5000), .exit_wait = milliseconds(200)});
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  sigaction(SIGHUP, &old_hup, nullptr);
  close(leaked);
  ASSERT_EQ(status, noErr);
  const pid_t pid = std::stoi(ReadFile(pid_file));

  std::vector<std::string> descriptors;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    descriptors.push_back(entry.path().filename().string());
  }
  std::sort(descriptors.begin(), descriptors.end());
  EXPECT_EQ(descriptors, (std::vector<std::string>{"0", "1", "2"}));
  const std::string fd_folder = "/proc/" + std::to_string(pid) + "/fd/";
  EXPECT_TRUE(fs::read_symlink(fd_folder + "0").string().starts_with("pipe:"));
  EXPECT_EQ(fs::read_symlink(fd_folder + "1"), "/dev/null");
  EXPECT_EQ(fs::read_symlink(fd_folder + "2"), "/dev/null");

  // Field 6 of stat is the session; the command name comes before it.
  std::istringstream stat(ProcFile(pid, "stat").substr(ProcFile(pid, "stat").rfind(')') + 2));
  std::string state, parent, group, session;
  stat >> state >> parent >> group >> session;
  EXPECT_EQ(session, std::to_string(pid));
  const std::string process_status = ProcFile(pid, "status");
  EXPECT_NE(process_status.find("SigBlk:\t0000000000000000"), std::string::npos);
  // Signals from 32 on belong to the C library's threads, not to the helper.
  const std::size_t ignored = process_status.find("SigIgn:\t");
  ASSERT_NE(ignored, std::string::npos);
  EXPECT_EQ(std::stoull(process_status.substr(ignored + 8, 16), nullptr, 16) & 0x7fffffffULL, 0u);

  kill(pid, SIGKILL);
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

TEST_F(HelperProcessTest, HelperThatStopsReadingIsKilled) {
  const fs::path pid_file = dir_ / "pid";
  const auto start = std::chrono::steady_clock::now();
  const OSStatus status =
      RunShell("echo $$ > \"$0\"; exec sleep 60", pid_file.string(),
               std::string(4 * 1024 * 1024, 'x'),
               {.input_stall = milliseconds(300), .exit_wait = milliseconds(5000)});
  EXPECT_EQ(status, ioErr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  const pid_t pid = std::stoi(ReadFile(pid_file));
  EXPECT_EQ(kill(pid, 0), -1);  // Killed and reaped.
  EXPECT_EQ(errno, ESRCH);
}

// A helper that serves in the foreground counts as done after the wait, and
// a later run collects its exit status.
TEST_F(HelperProcessTest, HelperStillRunningSucceedsAndIsReapedLater) {
  const fs::path pid_file = dir_ / "pid";
  const auto start = std::chrono::steady_clock::now();
  const OSStatus status =
      RunShell("cat > /dev/null; echo $$ > \"$0\"; exec sleep 60", pid_file.string(), "text",
               {.input_stall = milliseconds(5000), .exit_wait = milliseconds(300)});
  EXPECT_EQ(status, noErr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  const pid_t pid = std::stoi(ReadFile(pid_file));
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  // Once the process is gone, the next run reaps it.
  for (int i = 0; i < 200 && ReadFile("/proc/" + std::to_string(pid) + "/stat").find(") Z") ==
                                 std::string::npos;
       ++i) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  EXPECT_EQ(RunShell("exit 0", "", ""), noErr);
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

}  // namespace
}  // namespace kestrine_pasteboard
