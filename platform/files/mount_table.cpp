#include "platform/files/mount_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <limits>
#include <memory>

#include "platform/corefoundation/cf_string.h"
#include "platform/posix/posix.h"

namespace files_internal {
namespace {

bool IsOctalDigit(char c) { return c >= '0' && c <= '7'; }

template <typename Number>
bool ParseNumber(std::string_view text, Number* value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t pos = 0;
  while (pos <= line.size()) {
    std::size_t end = line.find(' ', pos);
    if (end == std::string_view::npos) end = line.size();
    if (end > pos) fields.push_back(line.substr(pos, end - pos));
    pos = end + 1;
  }
  return fields;
}

std::optional<MountEntry> ParseMountLine(std::string_view line) {
  const std::vector<std::string_view> fields = SplitFields(line);
  // id parent major:minor root mount-point options [optional...] - type source super-options
  std::size_t separator = 6;
  while (separator < fields.size() && fields[separator] != "-") ++separator;
  if (separator + 1 >= fields.size()) return std::nullopt;
  MountEntry entry;
  const std::string_view device = fields[2];
  const std::size_t colon = device.find(':');
  if (colon == std::string_view::npos || !ParseNumber(fields[0], &entry.mount_id) ||
      !ParseNumber(fields[1], &entry.parent_id) ||
      !ParseNumber(device.substr(0, colon), &entry.major) ||
      !ParseNumber(device.substr(colon + 1), &entry.minor)) {
    return std::nullopt;
  }
  entry.root = UnescapeMountField(fields[3]);
  entry.mount_point = UnescapeMountField(fields[4]);
  entry.fs_type = UnescapeMountField(fields[separator + 1]);
  if (separator + 2 < fields.size()) entry.source = UnescapeMountField(fields[separator + 2]);
  if (entry.mount_point.empty() || entry.mount_point.front() != '/') return std::nullopt;
  return entry;
}

// Whether `prefix` is `path` or a folder above it, by whole components.
bool IsPathPrefix(std::string_view prefix, std::string_view path) {
  if (prefix == "/") return !path.empty() && path.front() == '/';
  if (path.substr(0, prefix.size()) != prefix) return false;
  return path.size() == prefix.size() || path[prefix.size()] == '/';
}

std::string_view WithoutTrailingSlashes(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  return path;
}

std::string FileURLForMountPoint(std::string_view mount_point) {
  std::string url = "file://" + PercentEscapeBytes(mount_point);
  if (url.back() != '/') url.push_back('/');
  return url;
}

// "//server/share/folder" to "smb://server/share/folder/".
std::optional<std::string> SMBURL(std::string_view source) {
  if (source.substr(0, 2) != "//") return std::nullopt;
  source.remove_prefix(2);
  const std::size_t slash = source.find('/');
  const std::string_view server = source.substr(0, slash);
  if (server.empty()) return std::nullopt;
  std::string url = "smb://" + std::string(server) + "/";
  if (slash != std::string_view::npos) {
    const std::string_view share = WithoutTrailingSlashes(source.substr(slash + 1));
    if (!share.empty()) url += PercentEscapeBytes(share) + "/";
  }
  return url;
}

// "server:/export" to "nfs://server/export/".
std::optional<std::string> NFSURL(std::string_view source) {
  const std::size_t colon = source.find(":/");
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  const std::string_view exported = WithoutTrailingSlashes(source.substr(colon + 1));
  std::string url = "nfs://" + std::string(source.substr(0, colon)) + PercentEscapeBytes(exported);
  url.push_back('/');
  return url;
}

// "user@host:/path" to "sftp://user@host/path/".
std::optional<std::string> SFTPURL(std::string_view source) {
  // A user name ends at the first "@", which comes before the host's colon.
  const std::size_t at = source.find('@');
  const std::size_t host_start =
      at != std::string_view::npos && at < source.find(':') ? at + 1 : 0;
  std::size_t colon = std::string_view::npos;
  if (host_start < source.size() && source[host_start] == '[') {
    const std::size_t bracket = source.find(']', host_start);
    if (bracket != std::string_view::npos && bracket + 1 < source.size() &&
        source[bracket + 1] == ':') {
      colon = bracket + 1;
    }
  } else {
    colon = source.find(':', host_start);
  }
  if (colon == std::string_view::npos || colon == host_start) return std::nullopt;
  std::string url = "sftp://" + std::string(source.substr(0, colon));
  const std::string_view path = source.substr(colon + 1);
  if (path.empty() || path.front() != '/') {
    url += "/~/";
    const std::string_view relative = WithoutTrailingSlashes(path);
    if (!relative.empty()) url += PercentEscapeBytes(relative) + "/";
    return url;
  }
  url += PercentEscapeBytes(WithoutTrailingSlashes(path));
  url.push_back('/');
  return url;
}

// Closes a folder stream when it goes out of scope.
struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

std::string UnescapeMountField(std::string_view field) {
  std::string result;
  result.reserve(field.size());
  for (std::size_t pos = 0; pos < field.size(); ++pos) {
    if (field[pos] == '\\' && pos + 3 < field.size() &&
        IsOctalDigit(field[pos + 1]) && IsOctalDigit(field[pos + 2]) &&
        IsOctalDigit(field[pos + 3])) {
      const int value = (field[pos + 1] - '0') * 64 + (field[pos + 2] - '0') * 8 + (field[pos + 3] - '0');
      if (value <= 0xFF) {
        result.push_back(static_cast<char>(value));
        pos += 3;
        continue;
      }
    }
    result.push_back(field[pos]);
  }
  return result;
}

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
  std::vector<MountEntry> mounts;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    if (std::optional<MountEntry> entry = ParseMountLine(text.substr(pos, end - pos))) {
      mounts.push_back(std::move(*entry));
    }
    pos = end + 1;
  }
  return mounts;
}

std::optional<std::vector<MountEntry>> ReadMountTable() {
  const int fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  const int error = kestrine_posix::ReadAll(fd, &text);
  close(fd);
  if (error != 0) return std::nullopt;
  return ParseMountInfo(text);
}

const MountEntry* FindMountById(const std::vector<MountEntry>& mounts, std::int64_t mount_id) {
  for (const MountEntry& entry : mounts) {
    if (entry.mount_id == mount_id) return &entry;
  }
  return nullptr;
}

const MountEntry* FindMountForDevice(const std::vector<MountEntry>& mounts, std::uint32_t major,
                                     std::uint32_t minor, std::string_view path) {
  const MountEntry* best = nullptr;
  for (const MountEntry& entry : mounts) {
    if (entry.major != major || entry.minor != minor) continue;
    if (!IsPathPrefix(entry.mount_point, path)) continue;
    if (best == nullptr || entry.mount_point.size() >= best->mount_point.size()) best = &entry;
  }
  return best;
}

std::string VolumeURLForMount(const MountEntry& mount) {
  std::optional<std::string> url;
  if (mount.fs_type == "cifs" || mount.fs_type == "smb3" || mount.fs_type == "smbfs") {
    url = SMBURL(mount.source);
  } else if (mount.fs_type == "nfs" || mount.fs_type == "nfs4") {
    url = NFSURL(mount.source);
  } else if (mount.fs_type == "fuse.sshfs") {
    url = SFTPURL(mount.source);
  }
  return url ? *url : FileURLForMountPoint(mount.mount_point);
}

std::string UnescapeUdevLabel(std::string_view name) {
  std::string result;
  result.reserve(name.size());
  for (std::size_t pos = 0; pos < name.size(); ++pos) {
    if (name[pos] == '\\' && pos + 3 < name.size() && name[pos + 1] == 'x') {
      const int high = HexDigitValue(name[pos + 2]);
      const int low = HexDigitValue(name[pos + 3]);
      if (high >= 0 && low >= 0) {
        result.push_back(static_cast<char>(high * 16 + low));
        pos += 3;
        continue;
      }
    }
    result.push_back(name[pos]);
  }
  return result;
}

std::optional<std::string> LabelForMount(const MountEntry& mount,
                                         const std::string& by_label_folder) {
  const std::unique_ptr<DIR, DirCloser> dir(opendir(by_label_folder.c_str()));
  if (!dir) return std::nullopt;
  std::optional<dev_t> source_device;
  struct stat source_status {};
  if (mount.source.substr(0, 5) == "/dev/" && stat(mount.source.c_str(), &source_status) == 0 &&
      S_ISBLK(source_status.st_mode)) {
    source_device = source_status.st_rdev;
  }
  const dev_t mounted_device = makedev(mount.major, mount.minor);
  while (const dirent* entry = readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat status {};
    if (fstatat(dirfd(dir.get()), entry->d_name, &status, 0) != 0 || !S_ISBLK(status.st_mode)) {
      continue;
    }
    if (status.st_rdev == mounted_device || (source_device && status.st_rdev == *source_device)) {
      return UnescapeUdevLabel(name);
    }
  }
  return std::nullopt;
}

std::string VolumeNameForMount(const MountEntry& mount, const std::optional<std::string>& label) {
  if (label && !label->empty()) return *label;
  if (mount.mount_point == "/") return "Linux";
  const std::string_view mount_point = WithoutTrailingSlashes(mount.mount_point);
  return std::string(mount_point.substr(mount_point.rfind('/') + 1));
}

bool ItemStatus::is_directory() const { return S_ISDIR(mode); }
bool ItemStatus::is_symlink() const { return S_ISLNK(mode); }

std::optional<ItemStatus> StatItem(const std::string& path, int* error) {
  return StatItemAt(AT_FDCWD, path, error);
}

std::optional<ItemStatus> StatItemAt(int folder, const std::string& path, int* error) {
  struct statx buffer {};
  if (statx(folder, path.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
            STATX_TYPE | STATX_MODE | STATX_MNT_ID, &buffer) != 0) {
    *error = errno;
    return std::nullopt;
  }
  ItemStatus status;
  status.mode = buffer.stx_mode;
  if ((buffer.stx_mask & STATX_MNT_ID) != 0) status.mount_id = buffer.stx_mnt_id;
  status.major = buffer.stx_dev_major;
  status.minor = buffer.stx_dev_minor;
  if ((buffer.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
    status.mount_root = (buffer.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  }
  return status;
}

OSErr MissingItemStatus(int error) {
  if (error == ENOENT || error == ENOTDIR) return fnfErr;
  return OSErrFromErrno(error);
}

const MountEntry* MountOfItem(const std::vector<MountEntry>& mounts, const ItemStatus& status,
                              std::string_view path) {
  if (status.mount_id) {
    if (status.mount_id > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return nullptr;
    }
    return FindMountById(mounts, static_cast<std::int64_t>(*status.mount_id));
  }
  return FindMountForDevice(mounts, status.major, status.minor, path);
}

std::optional<FSVolumeRefNum> VolumeOfItem(const ItemStatus& status, std::string_view path) {
  std::optional<std::int64_t> mount_id;
  if (status.mount_id) {
    if (*status.mount_id <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      mount_id = static_cast<std::int64_t>(*status.mount_id);
    }
  } else if (const std::optional<std::vector<MountEntry>> mounts = ReadMountTable()) {
    if (const MountEntry* mount = FindMountForDevice(*mounts, status.major, status.minor, path)) {
      mount_id = mount->mount_id;
    }
  }
  if (!mount_id || *mount_id < 0 || *mount_id > std::numeric_limits<FSVolumeRefNum>::max()) {
    return std::nullopt;
  }
  return static_cast<FSVolumeRefNum>(*mount_id);
}

}  // namespace files_internal
