#include "testing/test_support.h"

#include <dirent.h>
#include <malloc.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "testing/session_bus.h"

#ifdef KESTRINE_TESTING_ASAN
// The sanitizer runtime's count; GCC ships no header that declares it.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace kestrine_testing {

namespace {

namespace fs = std::filesystem;

// Removes the entry `name` of the folder `dir` and everything below it. By
// descriptors, so that trees deeper than PATH_MAX go too; folders a test
// made unreadable are made searchable on the way.
void RemoveTreeAt(int dir, const char* name) {
  struct stat status {};
  if (::fstatat(dir, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return;
  const bool isFolder = S_ISDIR(status.st_mode);
  if (isFolder) {
    if (::fchmodat(dir, name, 0700, 0) != 0) {
      // A folder that stays unreadable keeps what is below it; the rest goes.
    }
    const int fd = ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (DIR* stream = fd < 0 ? nullptr : ::fdopendir(fd)) {
      while (const dirent* entry = ::readdir(stream)) {
        const std::string_view entryName = entry->d_name;
        if (entryName != "." && entryName != "..") RemoveTreeAt(fd, entry->d_name);
      }
      ::closedir(stream);
    } else if (fd >= 0) {
      ::close(fd);
    }
  }
  ::unlinkat(dir, name, isFolder ? AT_REMOVEDIR : 0);
}

void SetEnv(const std::string& name, const std::optional<std::string>& value) {
  value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
}

gid_t GroupOf(uid_t uid) {
  const passwd* entry = ::getpwuid(uid);
  return entry != nullptr ? entry->pw_gid : static_cast<gid_t>(uid);
}

int StatusOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

// Forks and runs `argv` (a program without a "/" looked up in PATH). In the
// child each (fd, target) of `dups` becomes descriptor `target`, /dev/null
// where fd is kNull, then `inChild` runs; failing that the child ends with
// 126, failing the exec with 127. Returns the child's id, or -1.
constexpr int kNull = -1;
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::pair<int, int>>& dups,
            const std::function<bool()>& inChild = {}) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  for (const auto& [given, target] : dups) {
    const int fd = given == kNull ? ::open("/dev/null", O_RDWR) : given;
    // dup2 onto itself would keep close-on-exec.
    if (fd < 0 || (fd == target ? ::fcntl(fd, F_SETFD, 0) != 0 : ::dup2(fd, target) < 0)) ::_exit(126);
  }
  if (inChild && !inChild()) ::_exit(126);
  (std::strchr(args[0], '/') != nullptr ? ::execv : ::execvp)(args[0], args.data());
  ::_exit(127);
}

// Starts a server and reads the line it writes to descriptor `fd` once it
// serves (its address, display or "ready"); `line` is empty when none came.
// A quiet one has its standard descriptors on /dev/null.
pid_t SpawnReportingLine(const std::vector<std::string>& argv, int fd, std::string& line, bool quiet) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  std::vector<std::pair<int, int>> dups = {{fds[1], fd}};
  for (int standard = 0; quiet && standard < 3; ++standard) dups.emplace_back(kNull, standard);
  const pid_t pid = Spawn(argv, dups);
  ::close(fds[1]);
  for (char c = 0; pid > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n';) line += c;
  ::close(fds[0]);
  return pid;
}

// Runs `argv` until it prints `expected`, up to 50 times 100 ms apart; its
// last output.
std::string OutputExpecting(const std::vector<std::string>& argv, const RunOptions& options,
                            const std::string& expected) {
  std::string text;
  for (int attempt = 0; attempt < 50; ++attempt) {
    text = RunProgramWith(argv, options).out;
    if (text == expected) break;
    ::usleep(100 * 1000);
  }
  return text;
}

}  // namespace

ScopedTempDir::ScopedTempDir() : owner_(::getpid()) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kestrine-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  // Tests compare with resolved paths, so a linked $TMPDIR is resolved here.
  path_ = fs::canonical(pattern).string();
}

ScopedTempDir::~ScopedTempDir() {
  if (::getpid() == owner_) RemoveTreeAt(AT_FDCWD, path_.c_str());
}

ScopedEnvironment::~ScopedEnvironment() {
  for (const auto& [name, value] : saved_) SetEnv(name, value);
}

void ScopedEnvironment::Set(const std::string& name, const std::optional<std::string>& value) {
  if (!saved_.contains(name)) {
    const char* old = std::getenv(name.c_str());
    saved_[name] = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
  }
  SetEnv(name, value);
}

ScopedUser::ScopedUser() {
  for (const char* folder : {"home", "config", "data", "run"}) MakeDirs(dir_.Join(folder));
  ::chmod(dir_.Join("run").c_str(), 0700);
  env_.Set("HOME", home());
  env_.Set("XDG_CONFIG_HOME", dir_.Join("config"));
  env_.Set("XDG_DATA_HOME", dir_.Join("data"));
  env_.Set("XDG_RUNTIME_DIR", dir_.Join("run"));
  env_.Set("XDG_CONFIG_DIRS", dir_.Join("xdg"));
  env_.Set("DISPLAY", std::nullopt);
  env_.Set("WAYLAND_DISPLAY", std::nullopt);
}

void ScopedUser::SetClipboard(std::string_view text) const {
  WriteFile(dir_.Join("run/kestrine/clipboard"), text);
  ::chmod(dir_.Join("run/kestrine").c_str(), 0700);
}

void ScopedUser::WriteSettings(std::string_view entries) const {
  // Written beside and renamed, as a plist editor would, so a reader never
  // sees half a file and the change is seen as a new file.
  const std::string path = SettingsPath();
  WriteFile(path + ".new", XmlPropertyList(std::string(entries) + "\n"));
  fs::rename(path + ".new", path);
}

void ScopedUser::GiveTo(uid_t uid) const {
  const gid_t gid = GroupOf(uid);
  if (::lchown(root().c_str(), uid, gid) != 0) throw std::runtime_error("chown failed");
  for (const auto& item : fs::recursive_directory_iterator(root())) {
    if (::lchown(item.path().c_str(), uid, gid) != 0) throw std::runtime_error("chown failed");
  }
}

uid_t UnprivilegedUser() {
  if (::geteuid() != 0) return ::geteuid();
  const passwd* nobody = ::getpwnam("nobody");
  return nobody != nullptr ? nobody->pw_uid : 65534;
}

bool BecomeUser(uid_t uid) {
  if (uid == ::geteuid()) return true;
  const gid_t gid = GroupOf(uid);
  return ::setgroups(0, nullptr) == 0 && ::setresgid(gid, gid, gid) == 0 &&
         ::setresuid(uid, uid, uid) == 0;
}

RunResult RunProgramWith(const std::vector<std::string>& argv, const RunOptions& options) {
  int out[2] = {-1, -1};
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    for (const int fd : out) ::close(fd);
    return {};
  }
  const pid_t pid = Spawn(argv, {{kNull, 0}, {out[1], 1}, {err[1], 2}}, [&] {
    if (options.cwd && ::chdir(options.cwd->c_str()) != 0) return false;
    for (const auto& [resource, value] : options.limits) {
      const rlimit limit{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
      if (::setrlimit(resource, &limit) != 0) return false;
      if (resource == RLIMIT_FSIZE) ::signal(SIGXFSZ, SIG_DFL);
    }
    if (options.inChild && !options.inChild()) return false;
    if (options.user && !BecomeUser(*options.user)) return false;
    return true;
  });
  ::close(out[1]);
  ::close(err[1]);
  RunResult result;
  // Both pipes are drained together, so a child that writes much to one
  // never blocks while the other is read. Polled in short steps, so that a
  // hung child costs the test its time-out, and so that the reading ends
  // once the child has ended even when a background child of its own keeps
  // the pipes open.
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int status = 0;
  bool ended = pid <= 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
  for (int open = 2; open > 0;) {
    // Once the child has ended, only what is still buffered is taken.
    const int ready = ::poll(fds, 2, ended ? 0 : 100);
    if (ready < 0 && errno != EINTR) break;
    for (pollfd& fd : fds) {
      if (ready <= 0 || fd.fd < 0 || fd.revents == 0) continue;
      char buffer[65536];
      const ssize_t n = ::read(fd.fd, buffer, sizeof buffer);
      if (n > 0) {
        (&fd == fds ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(std::exchange(fd.fd, -1));
        --open;
      }
    }
    if (ready > 0) continue;
    if (ended) break;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      ended = true;
    } else if (options.timeoutSeconds > 0 && std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
    }
  }
  for (const pollfd& fd : fds) {
    if (fd.fd >= 0) ::close(fd.fd);
  }
  if (!ended && pid > 0 && ::waitpid(pid, &status, 0) == pid) ended = true;
  if (ended && pid > 0) result.exitStatus = StatusOf(status);
  return result;
}

RunResult RunForked(const std::function<std::string()>& body) {
  ScopedTempDir outputs;
  const std::string outPath = outputs.Join("out");
  // The child's text goes to a file, so a long one never blocks on a pipe;
  // it is opened here, since the child may lose the right to open it.
  const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out < 0) throw std::runtime_error("cannot open " + outPath);
  std::fflush(nullptr);
  const pid_t pid = StartChild([&] {
    const std::string text = body();
    return ::write(out, text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 125;
  });
  ::close(out);
  RunResult result;
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid) result.exitStatus = StatusOf(status);
  result.out = ReadFile(outPath).value_or("");
  return result;
}

void MakeFolderChain(const std::string& parent, const std::string& name, int depth) {
  int dir = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int level = 0; level < depth && dir >= 0; ++level) {
    ::mkdirat(dir, name.c_str(), 0755);
    const int next = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(dir);
    dir = next;
  }
  if (dir < 0) throw std::runtime_error("cannot make the folder chain in " + parent);
  ::close(dir);
}

ScopedSway::ScopedSway(uid_t user) : user_(user) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime != '/') {
    error_ = "XDG_RUNTIME_DIR is not set";
    return;
  }
  const std::string folder = runtime;
  ScopedTempDir logs;
  const std::string log = logs.Join("sway.log");
  // Without a log it writes to /dev/null.
  const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_ = Spawn({"sway", "-c", "/dev/null"}, {{kNull, 0}, {out, 1}, {out, 2}}, [&] {
    ::unsetenv("WAYLAND_DISPLAY");
    ::unsetenv("DISPLAY");
    return BecomeUser(user) && ::setenv("WLR_BACKENDS", "headless", 1) == 0 &&
           ::setenv("WLR_LIBINPUT_NO_DEVICES", "1", 1) == 0 && ::setenv("WLR_RENDERER", "pixman", 1) == 0;
  });
  if (out >= 0) ::close(out);
  if (pid_ <= 0) {
    error_ = "cannot start sway";
    return;
  }
  // The compositor names its socket wayland-N in the runtime folder, which
  // is its own, once it is ready to take clients.
  for (int attempt = 0; attempt < 200; ++attempt) {
    for (const std::string& name : FolderNames(folder)) {
      std::error_code error;
      if (name.starts_with("wayland-") && fs::is_socket(folder + "/" + name, error)) {
        env_.Set("WAYLAND_DISPLAY", name);
        return;
      }
    }
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = 0;
      error_ = "sway ended at start: " + ReadFile(log).value_or("(no log)");
      return;
    }
    ::usleep(50 * 1000);
  }
  error_ = "sway made no socket in ten seconds: " + ReadFile(log).value_or("(no log)");
}

// Clients serving a compositor's clipboard end when it goes.
ScopedDaemon::~ScopedDaemon() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
}

std::string ScopedSway::ReadClipboardExpecting(const std::string& expected) const {
  return OutputExpecting({"/usr/bin/wl-paste", "--no-newline"}, {.user = user_}, expected);
}

ScopedXvfb::ScopedXvfb() {
  std::string number;
  pid_ = SpawnReportingLine({"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "320x240x24"}, 3,
                            number, true);
  if (number.empty()) {
    error_ = "Xvfb did not start (is it installed?)";
    return;
  }
  display_ = ":" + number;
  env_.Set("DISPLAY", display_);
}

ScopedXvfb::~ScopedXvfb() {
  if (pid_ <= 0) return;
  // The clipboard helpers serving this display end when it goes; they are
  // ended first so none lingers waiting for a selection request.
  const std::string marker = "DISPLAY=" + display_ + std::string(1, '\0');
  for (const std::string& name : FolderNames("/proc")) {
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string command = ReadFile("/proc/" + name + "/comm").value_or("");
    if (command != "xclip\n" && command != "xsel\n" && command != "KestrineService\n") continue;
    if (ReadFile("/proc/" + name + "/environ").value_or("").find(marker) != std::string::npos) {
      ::kill(std::stoi(name), SIGTERM);
    }
  }
}

std::string ScopedXvfb::ReadClipboardExpecting(const std::string& expected) const {
  // The system's xclip, whatever PATH a test has set. A read that meets an
  // owner handing over to the next one (a large text comes in pieces) can
  // wait for ever, so each has a time limit and is then simply tried again.
  return OutputExpecting({SystemProgram("xclip"), "-selection", "clipboard", "-o"},
                         {.timeoutSeconds = 10}, expected);
}

ScopedSessionBus::ScopedSessionBus() {
  // It complains, harmlessly, that it may not raise its descriptor limit.
  pid_ = SpawnReportingLine({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=3"}, 3,
                            address_, true);
  if (address_.empty()) {
    error_ = "dbus-daemon did not start (is package dbus-daemon installed?)";
    return;
  }
  env_.Set("DBUS_SESSION_BUS_ADDRESS", address_);
}

ScopedFinder::ScopedFinder(const std::string& finder) : path_(finder) {
  std::string line;
  pid_ = SpawnReportingLine({finder, "serve"}, STDOUT_FILENO, line, false);
  ready_ = line == "ready";
}

ScopedFinder::~ScopedFinder() {
  if (pid_ > 0) ::kill(pid_, SIGCONT);
}

int ScopedFinder::Stop(int signal) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal);
  if (signal == SIGSTOP || signal == SIGCONT) return 0;
  int status = 0;
  ::waitpid(std::exchange(pid_, 0), &status, 0);
  return status;
}

int ScopedFinder::Select(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {path_, "select"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv).exitStatus;
}

void WriteFile(const std::string& path, std::string_view bytes) {
  const fs::path parent = fs::path(path).parent_path();
  if (!parent.empty()) fs::create_directories(parent);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void MakeDirs(const std::string& path) { fs::create_directories(path); }

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

CapturedStderr::CapturedStderr() {
  const int fd = ::open(dir_.Join("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot open " + dir_.Join("stderr"));
  std::fflush(stderr);
  saved_ = ::dup(STDERR_FILENO);
  ::dup2(fd, STDERR_FILENO);
  ::close(fd);
}

void CapturedStderr::Restore() {
  if (saved_ < 0) return;
  std::fflush(stderr);
  ::dup2(saved_, STDERR_FILENO);
  ::close(saved_);
  saved_ = -1;
}

std::vector<std::string> CapturedStderr::Lines() {
  Restore();
  return SplitLines(Text());
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
    end = std::min(text.find('\n', start), text.size());
    lines.emplace_back(text.substr(start, end - start));
  }
  return lines;
}

std::string XmlPropertyList(std::string_view entries) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n<dict>\n" +
         std::string(entries) + "</dict>\n</plist>\n";
}

void WriteProgram(const std::string& path, std::string_view script, unsigned mode) {
  WriteFile(path, script);
  if (::chmod(path.c_str(), mode) != 0) throw std::runtime_error("chmod failed: " + path);
}

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string SystemProgram(std::string_view name) {
  for (const char* folder : {"/usr/bin/", "/bin/", "/usr/local/bin/"}) {
    const std::string path = folder + std::string(name);
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

pid_t StartChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  return pid;
}

int WaitForChild(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::optional<int> PollChild(pid_t pid) {
  int status = 0;
  const pid_t ended = ::waitpid(pid, &status, WNOHANG);
  if (ended == 0 || (ended < 0 && errno == EINTR)) return std::nullopt;
  if (ended < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::size_t LiveHeapBytes() {
#ifdef KESTRINE_TESTING_ASAN
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#endif
}

}  // namespace kestrine_testing
