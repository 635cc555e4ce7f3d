// Helpers for the file-service tests: items made, references made and read.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <initializer_list>
#include <map>
#include <string>

#include "platform/files/files.h"
#include "testing/test_support.h"

namespace files_testing {

using kestrine_testing::ScopedTempDir;

// Makes each of `items` under `root`, in order: "name/" a folder,
// "name->target" a symbolic link, anything else an empty file.
inline void MakeItems(const ScopedTempDir& root, std::initializer_list<std::string> items) {
  for (const std::string& item : items) {
    const std::size_t arrow = item.find("->");
    if (arrow != std::string::npos) {
      const std::string link = root.Join(item.substr(0, arrow));
      EXPECT_EQ(symlink(item.substr(arrow + 2).c_str(), link.c_str()), 0) << item;
    } else if (item.back() == '/') {
      kestrine_testing::MakeDirs(root.Join(item));
    } else {
      kestrine_testing::WriteFile(root.Join(item), "");
    }
  }
}

inline FSRef RefOf(const std::string& path) {
  FSRef ref{};
  EXPECT_EQ(FSPathMakeRef(path, &ref), noErr) << path;
  return ref;
}

// Calls `visit(entry, isFolder)` for each entry of `folder` while its
// iterator is open, checking the iterator's contract on the way. Returns the
// number of entries.
template <typename Visit>
std::size_t ForEachEntry(const FSRef& folder, const Visit& visit) {
  FSIteratorRef iterator;
  EXPECT_EQ(FSOpenIterator(folder, &iterator), noErr);
  if (!iterator) return 0;
  std::size_t entries = 0;
  ItemCount count = 99;
  FSCatalogInfo info;
  FSRef ref{};
  OSErr status = noErr;
  while ((status = FSGetCatalogInfoBulk(*iterator, &count, &info, &ref)) == noErr && count == 1) {
    ++entries;
    visit(ref, (info.nodeFlags & kFSNodeIsDirectoryMask) != 0);
    count = 99;
  }
  EXPECT_EQ(status, errFSNoMoreItems);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(FSGetCatalogInfoBulk(*iterator, &count, nullptr, nullptr), errFSNoMoreItems)
      << "an ended iterator stays ended";
  FSCloseIterator(&iterator);
  EXPECT_EQ(iterator, nullptr);
  return entries;
}

struct Entry {
  FSRef ref;
  bool is_folder;
};

// Every entry of `folder`, by name; each must come once.
inline std::map<std::string, Entry> ReadFolder(const FSRef& folder) {
  std::map<std::string, Entry> entries;
  ForEachEntry(folder, [&](const FSRef& ref, bool is_folder) {
    const std::optional<std::string> name = FSGetFileDirName(ref);
    ASSERT_TRUE(name.has_value());
    EXPECT_TRUE(entries.emplace(*name, Entry{ref, is_folder}).second)
        << "delivered twice: " << *name;
  });
  return entries;
}

}  // namespace files_testing
