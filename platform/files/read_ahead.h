// Read-ahead of a folder walk on a second processor. Internal to the file
// services.
//
// A walk that needs only folders asks two things of every folder it meets
// that it has not read: whether it holds folders (a link count) and whether
// it is a package (a look for Contents/Info.plist). Those two system calls
// per folder are most of a walk's time. When a listing is read, the thread
// that reads it hands the listing to a worker, which answers both from the
// listing's end backwards while the walk goes on from its start: the walk
// still consumes the entries in order, and finds the answers kept with the
// entries, or asks itself for those the worker has not reached. Results go
// nowhere but into the listing's entries, so the memory stays what the walk
// uses anyway.
//
// The worker belongs to the thread's outermost ScopedFileSystemSnapshot and
// ends with it. It holds a descriptor for each listing it has yet to answer,
// at most five. On a single processor (as sched_getaffinity(2) counts them)
// there is no worker and the walk asks everything itself.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/files/open_folders.h"
#include "platform/posix/posix.h"

namespace files_internal {

// The package flags of the folder `name` of the open folder `folder_fd`,
// known to hold no folder, as Launch Services gives them: the package flag
// when it holds Contents/Info.plist. None when the name alone may decide it
// (a package or application extension): that needs a look of its own.
std::optional<std::int32_t> PackageFlagsOfLeafAt(int folder_fd, std::string_view name);

// Whether the file system of the open folder `fd` counts a folder's links
// as ext4 does: 2, plus one for each subfolder.
bool VolumeCountsFolderLinks(int fd);

// The answers the read-ahead keeps with an entry, read and written by the
// walk's thread and the worker alike.
inline std::int8_t LoadHoldsFolders(const CachedEntry& entry) {
  return std::atomic_ref<std::int8_t>(const_cast<std::int8_t&>(entry.holdsFolders))
      .load(std::memory_order_relaxed);
}
inline void StoreHoldsFolders(CachedEntry& entry, std::int8_t value) {
  std::atomic_ref<std::int8_t>(entry.holdsFolders).store(value, std::memory_order_relaxed);
}
inline std::int32_t LoadPackageFlags(const CachedEntry& entry) {
  return std::atomic_ref<std::int32_t>(const_cast<std::int32_t&>(entry.packageFlags))
      .load(std::memory_order_relaxed);
}
inline void StorePackageFlags(CachedEntry& entry, std::int32_t value) {
  std::atomic_ref<std::int32_t>(entry.packageFlags).store(value, std::memory_order_relaxed);
}

// The read-ahead of one remembered listing. The iterator that delivers the
// listing tells it each entry it delivers, so that the worker leaves those
// to the walk, and stops it when it ends; the worker may still finish the
// entry it is answering, which stays in the snapshot's memory.
class ReadAhead final {
 public:
  // Starts the read-ahead of `entries`, entries of the open folder `fd`
  // (not taken over), when this thread has a snapshot, more than one
  // processor and the listing holds enough folders to pay; null otherwise.
  static std::shared_ptr<ReadAhead> Start(int fd, std::vector<CachedEntry>& entries);
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The walk is about to deliver entry `index`: the worker leaves it and
  // every entry before it alone.
  void Delivering(std::size_t index) {
    std::uint64_t state = claims_.load(std::memory_order_relaxed);
    for (;;) {
      const std::uint64_t low = state & kLowMask;
      const std::uint64_t high = state >> 32;
      const std::uint64_t wanted =
          std::min<std::uint64_t>(std::max<std::uint64_t>(low, index + 1), high);
      if (wanted == low) return;
      if (claims_.compare_exchange_weak(state, (high << 32) | wanted, std::memory_order_relaxed)) {
        return;
      }
    }
  }
  // The walk is done with the listing: the worker takes no further entry.
  void Stop() { Delivering(entries_.size()); }

  // For the worker: the next entry to answer, from the end; none when the
  // walk has reached the worker.
  std::optional<std::size_t> ClaimFromEnd();
  // For the worker: answers entry `index`.
  void Answer(std::size_t index);
  // For the worker, once no entry is left to answer or the read-ahead is
  // given up: closes the descriptor it answers from.
  void CloseDescriptor() { fd_.Reset(); }

 private:
  ReadAhead(kestrine_posix::FileDescriptor fd, std::vector<CachedEntry>& entries, dev_t device);

  static constexpr std::uint64_t kLowMask = 0xffffffffu;
  kestrine_posix::FileDescriptor fd_;  // A duplicate of the folder's descriptor.
  std::vector<CachedEntry>& entries_;
  dev_t device_;  // The folder's volume, known to count folder links.
  // The walk's claim in the low half (entries below it are the walk's), the
  // worker's in the high half (entries from it on are the worker's).
  std::atomic<std::uint64_t> claims_;
};

// Ends this thread's worker, if it has one, after it stopped every
// read-ahead; called when the outermost snapshot ends.
void StopReadAhead();

}  // namespace files_internal
