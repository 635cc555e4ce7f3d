#include "platform/files/node_table.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <new>

#include "platform/memory_guard.h"

namespace files_internal {
namespace {

constexpr std::size_t kNodeChunkBits = 13;  // 8192 nodes, 64 KiB a chunk.
constexpr std::size_t kNodeChunkSize = std::size_t{1} << kNodeChunkBits;
constexpr std::size_t kNameChunkSize = 64 * 1024;
constexpr std::size_t kInitialSlots = 1024;
constexpr std::size_t kMaxNodes = std::numeric_limits<std::uint32_t>::max() - 1;

// Reference layout: magic, node index, name length, name, zero padding.
constexpr char kRefMagic[4] = {'K', 's', 'R', '1'};
constexpr std::size_t kNodeOffset = 4;
constexpr std::size_t kLengthOffset = 8;
constexpr std::size_t kNameOffset = 9;
static_assert(kNameOffset + kInlineNameCapacity == sizeof(FSRef));

std::uint32_t HashOf(NodeIndex parent, std::string_view name) {
  std::uint32_t hash = 2166136261u ^ (parent * 0x9E3779B1u);
  for (const char c : name) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 16777619u;
  }
  // Spreads the low bits, which pick the slot.
  hash ^= hash >> 16;
  hash *= 0x85EBCA6Bu;
  hash ^= hash >> 13;
  return hash;
}

}  // namespace

bool IsValidComponent(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength || name == "." || name == "..") return false;
  // One pass: names are short, and two searches cost more.
  return std::none_of(name.begin(), name.end(), [](char c) { return c == '/' || c == '\0'; });
}

namespace {

std::atomic<std::uint64_t> gNextTableSerial{1};

// The last path AppendPath made on this thread.
struct LastPath {
  std::uint64_t table = 0;  // The table's serial; 0: none.
  NodeIndex node = kRootNode;
  std::string path;
};
thread_local LastPath tLastPath;

}  // namespace

NodeTable::NodeTable() : serial_(gNextTableSerial++), slots_(kInitialSlots, 0) {
  // The root: its own parent, with an empty name.
  node_chunks_.push_back(std::make_unique<Node[]>(kNodeChunkSize));
  name_chunks_.push_back(std::make_unique<char[]>(kNameChunkSize));
  name_chunks_[0][0] = 0;
  name_chunk_used_ = 1;
  node_chunks_[0][0] = Node{kRootNode, 0};
  node_count_ = 1;
  published_count_.store(1, std::memory_order_release);
}

NodeTable::~NodeTable() = default;

NodeTable& NodeTable::Shared() {
  // Never destroyed, so references stay usable while static objects of other
  // files are destroyed.
  static NodeTable* const table = new NodeTable;
  return *table;
}

const NodeTable::Node& NodeTable::NodeAt(NodeIndex index) const {
  return node_chunks_[index >> kNodeChunkBits][index & (kNodeChunkSize - 1)];
}

std::string_view NodeTable::NameAt(const Node& node) const {
  const char* chunk = name_chunks_[node.name_offset / kNameChunkSize].get();
  const std::size_t at = node.name_offset % kNameChunkSize;
  const auto length = static_cast<unsigned char>(chunk[at]);
  return std::string_view(chunk + at + 1, length);
}

std::optional<std::uint32_t> NodeTable::StoreName(std::string_view name) {
  const std::size_t needed = name.size() + 1;
  if (name_chunk_used_ + needed > kNameChunkSize) {
    if ((name_chunks_.size() + 1) * kNameChunkSize > std::numeric_limits<std::uint32_t>::max()) {
      return std::nullopt;
    }
    name_chunks_.push_back(std::make_unique<char[]>(kNameChunkSize));
    name_chunk_used_ = 0;
  }
  char* at = name_chunks_.back().get() + name_chunk_used_;
  at[0] = static_cast<char>(name.size());
  std::memcpy(at + 1, name.data(), name.size());
  const std::size_t offset = (name_chunks_.size() - 1) * kNameChunkSize + name_chunk_used_;
  name_chunk_used_ += needed;
  return static_cast<std::uint32_t>(offset);
}

void NodeTable::GrowSlots() {
  std::vector<std::uint32_t> grown(slots_.size() * 2, 0);
  const std::size_t mask = grown.size() - 1;
  for (const std::uint32_t slot : slots_) {
    if (slot == 0) continue;
    const Node& node = NodeAt(slot - 1);
    std::size_t at = HashOf(node.parent, NameAt(node)) & mask;
    while (grown[at] != 0) at = (at + 1) & mask;
    grown[at] = slot;
  }
  slots_.swap(grown);
}

std::optional<NodeIndex> NodeTable::InternLocked(NodeIndex parent, std::string_view name) {
  if (parent >= node_count_ || !IsValidComponent(name)) return std::nullopt;
  const std::size_t mask = slots_.size() - 1;
  std::size_t at = HashOf(parent, name) & mask;
  for (; slots_[at] != 0; at = (at + 1) & mask) {
    const NodeIndex candidate = slots_[at] - 1;
    const Node& node = NodeAt(candidate);
    if (node.parent == parent && NameAt(node) == name) return candidate;
  }
  if (node_count_ >= kMaxNodes) return std::nullopt;
  const std::optional<std::uint32_t> name_offset = StoreName(name);
  if (!name_offset) return std::nullopt;
  const auto index = static_cast<NodeIndex>(node_count_);
  if ((index >> kNodeChunkBits) == node_chunks_.size()) {
    node_chunks_.push_back(std::make_unique<Node[]>(kNodeChunkSize));
  }
  node_chunks_[index >> kNodeChunkBits][index & (kNodeChunkSize - 1)] = Node{parent, *name_offset};
  ++node_count_;
  published_count_.store(node_count_, std::memory_order_release);
  slots_[at] = index + 1;
  // The root has no slot, so node_count_ - 1 slots are used; keep the load
  // at or below three quarters.
  if ((node_count_ - 1) * 4 > slots_.size() * 3) GrowSlots();
  return index;
}

std::optional<NodeIndex> NodeTable::Intern(NodeIndex parent, std::string_view name) {
  const std::lock_guard lock(mutex_);
  return GuardMemory(std::optional<NodeIndex>(), [&] { return InternLocked(parent, name); });
}

std::optional<NodeIndex> NodeTable::InternPath(std::string_view path) {
  if (path.empty() || path.front() != '/') return std::nullopt;
  const std::lock_guard lock(mutex_);
  return GuardMemory(std::optional<NodeIndex>(), [&]() -> std::optional<NodeIndex> {
    NodeIndex node = kRootNode;
    std::size_t pos = 1;
    while (pos < path.size()) {
      std::size_t end = path.find('/', pos);
      if (end == std::string_view::npos) end = path.size();
      const std::optional<NodeIndex> child = InternLocked(node, path.substr(pos, end - pos));
      if (!child) return std::nullopt;
      node = *child;
      pos = end + 1;
    }
    return node;
  });
}

bool NodeTable::Contains(NodeIndex node) const {
  // Nodes are only ever added, so a node below the count is in the table.
  return node < published_count_.load(std::memory_order_acquire);
}

std::optional<NodeIndex> NodeTable::Parent(NodeIndex node) const {
  const std::lock_guard lock(mutex_);
  if (node >= node_count_) return std::nullopt;
  return NodeAt(node).parent;
}

std::optional<std::string> NodeTable::Name(NodeIndex node) const {
  const std::lock_guard lock(mutex_);
  if (node >= node_count_) return std::nullopt;
  return std::string(NameAt(NodeAt(node)));
}

std::optional<std::string_view> NodeTable::NameView(NodeIndex node) const {
  const std::lock_guard lock(mutex_);
  if (node >= node_count_) return std::nullopt;
  return NameAt(NodeAt(node));
}

bool NodeTable::AppendPath(NodeIndex node, std::string* out) const {
  LastPath& last = tLastPath;
  if (last.table == serial_ && last.node == node) {
    out->append(last.path);
    return true;
  }
  const std::lock_guard lock(mutex_);
  if (node >= node_count_) return false;
  if (node == kRootNode) {
    out->push_back('/');
    return true;
  }
  // The length first, then the names from the leaf back to the root.
  std::size_t length = 0;
  for (NodeIndex at = node; at != kRootNode;) {
    const Node& entry = NodeAt(at);
    length += NameAt(entry).size() + 1;
    at = entry.parent;
  }
  const std::size_t start = out->size();
  out->resize(start + length);
  std::size_t end = start + length;
  for (NodeIndex at = node; at != kRootNode;) {
    const Node& entry = NodeAt(at);
    const std::string_view name = NameAt(entry);
    end -= name.size();
    std::memcpy(out->data() + end, name.data(), name.size());
    (*out)[--end] = '/';
    at = entry.parent;
  }
  const bool remembered = RanWithMemory([&] {
    last.path.assign(*out, start, length);
    last.node = node;
    last.table = serial_;
  });
  if (!remembered) last.table = 0;
  return true;
}

std::size_t NodeTable::size() const {
  const std::lock_guard lock(mutex_);
  return node_count_;
}

std::size_t NodeTable::AllocatedBytes() const {
  const std::lock_guard lock(mutex_);
  return node_chunks_.size() * kNodeChunkSize * sizeof(Node) +
         name_chunks_.size() * kNameChunkSize + slots_.size() * sizeof(std::uint32_t);
}

std::optional<FSRef> MakeChildRef(NodeIndex parent, std::string_view name, NodeTable& table) {
  if (!IsValidComponent(name)) return std::nullopt;
  if (name.size() > kInlineNameCapacity) {
    const std::optional<NodeIndex> node = table.Intern(parent, name);
    if (!node) return std::nullopt;
    return MakeNodeRef(*node, table);
  }
  if (!table.Contains(parent)) return std::nullopt;
  FSRef ref{};
  std::memcpy(ref.hidden, kRefMagic, sizeof kRefMagic);
  std::memcpy(ref.hidden + kNodeOffset, &parent, sizeof parent);
  ref.hidden[kLengthOffset] = static_cast<std::uint8_t>(name.size());
  std::memcpy(ref.hidden + kNameOffset, name.data(), name.size());
  return ref;
}

FSRef RefFromParts(NodeIndex node, std::string_view name) {
  FSRef ref{};
  std::memcpy(ref.hidden, kRefMagic, sizeof kRefMagic);
  std::memcpy(ref.hidden + kNodeOffset, &node, sizeof node);
  ref.hidden[kLengthOffset] = static_cast<std::uint8_t>(name.size());
  // A node form's name is empty, and may have no bytes at all.
  if (!name.empty()) std::memcpy(ref.hidden + kNameOffset, name.data(), name.size());
  return ref;
}

FSRef MakeNodeRef(NodeIndex node, NodeTable& table) {
  if (node != kRootNode) {
    const std::optional<NodeIndex> parent = table.Parent(node);
    const std::optional<std::string> name = table.Name(node);
    if (parent && name && name->size() <= kInlineNameCapacity) {
      if (std::optional<FSRef> ref = MakeChildRef(*parent, *name, table)) return *ref;
    }
  }
  FSRef ref{};
  std::memcpy(ref.hidden, kRefMagic, sizeof kRefMagic);
  std::memcpy(ref.hidden + kNodeOffset, &node, sizeof node);
  return ref;
}

std::optional<RefLocationView> DecodeRefView(const FSRef& ref, const NodeTable& table) {
  if (std::memcmp(ref.hidden, kRefMagic, sizeof kRefMagic) != 0) return std::nullopt;
  RefLocationView location;
  std::memcpy(&location.node, ref.hidden + kNodeOffset, sizeof location.node);
  const std::size_t length = ref.hidden[kLengthOffset];
  if (length > kInlineNameCapacity) return std::nullopt;
  static constexpr std::uint8_t kZeros[kInlineNameCapacity] = {};
  if (std::memcmp(ref.hidden + kNameOffset + length, kZeros, kInlineNameCapacity - length) != 0) {
    return std::nullopt;
  }
  if (length > 0) {
    location.name =
        std::string_view(reinterpret_cast<const char*>(ref.hidden + kNameOffset), length);
    location.child_form = true;
    if (!IsValidComponent(location.name) || !table.Contains(location.node)) return std::nullopt;
    return location;
  }
  // A node form is canonical only for the root and for long names.
  if (location.node == kRootNode) return location;
  const std::optional<std::string_view> name = table.NameView(location.node);
  if (!name || name->size() <= kInlineNameCapacity) return std::nullopt;
  location.name = *name;
  return location;
}

std::optional<RefLocation> DecodeRef(const FSRef& ref, const NodeTable& table) {
  const std::optional<RefLocationView> view = DecodeRefView(ref, table);
  if (!view) return std::nullopt;
  RefLocation location;
  location.node = view->node;
  if (view->child_form) location.name.assign(view->name);
  return location;
}

std::optional<NodeIndex> NodeOfLocation(const RefLocation& location, NodeTable& table) {
  if (!location.child_form()) return location.node;
  return table.Intern(location.node, location.name);
}

std::optional<std::string> PathOfLocation(const RefLocation& location, const NodeTable& table) {
  std::string path;
  if (!table.AppendPath(location.node, &path)) return std::nullopt;
  if (location.child_form()) {
    if (path.size() > 1) path.push_back('/');
    path.append(location.name);
  }
  return path;
}

bool AppendPathOfLocation(const RefLocationView& location, std::string* out,
                          const NodeTable& table) {
  const std::size_t start = out->size();
  if (!table.AppendPath(location.node, out)) return false;
  if (location.child_form) {
    if (out->size() - start > 1) out->push_back('/');
    out->append(location.name);
  }
  return true;
}

std::optional<std::string> NameOfLocation(const RefLocation& location, const NodeTable& table) {
  if (location.child_form()) return location.name;
  if (location.node == kRootNode) return std::string("/");
  return table.Name(location.node);
}

std::optional<FSRef> ParentRefOfLocation(const RefLocation& location, NodeTable& table) {
  if (location.child_form()) return MakeNodeRef(location.node, table);
  const std::optional<NodeIndex> parent = table.Parent(location.node);
  if (!parent) return std::nullopt;
  return MakeNodeRef(*parent, table);
}

}  // namespace files_internal
