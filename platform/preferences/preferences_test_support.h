// Helpers for tests of the preferences store and of its users.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "testing/test_support.h"

namespace preferences_test {

// Writes `text` as a plist tool does: a new file, in a folder created when
// missing, renamed into place. Returns false when the rename fails.
inline bool WriteFileAtomically(const std::string& path, std::string_view text) {
  kestrine_testing::WriteFile(path + ".tool-tmp", text);
  return std::rename((path + ".tool-tmp").c_str(), path.c_str()) == 0;
}

}  // namespace preferences_test
