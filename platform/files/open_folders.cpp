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
#include "platform/files/read_ahead.h"
#include "platform/memory_guard.h"

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
// slot holds the entry and 16 bits of its hash, kept apart so that a probe
// reads the entry only when those match: 10 bytes a slot, for a table that
// holds a million entries on a big tree. Throws std::bad_alloc when it
// cannot grow.
class EntryIndex final {
 public:
  void Put(CachedEntry* entry) {
    if ((count_ + 1) * 2 > slots_.size()) Grow();
    const FSRef ref = RefOfEntry(*entry);
    const std::uint64_t hash = HashOf(ref);
    const std::size_t at = Find(slots_, tags_, ref, hash);
    if (slots_[at] == nullptr) ++count_;
    slots_[at] = entry;
    tags_[at] = TagOf(hash);
  }
  CachedEntry* Get(const FSRef& ref) const {
    if (slots_.empty()) return nullptr;
    return slots_[Find(slots_, tags_, ref, HashOf(ref))];
  }
  void Clear() {
    std::vector<CachedEntry*>().swap(slots_);
    std::vector<std::uint16_t>().swap(tags_);
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
  // The slot bits come from the bottom of the hash, the tag from its top.
  static std::uint16_t TagOf(std::uint64_t hash) { return static_cast<std::uint16_t>(hash >> 48); }
  // The slot of `ref`, or the free slot where it belongs.
  static std::size_t Find(const std::vector<CachedEntry*>& slots,
                          const std::vector<std::uint16_t>& tags, const FSRef& ref,
                          std::uint64_t hash) {
    const std::size_t mask = slots.size() - 1;
    const std::uint16_t tag = TagOf(hash);
    std::size_t at = hash & mask;
    while (slots[at] != nullptr && (tags[at] != tag || !(RefOfEntry(*slots[at]) == ref))) {
      at = (at + 1) & mask;
    }
    return at;
  }
  void Grow() {
    const std::size_t size = slots_.empty() ? 1024 : slots_.size() * 2;
    std::vector<CachedEntry*> slots(size, nullptr);
    std::vector<std::uint16_t> tags(size, 0);
    for (CachedEntry* entry : slots_) {
      if (entry == nullptr) continue;
      const FSRef ref = RefOfEntry(*entry);
      const std::uint64_t hash = HashOf(ref);
      const std::size_t at = Find(slots, tags, ref, hash);
      slots[at] = entry;
      tags[at] = TagOf(hash);
    }
    slots_.swap(slots);
    tags_.swap(tags);
  }

  std::vector<CachedEntry*> slots_;
  std::vector<std::uint16_t> tags_;
  std::size_t count_ = 0;
};

// A remembered listing: its entries and the names they point into.
struct Listing {
  std::vector<CachedEntry> entries;
  std::vector<char> names;
  // Just past the entry last found here: a walk asks for the entries of a
  // folder in their order, so the next one is found at or after it.
  std::size_t cursor = 0;
};

// An item FSPathMakeRef found, with its name.
struct Item {
  CachedEntry entry;
  char name[kInlineNameCapacity];
};

struct ListingCache {
  int scopes = 0;
  std::unordered_map<NodeIndex, Listing> listings;
  std::deque<Item> items;      // A deque keeps them in place.
  std::size_t itemCursor = 0;  // As Listing::cursor, for the items.
  // Every remembered entry by its reference, made only once a lookup asks
  // out of order: walks ask in order, and an index of a million entries
  // costs more than the walk's own work.
  EntryIndex byRef;
  enum class IndexState { kNone, kMade, kFailed } indexState = IndexState::kNone;
  // Looked up by a view of the path, without making a string of it.
  struct PathHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view path) const {
      return std::hash<std::string_view>()(path);
    }
  };
  std::unordered_map<std::string, ResolvedFolder, PathHash, std::equal_to<>> folders;
  std::size_t folderDescriptors = 0;  // Of the folders above.
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
  using Remembered = std::optional<const std::vector<CachedEntry>*>;
  const Remembered remembered = GuardMemory(Remembered(), [&]() -> Remembered {
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
    if (tListings.indexState == ListingCache::IndexState::kMade) {
      for (CachedEntry& entry : listing.entries) tListings.byRef.Put(&entry);
    }
    return &listing.entries;
  });
  if (remembered) return *remembered;
  // Unremembered, the folder is read again when asked for. An entry left out
  // of the index is looked up on the file system instead.
  const auto it = tListings.listings.find(node);
  return it == tListings.listings.end() ? nullptr : &it->second.entries;
}

void RememberItem(NodeIndex node, std::string_view name, std::uint16_t nodeFlags) {
  if (tListings.scopes == 0) return;
  // Unremembered, the item is looked up again when asked for.
  RanWithMemory([&] {
    Item& item = tListings.items.emplace_back();
    item.entry.node = node;
    item.entry.nodeFlags = nodeFlags;
    if (!name.empty()) {
      std::memcpy(item.name, name.data(), name.size());
      item.entry.name = item.name;
      item.entry.name_length = static_cast<std::uint8_t>(name.size());
    }
    if (tListings.indexState == ListingCache::IndexState::kMade) tListings.byRef.Put(&item.entry);
  });
}

const ResolvedFolder* RememberedFolder(std::string_view path) {
  if (tListings.scopes == 0) return nullptr;
  const auto it = tListings.folders.find(path);
  return it == tListings.folders.end() ? nullptr : &it->second;
}

void RememberFolder(std::string_view path, ResolvedFolder folder) {
  if (tListings.scopes == 0) return;
  if (folder.fd.valid()) {
    if (tListings.folderDescriptors >= kMaxOpenFolders) {
      folder.fd.Reset();
    } else {
      ++tListings.folderDescriptors;
    }
  }
  RanWithMemory([&] {
    tListings.folders.insert_or_assign(std::string(path), std::move(folder));
  });
}

std::optional<bool> DeviceCountsFolderLinks(dev_t device) {
  for (const auto& [known, counts] : tListings.devices) {
    if (known == device) return counts;
  }
  return std::nullopt;
}

void RememberDeviceCountsFolderLinks(dev_t device, bool counts) {
  if (tListings.scopes == 0) return;
  // Unremembered, the file system is asked again.
  RanWithMemory([&] {
    tListings.devices.emplace_back(device, counts);
  });
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

namespace {

// Most entries searched one by one before `cursor` when a lookup comes out
// of order; past that, the index is made.
constexpr std::size_t kScanBeforeCursor = 64;

// The entry `ref` among `entries` at or after `cursor`, or anywhere in a few
// entries, and then moves the cursor past it; null when it is not found so.
template <typename Entries, typename EntryOf>
CachedEntry* FindFromCursor(Entries& entries, std::size_t& cursor, const FSRef& ref,
                            EntryOf entryOf) {
  const std::size_t start = entries.size() <= kScanBeforeCursor ? 0 : cursor;
  for (std::size_t step = 0; step < entries.size() - start; ++step) {
    // From the cursor to the end, then from the start when that is allowed.
    std::size_t at = cursor + step;
    if (at >= entries.size()) at -= entries.size() - start;
    CachedEntry& entry = entryOf(entries[at]);
    if (RefOfEntry(entry) == ref) {
      cursor = at + 1;
      return &entry;
    }
  }
  return nullptr;
}

// Indexes every remembered entry; false when memory runs out, and then for
// good, as the entries are looked up on the file system instead.
bool MakeIndex() {
  if (tListings.indexState == ListingCache::IndexState::kNone) {
    const bool made = RanWithMemory([&] {
      for (auto& [node, listing] : tListings.listings) {
        for (CachedEntry& entry : listing.entries) tListings.byRef.Put(&entry);
      }
      for (Item& item : tListings.items) tListings.byRef.Put(&item.entry);
      tListings.indexState = ListingCache::IndexState::kMade;
    });
    if (!made) {
      tListings.byRef.Clear();
      tListings.indexState = ListingCache::IndexState::kFailed;
    }
  }
  return tListings.indexState == ListingCache::IndexState::kMade;
}

}  // namespace

CachedEntry* RememberedEntry(const FSRef& ref) {
  if (CachedEntry* entry = LastDeliveredEntry(ref)) return entry;
  if (tListings.scopes == 0) return nullptr;
  if (tListings.indexState == ListingCache::IndexState::kMade) return tListings.byRef.Get(ref);
  // The items of a selection are asked for in their order: the next one is
  // found without decoding the reference.
  if (tListings.itemCursor < tListings.items.size()) {
    CachedEntry& next = tListings.items[tListings.itemCursor].entry;
    if (RefOfEntry(next) == ref) {
      ++tListings.itemCursor;
      return &next;
    }
  }
  const std::optional<RefLocationView> location = DecodeRefView(ref);
  if (!location) return nullptr;
  std::optional<NodeIndex> parent = location->node;
  if (!location->child_form) {
    parent =
        location->node == kRootNode ? std::nullopt : NodeTable::Shared().Parent(location->node);
  }
  const auto listing = parent ? tListings.listings.find(*parent) : tListings.listings.end();
  if (listing == tListings.listings.end() && tListings.items.empty()) return nullptr;
  if (listing != tListings.listings.end()) {
    if (CachedEntry* entry = FindFromCursor(listing->second.entries, listing->second.cursor, ref,
                                            [](CachedEntry& e) -> CachedEntry& { return e; })) {
      return entry;
    }
  }
  if (CachedEntry* entry = FindFromCursor(tListings.items, tListings.itemCursor, ref,
                                          [](Item& item) -> CachedEntry& { return item.entry; })) {
    return entry;
  }
  // Asked out of order, or for an item not remembered.
  return MakeIndex() ? tListings.byRef.Get(ref) : nullptr;
}

OpenFolderRegistration::OpenFolderRegistration(NodeIndex node, int fd) : id_(tNextOpenFolderId++) {
  const bool registered = RanWithMemory([&] {
    if (tOpenFolders.size() >= kMaxOpenFolders) {
      close(tOpenFolders.front().fd);
      tOpenFolders.erase(tOpenFolders.begin());
    }
    tOpenFolders.push_back({node, fd, id_});
  });
  // Unregistered, the folder's entries are named by path.
  if (!registered) close(fd);
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
    files_internal::StopReadAhead();
    files_internal::tLastDelivered = nullptr;
    files_internal::tListings.byRef.Clear();
    files_internal::tListings.indexState = files_internal::ListingCache::IndexState::kNone;
    files_internal::tListings.itemCursor = 0;
    files_internal::tListings.listings.clear();
    files_internal::tListings.items.clear();
    files_internal::tListings.folders.clear();
    files_internal::tListings.folderDescriptors = 0;
    files_internal::tListings.devices.clear();
  }
}
