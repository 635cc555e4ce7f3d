// The folders this thread is iterating, so that calls on their entries can
// name an entry relative to its open folder instead of walking the whole
// path again. Internal to the file services.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files/node_table.h"
#include "platform/posix/posix.h"

namespace files_internal {

// Most descriptors of open folders a thread keeps for naming entries
// relative to them.
constexpr std::size_t kMaxOpenFolders = 16;

// Makes `fd`, an open folder whose node is `node`, known to this thread
// until the object goes away, and takes the descriptor over. A thread keeps
// at most kMaxOpenFolders of them: registering one more closes the oldest
// (which is then no longer found, and its entries are named by path), so a
// deep walk holds a bounded number of descriptors.
class OpenFolderRegistration final {
 public:
  OpenFolderRegistration(NodeIndex node, int fd);
  // Closes the descriptor unless it was closed to make room.
  ~OpenFolderRegistration();
  OpenFolderRegistration(const OpenFolderRegistration&) = delete;
  OpenFolderRegistration& operator=(const OpenFolderRegistration&) = delete;

 private:
  std::uint64_t id_;
};

// One entry of a folder listing, with what was learnt of it. The entry's
// reference is kept as its parts, the name in the listing's own buffer, so
// an entry costs 24 bytes and its name rather than a whole reference: a
// walk keeps one for every folder it meets.
struct CachedEntry {
  // The name in child form, in the buffer of the listing; null in node form.
  const char* name = nullptr;
  // The parent's node in child form, the item's own in node form.
  NodeIndex node = kRootNode;
  // Where the name is in the listing's buffer, while the listing is read.
  std::uint32_t name_offset = 0;
  std::int32_t packageFlags = -1;  // Launch Services' package flags; -1 until asked.
  std::uint16_t nodeFlags = 0;
  std::uint8_t name_length = 0;  // 0 in node form.
  // For a folder: whether it holds folders; -1 until asked, 0 when its link
  // count says it holds none, 1 otherwise (it may).
  std::int8_t holdsFolders = -1;
};
static_assert(sizeof(CachedEntry) == 24);

// The reference of `entry`.
FSRef RefOfEntry(const CachedEntry& entry);

// Records that this thread's iterator on `folder` has just read it to its
// end, and whether it holds an entry named "Contents" (in any letter case),
// so that the package test of that folder needs no further look while the
// iterator lives. `ForgetReadFolder` drops the record when it is `folder`'s.
void SetReadFolder(const FSRef& folder, bool holdsContents);
void ForgetReadFolder(const FSRef& folder);

// Whether `folder`, read to its end by a live iterator of this thread, holds
// an entry named "Contents"; none when that is not known.
std::optional<bool> ReadFolderHoldsContents(const FSRef& folder);

// The listing of the folder `node` remembered by this thread's
// ScopedFileSystemSnapshot; null when there is none.
const std::vector<CachedEntry>* CachedListing(NodeIndex node);

// Whether this thread has a ScopedFileSystemSnapshot.
bool ListingCacheActive();

// Remembers `entries`, whose names are in `names`, as the complete listing
// of `node`, when a cache is active, taking both over. Returns the
// remembered listing (an earlier one when the folder was remembered
// already), or null when none is kept; then both are left as they were.
const std::vector<CachedEntry>* RememberListing(NodeIndex node, std::vector<CachedEntry>& entries,
                                                std::vector<char>& names);

// Records the entry an iterator of this thread has just delivered (null:
// none), so that what is learnt of it next can be kept with it.
void SetLastDeliveredEntry(CachedEntry* entry);

// Keeps the item of the node flags `nodeFlags` as known to exist, found
// outside any listing. Its reference's parts: the parent `node` and its
// `name` in child form (at most kInlineNameCapacity bytes), the item's own
// `node` and an empty name in node form.
void RememberItem(NodeIndex node, std::string_view name, std::uint16_t nodeFlags);

// The node of the folder `path` (as FSPathMakeRef was given it) remembered by
// this thread's snapshot, with its resolved path and, for the first
// kMaxOpenFolders folders remembered, a descriptor (O_PATH) of it, so that
// its items are looked up by name alone; none when not remembered.
struct ResolvedFolder {
  NodeIndex node;
  std::string path;
  kestrine_posix::FileDescriptor fd;
};
const ResolvedFolder* RememberedFolder(std::string_view path);
void RememberFolder(std::string_view path, ResolvedFolder folder);

// Whether the file system of device `device` counts a folder's links so that
// a folder holding no folder has exactly 2 (ext2/3/4, XFS, tmpfs), as this
// thread's snapshot remembers it; none when not remembered, or without a
// snapshot. Device numbers are reused once a volume is unmounted, so the
// answers last only as long as the snapshot.
std::optional<bool> DeviceCountsFolderLinks(dev_t device);
void RememberDeviceCountsFolderLinks(dev_t device, bool counts);

// The last delivered entry when it is `ref`; null otherwise.
CachedEntry* LastDeliveredEntry(const FSRef& ref);

// The entry `ref` as this thread's cache remembers it: the one an iterator
// has just delivered, or one of a remembered listing. Null when none.
CachedEntry* RememberedEntry(const FSRef& ref);

// The descriptor of the open folder that holds a child-form location, when
// this thread is iterating that folder; `location.name` is then the item's
// path relative to it. None otherwise: use the absolute path.
std::optional<int> OpenFolderOfParent(const RefLocation& location);

// The descriptor of the folder `node` when this thread is iterating it.
std::optional<int> OpenFolderOfNode(NodeIndex node);

}  // namespace files_internal
