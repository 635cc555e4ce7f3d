#include "testing/test_support.h"

#include <dirent.h>
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
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace kestrine_testing {

namespace {

constexpr uid_t kNobody = 65534;

// Calls `visit(dir, name, isFolder)` for the entry `name` of the folder
// `dir` and everything below it, children first. Works by descriptors, so
// trees deeper than PATH_MAX are visited too; folders are made searchable
// on the way.
template <typename Visit>
void VisitTreeAt(int dir, const char* name, const Visit& visit) {
  struct stat status {};
  if (::fstatat(dir, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return;
  const bool isFolder = S_ISDIR(status.st_mode);
  if (isFolder) {
    ::fchmodat(dir, name, 0700, 0);
    const int fd = ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (DIR* stream = fd < 0 ? nullptr : ::fdopendir(fd)) {
      while (const dirent* entry = ::readdir(stream)) {
        const std::string_view entryName = entry->d_name;
        if (entryName != "." && entryName != "..") VisitTreeAt(fd, entry->d_name, visit);
      }
      ::closedir(stream);
    } else if (fd >= 0) {
      ::close(fd);
    }
  }
  visit(dir, name, isFolder);
}

}  // namespace

ScopedTempDir::ScopedTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                        "/kestrine-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  // Tests compare with resolved paths, so a linked $TMPDIR is resolved here.
  path_ = std::filesystem::canonical(pattern).string();
}

ScopedTempDir::~ScopedTempDir() {
  // Folders a test made unreadable are opened again to be removed.
  VisitTreeAt(AT_FDCWD, path_.c_str(), [](int dir, const char* name, bool isFolder) {
    ::unlinkat(dir, name, isFolder ? AT_REMOVEDIR : 0);
  });
}

std::string ScopedTempDir::Join(std::string_view relative) const {
  return path_ + "/" + std::string(relative);
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  if (value) {
    ::setenv(name_.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    ::setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedUser::ScopedUser() {
  MakeDirs(home());
  MakeDirs(dir_.Join("config"));
  MakeDirs(dir_.Join("data"));
  MakeDirs(dir_.Join("run"));
  ::chmod(dir_.Join("run").c_str(), 0700);
  env_.push_back(std::make_unique<ScopedEnv>("HOME", home()));
  env_.push_back(std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", dir_.Join("config")));
  env_.push_back(std::make_unique<ScopedEnv>("XDG_DATA_HOME", dir_.Join("data")));
  env_.push_back(std::make_unique<ScopedEnv>("XDG_RUNTIME_DIR", dir_.Join("run")));
  env_.push_back(std::make_unique<ScopedEnv>("DISPLAY", std::nullopt));
  env_.push_back(std::make_unique<ScopedEnv>("WAYLAND_DISPLAY", std::nullopt));
}

std::string ScopedUser::SettingsPath() const {
  return dir_.Join("config/com.corvane.KestrineCM.plist");
}

std::optional<std::string> ScopedUser::Clipboard() const {
  return ReadFile(dir_.Join("run/kestrine/clipboard"));
}

void ScopedUser::SetClipboard(std::string_view text) const {
  WriteFile(dir_.Join("run/kestrine/clipboard"), text);
  ::chmod(dir_.Join("run/kestrine").c_str(), 0700);
}

void ScopedUser::WriteSettings(std::string_view entries) const {
  std::ostringstream xml;
  xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      << "<plist version=\"1.0\">\n<dict>\n"
      << entries << "\n</dict>\n</plist>\n";
  // Write beside and rename, as a plist editor would, so a reader never sees
  // half a file and the change is seen as a new file.
  const std::string path = SettingsPath();
  WriteFile(path + ".new", xml.str());
  std::filesystem::rename(path + ".new", path);
}

RunResult RunProgram(const std::vector<std::string>& argv, const std::optional<std::string>& cwd,
                     const std::function<bool()>& inChild) {
  return RunProgramWith(argv, RunOptions{.cwd = cwd, .inChild = inChild});
}

void ScopedUser::GiveTo(uid_t uid) const {
  const passwd* entry = ::getpwuid(uid);
  const gid_t gid = entry != nullptr ? entry->pw_gid : static_cast<gid_t>(uid);
  if (::lchown(root().c_str(), uid, gid) != 0) throw std::runtime_error("chown failed");
  for (const auto& item : std::filesystem::recursive_directory_iterator(root())) {
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
  const passwd* entry = ::getpwuid(uid);
  const gid_t gid = entry != nullptr ? entry->pw_gid : static_cast<gid_t>(uid);
  return ::setgroups(0, nullptr) == 0 && ::setresgid(gid, gid, gid) == 0 &&
         ::setresuid(uid, uid, uid) == 0;
}

RunResult RunProgramWith(const std::vector<std::string>& argv, const RunOptions& options) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return {};
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return {};
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in = ::open("/dev/null", O_RDONLY);
    if (in < 0 || ::dup2(in, 0) < 0 || ::dup2(out[1], 1) < 0 || ::dup2(err[1], 2) < 0) {
      ::_exit(126);
    }
    if (options.cwd && ::chdir(options.cwd->c_str()) != 0) ::_exit(126);
    for (const auto& [resource, value] : options.limits) {
      const rlimit limit{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
      if (::setrlimit(resource, &limit) != 0) ::_exit(126);
    }
    if (options.inChild && !options.inChild()) ::_exit(126);
    if (options.user && !BecomeUser(*options.user)) ::_exit(126);
    if (options.fileSizeLimit) {
      const rlimit limit{*options.fileSizeLimit, *options.fileSizeLimit};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
      ::signal(SIGXFSZ, SIG_DFL);
    }
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  RunResult result;
  // Both pipes are drained together, so a child that writes much to one
  // never blocks while the other is read. Polled in short steps, so that a
  // hung child costs the test its time-out, and so that the reading ends
  // once the child has ended even when a background child of its own keeps
  // the pipes open.
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* texts[2] = {&result.out, &result.err};
  int status = 0;
  bool ended = pid <= 0;
  bool lastRound = false;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
  for (int open = 2; open > 0;) {
    const int ready = ::poll(fds, 2, lastRound ? 0 : 100);
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; ready > 0 && i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        texts[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
    if (ready > 0) continue;
    if (lastRound) break;
    if (!ended && ::waitpid(pid, &status, WNOHANG) == pid) {
      ended = true;
      lastRound = true;  // Take what is still buffered, then stop.
    }
    if (!ended && options.timeoutSeconds > 0 && std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
    }
  }
  for (const pollfd& fd : fds) {
    if (fd.fd >= 0) ::close(fd.fd);
  }
  if (!ended && pid > 0 && ::waitpid(pid, &status, 0) == pid) ended = true;
  if (ended && pid > 0) {
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return result;
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
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (null < 0 || out < 0) ::_exit(126);
    ::dup2(null, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    if (!BecomeUser(user)) ::_exit(126);
    ::setenv("WLR_BACKENDS", "headless", 1);
    ::setenv("WLR_LIBINPUT_NO_DEVICES", "1", 1);
    ::setenv("WLR_RENDERER", "pixman", 1);
    ::unsetenv("WAYLAND_DISPLAY");
    ::unsetenv("DISPLAY");
    ::execlp("sway", "sway", "-c", "/dev/null", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (pid < 0) {
    error_ = "fork failed";
    return;
  }
  pid_ = pid;
  // The compositor names its socket wayland-N in the runtime folder, which
  // is its own, once it is ready to take clients.
  for (int attempt = 0; attempt < 200; ++attempt) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
      const std::string name = entry.path().filename().string();
      if (name.starts_with("wayland-") && entry.is_socket(error)) {
        env_ = std::make_unique<ScopedEnv>("WAYLAND_DISPLAY", name);
        return;
      }
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = 0;
      error_ = "sway ended at start: " + ReadFile(log).value_or("(no log)");
      return;
    }
    ::usleep(50 * 1000);
  }
  error_ = "sway made no socket in ten seconds: " + ReadFile(log).value_or("(no log)");
}

ScopedSway::~ScopedSway() {
  if (pid_ <= 0) return;
  // Clients serving its clipboard end when their compositor goes.
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
}

std::string ScopedSway::ReadClipboardExpecting(const std::string& expected) const {
  std::string text;
  for (int attempt = 0; attempt < 50; ++attempt) {
    text = RunProgramWith({"/usr/bin/wl-paste", "--no-newline"}, {.user = user_}).out;
    if (text == expected) break;
    ::usleep(100 * 1000);
  }
  return text;
}

RunResult RunForked(const std::function<std::string()>& body) {
  ScopedTempDir outputs;
  const std::string outPath = outputs.Join("out");
  // The child's text goes to a file, so a long one never blocks on a pipe;
  // it is opened here, since the child may lose the right to open it.
  const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out < 0) throw std::runtime_error("cannot open " + outPath);
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const std::string text = body();
    const bool written = ::write(out, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::_exit(written ? 0 : 125);
  }
  ::close(out);
  RunResult result;
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid) {
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  result.out = ReadFile(outPath).value_or("");
  return result;
}

bool BecomeNobody() { return BecomeUser(kNobody); }

void GiveTreeToNobody(const std::string& path) {
  // The folders keep their modes: a test makes some unreadable on purpose.
  std::error_code error;
  ::lchown(path.c_str(), kNobody, kNobody);
  for (auto it = std::filesystem::recursive_directory_iterator(path, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    ::lchown(it->path().c_str(), kNobody, kNobody);
  }
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

ScopedXvfb::ScopedXvfb() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    error_ = "pipe failed";
    return;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    // The server writes its display number to descriptor 3.
    ::dup2(fds[1], 3);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execlp("Xvfb", "Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0",
             "320x240x24", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  if (pid < 0) {
    ::close(fds[0]);
    error_ = "fork failed";
    return;
  }
  pid_ = pid;
  std::string number;
  char c = 0;
  while (::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  ::close(fds[0]);
  if (number.empty()) {
    error_ = "Xvfb did not start (is it installed?)";
    return;
  }
  display_ = ":" + number;
  env_ = std::make_unique<ScopedEnv>("DISPLAY", display_);
}

ScopedXvfb::~ScopedXvfb() {
  if (pid_ <= 0) return;
  // The clipboard helpers serving this display end when it goes; they are
  // ended first so none lingers waiting for a selection request.
  const std::string marker = "DISPLAY=" + display_ + std::string(1, '\0');
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string command = ReadFile(entry.path() / "comm").value_or("");
    if (command != "xclip\n" && command != "xsel\n" && command != "KestrineService\n") continue;
    if (ReadFile(entry.path() / "environ").value_or("").find(marker) != std::string::npos) {
      ::kill(std::stoi(name), SIGTERM);
    }
  }
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
}

std::string ScopedXvfb::ReadClipboardExpecting(const std::string& expected) const {
  // The system's xclip, whatever PATH a test has set. Each read has a time
  // limit: a read that meets an owner handing over to the next one (a large
  // text comes in pieces) can wait for ever, and is then simply tried again.
  const std::string command = "'" + SystemProgram("timeout") + "' 10 '" + SystemProgram("xclip") +
                              "' -selection clipboard -o 2>/dev/null";
  std::string text;
  for (int attempt = 0; attempt < 50; ++attempt) {
    FILE* output = ::popen(command.c_str(), "r");
    if (output == nullptr) return "<popen failed>";
    text.clear();
    char buffer[65536];
    for (std::size_t count; (count = std::fread(buffer, 1, sizeof buffer, output)) > 0;) {
      text.append(buffer, count);
    }
    ::pclose(output);
    if (text == expected) break;
    ::usleep(100 * 1000);
  }
  return text;
}

void WriteFile(const std::string& path, std::string_view bytes) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void MakeDirs(const std::string& path) { std::filesystem::create_directories(path); }

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

ScopedEnvironment::~ScopedEnvironment() {
  for (const auto& [name, value] : saved_) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
}

void ScopedEnvironment::Set(const std::string& name, const std::optional<std::string>& value) {
  if (!saved_.contains(name)) {
    const char* old = std::getenv(name.c_str());
    saved_[name] = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
  }
  if (value) {
    ::setenv(name.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name.c_str());
  }
}

CapturedStderr::CapturedStderr() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                        "/kestrine-stderr-XXXXXX";
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  path_ = pattern;
  std::fflush(stderr);
  saved_ = ::dup(STDERR_FILENO);
  ::dup2(fd, STDERR_FILENO);
  ::close(fd);
}

CapturedStderr::~CapturedStderr() {
  Restore();
  ::unlink(path_.c_str());
}

void CapturedStderr::Restore() {
  if (saved_ < 0) return;
  std::fflush(stderr);
  ::dup2(saved_, STDERR_FILENO);
  ::close(saved_);
  saved_ = -1;
}

std::string CapturedStderr::Text() const { return ReadFile(path_).value_or(""); }

std::vector<std::string> CapturedStderr::Lines() {
  Restore();
  return SplitLines(Text());
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::istringstream in{std::string(text)};
  for (std::string line; std::getline(in, line);) lines.push_back(line);
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
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
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

ScopedFinder::ScopedFinder(const std::string& finder) : path_(finder) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    execl(finder.c_str(), "finder", "serve", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  char line[16] = {};
  for (std::size_t used = 0; used < 6 && read(out[0], line + used, 1) == 1; ++used) {
  }
  ready_ = std::string(line) == "ready\n";
  close(out[0]);
}

ScopedFinder::~ScopedFinder() {
  if (pid_ > 0) kill(pid_, SIGCONT);
  Stop(SIGTERM);
}

int ScopedFinder::Stop(int signal) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal);
  if (signal == SIGSTOP || signal == SIGCONT) return 0;
  int status = 0;
  waitpid(std::exchange(pid_, 0), &status, 0);
  return status;
}

int ScopedFinder::Select(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {path_, "select"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv).exitStatus;
}

}  // namespace kestrine_testing
