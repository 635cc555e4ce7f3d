#include "testing/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
  // Output goes to files, so a child that writes much never blocks on a pipe
  // nobody reads yet.
  ScopedTempDir outputs;
  const std::string outPath = outputs.Join("out");
  const std::string errPath = outputs.Join("err");
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) ::_exit(126);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (cwd && ::chdir(cwd->c_str()) != 0) ::_exit(126);
    if (inChild && !inChild()) ::_exit(126);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  RunResult result;
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid) {
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  result.out = ReadFile(outPath).value_or("");
  result.err = ReadFile(errPath).value_or("");
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

bool BecomeNobody() {
  return ::setgroups(0, nullptr) == 0 && ::setresgid(kNobody, kNobody, kNobody) == 0 &&
         ::setresuid(kNobody, kNobody, kNobody) == 0;
}

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
  std::string text;
  for (int attempt = 0; attempt < 50; ++attempt) {
    FILE* output = ::popen("xclip -selection clipboard -o 2>/dev/null", "r");
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

}  // namespace kestrine_testing
