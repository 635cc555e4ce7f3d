#include "platform/runtime/runtime_folder.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/log/nslog.h"

std::string KestrineRuntimeFolderPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/kestrine";
  return "/tmp/kestrine-" + std::to_string(geteuid());
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
  return OpenPrivateFolder(KestrineRuntimeFolderPath(), fd);
}

OSStatus StatusFromErrno(int error) {
  switch (error) {
    case 0:
      return noErr;
    case ENOENT:
      return fnfErr;
    case ENOTDIR:
    case ELOOP:
      return dirNFErr;
    case EACCES:
    case EPERM:
    case EROFS:
      return afpAccessDenied;
    case ENAMETOOLONG:
      return bdNamErr;
    case EMFILE:
    case ENFILE:
      return tmfoErr;
    case ENOMEM:
      return memFullErr;
    default:
      return ioErr;
  }
}
