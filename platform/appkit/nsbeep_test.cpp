#include "platform/appkit/nsbeep.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "testing/test_support.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::steady_clock;

using TempDir = kestrine_testing::ScopedTempDir;

using kestrine_testing::WriteFile;
using kestrine_testing::WriteProgram;

// Puts `fd` in place of standard error for the life of the object.
class ScopedStderr {
 public:
  explicit ScopedStderr(int fd) : saved_(::dup(STDERR_FILENO)) { ::dup2(fd, STDERR_FILENO); }
  ~ScopedStderr() {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }

 private:
  int saved_;
};

// Whatever can be read from `fd` without waiting.
std::string Drain(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::string text;
  char buffer[64];
  ssize_t got;
  while ((got = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, got);
  return text;
}

TEST(NSBeepTest, ChoosesAPlayerOnlyWithASoundServer) {
  TempDir dir;
  const std::string bin = dir.path() + "/bin";
  const std::string runtime = dir.path() + "/run";
  const std::string sound = dir.path() + "/bell.oga";
  fs::create_directories(runtime);
  WriteProgram(bin + "/paplay");
  WriteProgram(bin + "/pw-play");
  WriteFile(sound, "");

  NSBeepEnvironment environment{bin, runtime, std::nullopt, sound};
  EXPECT_EQ(NSBeepPlayerCommand(environment), std::nullopt);
  environment.pulseServer = "";
  EXPECT_EQ(NSBeepPlayerCommand(environment), std::nullopt);

  environment.pulseServer = "tcp:localhost";
  EXPECT_EQ(NSBeepPlayerCommand(environment),
            (std::vector<std::string>{bin + "/pw-play", sound}));
  environment.pulseServer.reset();
  WriteFile(runtime + "/pipewire-0", "");
  EXPECT_EQ(NSBeepPlayerCommand(environment),
            (std::vector<std::string>{bin + "/pw-play", sound}));
  fs::remove(runtime + "/pipewire-0");
  WriteFile(runtime + "/pulse/native", "");
  EXPECT_EQ(NSBeepPlayerCommand(environment),
            (std::vector<std::string>{bin + "/pw-play", sound}));

  fs::remove(bin + "/pw-play");
  EXPECT_EQ(NSBeepPlayerCommand(environment), (std::vector<std::string>{bin + "/paplay", sound}));
  // The file players need the sound file.
  environment.soundFile = dir.path() + "/missing.oga";
  EXPECT_EQ(NSBeepPlayerCommand(environment), std::nullopt);

  // The desktop's own player needs no file, and comes first; a file that may
  // not be run, or one found only through a relative folder, does not count.
  const std::string other = dir.path() + "/other";
  WriteProgram(bin + "/canberra-gtk-play", "", 0644);
  WriteProgram(other + "/canberra-gtk-play");
  environment.searchPath = "::relative:" + bin + ":" + other;
  EXPECT_EQ(NSBeepPlayerCommand(environment),
            (std::vector<std::string>{other + "/canberra-gtk-play", "-i", "bell"}));
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  fs::create_directories(dir.path() + "/relative");
  WriteProgram(dir.path() + "/relative/canberra-gtk-play");
  environment.searchPath = "relative:" + bin;
  EXPECT_EQ(NSBeepPlayerCommand(environment), std::nullopt);
  ASSERT_EQ(::chdir("/"), 0);

  EXPECT_EQ(NSBeepCurrentEnvironment().soundFile,
            "/usr/share/sounds/freedesktop/stereo/bell.oga");
}

TEST(NSBeepTest, RingsTheTerminalBellOnlyOnATerminal) {
  TempDir dir;
  kestrine_testing::ScopedEnvironment environment;
  environment.Set("PATH", dir.path());
  environment.Set("XDG_RUNTIME_DIR", std::nullopt);
  environment.Set("PULSE_SERVER", std::nullopt);
  ASSERT_EQ(NSBeepPlayerCommand(NSBeepCurrentEnvironment()), std::nullopt);

  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  {
    ScopedStderr redirect(pipeFds[1]);
    errno = EBADF;
    NSBeep();
    EXPECT_EQ(errno, EBADF);
  }
  ::close(pipeFds[1]);
  EXPECT_EQ(Drain(pipeFds[0]), "");
  ::close(pipeFds[0]);

  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  {
    ScopedStderr redirect(terminal);
    NSBeep();
  }
  ::close(terminal);
  std::string rung;
  for (const auto start = steady_clock::now();
       rung.empty() && steady_clock::now() - start < std::chrono::seconds(5);) {
    rung += Drain(master);
    if (rung.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(rung, "\a");
  ::close(master);
}

TEST(NSBeepTest, StartsThePlayerDetachedWithoutWaiting) {
  TempDir dir;
  const std::string bin = dir.path() + "/bin";
  const std::string marker = dir.path() + "/started";
  // The player reports its arguments, where its standard files go and its
  // session, then keeps playing a while. The facts are gathered before the
  // shell redirects anything.
  WriteProgram(bin + "/canberra-gtk-play",
               "#!/bin/sh\n"
               "in=$(readlink /proc/$$/fd/0); out=$(readlink /proc/$$/fd/1)\n"
               "err=$(readlink /proc/$$/fd/2); sid=$(cut -d' ' -f6 /proc/$$/stat)\n"
               "printf '%s\\n' \"$*\" \"$in\" \"$out\" \"$err\" \"$sid\" > '" +
                   marker + ".tmp'\n"
                   "mv '" + marker + ".tmp' '" + marker + "'\n"
                   "echo noise; echo noise >&2\n"
                   "sleep 3\n");
  WriteFile(dir.path() + "/run/pulse/native", "");
  kestrine_testing::ScopedEnvironment environment;
  environment.Set("PATH", bin + ":/usr/bin:/bin");
  environment.Set("XDG_RUNTIME_DIR", dir.path() + "/run");
  environment.Set("PULSE_SERVER", std::nullopt);

  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  const auto started = steady_clock::now();
  {
    ScopedStderr redirect(pipeFds[1]);
    NSBeep();
  }
  EXPECT_LT(steady_clock::now() - started, std::chrono::seconds(2));
  ::close(pipeFds[1]);

  while (!fs::exists(marker) && steady_clock::now() - started < std::chrono::seconds(20)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(fs::exists(marker));
  std::istringstream lines(kestrine_testing::ReadFile(marker).value_or(""));
  std::string arguments, in, out, err, session;
  std::getline(lines, arguments);
  std::getline(lines, in);
  std::getline(lines, out);
  std::getline(lines, err);
  std::getline(lines, session);
  EXPECT_EQ(arguments, "-i bell");
  EXPECT_EQ(in, "/dev/null");
  EXPECT_EQ(out, "/dev/null");
  EXPECT_EQ(err, "/dev/null");
  EXPECT_NE(session, std::to_string(::getsid(0)));
  // No terminal bell, and the player's own noise went nowhere: the pipe ends
  // while the player still plays, as it holds no copy of the writing end.
  EXPECT_EQ(Drain(pipeFds[0]), "");
  char byte;
  EXPECT_EQ(::read(pipeFds[0], &byte, 1), 0);
  ::close(pipeFds[0]);
}

}  // namespace
