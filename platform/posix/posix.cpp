#include "platform/posix/posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <type_traits>
#include <utility>

namespace kestrine_posix {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

int FileDescriptor::Release() { return std::exchange(fd_, -1); }

void FileDescriptor::Reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

int FileDescriptor::Close() {
  if (fd_ < 0) return 0;
  const int result = close(std::exchange(fd_, -1));
  return result == 0 || errno == EINTR ? 0 : errno;
}

int ReadAll(int fd, std::string* out, std::size_t max_bytes) {
  char buffer[16384];
  for (;;) {
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return errno;
    if (count == 0) return 0;
    const auto got = static_cast<std::size_t>(count);
    if (out->size() > max_bytes || got > max_bytes - out->size()) return EFBIG;
    out->append(buffer, got);
  }
}

int WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = write(fd, data.data(), data.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return errno;
    if (written == 0) return EIO;
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

WholeFile ReadRegularFile(const std::string& path, std::size_t max_bytes) {
  WholeFile file;
  FileDescriptor fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) {
    file.error = errno;
  } else if (fstat(fd.get(), &file.info) != 0) {
    file.status = WholeFileStatus::kStatFailed;
    file.error = errno;
  } else if (!S_ISREG(file.info.st_mode)) {
    file.status = WholeFileStatus::kNotRegular;
  } else if (static_cast<std::make_unsigned_t<off_t>>(file.info.st_size) > max_bytes) {
    file.status = WholeFileStatus::kTooLarge;
  } else if ((file.error = ReadAll(fd.get(), &file.content, max_bytes)) != 0) {
    file.status = WholeFileStatus::kReadFailed;
    file.content.clear();
  } else {
    file.status = WholeFileStatus::kRead;
  }
  return file;
}

}  // namespace kestrine_posix

OSErr OSErrFromErrno(int error) {
  switch (error) {
    case 0:
      return noErr;
    case EACCES:
    case EPERM:
      return afpAccessDenied;
    case ENOENT:
    case ELOOP:  // A path that only loops names nothing.
      return fnfErr;
    case ENOTDIR:
      return dirNFErr;
    case EMFILE:
    case ENFILE:
      return tmfoErr;
    case ENAMETOOLONG:
      return bdNamErr;
    case ENOMEM:
      return memFullErr;
    case EINVAL:
    case EFAULT:
    case EBADF:
      return paramErr;
    default:
      return ioErr;
  }
}
