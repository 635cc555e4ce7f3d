#include "platform/appkit/nsbeep.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <string_view>

#include "platform/memory_guard.h"
#include "platform/xdg/xdg.h"

namespace {

constexpr const char* kBellSoundFile = "/usr/share/sounds/freedesktop/stereo/bell.oga";

bool Exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

// The first executable file named `program` in the folders of `searchPath`.
std::optional<std::string> FindProgram(std::string_view searchPath, std::string_view program) {
  while (true) {
    const std::size_t colon = searchPath.find(':');
    const std::string_view folder = searchPath.substr(0, colon);
    // Empty entries would mean the current folder; a sound player is never
    // looked for there.
    if (!folder.empty() && folder.front() == '/') {
      std::string candidate = std::string(folder) + "/" + std::string(program);
      struct stat info;
      if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
          ::access(candidate.c_str(), X_OK) == 0) {
        return candidate;
      }
    }
    if (colon == std::string_view::npos) return std::nullopt;
    searchPath.remove_prefix(colon + 1);
  }
}

bool SoundServerReachable(const NSBeepEnvironment& environment) {
  if (environment.pulseServer && !environment.pulseServer->empty()) return true;
  if (!environment.runtimeDir || environment.runtimeDir->empty()) return false;
  return Exists(*environment.runtimeDir + "/pulse/native") ||
         Exists(*environment.runtimeDir + "/pipewire-0");
}

std::optional<std::string> Variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

// Starts `command` in a session of its own with /dev/null for its standard
// files, so that it outlives nothing and nobody waits for it: a short-lived
// child starts it and exits at once, and is the only process waited for.
void StartDetached(const std::vector<std::string>& command) {
  std::vector<char*> argv;
  for (const std::string& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  struct rlimit files;
  const int maxFd = ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536
                        ? static_cast<int>(files.rlim_cur)
                        : 65536;
  sigset_t none;
  ::sigemptyset(&none);

  const pid_t child = ::fork();
  if (child < 0) return;
  if (child == 0) {
    // Only async-signal-safe calls from here on: the caller may have threads.
    ::setsid();
    const pid_t player = ::fork();
    if (player == 0) {
      const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
      if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
      }
      // The player must hold none of the caller's files open (a pipe the
      // caller reads to its end, say), nor inherit its blocked signals.
      if (::close_range(3, ~0U, 0) != 0) {
        for (int fd = 3; fd < maxFd; ++fd) ::close(fd);
      }
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::execv(argv[0], argv.data());
    }
    ::_exit(0);
  }
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

void RingTerminalBell() {
  if (::isatty(STDERR_FILENO) != 1) return;
  while (::write(STDERR_FILENO, "\a", 1) < 0 && errno == EINTR) {
  }
}

}  // namespace

NSBeepEnvironment NSBeepCurrentEnvironment() {
  NSBeepEnvironment environment;
  environment.searchPath = Variable("PATH").value_or("/usr/local/bin:/usr/bin:/bin");
  environment.runtimeDir = XdgRuntimeDirAsSet();
  environment.pulseServer = Variable("PULSE_SERVER");
  environment.soundFile = kBellSoundFile;
  return environment;
}

std::optional<std::vector<std::string>> NSBeepPlayerCommand(const NSBeepEnvironment& environment) {
  if (!SoundServerReachable(environment)) return std::nullopt;
  if (auto canberra = FindProgram(environment.searchPath, "canberra-gtk-play")) {
    return std::vector<std::string>{*canberra, "-i", "bell"};
  }
  if (environment.soundFile.empty() || !Exists(environment.soundFile)) return std::nullopt;
  for (const char* player : {"pw-play", "paplay"}) {
    if (auto program = FindProgram(environment.searchPath, player)) {
      return std::vector<std::string>{*program, environment.soundFile};
    }
  }
  return std::nullopt;
}

void NSBeep() {
  const int savedErrno = errno;
  // Out of memory, no sound is better than a failure that the caller cannot
  // act on.
  RanWithMemory([&] {
    if (const auto command = NSBeepPlayerCommand(NSBeepCurrentEnvironment())) {
      StartDetached(*command);
    } else {
      RingTerminalBell();
    }
  });
  errno = savedErrno;
}
