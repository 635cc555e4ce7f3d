#include "platform/xdg/xdg.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
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

std::optional<std::string> NSHomeDirectory() {
  std::string home;
  if (const char* variable = std::getenv("HOME"); variable != nullptr && variable[0] == '/') {
    home = variable;
  } else {
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    while (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (std::size_t{1} << 20)) {
      buffer.resize(buffer.size() * 2);
    }
    if (found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') {
      return std::nullopt;
    }
    home = found->pw_dir;
  }
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return home;
}

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
