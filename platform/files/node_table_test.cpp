#include "platform/files/node_table.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using files_internal::DecodeRef;
using files_internal::kRootNode;
using files_internal::MakeChildRef;
using files_internal::MakeNodeRef;
using files_internal::NodeIndex;
using files_internal::NodeTable;

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

TEST(NodeTableTest, RefusesBadComponentsAndUnknownNodes) {
  NodeTable table;
  for (const std::string_view path : {"relative/path", "", "/a//b", "/a/./b", "/a/../b", "/.."}) {
    EXPECT_EQ(table.InternPath(path), std::nullopt) << path;
  }
  for (const std::string& name : {std::string(), std::string("."), std::string(".."),
                                  std::string("a/b"), std::string("a\0b", 3),
                                  std::string(256, 'x')}) {
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
  // A tree of 100 folders holding 1000 each, names of 10 bytes.
  constexpr int kTop = 100;
  constexpr int kInner = 1000;
  std::vector<NodeIndex> first(kTop);
  for (int i = 0; i < kTop; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "top-%06d", i);
    first[i] = table.Intern(kRootNode, name).value();
    for (int j = 0; j < kInner; ++j) {
      std::snprintf(name, sizeof name, "dir-%06d", j);
      ASSERT_TRUE(table.Intern(first[i], name).has_value());
    }
  }
  const std::size_t nodes = table.size();
  EXPECT_EQ(nodes, 1u + kTop + kTop * kInner);
  const std::size_t bytes = table.AllocatedBytes() - empty_bytes;
  EXPECT_LT(bytes / nodes, 40u) << bytes << " bytes for " << nodes << " nodes";

  // Walking the same tree again adds nothing.
  for (int i = 0; i < kTop; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "top-%06d", i);
    ASSERT_EQ(table.Intern(kRootNode, name), first[i]);
    for (int j = 0; j < kInner; j += 7) {
      std::snprintf(name, sizeof name, "dir-%06d", j);
      ASSERT_TRUE(table.Intern(first[i], name).has_value());
    }
  }
  EXPECT_EQ(table.size(), nodes);
  EXPECT_EQ(PathOf(table, table.Intern(first[42], "dir-000999").value()),
            "/top-000042/dir-000999");
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

TEST(RefLayoutTest, ShortNamesLiveInTheRefLongNamesInTheTable) {
  NodeTable table;
  const NodeIndex folder = table.InternPath("/data").value();
  const std::size_t nodes = table.size();

  const std::string short_name(files_internal::kInlineNameCapacity, 's');
  const FSRef short_ref = MakeChildRef(folder, short_name, table).value();
  EXPECT_EQ(table.size(), nodes) << "a short name costs no node";
  const auto short_location = DecodeRef(short_ref, table).value();
  EXPECT_TRUE(short_location.child_form());
  EXPECT_EQ(files_internal::PathOfLocation(short_location, table), "/data/" + short_name);
  EXPECT_EQ(files_internal::NameOfLocation(short_location, table), short_name);
  EXPECT_EQ(files_internal::ParentRefOfLocation(short_location, table),
            MakeNodeRef(folder, table));

  // Interning the item later changes nothing in its reference.
  const NodeIndex short_node = files_internal::NodeOfLocation(short_location, table).value();
  EXPECT_EQ(table.size(), nodes + 1);
  EXPECT_EQ(MakeNodeRef(short_node, table), short_ref);

  const std::string long_name(files_internal::kInlineNameCapacity + 1, 'l');
  const FSRef long_ref = MakeChildRef(folder, long_name, table).value();
  EXPECT_EQ(table.size(), nodes + 2);
  EXPECT_EQ(MakeChildRef(folder, long_name, table), long_ref);
  const auto long_location = DecodeRef(long_ref, table).value();
  EXPECT_FALSE(long_location.child_form());
  EXPECT_EQ(files_internal::PathOfLocation(long_location, table), "/data/" + long_name);
  EXPECT_EQ(files_internal::NameOfLocation(long_location, table), long_name);

  const FSRef root = MakeNodeRef(kRootNode, table);
  EXPECT_EQ(files_internal::PathOfLocation(DecodeRef(root, table).value(), table), "/");
  EXPECT_EQ(files_internal::NameOfLocation(DecodeRef(root, table).value(), table), "/");
  EXPECT_EQ(files_internal::ParentRefOfLocation(DecodeRef(root, table).value(), table), root);
}

TEST(RefLayoutTest, DecodingRejectsMalformedRefs) {
  NodeTable table;
  const NodeIndex folder = table.InternPath("/data").value();
  const FSRef good = MakeChildRef(folder, "file.txt", table).value();
  ASSERT_TRUE(DecodeRef(good, table).has_value());

  EXPECT_FALSE(DecodeRef(FSRef{}, table).has_value());
  FSRef changed = good;
  changed.hidden[0] ^= 1;  // Magic.
  EXPECT_FALSE(DecodeRef(changed, table).has_value());
  changed = good;
  changed.hidden[8] = 200;  // Name length beyond the ref.
  EXPECT_FALSE(DecodeRef(changed, table).has_value());
  changed = good;
  changed.hidden[8] = 2;  // Shorter name: the rest is no longer zero padding.
  EXPECT_FALSE(DecodeRef(changed, table).has_value());
  changed = good;
  changed.hidden[8] = 0;  // A node form for a node with a short name is not canonical.
  std::memset(changed.hidden + 9, 0, sizeof changed.hidden - 9);
  std::memcpy(changed.hidden + 4, &folder, sizeof folder);
  EXPECT_FALSE(DecodeRef(changed, table).has_value());
  changed = good;
  const NodeIndex missing = 12345;
  std::memcpy(changed.hidden + 4, &missing, sizeof missing);
  EXPECT_FALSE(DecodeRef(changed, table).has_value());
  changed = good;
  std::memcpy(changed.hidden + 9, "..\0\0\0\0\0\0", 8);
  changed.hidden[8] = 2;
  EXPECT_FALSE(DecodeRef(changed, table).has_value());

  EXPECT_FALSE(MakeChildRef(folder, "", table).has_value());
  EXPECT_FALSE(MakeChildRef(folder, "a/b", table).has_value());
  EXPECT_FALSE(MakeChildRef(777, "x", table).has_value());
}

}  // namespace
