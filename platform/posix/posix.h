// The POSIX calls every part makes the same way: one owner of a file
// descriptor, reads and writes that finish what they start (retrying after
// signals and short transfers), and the one map from errno values to
// statuses, and the reader of a whole regular file.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

#include "platform/MacTypes.h"

namespace kestrine_posix {

// Owns one file descriptor and closes it when destroyed.
class FileDescriptor final {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { Reset(); }

  // The descriptor, or -1 when none is owned.
  int get() const { return fd_; }
  // Whether a descriptor is owned.
  bool valid() const { return fd_ >= 0; }
  // Gives up ownership and returns the descriptor.
  int Release();
  // Closes the owned descriptor, if any, and takes `fd`.
  void Reset(int fd = -1);
  // Closes the owned descriptor now and returns 0 or close's errno value,
  // which is where some file systems report a failed write. An interrupted
  // close counts as done: Linux releases the descriptor all the same.
  int Close();

 private:
  int fd_ = -1;
};

// Reads `fd` to its end, appending to `*out`. Returns 0, the errno value of
// a failed read, or EFBIG when `*out` would grow beyond `max_bytes`.
int ReadAll(int fd, std::string* out,
            std::size_t max_bytes = std::numeric_limits<std::size_t>::max());

// Writes all of `data` to the blocking `fd`. Returns 0, the errno value of a
// failed write, or EIO when a write takes nothing.
int WriteAll(int fd, std::string_view data);

// The identity, size and times of one version of a file: a file replaced by
// renaming, or changed in place, differs in at least one of them.
struct FileVersion {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};

  FileVersion() = default;
  explicit FileVersion(const struct stat& info)
      : device(info.st_dev), inode(info.st_ino), size(info.st_size), modified(info.st_mtim),
        changed(info.st_ctim) {}
  friend bool operator==(const FileVersion& a, const FileVersion& b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec &&
           a.changed.tv_sec == b.changed.tv_sec && a.changed.tv_nsec == b.changed.tv_nsec;
  }
};

// How reading a whole regular file ended.
enum class WholeFileStatus {
  kRead,        // `content` holds the whole file.
  kOpenFailed,  // `error` is open's errno value; `info` is not filled in.
  kStatFailed,  // `error` is fstat's errno value; `info` is not filled in.
  kNotRegular,  // `info` says what stands at the path instead.
  kTooLarge,    // `info.st_size` is beyond the limit; nothing was read.
  kReadFailed,  // `error` is read's errno value, or EFBIG when the file grew
                // beyond the limit while it was read.
};

// What reading a whole regular file gave. The caller owns it all; the file
// is closed by the time it is returned.
struct WholeFile {
  WholeFileStatus status = WholeFileStatus::kOpenFailed;
  int error = 0;
  struct stat info {};  // The open file's status, from kNotRegular on.
  std::string content;  // Empty unless `status` is kRead.
};

// Reads the regular file at `path` (following links), refusing one larger
// than `max_bytes`. The open does not wait, so a FIFO or a device in the
// file's place is refused without stalling the caller, and never becomes
// the controlling terminal. Throws only std::bad_alloc.
WholeFile ReadRegularFile(const std::string& path,
                          std::size_t max_bytes = std::numeric_limits<std::size_t>::max());

}  // namespace kestrine_posix

// Maps an errno value to the status of a file-system call (0 gives noErr).
// The one map of the project: a caller that must report an error otherwise
// maps those values itself first and says why.
OSErr OSErrFromErrno(int error);
