#include "platform/runtime/runtime_folder.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/log/nslog.h"
#include "platform/posix/posix.h"
#include "platform/xdg/xdg.h"

namespace {

// The runtime folder below the home folder, and the folders above it that
// are made with it, outermost first.
constexpr char kFallbackFolder[] = "/.cache/kestrine/run";
constexpr const char* kFallbackParents[] = {"/.cache", "/.cache/kestrine"};

// The home folder with no trailing slash ("" for "/"); none when unknown.
std::optional<std::string> HomePrefix() {
  std::optional<std::string> home = NSHomeDirectory();
  if (home && *home == "/") home->clear();
  return home;
}

bool HasRuntimeDir() { return XdgRuntimeDir().has_value(); }

}  // namespace

std::string KestrineRuntimeFolderPath() {
  if (const std::optional<std::string> runtime = XdgRuntimeDir()) return *runtime + "/kestrine";
  const std::optional<std::string> home = HomePrefix();
  return home ? *home + kFallbackFolder : std::string();
}

OSStatus OpenPrivateFolder(const std::string& path, int* fd) {
  *fd = -1;
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  // The folder exists on every call but the first: it is opened before any
  // attempt to make it.
  int opened = open(path.c_str(), kFlags);
  bool created = false;
  if (opened < 0 && errno == ENOENT) {
    created = mkdir(path.c_str(), 0700) == 0;
    if (!created && errno != EEXIST) {
      const int error = errno;
      NSLog("Cannot make the private folder %s: %s", path.c_str(), strerror(error));
      return StatusFromErrno(error);
    }
    opened = open(path.c_str(), kFlags);
  }
  if (opened < 0) {
    const int error = errno;
    struct stat link {};
    if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      NSLog("Cannot use the private folder %s: it is a link", path.c_str());
      return afpAccessDenied;
    }
    NSLog("Cannot open the private folder %s: %s", path.c_str(), strerror(error));
    return StatusFromErrno(error);
  }
  // A folder just made may have lost permission bits to the umask.
  if (created) fchmod(opened, 0700);
  struct stat info {};
  if (fstat(opened, &info) != 0) {
    const int error = errno;
    close(opened);
    return StatusFromErrno(error);
  }
  if (info.st_uid != geteuid() || (info.st_mode & 077) != 0) {
    close(opened);
    NSLog("Cannot use the private folder %s: it is not private to this user", path.c_str());
    return afpAccessDenied;
  }
  *fd = opened;
  return noErr;
}

OSStatus OpenKestrineRuntimeFolder(int* fd) {
  *fd = -1;
  const std::string path = KestrineRuntimeFolderPath();
  if (path.empty()) {
    NSLog("Cannot find a private folder: XDG_RUNTIME_DIR is unset and there is no home folder");
    return fnfErr;
  }
  if (!HasRuntimeDir()) {
    // The folders above the runtime folder are made as private as it is; a
    // home folder that is missing is not made.
    const std::string home = path.substr(0, path.size() - (sizeof kFallbackFolder - 1));
    for (const char* parent : kFallbackParents) mkdir((home + parent).c_str(), 0700);
  }
  return OpenPrivateFolder(path, fd);
}

OSStatus StatusFromErrno(int error) {
  switch (error) {
    // These calls make and write files: a read-only file system refuses
    // access to them.
    case EROFS:
      return afpAccessDenied;
    // Links that loop on the way leave the folder to write in unreachable.
    case ELOOP:
      return dirNFErr;
    // The arguments are ours, never the caller's: an argument the kernel
    // refuses is a failure of the operation, not a bad request.
    case EINVAL:
    case EFAULT:
    case EBADF:
      return ioErr;
    default:
      return OSErrFromErrno(error);
  }
}
