// Helpers for the file-service tests: temporary folders made with mkdtemp
// and removed with everything in them, and a temporary $HOME.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace files_testing {

// Removes the entry `name` of the folder `dir` and, for a folder, all it
// holds. Works by descriptors, so paths longer than PATH_MAX go too.
inline void RemoveTreeAt(int dir, const char* name) {
  struct stat status {};
  if (fstatat(dir, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (S_ISDIR(status.st_mode)) {
    fchmodat(dir, name, 0700, 0);
    const int fd = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      if (DIR* stream = fdopendir(fd)) {
        while (const dirent* entry = readdir(stream)) {
          const std::string_view entry_name = entry->d_name;
          if (entry_name != "." && entry_name != "..") RemoveTreeAt(fd, entry->d_name);
        }
        closedir(stream);
      } else {
        close(fd);
      }
    }
    unlinkat(dir, name, AT_REMOVEDIR);
  } else {
    unlinkat(dir, name, 0);
  }
}

// A folder made by mkdtemp in $TMPDIR or /tmp, removed at the end of scope.
// path() has every link resolved, as references give it back.
class TempFolder final {
 public:
  TempFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") +
                          "/kestrine-files-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) {
      if (char* resolved = realpath(pattern.c_str(), nullptr)) {
        path_ = resolved;
        std::free(resolved);
      }
    }
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder() {
    if (!path_.empty()) RemoveTreeAt(AT_FDCWD, path_.c_str());
  }

  const std::string& path() const { return path_; }
  std::string operator/(std::string_view relative) const { return path_ + "/" + std::string(relative); }

 private:
  std::string path_;
};

// Writes `text` to a new file at `path`.
inline bool MakeFile(const std::string& path, std::string_view text = "") {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && written;
}

inline bool MakeFolder(const std::string& path) { return mkdir(path.c_str(), 0755) == 0; }

// Sets (or, given none, unsets) $HOME for the scope and restores it after.
class ScopedHome final {
 public:
  explicit ScopedHome(const std::optional<std::string>& home) {
    if (const char* old = std::getenv("HOME")) saved_ = old;
    if (home) {
      setenv("HOME", home->c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }
  ScopedHome(const ScopedHome&) = delete;
  ScopedHome& operator=(const ScopedHome&) = delete;
  ~ScopedHome() {
    if (saved_) {
      setenv("HOME", saved_->c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }

 private:
  std::optional<std::string> saved_;
};

}  // namespace files_testing
