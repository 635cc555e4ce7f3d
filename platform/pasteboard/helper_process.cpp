#include "platform/pasteboard/helper_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/log/nslog.h"
#include "platform/posix/posix.h"

extern char** environ;

namespace kestrine_pasteboard {

using kestrine_posix::FileDescriptor;
namespace {

using Clock = std::chrono::steady_clock;

// Makes `fd` a descriptor numbered 3 or above, so that placing it on the
// child's standard input is a real dup2 that drops close-on-exec.
int AboveStandardDescriptors(int fd) {
  if (fd > STDERR_FILENO) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  close(fd);
  return moved;
}

// Starts `program` with `actions` in a session of its own, with no signal
// blocked and every signal at its default action, whatever the host set.
// Returns 0 or an errno value.
int SpawnInOwnSession(const std::string& program, char* const* args,
                      const posix_spawn_file_actions_t* actions, pid_t* pid) {
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t no_signals;
  sigemptyset(&no_signals);
  posix_spawnattr_setsigmask(&attributes, &no_signals);
  sigset_t all_signals;
  sigfillset(&all_signals);
  posix_spawnattr_setsigdefault(&attributes, &all_signals);
  posix_spawnattr_setflags(&attributes, static_cast<short>(POSIX_SPAWN_SETSID |
                                                           POSIX_SPAWN_SETSIGMASK |
                                                           POSIX_SPAWN_SETSIGDEF));
  const int error = posix_spawn(pid, program.c_str(), actions, &attributes, args, environ);
  posix_spawnattr_destroy(&attributes);
  return error;
}

// Starts the helper with its standard input on `input_fd`. Returns 0 or an
// errno value.
int Spawn(const std::string& program, const std::vector<std::string>& argv, int input_fd,
          pid_t* pid) {
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input_fd, STDIN_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 34)
  // Descriptors the host opened without close-on-exec stay out of the
  // long-lived helper.
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif

  const int error = SpawnInOwnSession(program, args.data(), &actions, pid);
  posix_spawn_file_actions_destroy(&actions);
  return error;
}

enum class InputResult { kComplete, kClosedEarly, kTimedOut, kFailed };

// The milliseconds from now until `deadline`, at least 0.
int MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// Writes all of `input` to the non-blocking `fd` before `deadline`.
InputResult WriteInput(int fd, std::string_view input, Clock::time_point deadline) {
  const ScopedSignalBlock no_sigpipe(SIGPIPE);
  while (!input.empty()) {
    const ssize_t written = write(fd, input.data(), input.size());
    if (written > 0) {
      input.remove_prefix(static_cast<std::size_t>(written));
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno == EPIPE) return InputResult::kClosedEarly;
    if (written < 0 && errno != EAGAIN) return InputResult::kFailed;
    pollfd ready{fd, POLLOUT, 0};
    const int polled = poll(&ready, 1, MillisecondsUntil(deadline));
    if (polled == 0) return InputResult::kTimedOut;
    if (polled < 0 && errno != EINTR) return InputResult::kFailed;
  }
  return InputResult::kComplete;
}

// Waits until `deadline` for `pid` to end. Returns its wait status, or none
// when it is still running or was reaped elsewhere (ECHILD).
std::optional<int> WaitForExit(pid_t pid, Clock::time_point deadline, bool* reaped_elsewhere) {
  long sleep_ns = 1000000;
  for (;;) {
    int status = 0;
    const pid_t reaped = waitpid(pid, &status, WNOHANG);
    if (reaped == pid) return status;
    if (reaped < 0 && errno != EINTR) {
      *reaped_elsewhere = true;
      return std::nullopt;
    }
    if (Clock::now() >= deadline) return std::nullopt;
    const timespec pause{0, sleep_ns};
    nanosleep(&pause, nullptr);
    sleep_ns = std::min(sleep_ns * 2, 20000000L);
  }
}

// Kills the helper with everything it started in its process group, and
// collects its exit status.
void KillHelper(pid_t pid) {
  // The helper leads its own session, so its group has its process id.
  if (kill(-pid, SIGKILL) != 0) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

std::string DescribeStatus(int status) {
  if (WIFEXITED(status)) return "ended with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("was killed by ") + strsignal(WTERMSIG(status));
  return "stopped";
}

}  // namespace

ScopedSignalBlock::ScopedSignalBlock(int signal) {
  sigemptyset(&set_);
  sigaddset(&set_, signal);
  pthread_sigmask(SIG_BLOCK, &set_, &old_mask_);
  sigset_t pending;
  sigpending(&pending);
  was_pending_ = sigismember(&pending, signal) == 1;
}

ScopedSignalBlock::~ScopedSignalBlock() {
  if (!was_pending_) {
    const timespec no_wait{};
    while (sigtimedwait(&set_, nullptr, &no_wait) > 0) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
}

std::optional<std::string> FindProgramOnPath(std::string_view name) {
  if (name.empty() || name.find('/') != std::string_view::npos) return std::nullopt;
  const char* path_variable = getenv("PATH");
  std::string search_path;
  if (path_variable != nullptr) {
    search_path = path_variable;
  } else {
    search_path.resize(confstr(_CS_PATH, nullptr, 0));
    confstr(_CS_PATH, search_path.data(), search_path.size());
    search_path.resize(std::strlen(search_path.c_str()));
  }
  std::string_view rest = search_path;
  for (;;) {
    const std::size_t colon = rest.find(':');
    std::string_view folder = rest.substr(0, colon);
    std::string candidate(folder.empty() ? "." : folder);
    candidate.append("/").append(name);
    struct stat info {};
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    if (colon == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(colon + 1);
  }
}

OSStatus RunHelper(const std::string& program, const std::vector<std::string>& argv,
                   std::string_view input, const HelperTimeouts& timeouts) {
  const char* name = argv.empty() ? program.c_str() : argv.front().c_str();
  const Clock::time_point deadline = Clock::now() + timeouts.limit;

  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    const int error = errno;
    NSLog("Cannot start %s: %s", name, strerror(error));
    return StatusFromErrno(error);
  }
  FileDescriptor read_end(AboveStandardDescriptors(pipe_fds[0]));
  FileDescriptor write_end(pipe_fds[1]);
  if (read_end.get() < 0) {
    NSLog("Cannot start %s: %s", name, strerror(errno));
    return ioErr;
  }

  pid_t pid = 0;
  const int spawn_error = Spawn(program, argv, read_end.get(), &pid);
  read_end.Reset();
  if (spawn_error != 0) {
    NSLog("Cannot start %s: %s", name, strerror(spawn_error));
    return StatusFromErrno(spawn_error);
  }

  fcntl(write_end.get(), F_SETFL, fcntl(write_end.get(), F_GETFL) | O_NONBLOCK);
  const InputResult input_result = WriteInput(write_end.get(), input, deadline);
  write_end.Reset();

  bool reaped_elsewhere = false;
  const std::optional<int> status = input_result == InputResult::kTimedOut
                                        ? std::nullopt
                                        : WaitForExit(pid, deadline, &reaped_elsewhere);
  if (!status && !reaped_elsewhere) {
    KillHelper(pid);
    NSLog("%s did not %s within %lld ms and was stopped", name,
          input_result == InputResult::kComplete ? "finish" : "take its input",
          static_cast<long long>(timeouts.limit.count()));
    return ioErr;
  }
  if (status && (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0)) {
    NSLog("%s %s", name, DescribeStatus(*status).c_str());
    return ioErr;
  }
  if (input_result != InputResult::kComplete) {
    NSLog("%s did not take all of its input", name);
    return ioErr;
  }
  return noErr;
}

OSStatus RunHelperForOutput(const std::string& program, const std::vector<std::string>& argv,
                            std::chrono::milliseconds limit, std::size_t maxBytes,
                            std::string* output) {
  output->clear();
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return StatusFromErrno(errno);
  FileDescriptor read_end(pipe_fds[0]);
  FileDescriptor write_end(AboveStandardDescriptors(pipe_fds[1]));
  if (write_end.get() < 0) return ioErr;

  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawn_error = SpawnInOwnSession(program, args.data(), &actions, &pid);
  posix_spawn_file_actions_destroy(&actions);
  write_end.Reset();
  if (spawn_error != 0) return StatusFromErrno(spawn_error);

  const Clock::time_point deadline = Clock::now() + limit;
  bool failed = false;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      failed = true;
      break;
    }
    pollfd ready{read_end.get(), POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) {
      failed = true;
      break;
    }
    char buffer[65536];
    const ssize_t got = read(read_end.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    output->append(buffer, static_cast<std::size_t>(got));
    if (output->size() > maxBytes) {
      failed = true;
      break;
    }
  }
  read_end.Reset();
  // What is still running now has had its time, or wrote too much.
  bool reaped_elsewhere = false;
  std::optional<int> status =
      failed ? std::nullopt : WaitForExit(pid, deadline, &reaped_elsewhere);
  if (!status && !reaped_elsewhere) KillHelper(pid);
  if (failed || !status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
    output->clear();
    return ioErr;
  }
  return noErr;
}

}  // namespace kestrine_pasteboard
