#include "platform/appleevents/alias.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "testing/test_support.h"

namespace {

using namespace std::string_literals;

using TempDir = kestrine_testing::ScopedTempDir;

TEST(AliasTest, RecordLayout) {
  std::string alias;
  ASSERT_EQ(FSNewAliasFromPath("/tmp/a b", &alias), noErr);
  EXPECT_EQ(alias, "alis\0\1\0\0\0\0\0\x08/tmp/a b"s);
  EXPECT_EQ(FSCopyAliasPath(alias), "/tmp/a b");
  ASSERT_EQ(FSNewAliasFromPath("/", &alias), noErr);
  EXPECT_EQ(FSCopyAliasPath(alias), "/");

  alias = "unchanged";
  EXPECT_EQ(FSNewAliasFromPath("relative/path", &alias), paramErr);
  EXPECT_EQ(FSNewAliasFromPath("", &alias), paramErr);
  EXPECT_EQ(FSNewAliasFromPath("/a\0b"s, &alias), paramErr);
  EXPECT_EQ(FSNewAliasFromPath(std::string((1 << 20) + 1, '/'), &alias), paramErr);
  EXPECT_EQ(FSNewAliasFromPath("/a", nullptr), paramErr);
  EXPECT_EQ(alias, "unchanged");
}

TEST(AliasTest, MalformedRecordsAreRefused) {
  const std::string good = "alis\0\1\0\0\0\0\0\2/a"s;
  ASSERT_EQ(FSCopyAliasPath(good), "/a");
  for (const std::string& bad : {
           "alis\0\1\0\0\0\0\0\2/"s,      // Shorter than its length.
           "alis\0\1\0\0\0\0\0\2/ab"s,    // Longer than its length.
           "alis\0\2\0\0\0\0\0\2/a"s,     // Another version.
           "alis\0\1\0\1\0\0\0\2/a"s,     // Reserved bits set.
           "ALIS\0\1\0\0\0\0\0\2/a"s,     // Another signature.
           "alis\0\1\0\0\0\0\0\2a/"s,     // A relative path.
           "alis\0\1\0\0\0\0\0\2/\0"s,    // A NUL in the path.
           "alis\0\1\0\0\0\0\0\0"s,       // No path.
           "alis\0\1\0\0\xff\xff\xff\xff/a"s,
           "alis"s,
           ""s,
       }) {
    EXPECT_EQ(FSCopyAliasPath(bad), std::nullopt) << testing::PrintToString(bad);
    FSRef target{};
    EXPECT_EQ(FSResolveAliasWithMountFlags(nullptr, bad, &target, nullptr, kResolveAliasFileNoUI),
              paramErr);
  }
}

TEST(AliasTest, ResolvesToTheItemOrFails) {
  TempDir dir;
  const std::string file = dir.path() + "/target";
  std::ofstream(file) << "x";
  ASSERT_EQ(::symlink(file.c_str(), (dir.path() + "/link").c_str()), 0);
  FSRef expected{};
  ASSERT_EQ(FSPathMakeRef(file, &expected), noErr);

  std::string alias;
  ASSERT_EQ(FSNewAlias(expected, &alias), noErr);
  EXPECT_EQ(FSCopyAliasPath(alias), file);

  FSRef target{};
  bool changed = true;
  ASSERT_EQ(FSResolveAliasWithMountFlags(nullptr, alias, &target, &changed, kResolveAliasFileNoUI),
            noErr);
  EXPECT_EQ(target, expected);
  EXPECT_FALSE(changed);

  // An alias of a link resolves to what the link points to.
  std::string linkAlias;
  ASSERT_EQ(FSNewAliasFromPath(dir.path() + "/link", &linkAlias), noErr);
  target = FSRef{};
  ASSERT_EQ(FSResolveAliasWithMountFlags(nullptr, linkAlias, &target, nullptr, 0), noErr);
  EXPECT_EQ(target, expected);
  EXPECT_EQ(FSResolveAliasWithMountFlags(nullptr, alias, nullptr, nullptr, 0), paramErr);

  ASSERT_EQ(::unlink(file.c_str()), 0);
  const FSRef untouched = target;
  EXPECT_EQ(FSResolveAliasWithMountFlags(nullptr, alias, &target, nullptr, 0), fnfErr);
  EXPECT_EQ(FSResolveAliasWithMountFlags(nullptr, linkAlias, &target, nullptr, 0), fnfErr);
  EXPECT_EQ(target, untouched);
  EXPECT_EQ(FSNewAlias(expected, &alias), fnfErr);
  EXPECT_EQ(FSNewAlias(FSRef{}, &alias), paramErr);
}

}  // namespace
