// Interim version, replaced by the shared loader when it lands.
#include "platform/plugin/plugin_loader.h"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <utility>

#include "platform/plugin/plugin.h"

ContextualMenuPlugIn::ContextualMenuPlugIn(std::string bundlePath, std::string identifier,
                                           ContextualMenuInterfaceStruct** interface)
    : m_bundlePath(std::move(bundlePath)),
      m_identifier(std::move(identifier)),
      m_interface(interface) {}

ContextualMenuPlugIn::~ContextualMenuPlugIn() {
  if (m_interface != nullptr) (*m_interface)->Release(m_interface);
}

ContextualMenuPlugIn::ContextualMenuPlugIn(ContextualMenuPlugIn&& other) noexcept
    : m_bundlePath(std::move(other.m_bundlePath)),
      m_identifier(std::move(other.m_identifier)),
      m_interface(std::exchange(other.m_interface, nullptr)) {}

ContextualMenuPlugIn& ContextualMenuPlugIn::operator=(ContextualMenuPlugIn&& other) noexcept {
  if (this != &other) {
    if (m_interface != nullptr) (*m_interface)->Release(m_interface);
    m_bundlePath = std::move(other.m_bundlePath);
    m_identifier = std::move(other.m_identifier);
    m_interface = std::exchange(other.m_interface, nullptr);
  }
  return *this;
}

std::vector<std::string> ContextualMenuPlugInFolders() {
  constexpr const char* kFolder = "Kestrine/Contextual Menu Items";
  std::vector<std::string> folders;
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome != nullptr && dataHome[0] == '/') {
    folders.push_back(std::string(dataHome) + "/" + kFolder);
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    folders.push_back(std::string(home) + "/.local/share/" + kFolder);
  }
  const char* dataDirs = std::getenv("XDG_DATA_DIRS");
  const std::string dirs =
      dataDirs != nullptr && dataDirs[0] != '\0' ? dataDirs : "/usr/local/share:/usr/share";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string dir = dirs.substr(start, end - start);
    if (!dir.empty() && dir[0] == '/') folders.push_back(dir + "/" + kFolder);
    start = end + 1;
  }
  return folders;
}

std::optional<std::vector<ContextualMenuPlugIn>> LoadContextualMenuPlugIn(
    std::string_view bundlePath, std::string* error) {
  const std::string path(bundlePath);
  std::string reason;
  CFPlugInRef plugIn = CFPlugInCreate(nullptr, path, &reason);
  auto fail = [&](const std::string& why) -> std::optional<std::vector<ContextualMenuPlugIn>> {
    if (error != nullptr) *error = path + ": " + why;
    return std::nullopt;
  };
  if (!plugIn) return fail(reason);
  const std::string identifier = CFPlugInGetBundle(plugIn)->identifier;
  std::vector<ContextualMenuPlugIn> instances;
  const std::vector<CFUUIDRef> factories =
      CFPlugInFindFactoriesForPlugInTypeInPlugIn(kContextualMenuTypeID(), plugIn);
  if (factories.empty()) return fail("not a contextual-menu plug-in");
  for (const CFUUIDRef& factory : factories) {
    void* made = CFPlugInInstanceCreate(nullptr, factory, kContextualMenuTypeID(), &reason);
    if (made == nullptr) return fail(reason);
    auto** unknown = static_cast<ContextualMenuInterfaceStruct**>(made);
    LPVOID found = nullptr;
    const HRESULT result = (*unknown)->QueryInterface(
        unknown, CFUUIDGetUUIDBytes(kContextualMenuInterfaceID()), &found);
    (*unknown)->Release(unknown);
    if (result != S_OK || found == nullptr) return fail("no contextual-menu interface");
    instances.emplace_back(path, identifier, static_cast<ContextualMenuInterfaceStruct**>(found));
  }
  return instances;
}

ContextualMenuPlugIns LoadContextualMenuPlugIns(const std::vector<std::string>& folders) {
  ContextualMenuPlugIns result;
  std::set<std::string> identifiers;
  for (const std::string& folder : folders) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) continue;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      std::string error;
      std::optional<std::vector<ContextualMenuPlugIn>> loaded =
          LoadContextualMenuPlugIn(folder + "/" + name, &error);
      if (!loaded) {
        result.skipped.push_back(error);
        continue;
      }
      if (loaded->empty() || !identifiers.insert(loaded->front().identifier()).second) continue;
      for (ContextualMenuPlugIn& plugIn : *loaded) result.instances.push_back(std::move(plugIn));
    }
  }
  return result;
}
