#include "platform/xdg/xdg.h"

#include <cstdlib>
#include <string_view>

namespace {

std::optional<std::string> AbsoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return std::nullopt;
  return std::string(value);
}

std::vector<std::string> AbsoluteFolders(const char* name, std::string_view fallback) {
  const char* value = std::getenv(name);
  std::string_view list = value != nullptr && value[0] != '\0' ? value : fallback;
  std::vector<std::string> folders;
  while (!list.empty()) {
    const std::size_t colon = list.find(':');
    const std::string_view folder = list.substr(0, colon);
    list.remove_prefix(colon == std::string_view::npos ? list.size() : colon + 1);
    if (folder.starts_with('/')) folders.emplace_back(folder);
  }
  return folders;
}

}  // namespace

std::optional<std::string> XdgConfigHome() { return AbsoluteVariable("XDG_CONFIG_HOME"); }

std::optional<std::string> XdgDataHome() { return AbsoluteVariable("XDG_DATA_HOME"); }

std::vector<std::string> XdgConfigDirs() { return AbsoluteFolders("XDG_CONFIG_DIRS", "/etc/xdg"); }

std::vector<std::string> XdgDataDirs() {
  return AbsoluteFolders("XDG_DATA_DIRS", "/usr/local/share:/usr/share");
}

std::optional<std::string> XdgRuntimeDir() { return AbsoluteVariable("XDG_RUNTIME_DIR"); }

std::optional<std::string> XdgRuntimeDirAsSet() {
  const char* value = std::getenv("XDG_RUNTIME_DIR");
  if (value == nullptr || value[0] == '\0') return std::nullopt;
  return std::string(value);
}
