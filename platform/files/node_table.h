// The process-wide table of interned locations behind FSRef, and the layout
// of the reference bytes. Internal to the file services.
//
// A node is one location: its parent node and its name. The root "/" is node
// 0 and its own parent. Nodes live as long as the process and are never
// removed, so a node index stays valid in every reference that holds it.
//
// A reference is one of two forms, chosen by the name alone so that the
// same location always gives the same bytes:
// - child form, for a name of at most kInlineNameCapacity bytes: the parent's
//   node index and the name itself. Such an item costs the table nothing
//   until it becomes the parent of another reference.
// - node form, for the root and for longer names: the item's own node index.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files/files.h"

namespace files_internal {

using NodeIndex = std::uint32_t;
constexpr NodeIndex kRootNode = 0;

// Longest name a node holds; Linux allows no longer file name (NAME_MAX).
constexpr std::size_t kMaxNameLength = 255;

// Longest name a child-form reference holds in its own bytes.
constexpr std::size_t kInlineNameCapacity = 71;

// Whether `name` can be a path component: not empty, not "." or "..", no
// "/" or NUL, at most kMaxNameLength bytes.
bool IsValidComponent(std::string_view name);

// An interning table of (parent, name) pairs. Memory per node: 8 bytes of
// node, 1 + the name's length in the name arena, and 4 to 11 bytes of hash
// slots. Safe to use from any thread.
class NodeTable final {
 public:
  NodeTable();
  NodeTable(const NodeTable&) = delete;
  NodeTable& operator=(const NodeTable&) = delete;
  ~NodeTable();

  // The table behind every FSRef of the process.
  static NodeTable& Shared();

  // The node of `name` inside `parent`, added when new. None when `parent`
  // is not a node, `name` is not a valid component, or the table is full.
  std::optional<NodeIndex> Intern(NodeIndex parent, std::string_view name);

  // Interns every component of `path`, which must be absolute and hold no
  // empty, "." or ".." component (a trailing slash is allowed). Returns the
  // node of the last component, kRootNode for "/"; none when a component is
  // not valid.
  std::optional<NodeIndex> InternPath(std::string_view path);

  // Whether `node` is in the table.
  bool Contains(NodeIndex node) const;

  // The parent and the name of `node`; none when it is not in the table.
  std::optional<NodeIndex> Parent(NodeIndex node) const;
  std::optional<std::string> Name(NodeIndex node) const;
  // The same name viewed in the arena, which never moves nor frees a name,
  // so the view stays valid as long as the table.
  std::optional<std::string_view> NameView(NodeIndex node) const;

  // Appends the absolute path of `node` to `out` ("/" for the root); false
  // when the node is not in the table. The last path made on each thread is
  // kept, since a walk asks for the paths of many siblings in a row and
  // their parent's path is the same each time.
  bool AppendPath(NodeIndex node, std::string* out) const;

  // The number of nodes, the root included.
  std::size_t size() const;

  // The bytes the table has allocated for nodes, names and hash slots.
  std::size_t AllocatedBytes() const;

 private:
  struct Node {
    NodeIndex parent;
    std::uint32_t name_offset;  // Of the name's length byte in the arena.
  };

  const Node& NodeAt(NodeIndex index) const;
  std::string_view NameAt(const Node& node) const;
  std::optional<NodeIndex> InternLocked(NodeIndex parent, std::string_view name);
  std::optional<std::uint32_t> StoreName(std::string_view name);
  void GrowSlots();

  // Tells this table from one made later at the same address, for the
  // threads' path caches.
  const std::uint64_t serial_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Node[]>> node_chunks_;
  std::size_t node_count_ = 0;
  // node_count_, readable without the lock.
  std::atomic<std::size_t> published_count_{0};
  std::vector<std::unique_ptr<char[]>> name_chunks_;
  std::size_t name_chunk_used_ = 0;  // Bytes used in the last name chunk.
  std::vector<std::uint32_t> slots_;  // Node index + 1; 0 is an empty slot.
};

// What a reference holds, with the name copied out of a child-form one.
struct RefLocation {
  NodeIndex node = kRootNode;  // The parent (child form) or the item (node form).
  std::string name;            // The item's name in child form; empty in node form.
  bool child_form() const { return !name.empty(); }
};

// What a reference holds, without a copy: the name is viewed in the
// reference's own bytes (child form, valid while the reference lives) or in
// the table (node form; empty for the root).
struct RefLocationView {
  NodeIndex node = kRootNode;
  std::string_view name;
  bool child_form = false;
};

// The canonical reference of the item `name` inside `parent`, interning the
// item only when its name is too long for the child form. None when the
// name is not a valid component or the table refuses it.
std::optional<FSRef> MakeChildRef(NodeIndex parent, std::string_view name,
                                  NodeTable& table = NodeTable::Shared());

// The canonical reference of `node`, which must be in `table`.
FSRef MakeNodeRef(NodeIndex node, NodeTable& table = NodeTable::Shared());

// The reference made of the parts a canonical reference was taken apart
// into: child form when `name` is not empty (then `node` is the parent),
// node form otherwise. Nothing is checked: for parts kept from references
// this table made.
FSRef RefFromParts(NodeIndex node, std::string_view name);

// What `ref` holds; none when it is not a well-formed reference of `table`
// (zeroed, foreign, or naming a node the table lacks).
std::optional<RefLocation> DecodeRef(const FSRef& ref, const NodeTable& table = NodeTable::Shared());

// DecodeRef without a copy of the name.
std::optional<RefLocationView> DecodeRefView(const FSRef& ref,
                                             const NodeTable& table = NodeTable::Shared());

// The node of the item itself, interned when the reference is in child form.
std::optional<NodeIndex> NodeOfLocation(const RefLocation& location,
                                        NodeTable& table = NodeTable::Shared());

// The item's absolute path; none for a bad reference.
std::optional<std::string> PathOfLocation(const RefLocation& location,
                                          const NodeTable& table = NodeTable::Shared());

// Appends the item's absolute path to `out`; false for a bad reference.
bool AppendPathOfLocation(const RefLocationView& location, std::string* out,
                          const NodeTable& table = NodeTable::Shared());

// The item's name ("/" for the root).
std::optional<std::string> NameOfLocation(const RefLocation& location,
                                          const NodeTable& table = NodeTable::Shared());

// The canonical reference of the item's parent (the root's is the root).
std::optional<FSRef> ParentRefOfLocation(const RefLocation& location,
                                         NodeTable& table = NodeTable::Shared());

}  // namespace files_internal
