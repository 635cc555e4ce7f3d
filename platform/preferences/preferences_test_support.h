// Helpers for tests of the preferences store and of its users: a temporary
// home folder and property list files written as a user's tools would.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

#include "testing/test_support.h"

namespace preferences_test {

inline constexpr std::string_view kXmlHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";

using kestrine_testing::XmlPropertyList;
inline std::string XmlDictionary(std::string_view entries) { return XmlPropertyList(entries); }

// Points HOME and XDG_CONFIG_HOME into a new temporary folder for its
// lifetime; the configuration folder itself is not created.
class TemporaryHome final {
 public:
  TemporaryHome() {
    environment_.Set("HOME", dir_.Join("home"));
    environment_.Set("XDG_CONFIG_HOME", ConfigFolder());
  }

  const std::string& root() const { return dir_.path(); }
  std::string ConfigFolder() const { return dir_.Join("config"); }
  std::string FileOf(std::string_view domain) const {
    return ConfigFolder() + "/" + std::string(domain) + ".plist";
  }

 private:
  kestrine_testing::ScopedTempDir dir_;
  kestrine_testing::ScopedEnvironment environment_;
};

// Writes `text` as a plist tool does: a new file renamed into place, the
// folder created when missing. Returns false on failure.
inline bool WriteFileAtomically(const std::string& path, std::string_view text) {
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
  const std::string temporary = path + ".tool-tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!out.flush()) return false;
  }
  return ::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace preferences_test
