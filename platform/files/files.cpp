#include "platform/files/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/files/directory_entry.h"
#include "platform/files/mount_table.h"
#include "platform/files/node_table.h"
#include "platform/files/open_folders.h"
#include "platform/files/read_ahead.h"
#include "platform/memory_guard.h"
#include "platform/posix/posix.h"
#include "platform/status/status_words.h"

using files_internal::DecodeRef;
using files_internal::NodeIndex;
using files_internal::RefLocation;

namespace {

// Offsets inside a struct linux_dirent64 record, which getdents64 fills.
constexpr std::size_t kDirentRecordLengthOffset = 16;
constexpr std::size_t kDirentTypeOffset = 18;
constexpr std::size_t kDirentNameOffset = 19;

// Folders are read whole, one at a time on a thread, so one buffer per
// thread serves every read.
constexpr std::size_t kDirentBufferSize = 32 * 1024;
thread_local std::unique_ptr<char[]> tDirentBuffer;

char* DirentBuffer() {
  if (!tDirentBuffer) tDirentBuffer.reset(new (std::nothrow) char[kDirentBufferSize]);
  return tDirentBuffer.get();
}

}  // namespace

// Reads one folder whole when it is opened, with getdents64(2): one open, as
// few reads as the folder needs, and then hands out the entries from memory.
// The descriptor is kept only to name the entries relative to it, and only
// while it is among the latest open folders of the thread; so a deep walk
// holds a bounded number of descriptors. The container's node is interned
// only once an entry's reference needs it, so empty folders add nothing to
// the node table.
//
// Under a ScopedFileSystemSnapshot, a folder read to its end is remembered,
// and an iterator on a remembered folder replays its entries instead.
class FSIterator final {
 public:
  // `container_node`: the container's node, when the caller has it already.
  FSIterator(const FSRef& container_ref, RefLocation container,
             std::optional<NodeIndex> container_node)
      : container_ref_(container_ref),
        container_(std::move(container)),
        container_node_(container_node) {}
  // An iterator that replays a remembered listing.
  explicit FSIterator(const std::vector<files_internal::CachedEntry>* replay) : entries_(replay) {}
  FSIterator(const FSIterator&) = delete;
  FSIterator& operator=(const FSIterator&) = delete;
  ~FSIterator() {
    if (read_ahead_) read_ahead_->Stop();
    files_internal::ForgetReadFolder(container_ref_);
    // Nothing may keep pointing into entries that go with this iterator.
    if (!own_.empty() && position_ > 0 &&
        files_internal::LastDeliveredEntry(files_internal::RefOfEntry(own_[position_ - 1])) !=
            nullptr) {
      files_internal::SetLastDeliveredEntry(nullptr);
    }
  }

  // Reads every entry of the open folder `fd`, which it takes over. A read
  // that fails keeps the entries read before it and ends with the failure.
  // A walk that `needs` only folders has the worker read ahead.
  void ReadAll(int fd, FSIteratorNeeds needs);

  OSErr Next(ItemCount* actual_objects, FSCatalogInfo* info, FSRef* ref);

 private:
  // Reads the entries into own_; true when the folder was read to its end.
  bool ReadEntries(int fd);

  FSRef container_ref_{};
  RefLocation container_;
  std::optional<NodeIndex> container_node_;
  bool holds_contents_ = false;  // An entry is named "Contents", in any letter case.
  std::vector<files_internal::CachedEntry> own_;
  std::vector<char> names_;  // The names of own_'s entries.
  const std::vector<files_internal::CachedEntry>* entries_ = &own_;
  std::size_t position_ = 0;
  OSErr end_status_ = errFSNoMoreItems;  // Given once every entry was handed out.
  // Lets calls on this folder's entries name them relative to it.
  std::optional<files_internal::OpenFolderRegistration> registration_;
  std::shared_ptr<files_internal::ReadAhead> read_ahead_;
};

bool FSIterator::ReadEntries(int fd) {
  char* const buffer = DirentBuffer();
  if (buffer == nullptr) {
    end_status_ = memFullErr;
    return false;
  }
  for (;;) {
    const ssize_t count = getdents64(fd, buffer, kDirentBufferSize);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      end_status_ = OSErrFromErrno(errno);
      return false;
    }
    if (count == 0) return true;
    const auto end = static_cast<std::size_t>(count);
    for (std::size_t position = 0; position < end;) {
      const char* record = buffer + position;
      std::uint16_t record_length = 0;
      std::memcpy(&record_length, record + kDirentRecordLengthOffset, sizeof record_length);
      if (record_length <= kDirentNameOffset || record_length > end - position) {
        end_status_ = ioErr;
        return false;
      }
      position += record_length;
      const auto type = static_cast<unsigned char>(record[kDirentTypeOffset]);
      const char* name_start = record + kDirentNameOffset;
      const std::string_view name(name_start,
                                  strnlen(name_start, record_length - kDirentNameOffset));
      if (name == "." || name == "..") continue;
      if (name.size() == 8 && strncasecmp(name_start, "Contents", 8) == 0) holds_contents_ = true;

      const files_internal::EntryKind kind = files_internal::KindOfEntry(fd, name_start, type);
      if (kind == files_internal::EntryKind::kGone) continue;
      if (!container_node_) {
        container_node_ = files_internal::NodeOfLocation(container_);
        if (!container_node_) {
          end_status_ = memFullErr;
          return false;
        }
      }
      if (!files_internal::IsValidComponent(name)) continue;  // A name no reference can hold.
      files_internal::CachedEntry entry;
      entry.nodeFlags = kind == files_internal::EntryKind::kFolder ? kFSNodeIsDirectoryMask : 0;
      const bool stored = RanWithMemory([&] {
        if (name.size() > files_internal::kInlineNameCapacity) {
          // Too long for a child-form reference: the item gets its own node.
          const std::optional<NodeIndex> node =
              files_internal::NodeTable::Shared().Intern(*container_node_, name);
          if (!node) return;  // The entry is passed over.
          entry.node = *node;
        } else {
          entry.node = *container_node_;
          entry.name_offset = static_cast<std::uint32_t>(names_.size());
          entry.name_length = static_cast<std::uint8_t>(name.size());
          names_.insert(names_.end(), name.begin(), name.end());
        }
        own_.push_back(entry);
      });
      if (!stored) {
        end_status_ = memFullErr;
        return false;
      }
    }
  }
}

void FSIterator::ReadAll(int fd, FSIteratorNeeds needs) {
  const bool complete = ReadEntries(fd);
  // The names are where they stay now.
  for (files_internal::CachedEntry& entry : own_) {
    if (entry.name_length > 0) entry.name = names_.data() + entry.name_offset;
  }
  if (complete) files_internal::SetReadFolder(container_ref_, holds_contents_);
  if (complete && files_internal::ListingCacheActive()) {
    if (!container_node_) container_node_ = files_internal::NodeOfLocation(container_);
    if (container_node_) {
      if (const auto* kept = files_internal::RememberListing(*container_node_, own_, names_)) {
        entries_ = kept;
        // A remembered listing belongs to the cache, which outlives this
        // iterator.
        if (needs == FSIteratorNeeds::kFoldersOnly) {
          read_ahead_ = files_internal::ReadAhead::Start(
              fd, const_cast<std::vector<files_internal::CachedEntry>&>(*kept));
        }
      }
    }
  }
  if (entries_->empty() || !container_node_) {
    close(fd);
    return;
  }
  registration_.emplace(*container_node_, fd);
}

OSErr FSIterator::Next(ItemCount* actual_objects, FSCatalogInfo* info, FSRef* ref) {
  if (actual_objects != nullptr) *actual_objects = 0;
  if (position_ >= entries_->size()) return end_status_;
  if (read_ahead_) read_ahead_->Delivering(position_);
  // A remembered listing belongs to the cache, which outlives every iterator
  // on it.
  auto& entry = const_cast<files_internal::CachedEntry&>((*entries_)[position_++]);
  if (files_internal::ListingCacheActive()) files_internal::SetLastDeliveredEntry(&entry);
  if (ref != nullptr) *ref = files_internal::RefOfEntry(entry);
  if (info != nullptr) info->nodeFlags = entry.nodeFlags;
  if (actual_objects != nullptr) *actual_objects = 1;
  return noErr;
}

namespace files_internal {

bool VolumeCountsFolderLinks(int fd) {
  struct statfs volume {};
  if (fstatfs(fd, &volume) != 0) return false;
  switch (volume.f_type) {
    case EXT4_SUPER_MAGIC:  // Also ext2 and ext3.
    case XFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
      return true;
    default:
      // Others (btrfs, FUSE and network file systems) report 1, or 2
      // whatever the folder holds.
      return false;
  }
}

EntryKind KindOfEntry(int folder_fd, const char* name, unsigned char d_type) {
  if (d_type == DT_DIR) return EntryKind::kFolder;
  if (d_type != DT_UNKNOWN) return EntryKind::kOther;
  struct stat status {};
  if (fstatat(folder_fd, name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
    return S_ISDIR(status.st_mode) ? EntryKind::kFolder : EntryKind::kOther;
  }
  return errno == ENOENT ? EntryKind::kGone : EntryKind::kOther;
}

}  // namespace files_internal

namespace {

// The iterator of every folder known to hold no folder, for a walk that
// needs only folders: it delivers nothing and changes no state, so one
// serves all threads, and a walk allocates none for its leaves.
// Never destroyed, so iterators may end while static objects are destroyed.
FSIterator* NoFoldersIterator() {
  static FSIterator* const iterator =
      new FSIterator(new std::vector<files_internal::CachedEntry>());
  return iterator;
}

}  // namespace

void FSIteratorDeleter::operator()(FSIterator* iterator) const {
  if (iterator != NoFoldersIterator()) delete iterator;
}

namespace {

// open(2) of an absolute path of any length: one longer than the kernel
// takes (PATH_MAX) is opened a piece at a time, each piece relative to the
// folder the one before it opened.
int OpenByPath(const std::string& path, int flags) {
  if (path.size() < PATH_MAX) return open(path.c_str(), flags);
  int folder = AT_FDCWD;
  std::size_t start = 0;
  while (path.size() - start >= PATH_MAX) {
    const std::size_t cut = path.rfind('/', start + PATH_MAX - 2);
    if (cut == std::string::npos || cut <= start) {
      if (folder != AT_FDCWD) close(folder);
      errno = ENAMETOOLONG;
      return -1;
    }
    const std::string piece = path.substr(start, cut - start);
    const int next = openat(folder, piece.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int error = errno;
    if (folder != AT_FDCWD) close(folder);
    if (next < 0) {
      errno = error;
      return -1;
    }
    folder = next;
    start = cut + 1;
  }
  const int fd = openat(folder, path.c_str() + start, flags);
  const int error = errno;
  if (folder != AT_FDCWD) close(folder);
  errno = error;
  return fd;
}

// FSPathMakeRef inside a snapshot: the folder part is resolved once per
// folder, the item itself costs one lstat. None when the path needs the full
// resolution (its last component is a link, ".", ".." or empty).
std::optional<OSErr> MakeRefInSnapshot(std::string_view path, FSRef* ref, bool* isDirectory) {
  if (!files_internal::ListingCacheActive()) return std::nullopt;
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  const std::string_view folder_part = slash == std::string_view::npos ? std::string_view(".")
                                       : slash == 0                    ? std::string_view("/")
                                                                       : path.substr(0, slash);
  const files_internal::ResolvedFolder* folder = files_internal::RememberedFolder(folder_part);
  if (folder == nullptr) {
    std::unique_ptr<char, decltype(&std::free)> resolved(
        realpath(std::string(folder_part).c_str(), nullptr), &std::free);
    if (!resolved) return files_internal::MissingItemStatus(errno);
    std::string resolved_path = resolved.get();
    if (resolved_path != "/") resolved_path += '/';
    const std::optional<NodeIndex> node =
        files_internal::NodeTable::Shared().InternPath(resolved_path);
    if (!node) return memFullErr;
    kestrine_posix::FileDescriptor fd(open(resolved.get(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    files_internal::RememberFolder(folder_part, {*node, std::move(resolved_path), std::move(fd)});
    folder = files_internal::RememberedFolder(folder_part);
    if (folder == nullptr) return std::nullopt;
  }
  // Made in a buffer kept per thread: a selection may hold thousands of items.
  thread_local std::string tItem;
  std::string& item = tItem;
  item.assign(folder->path).append(name);
  struct stat status {};
  // By name in the open folder, the kernel walks one component instead of
  // the whole path; a path too long for it still fails as lstat fails.
  const int found = folder->fd.valid() && item.size() < PATH_MAX
                        ? fstatat(folder->fd.get(), item.c_str() + folder->path.size(), &status,
                                  AT_SYMLINK_NOFOLLOW)
                        : lstat(item.c_str(), &status);
  if (found != 0) return files_internal::MissingItemStatus(errno);
  if (S_ISLNK(status.st_mode)) return std::nullopt;
  const std::optional<FSRef> made = files_internal::MakeChildRef(folder->node, name);
  if (!made) return memFullErr;
  const std::uint16_t flags = S_ISDIR(status.st_mode) ? kFSNodeIsDirectoryMask : 0;
  if (name.size() <= files_internal::kInlineNameCapacity) {
    files_internal::RememberItem(folder->node, name, flags);
  } else if (const auto location = files_internal::DecodeRefView(*made)) {
    files_internal::RememberItem(location->node, {}, flags);
  }
  *ref = *made;
  if (isDirectory != nullptr) *isDirectory = S_ISDIR(status.st_mode);
  return noErr;
}

}  // namespace

OSErr FSPathMakeRef(std::string_view path, FSRef* ref, bool* isDirectory) {
  if (ref == nullptr || path.find('\0') != std::string_view::npos) return paramErr;
  if (path.empty()) return fnfErr;
  if (const std::optional<OSErr> status = MakeRefInSnapshot(path, ref, isDirectory)) return *status;
  const std::string request(path);
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(request.c_str(), nullptr),
                                                       &std::free);
  if (!resolved) return files_internal::MissingItemStatus(errno);
  const std::string_view absolute = resolved.get();

  bool is_directory = false;
  if (isDirectory != nullptr) {
    struct stat status {};
    if (lstat(resolved.get(), &status) != 0) return files_internal::MissingItemStatus(errno);
    is_directory = S_ISDIR(status.st_mode);
  }

  FSRef made{};
  if (absolute == "/") {
    made = files_internal::MakeNodeRef(files_internal::kRootNode);
  } else {
    const std::size_t slash = absolute.rfind('/');
    const std::optional<NodeIndex> parent =
        files_internal::NodeTable::Shared().InternPath(absolute.substr(0, slash + 1));
    if (!parent) return memFullErr;
    const std::optional<FSRef> child = files_internal::MakeChildRef(*parent, absolute.substr(slash + 1));
    if (!child) return memFullErr;
    made = *child;
  }
  *ref = made;
  if (isDirectory != nullptr) *isDirectory = is_directory;
  return noErr;
}

OSStatus FSRefMakePath(const FSRef& ref, char* path, std::size_t capacity) {
  if (path == nullptr) return paramErr;
  if (capacity == 0) return errFSBadBuffer;
  path[0] = '\0';
  const std::optional<files_internal::RefLocationView> location =
      files_internal::DecodeRefView(ref);
  if (!location) return paramErr;
  // Made in a buffer kept per thread, so a walk that asks for every
  // folder's path allocates nothing per folder.
  thread_local std::string tFull;
  std::string& full = tFull;
  full.clear();
  if (!files_internal::AppendPathOfLocation(*location, &full)) return paramErr;
  // An entry an iterator has just delivered, or one of a remembered listing,
  // is known to exist (as of that listing); any other item is looked up.
  if (files_internal::RememberedEntry(ref) == nullptr) {
    struct stat status {};
    const std::optional<int> folder =
        location->child_form ? files_internal::OpenFolderOfNode(location->node) : std::nullopt;
    // The path ends with the name, NUL-ended.
    const char* name = full.c_str() + full.size() - location->name.size();
    const int found = folder ? fstatat(*folder, name, &status, AT_SYMLINK_NOFOLLOW)
                             : lstat(full.c_str(), &status);
    if (found != 0) return files_internal::MissingItemStatus(errno);
  }
  if (full.size() >= capacity) return errFSBadBuffer;
  std::memcpy(path, full.c_str(), full.size() + 1);
  return noErr;
}

std::optional<std::string> FSRefCopyPathUnchecked(const FSRef& ref) {
  const std::optional<RefLocation> location = DecodeRef(ref);
  if (!location) return std::nullopt;
  return files_internal::PathOfLocation(*location);
}

OSErr FSGetCatalogInfo(const FSRef& ref, FSCatalogInfoBitmap whichInfo, FSCatalogInfo* info,
                       std::string* outName, FSRef* parentRef) {
  const std::optional<RefLocation> location = DecodeRef(ref);
  if (!location) return paramErr;
  const std::optional<std::string> path = files_internal::PathOfLocation(*location);
  if (!path) return paramErr;
  int error = 0;
  const std::optional<int> folder = files_internal::OpenFolderOfParent(*location);
  const std::optional<files_internal::ItemStatus> status =
      folder ? files_internal::StatItemAt(*folder, location->name, &error)
             : files_internal::StatItem(*path, &error);
  if (!status) return files_internal::MissingItemStatus(error);

  FSCatalogInfo filled;
  if (info != nullptr) filled = *info;
  if ((whichInfo & kFSCatInfoNodeFlags) != 0) {
    filled.nodeFlags = status->is_directory() ? kFSNodeIsDirectoryMask : 0;
  }
  if ((whichInfo & kFSCatInfoVolume) != 0 && info != nullptr) {
    const std::optional<FSVolumeRefNum> volume = files_internal::VolumeOfItem(*status, *path);
    if (!volume) return nsvErr;
    filled.volume = *volume;
  }
  std::optional<std::string> name;
  if (outName != nullptr) {
    name = files_internal::NameOfLocation(*location);
    if (!name) return paramErr;
  }
  std::optional<FSRef> parent;
  if (parentRef != nullptr) {
    parent = files_internal::ParentRefOfLocation(*location);
    if (!parent) return memFullErr;
  }
  if (info != nullptr) *info = filled;
  if (outName != nullptr) *outName = std::move(*name);
  if (parentRef != nullptr) *parentRef = *parent;
  return noErr;
}

std::optional<std::string> FSGetFileDirName(const FSRef& ref) {
  std::string name;
  if (FSGetCatalogInfo(ref, kFSCatInfoNone, nullptr, &name, nullptr) != noErr) return std::nullopt;
  return name;
}

std::optional<FSVolumeRefNum> FSGetVRefNum(const FSRef& ref) {
  FSCatalogInfo info;
  if (FSGetCatalogInfo(ref, kFSCatInfoVolume, &info, nullptr, nullptr) != noErr) return std::nullopt;
  return info.volume;
}

namespace {

// Whether the file system holding `name` in the open folder `folder_fd`
// counts a folder's links as ext4 does.
bool CountsFolderLinks(int folder_fd, const char* name) {
  const int fd = openat(folder_fd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  const bool counts = files_internal::VolumeCountsFolderLinks(fd);
  close(fd);
  return counts;
}

// Whether the folder at `location` is known to hold no folder: answered by
// its entry in a remembered listing, else by its link count, asked relative
// to its open parent. False whenever that cannot be known cheaply.
bool HoldsNoFolder(const FSRef& container, const RefLocation& location) {
  if (!files_internal::ListingCacheActive()) return false;
  files_internal::CachedEntry* entry = files_internal::RememberedEntry(container);
  if (entry != nullptr) {
    const std::int8_t known = files_internal::LoadHoldsFolders(*entry);
    if (known >= 0) return known == 0;
  }
  const std::optional<int> parent = files_internal::OpenFolderOfParent(location);
  if (!parent) return false;
  struct stat status {};
  bool none = fstatat(*parent, location.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
              S_ISDIR(status.st_mode) && status.st_nlink == 2;
  if (none) {
    std::optional<bool> counts = files_internal::DeviceCountsFolderLinks(status.st_dev);
    if (!counts) {
      counts = CountsFolderLinks(*parent, location.name.c_str());
      files_internal::RememberDeviceCountsFolderLinks(status.st_dev, *counts);
    }
    none = *counts;
  }
  if (entry != nullptr) files_internal::StoreHoldsFolders(*entry, none ? 0 : 1);
  return none;
}

}  // namespace

OSErr FSOpenIterator(const FSRef& container, FSIteratorRef* iterator, FSIteratorNeeds needs) {
  if (iterator == nullptr) return paramErr;
  iterator->reset();
  std::optional<RefLocation> location = DecodeRef(container);
  if (!location) return paramErr;
  if (needs == FSIteratorNeeds::kFoldersOnly && HoldsNoFolder(container, *location)) {
    iterator->reset(NoFoldersIterator());
    return noErr;
  }
  std::optional<NodeIndex> node;
  if (files_internal::ListingCacheActive()) {
    node = files_internal::NodeOfLocation(*location);
    if (node) {
      if (const auto* listing = files_internal::CachedListing(*node)) {
        FSIterator* replay = new (std::nothrow) FSIterator(listing);
        if (replay == nullptr) return memFullErr;
        iterator->reset(replay);
        return noErr;
      }
    }
  }
  const std::optional<int> folder = files_internal::OpenFolderOfParent(*location);
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = -1;
  if (folder) {
    fd = openat(*folder, location->name.c_str(), kFlags);
  } else {
    const std::optional<std::string> path = files_internal::PathOfLocation(*location);
    if (!path) return paramErr;
    fd = OpenByPath(*path, kFlags);
  }
  if (fd < 0) {
    // O_NOFOLLOW refuses a link with ELOOP: a link to a folder is no folder.
    if (errno == ELOOP) return dirNFErr;
    return OSErrFromErrno(errno);
  }
  FSIterator* made = new (std::nothrow) FSIterator(container, std::move(*location), node);
  if (made == nullptr) {
    close(fd);
    return memFullErr;
  }
  made->ReadAll(fd, needs);
  iterator->reset(made);
  return noErr;
}

OSErr FSGetCatalogInfoBulk(FSIterator& iterator, ItemCount* actualObjects, FSCatalogInfo* info,
                           FSRef* ref) {
  return iterator.Next(actualObjects, info, ref);
}

void FSCloseIterator(FSIteratorRef* iterator) {
  if (iterator != nullptr) iterator->reset();
}

std::string FSPathMakeRefProblem(OSErr status) {
  switch (status) {
    case fnfErr:
      return "no such file or folder";
    case afpAccessDenied:
      return "permission denied";
    case bdNamErr:
      return "name too long";
    default:
      return "cannot be used (" + StatusWords(status) + ")";
  }
}
