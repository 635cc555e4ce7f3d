#include "platform/files/open_folders.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/files/files.h"

namespace files_internal {

namespace {

// The open folders of this thread, the latest last; a walk registers its
// levels in order, so the search from the back finds the parent at once.
struct OpenFolder {
  NodeIndex node;
  int fd;
  std::uint64_t id;
};
thread_local std::vector<OpenFolder> tOpenFolders;
thread_local std::uint64_t tNextOpenFolderId = 0;

// Remembered entries by a hash of their references: an open-addressing
// table, as a walk adds every folder it meets and looks each up again. A
// slot holds only the entry, whose reference is made again to compare it:
// 8 bytes a slot, for a table that holds a million entries on a big tree.
// Throws std::bad_alloc when it cannot grow.
class EntryIndex final {
 public:
  void Put(CachedEntry* entry) {
    if ((count_ + 1) * 2 > slots_.size()) Grow();
    CachedEntry*& slot = FindSlot(slots_, RefOfEntry(*entry));
    if (slot == nullptr) ++count_;
    slot = entry;
  }
  CachedEntry* Get(const FSRef& ref) const {
    if (slots_.empty()) return nullptr;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = HashOf(ref) & mask;; at = (at + 1) & mask) {
      if (slots_[at] == nullptr) return nullptr;
      if (RefOfEntry(*slots_[at]) == ref) return slots_[at];
    }
  }
  void Clear() {
    std::vector<CachedEntry*>().swap(slots_);
    count_ = 0;
  }

 private:
  static std::uint64_t HashOf(const FSRef& ref) {
    // A word at a time: a walk hashes every folder's reference several times.
    static_assert(sizeof ref.hidden % sizeof(std::uint64_t) == 0);
    std::uint64_t hash = 14695981039346656037ull;
    for (std::size_t at = 0; at < sizeof ref.hidden; at += sizeof(std::uint64_t)) {
      std::uint64_t word = 0;
      std::memcpy(&word, ref.hidden + at, sizeof word);
      hash = (hash ^ word) * 0x9E3779B97F4A7C15ull;
      hash ^= hash >> 29;
    }
    return hash;
  }
  static CachedEntry*& FindSlot(std::vector<CachedEntry*>& slots, const FSRef& ref) {
    const std::size_t mask = slots.size() - 1;
    std::size_t at = HashOf(ref) & mask;
    while (slots[at] != nullptr && !(RefOfEntry(*slots[at]) == ref)) at = (at + 1) & mask;
    return slots[at];
  }
  void Grow() {
    std::vector<CachedEntry*> bigger(slots_.empty() ? 1024 : slots_.size() * 2, nullptr);
    for (CachedEntry* entry : slots_) {
      if (entry != nullptr) FindSlot(bigger, RefOfEntry(*entry)) = entry;
    }
    slots_.swap(bigger);
  }

  std::vector<CachedEntry*> slots_;
  std::size_t count_ = 0;
};

// A remembered listing: its entries and the names they point into.
struct Listing {
  std::vector<CachedEntry> entries;
  std::vector<char> names;
};

// An item FSPathMakeRef found, with its name.
struct Item {
  CachedEntry entry;
  char name[kInlineNameCapacity];
};

struct ListingCache {
  int scopes = 0;
  std::unordered_map<NodeIndex, Listing> listings;
  EntryIndex byRef;
  std::deque<Item> items;  // A deque keeps them in place.
  std::unordered_map<std::string, ResolvedFolder> folders;
  std::vector<std::pair<dev_t, bool>> devices;  // A walk meets few.
};
thread_local ListingCache tListings;
thread_local CachedEntry* tLastDelivered = nullptr;

struct ReadFolder {
  bool valid = false;
  FSRef folder{};
  bool holdsContents = false;
};
thread_local ReadFolder tReadFolder;

}  // namespace

FSRef RefOfEntry(const CachedEntry& entry) {
  return RefFromParts(entry.node, std::string_view(entry.name, entry.name_length));
}

const std::vector<CachedEntry>* CachedListing(NodeIndex node) {
  if (tListings.scopes == 0) return nullptr;
  const auto it = tListings.listings.find(node);
  return it == tListings.listings.end() ? nullptr : &it->second.entries;
}

bool ListingCacheActive() { return tListings.scopes > 0; }

const std::vector<CachedEntry>* RememberListing(NodeIndex node, std::vector<CachedEntry>& entries,
                                                std::vector<char>& names) {
  if (tListings.scopes == 0) return nullptr;
  try {
    // A listing, once remembered, stays as it is: the index points into it.
    auto [it, added] = tListings.listings.try_emplace(node);
    if (!added) return &it->second.entries;
    Listing& listing = it->second;
    listing.entries.swap(entries);
    listing.names.swap(names);
    listing.entries.shrink_to_fit();
    if (listing.names.capacity() > listing.names.size()) {
      // A smaller buffer moves the names: the entries follow them.
      std::vector<char> exact(listing.names.begin(), listing.names.end());
      listing.names.swap(exact);
      for (CachedEntry& entry : listing.entries) {
        if (entry.name_length > 0) entry.name = listing.names.data() + entry.name_offset;
      }
    }
    for (CachedEntry& entry : listing.entries) tListings.byRef.Put(&entry);
    return &listing.entries;
  } catch (const std::bad_alloc&) {
    // Unremembered, the folder is read again when asked for. An entry left
    // out of the index is looked up on the file system instead.
    const auto it = tListings.listings.find(node);
    return it == tListings.listings.end() ? nullptr : &it->second.entries;
  }
}

void RememberItem(const FSRef& ref, std::uint16_t nodeFlags) {
  if (tListings.scopes == 0) return;
  const std::optional<RefLocationView> location = DecodeRefView(ref);
  if (!location) return;
  try {
    Item& item = tListings.items.emplace_back();
    item.entry.node = location->node;
    item.entry.nodeFlags = nodeFlags;
    if (location->child_form) {
      std::memcpy(item.name, location->name.data(), location->name.size());
      item.entry.name = item.name;
      item.entry.name_length = static_cast<std::uint8_t>(location->name.size());
    }
    tListings.byRef.Put(&item.entry);
  } catch (const std::bad_alloc&) {
    // Unremembered, the item is looked up again when asked for.
  }
}

const ResolvedFolder* RememberedFolder(const std::string& path) {
  if (tListings.scopes == 0) return nullptr;
  const auto it = tListings.folders.find(path);
  return it == tListings.folders.end() ? nullptr : &it->second;
}

void RememberFolder(const std::string& path, ResolvedFolder folder) {
  if (tListings.scopes == 0) return;
  try {
    tListings.folders.insert_or_assign(path, std::move(folder));
  } catch (const std::bad_alloc&) {
  }
}

std::optional<bool> DeviceCountsFolderLinks(dev_t device) {
  for (const auto& [known, counts] : tListings.devices) {
    if (known == device) return counts;
  }
  return std::nullopt;
}

void RememberDeviceCountsFolderLinks(dev_t device, bool counts) {
  if (tListings.scopes == 0) return;
  try {
    tListings.devices.emplace_back(device, counts);
  } catch (const std::bad_alloc&) {
    // Unremembered, the file system is asked again.
  }
}

void SetReadFolder(const FSRef& folder, bool holdsContents) {
  tReadFolder = {true, folder, holdsContents};
}

void ForgetReadFolder(const FSRef& folder) {
  if (tReadFolder.valid && tReadFolder.folder == folder) tReadFolder.valid = false;
}

std::optional<bool> ReadFolderHoldsContents(const FSRef& folder) {
  if (!tReadFolder.valid || !(tReadFolder.folder == folder)) return std::nullopt;
  return tReadFolder.holdsContents;
}

void SetLastDeliveredEntry(CachedEntry* entry) { tLastDelivered = entry; }

CachedEntry* LastDeliveredEntry(const FSRef& ref) {
  return tLastDelivered != nullptr && RefOfEntry(*tLastDelivered) == ref ? tLastDelivered : nullptr;
}

CachedEntry* RememberedEntry(const FSRef& ref) {
  if (CachedEntry* entry = LastDeliveredEntry(ref)) return entry;
  if (tListings.scopes == 0) return nullptr;
  return tListings.byRef.Get(ref);
}

OpenFolderRegistration::OpenFolderRegistration(NodeIndex node, int fd) : id_(tNextOpenFolderId++) {
  try {
    if (tOpenFolders.size() >= kMaxOpenFolders) {
      close(tOpenFolders.front().fd);
      tOpenFolders.erase(tOpenFolders.begin());
    }
    tOpenFolders.push_back({node, fd, id_});
  } catch (const std::bad_alloc&) {
    // Unregistered, the folder's entries are named by path.
    close(fd);
  }
}

OpenFolderRegistration::~OpenFolderRegistration() {
  const auto it = std::find_if(tOpenFolders.rbegin(), tOpenFolders.rend(),
                               [this](const OpenFolder& open) { return open.id == id_; });
  if (it == tOpenFolders.rend()) return;
  close(it->fd);
  tOpenFolders.erase(std::next(it).base());
}

std::optional<int> OpenFolderOfParent(const RefLocation& location) {
  if (!location.child_form()) return std::nullopt;
  return OpenFolderOfNode(location.node);
}

std::optional<int> OpenFolderOfNode(NodeIndex node) {
  for (auto it = tOpenFolders.rbegin(); it != tOpenFolders.rend(); ++it) {
    if (it->node == node) return it->fd;
  }
  return std::nullopt;
}

}  // namespace files_internal

ScopedFileSystemSnapshot::ScopedFileSystemSnapshot() { ++files_internal::tListings.scopes; }

ScopedFileSystemSnapshot::~ScopedFileSystemSnapshot() {
  if (--files_internal::tListings.scopes == 0) {
    files_internal::tLastDelivered = nullptr;
    files_internal::tListings.byRef.Clear();
    files_internal::tListings.listings.clear();
    files_internal::tListings.items.clear();
    files_internal::tListings.folders.clear();
    files_internal::tListings.devices.clear();
  }
}
