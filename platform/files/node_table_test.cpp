#include "platform/files/node_table.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace files_internal;

std::string PathOf(const NodeTable& table, NodeIndex node) {
  std::string path;
  EXPECT_TRUE(table.AppendPath(node, &path));
  return path;
}

TEST(NodeTableTest, InterningDeduplicates) {
  NodeTable table;
  EXPECT_EQ(table.size(), 1u);
  const NodeIndex home = table.Intern(kRootNode, "home").value();
  const NodeIndex ann = table.Intern(home, "ann").value();
  EXPECT_EQ(table.Intern(kRootNode, "home"), home);
  EXPECT_EQ(table.Intern(home, "ann"), ann);
  EXPECT_NE(table.Intern(kRootNode, "ann"), ann) << "same name, other parent";
  EXPECT_EQ(table.size(), 4u);

  EXPECT_EQ(table.InternPath("/home/ann"), ann);
  EXPECT_EQ(table.InternPath("/home/ann/"), ann);
  EXPECT_EQ(table.InternPath("/"), kRootNode);
  EXPECT_EQ(table.size(), 4u);
  const NodeIndex deep = table.InternPath("/home/ann/a b/c\\d").value();
  EXPECT_EQ(table.size(), 6u);
  EXPECT_EQ(PathOf(table, deep), "/home/ann/a b/c\\d");
  EXPECT_EQ(PathOf(table, kRootNode), "/");
  EXPECT_EQ(table.Parent(deep), table.Intern(ann, "a b"));
  EXPECT_EQ(table.Parent(kRootNode), kRootNode);
  EXPECT_EQ(table.Name(deep), "c\\d");
  EXPECT_EQ(table.Name(kRootNode), "");
}

// The path a thread keeps from its last AppendPath belongs to its table: a
// table made later, at the same address or not, gives its own paths.
TEST(NodeTableTest, TheKeptPathIsTheTablesOwn) {
  for (const char* path : {"/home/ann", "/srv/data", "/home/ann"}) {
    auto table = std::make_unique<NodeTable>();
    const NodeIndex node = table->InternPath(path).value();
    EXPECT_EQ(node, 2u);
    // The first call follows the last one of the table before, on the same
    // node index.
    EXPECT_EQ(PathOf(*table, node), path);
    const std::string parent(path, std::strrchr(path, '/') - path);
    EXPECT_EQ(PathOf(*table, table->Parent(node).value()), parent);
    EXPECT_EQ(PathOf(*table, node), path);
    EXPECT_EQ(PathOf(*table, node), path) << "again, from the kept path";
  }
}

TEST(NodeTableTest, RefusesBadComponentsAndUnknownNodes) {
  NodeTable table;
  for (const char* path : {"relative/path", "", "/a//b", "/a/./b", "/a/../b", "/.."}) {
    EXPECT_EQ(table.InternPath(path), std::nullopt) << path;
  }
  using namespace std::string_literals;
  for (const std::string& name : {""s, "."s, ".."s, "a/b"s, "a\0b"s, std::string(256, 'x')}) {
    EXPECT_EQ(table.Intern(kRootNode, name), std::nullopt);
  }
  EXPECT_TRUE(table.Intern(kRootNode, std::string(255, 'x')).has_value());
  EXPECT_TRUE(table.Intern(kRootNode, "\xFF\xFE").has_value());
  EXPECT_EQ(table.Intern(999, "child"), std::nullopt);
  EXPECT_EQ(table.Parent(999), std::nullopt);
  EXPECT_EQ(table.Name(999), std::nullopt);
  std::string path;
  EXPECT_FALSE(table.AppendPath(999, &path));
}

TEST(NodeTableTest, HundredThousandFoldersStaySmall) {
  NodeTable table;
  const std::size_t empty_bytes = table.AllocatedBytes();
  const auto name = [](const char* prefix, int i) {
    char text[16];
    std::snprintf(text, sizeof text, "%s-%06d", prefix, i);
    return std::string(text);
  };
  // A tree of 100 folders holding 1000 each, names of 10 bytes; walked a
  // second time (every seventh inner folder), it gains nothing.
  std::vector<NodeIndex> first(100);
  for (const int step : {1, 7}) {
    for (int i = 0; i < 100; ++i) {
      const std::optional<NodeIndex> top = table.Intern(kRootNode, name("top", i));
      ASSERT_TRUE(top.has_value());
      if (step == 1) first[i] = *top;
      ASSERT_EQ(*top, first[i]);
      for (int j = 0; j < 1000; j += step) ASSERT_TRUE(table.Intern(*top, name("dir", j)));
    }
    EXPECT_EQ(table.size(), 1u + 100 + 100 * 1000);
  }
  const std::size_t bytes = table.AllocatedBytes() - empty_bytes;
  EXPECT_LT(bytes / table.size(), 40u) << bytes << " bytes for " << table.size() << " nodes";
  EXPECT_EQ(PathOf(table, table.Intern(first[42], "dir-000999").value()), "/top-000042/dir-000999");
}

TEST(NodeTableTest, ThreadsInternTheSameNodes) {
  NodeTable table;
  std::vector<std::vector<NodeIndex>> seen(4);
  std::vector<std::thread> threads;
  for (auto& nodes : seen) {
    threads.emplace_back([&table, &nodes] {
      for (int i = 0; i < 5000; ++i) {
        nodes.push_back(table.InternPath("/shared/n" + std::to_string(i)).value_or(0));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(table.size(), 2u + 5000u);
  for (const auto& nodes : seen) EXPECT_EQ(nodes, seen[0]);
}

// A short name costs no node until the item is interned; a long one is a
// node at once. Either way the reference stays the same.
TEST(RefLayoutTest, ShortNamesLiveInTheRefLongNamesInTheTable) {
  NodeTable table;
  const NodeIndex folder = table.InternPath("/data").value();
  for (const std::size_t size : {kInlineNameCapacity, kInlineNameCapacity + 1}) {
    const bool inline_name = size == kInlineNameCapacity;
    const std::string name(size, 'n');
    const std::size_t nodes = table.size();
    const FSRef ref = MakeChildRef(folder, name, table).value();
    EXPECT_EQ(table.size(), nodes + (inline_name ? 0 : 1));
    EXPECT_EQ(MakeChildRef(folder, name, table), ref);
    const RefLocation location = DecodeRef(ref, table).value();
    EXPECT_EQ(location.child_form(), inline_name);
    EXPECT_EQ(PathOfLocation(location, table), "/data/" + name);
    EXPECT_EQ(NameOfLocation(location, table), name);
    EXPECT_EQ(ParentRefOfLocation(location, table), MakeNodeRef(folder, table));
    EXPECT_EQ(MakeNodeRef(NodeOfLocation(location, table).value(), table), ref);
    EXPECT_EQ(table.size(), nodes + 1);
  }
  const FSRef root = MakeNodeRef(kRootNode, table);
  EXPECT_EQ(PathOfLocation(DecodeRef(root, table).value(), table), "/");
  EXPECT_EQ(NameOfLocation(DecodeRef(root, table).value(), table), "/");
  EXPECT_EQ(ParentRefOfLocation(DecodeRef(root, table).value(), table), root);
}

TEST(RefLayoutTest, DecodingRejectsMalformedRefs) {
  NodeTable table;
  const NodeIndex folder = table.InternPath("/data").value();
  const FSRef good = MakeChildRef(folder, "file.txt", table).value();
  ASSERT_TRUE(DecodeRef(good, table).has_value());

  const auto rejects = [&](const std::function<void(FSRef&)>& change) {
    FSRef changed = good;
    change(changed);
    return !DecodeRef(changed, table).has_value();
  };
  EXPECT_TRUE(rejects([](FSRef& ref) { ref = FSRef{}; }));
  EXPECT_TRUE(rejects([](FSRef& ref) { ref.hidden[0] ^= 1; }));   // Magic.
  EXPECT_TRUE(rejects([](FSRef& ref) { ref.hidden[8] = 200; }));  // Name length beyond the ref.
  // A shorter name: the rest is no longer zero padding.
  EXPECT_TRUE(rejects([](FSRef& ref) { ref.hidden[8] = 2; }));
  // A node form for a node with a short name is not canonical.
  EXPECT_TRUE(rejects([&](FSRef& ref) {
    ref.hidden[8] = 0;
    std::memset(ref.hidden + 9, 0, sizeof ref.hidden - 9);
    std::memcpy(ref.hidden + 4, &folder, sizeof folder);
  }));
  const NodeIndex missing = 12345;
  EXPECT_TRUE(rejects([&](FSRef& ref) { std::memcpy(ref.hidden + 4, &missing, sizeof missing); }));
  EXPECT_TRUE(rejects([](FSRef& ref) {
    std::memcpy(ref.hidden + 9, "..\0\0\0\0\0\0", 8);
    ref.hidden[8] = 2;
  }));
  EXPECT_FALSE(MakeChildRef(folder, "", table).has_value());
  EXPECT_FALSE(MakeChildRef(folder, "a/b", table).has_value());
  EXPECT_FALSE(MakeChildRef(777, "x", table).has_value());
}

}  // namespace
