// File references and the file-system calls made on them.
//
// An FSRef is an 80-byte value that names one file-system object (file,
// folder, link, or volume root). It is copied freely and compared bytewise.
// Behind it stands a process-wide table of nodes, each a parent link and a
// name, so a reference gives its path back without searching the file system
// and costs a few bytes per distinct item however often it is copied. Nodes
// are interned: the same location always yields the same reference bytes.
// An item whose name is short holds its parent's node and its own name in
// its reference, and so costs the table nothing until it is a parent itself;
// only folders whose entries were fetched, the folders on the way to a made
// reference, and items with long names become nodes.
//
// A reference names a location, resolved when it is made. Operations that
// need the item check that it still exists and fail with fnfErr when it was
// deleted since; none of them crashes on a stale or zeroed reference (a
// zeroed or foreign FSRef fails with paramErr).
//
// Names and paths are bytes as Linux stores them; they are not necessarily
// valid UTF-8. Callers that need text check it.
//
// Every function here is safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/MacTypes.h"

struct FSRef {
  std::uint8_t hidden[80];
  // One memcmp: a walk compares references several times per entry, and the
  // defaulted comparison goes a byte at a time.
  friend bool operator==(const FSRef& a, const FSRef& b) {
    return std::memcmp(a.hidden, b.hidden, sizeof a.hidden) == 0;
  }
};
static_assert(sizeof(FSRef) == 80);

// Identifies a mounted volume: the kernel's mount ID.
using FSVolumeRefNum = std::int32_t;

// Bits of FSCatalogInfo::nodeFlags.
constexpr std::uint16_t kFSNodeIsDirectoryMask = 0x0010;

// What FSGetCatalogInfo is asked to fill.
using FSCatalogInfoBitmap = std::uint32_t;
constexpr FSCatalogInfoBitmap kFSCatInfoNone = 0;
constexpr FSCatalogInfoBitmap kFSCatInfoNodeFlags = 0x00000002;
constexpr FSCatalogInfoBitmap kFSCatInfoVolume = 0x00000004;

struct FSCatalogInfo {
  std::uint16_t nodeFlags = 0;
  FSVolumeRefNum volume = 0;
};

// Makes a reference to the item at `path` (absolute, or relative to the
// current folder). The path is resolved as realpath(3) does: symbolic links
// are followed, "." and ".." removed. When `isDirectory` is given it receives
// whether the item is a folder. Returns noErr, or fnfErr when the path names
// nothing (a missing item, a dangling link, a loop of links, a file used as
// a folder, or the empty path), afpAccessDenied when a folder on the way may
// not be searched, bdNamErr when the path or a name is too long, paramErr
// for a null `ref` or a path holding a NUL; `ref` is untouched on failure.
OSErr FSPathMakeRef(std::string_view path, FSRef* ref, bool* isDirectory = nullptr);

// Writes the item's absolute path, NUL-ended, into `path`: no trailing slash,
// "/" for the root. Fails with errFSBadBuffer when the path and its NUL do not
// fit in `capacity` bytes, fnfErr when the item no longer exists, paramErr for
// a bad reference or a null buffer; on failure the buffer holds "" when
// capacity is at least 1. The item is checked with one lstat(2); a path that
// is too long for the kernel (PATH_MAX) fails with bdNamErr.
OSStatus FSRefMakePath(const FSRef& ref, char* path, std::size_t capacity);

// The same path as a string, without checking that the item still exists.
// Returns none only for a bad reference. For internal use by the platform and
// for diagnostics; callers that must fail on deleted items use FSRefMakePath.
std::optional<std::string> FSRefCopyPathUnchecked(const FSRef& ref);

// Fills the parts of `info` asked for in `whichInfo`, the item's name (the
// last path component; "/" for the root) into `outName` and the reference of
// its parent folder (the root is its own parent) into `parentRef`. Each
// output may be null; fields of `info` not asked for are left as they are.
// Returns noErr, fnfErr for a deleted item, paramErr for a bad reference,
// nsvErr when the volume is asked for and cannot be found; the outputs are
// untouched on failure. Links are not followed: a link to a folder is not a
// folder.
OSErr FSGetCatalogInfo(const FSRef& ref, FSCatalogInfoBitmap whichInfo, FSCatalogInfo* info,
                       std::string* outName, FSRef* parentRef);

// The item's name as the file system stores it; none when FSGetCatalogInfo
// fails.
std::optional<std::string> FSGetFileDirName(const FSRef& ref);

// The volume that holds the item; none when FSGetCatalogInfo fails. The
// number is the mount ID (statx(2) STATX_MNT_ID, else found in the mount
// table by device number and the longest mount point holding the path).
std::optional<FSVolumeRefNum> FSGetVRefNum(const FSRef& ref);

// A flat iterator over one folder's entries, read whole when it is opened.
// Owned by the caller. It keeps the folder's descriptor (to reach its entries
// relative to it) only while it is among the 16 latest iterators of its
// thread, so a thread holds a bounded number of descriptors however many
// iterators it keeps, as a deep walk does.
class FSIterator;
struct FSIteratorDeleter {
  void operator()(FSIterator* iterator) const;
};
using FSIteratorRef = std::unique_ptr<FSIterator, FSIteratorDeleter>;

// What the caller of FSOpenIterator needs of the folder's entries.
enum class FSIteratorNeeds {
  kAllEntries,
  // Only the folders among them. Under a ScopedFileSystemSnapshot, a folder
  // whose parent this thread is iterating, and that the file system says
  // holds no folder (a link count of 2 on ext2/3/4, XFS or tmpfs, which count
  // each subfolder's ".." as a link), is not read: its iterator delivers
  // nothing, not even its files. That costs one fstatat(2) instead of
  // reading the folder; the answer is kept with the folder's entry in its
  // parent's listing, so a second walk asks nothing. With more than one
  // processor, a worker thread of the snapshot asks it, and whether the
  // folder is a package, for the folders of a listing from its end while
  // the walk goes on from its start.
  kFoldersOnly,
};

// Opens a flat iterator on `container` and reads its entries. Returns noErr,
// fnfErr when it is gone, dirNFErr when it is not a folder (a link to a
// folder is not opened), afpAccessDenied when it may not be read, tmfoErr
// when no descriptor is left, paramErr for a bad reference or a null
// `iterator`. Paths longer than PATH_MAX are opened too. `*iterator` is null
// on failure.
OSErr FSOpenIterator(const FSRef& container, FSIteratorRef* iterator,
                     FSIteratorNeeds needs = FSIteratorNeeds::kAllEntries);

// Fetches the next entry ("." and ".." are skipped) into `info` (node flags
// only) and `ref`, and sets `actualObjects` to 1, or to 0 with the status
// errFSNoMoreItems at the end. The entry's kind comes from the directory entry
// when the file system reports it, otherwise from lstat(2); a symbolic link is
// never a folder. Entries come in the file system's order. Read errors are
// mapped as FSOpenIterator's (access denied: afpAccessDenied): a folder
// whose reading failed hands out the entries read before the failure, then
// returns it. Each output may be null. An entry deleted before its kind
// could be learnt is skipped. Once the end is reached, further calls return
// the same status.
OSErr FSGetCatalogInfoBulk(FSIterator& iterator, ItemCount* actualObjects, FSCatalogInfo* info,
                           FSRef* ref);

// Closes the iterator and sets it to null.
void FSCloseIterator(FSIteratorRef* iterator);

// While one lives on a thread, what the thread learns of the file system is
// remembered and used again instead of asking the file system:
// - every folder the thread reads to its end, with its entries and what the
//   file manager learns of them (whether each is a package): an iterator
//   opened on such a folder again replays the entries, so a walk in two
//   passes reads each folder once;
// - the folders FSPathMakeRef resolves, so the items of one folder cost one
//   lstat(2) each, and the items it finds.
// Remembered items are known to exist: FSRefMakePath gives their paths
// without looking again. So the scope is meant for one command over one
// selection, no longer: what changes meanwhile goes unseen, and an item
// removed since still gives its path. A folder whose reading failed is not
// remembered. Scopes nest; the memory is freed when the outermost ends.
class ScopedFileSystemSnapshot final {
 public:
  ScopedFileSystemSnapshot();
  ~ScopedFileSystemSnapshot();
  ScopedFileSystemSnapshot(const ScopedFileSystemSnapshot&) = delete;
  ScopedFileSystemSnapshot& operator=(const ScopedFileSystemSnapshot&) = delete;
};

// Why FSPathMakeRef failed with `status`, in words for a message about the
// path: "no such file or folder", "permission denied", "name too long", or
// "cannot be used (<StatusWords>)".
std::string FSPathMakeRefProblem(OSErr status);
