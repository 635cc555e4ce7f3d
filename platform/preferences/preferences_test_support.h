// Helpers for tests of the preferences store and of its users: a temporary
// home folder, property list files written as a user's tools would, and
// child processes. Header-only; for tests.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace preferences_test {

inline constexpr std::string_view kXmlHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";

// A whole XML property list whose top-level dictionary holds `entries`
// (XML text such as "<key>A</key><true/>").
inline std::string XmlDictionary(std::string_view entries) {
  return std::string(kXmlHeader) + "<plist version=\"1.0\">\n<dict>\n" + std::string(entries) +
         "</dict>\n</plist>\n";
}

// Points HOME and XDG_CONFIG_HOME into a new temporary folder for its
// lifetime, then restores them and removes the folder.
class TemporaryHome final {
 public:
  TemporaryHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrine-prefs-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
    Save("HOME");
    Save("XDG_CONFIG_HOME");
    ::setenv("HOME", (root_ + "/home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", ConfigFolder().c_str(), 1);
  }
  TemporaryHome(const TemporaryHome&) = delete;
  TemporaryHome& operator=(const TemporaryHome&) = delete;
  ~TemporaryHome() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  const std::string& root() const { return root_; }
  std::string ConfigFolder() const { return root_ + "/config"; }
  std::string FileOf(std::string_view domain) const {
    return ConfigFolder() + "/" + std::string(domain) + ".plist";
  }

 private:
  void Save(const char* name) {
    const char* value = std::getenv(name);
    saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
  }

  std::string root_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Writes `text` as a plist tool does: a new file renamed into place, the
// folder created when missing. Returns false on failure.
inline bool WriteFileAtomically(const std::string& path, std::string_view text) {
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
  const std::string temporary = path + ".tool-tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!out.flush()) return false;
  }
  return ::rename(temporary.c_str(), path.c_str()) == 0;
}

// The bytes of the file, or none when it cannot be read.
inline std::optional<std::string> ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The names in `folder`, sorted.
inline std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Runs `body` in a forked child, which exits with its result. Returns the
// child's id.
inline pid_t StartChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  return pid;
}

// Waits for the child; its exit status, or -1 when it did not exit normally.
inline int WaitForChild(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The child's exit status (-1 when it did not exit normally) once it has
// ended; none while it runs.
inline std::optional<int> PollChild(pid_t pid) {
  int status = 0;
  const pid_t ended = ::waitpid(pid, &status, WNOHANG);
  if (ended == 0 || (ended < 0 && errno == EINTR)) return std::nullopt;
  if (ended < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace preferences_test
