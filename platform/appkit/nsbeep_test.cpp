#include "platform/appkit/nsbeep.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "testing/test_support.h"

namespace {

using Command = std::optional<std::vector<std::string>>;
using kestrine_testing::ReadFile;
using kestrine_testing::WriteFile;
using kestrine_testing::WriteProgram;
using std::chrono::milliseconds;

// Calls NSBeep with standard error on `fd`, expects errno kept, and closes
// `fd`.
void BeepOnto(int fd) {
  const int saved = dup(STDERR_FILENO);
  dup2(fd, STDERR_FILENO);
  errno = EBADF;
  NSBeep();
  EXPECT_EQ(errno, EBADF);
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(fd);
}

// Whatever can be read from `fd` without waiting.
std::string Drain(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::string text;
  char buffer[64];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, got);
  return text;
}

TEST(NSBeepTest, ChoosesAPlayerOnlyWithASoundServer) {
  kestrine_testing::ScopedTempDir dir;
  const std::string bin = dir.Join("bin"), runtime = dir.Join("run"), sound = dir.Join("bell.oga");
  WriteProgram(bin + "/paplay");
  WriteProgram(bin + "/pw-play");
  WriteFile(sound, "");
  NSBeepEnvironment environment{bin, runtime, std::nullopt, sound};
  const auto command = [&] { return NSBeepPlayerCommand(environment); };
  const Command pw_play = std::vector<std::string>{bin + "/pw-play", sound};

  EXPECT_EQ(command(), std::nullopt);
  environment.pulseServer = "";
  EXPECT_EQ(command(), std::nullopt);
  environment.pulseServer = "tcp:localhost";
  EXPECT_EQ(command(), pw_play);
  environment.pulseServer.reset();
  WriteFile(runtime + "/pipewire-0", "");
  EXPECT_EQ(command(), pw_play);
  std::filesystem::remove(runtime + "/pipewire-0");
  WriteFile(runtime + "/pulse/native", "");
  EXPECT_EQ(command(), pw_play);
  std::filesystem::remove(bin + "/pw-play");
  EXPECT_EQ(command(), (Command{{bin + "/paplay", sound}}));
  // The file players need the sound file.
  environment.soundFile = dir.Join("missing.oga");
  EXPECT_EQ(command(), std::nullopt);

  // The desktop's own player needs no file, and comes first; a file that may
  // not be run, or one found only through a relative folder, does not count.
  WriteProgram(bin + "/canberra-gtk-play", "", 0644);
  WriteProgram(dir.Join("other/canberra-gtk-play"));
  environment.searchPath = "::relative:" + bin + ":" + dir.Join("other");
  EXPECT_EQ(command(), (Command{{dir.Join("other/canberra-gtk-play"), "-i", "bell"}}));
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  WriteProgram(dir.Join("relative/canberra-gtk-play"));
  environment.searchPath = "relative:" + bin;
  EXPECT_EQ(command(), std::nullopt);
  ASSERT_EQ(chdir("/"), 0);
}

TEST(NSBeepTest, RingsTheTerminalBellOnlyOnATerminal) {
  kestrine_testing::ScopedTempDir dir;
  kestrine_testing::ScopedEnvironment environment;
  environment.Set("PATH", dir.path());
  environment.Set("XDG_RUNTIME_DIR", std::nullopt);
  environment.Set("PULSE_SERVER", std::nullopt);
  ASSERT_EQ(NSBeepPlayerCommand(NSBeepCurrentEnvironment()), std::nullopt);

  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  BeepOnto(pipe_fds[1]);
  EXPECT_EQ(Drain(pipe_fds[0]), "");
  close(pipe_fds[0]);

  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
  const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  BeepOnto(terminal);
  std::string rung;
  for (int i = 0; i < 500 && (rung += Drain(master)).empty(); ++i) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  EXPECT_EQ(rung, "\a");
  close(master);
}

TEST(NSBeepTest, StartsThePlayerDetachedWithoutWaiting) {
  kestrine_testing::ScopedTempDir dir;
  const std::string marker = dir.Join("started");
  // The player reports its arguments, where its standard files go and its
  // session, then keeps playing a while. The facts are gathered before the
  // shell redirects anything.
  WriteProgram(dir.Join("bin/canberra-gtk-play"),
               "#!/bin/sh\n"
               "in=$(readlink /proc/$$/fd/0); out=$(readlink /proc/$$/fd/1)\n"
               "err=$(readlink /proc/$$/fd/2); sid=$(cut -d' ' -f6 /proc/$$/stat)\n"
               "printf '%s\\n' \"$*\" \"$in\" \"$out\" \"$err\" \"$sid\" > '" + marker + ".tmp'\n"
               "mv '" + marker + ".tmp' '" + marker + "'\n"
               "echo noise; echo noise >&2\n"
               "sleep 3\n");
  WriteFile(dir.Join("run/pulse/native"), "");
  kestrine_testing::ScopedEnvironment environment;
  environment.Set("PATH", dir.Join("bin") + ":/usr/bin:/bin");
  environment.Set("XDG_RUNTIME_DIR", dir.Join("run"));
  environment.Set("PULSE_SERVER", std::nullopt);

  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const auto started = std::chrono::steady_clock::now();
  BeepOnto(pipe_fds[1]);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));

  for (int i = 0; i < 1000 && !ReadFile(marker); ++i) std::this_thread::sleep_for(milliseconds(20));
  std::vector<std::string> facts = kestrine_testing::SplitLines(ReadFile(marker).value_or(""));
  ASSERT_EQ(facts.size(), 5u);
  EXPECT_NE(facts.back(), std::to_string(getsid(0)));
  facts.pop_back();
  EXPECT_EQ(facts, (std::vector<std::string>{"-i bell", "/dev/null", "/dev/null", "/dev/null"}));
  // No terminal bell, and the player's own noise went nowhere: the pipe ends
  // while the player still plays, as it holds no copy of the writing end.
  EXPECT_EQ(Drain(pipe_fds[0]), "");
  char byte;
  EXPECT_EQ(read(pipe_fds[0], &byte, 1), 0);
  close(pipe_fds[0]);
}

}  // namespace
