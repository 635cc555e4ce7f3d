// Helpers for tests of the preferences store and of its users: a temporary
// home folder and property list files written as a user's tools would.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "testing/test_support.h"

namespace preferences_test {

// Points HOME and XDG_CONFIG_HOME into a new temporary folder for its
// lifetime; unlike ScopedUser, the configuration folder is not created.
class TemporaryHome final {
 public:
  TemporaryHome() {
    environment_.Set("HOME", dir_.Join("home"));
    environment_.Set("XDG_CONFIG_HOME", ConfigFolder());
  }

  const std::string& root() const { return dir_.path(); }
  std::string ConfigFolder() const { return dir_.Join("config"); }
  std::string FileOf(std::string_view domain) const { return ConfigFolder() + "/" + std::string(domain) + ".plist"; }

 private:
  kestrine_testing::ScopedTempDir dir_;
  kestrine_testing::ScopedEnvironment environment_;
};

// Writes `text` as a plist tool does: a new file, in a folder created when
// missing, renamed into place. Returns false when the rename fails.
inline bool WriteFileAtomically(const std::string& path, std::string_view text) {
  kestrine_testing::WriteFile(path + ".tool-tmp", text);
  return std::rename((path + ".tool-tmp").c_str(), path.c_str()) == 0;
}

}  // namespace preferences_test
