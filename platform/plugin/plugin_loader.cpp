#include "platform/plugin/plugin_loader.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <utility>

#include "platform/memory_guard.h"
#include "platform/plugin/plugin.h"
#include "platform/xdg/xdg.h"

namespace {

constexpr const char* kPlugInFolder = "Kestrine/Contextual Menu Items";

void SetError(std::string* error, std::string message) {
  if (error != nullptr) *error = std::move(message);
}

// The entries of `folder` as full paths, sorted; none with a reason when it
// exists but cannot be listed, and an empty list when it does not exist.
std::optional<std::vector<std::string>> EntriesOf(const std::string& folder, std::string* error) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
  if (!dir) {
    if (errno == ENOENT || errno == ENOTDIR) return std::vector<std::string>{};
    SetError(error, folder + ": " + std::strerror(errno));
    return std::nullopt;
  }
  std::vector<std::string> entries;
  errno = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") entries.push_back(folder + "/" + std::string(name));
    errno = 0;
  }
  if (errno != 0) {
    SetError(error, folder + ": " + std::strerror(errno));
    return std::nullopt;
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

// The bundle's identifier and its contextual-menu instances; no instances
// when its identifier was among those to leave out.
struct LoadedBundle {
  std::string identifier;
  std::vector<ContextualMenuPlugIn> instances;
};

// Loads the bundle at `path` unless its identifier is in `known` (when
// given); none, with the reason in `error`, when it fails.
std::optional<LoadedBundle> LoadBundle(const std::string& path, const std::set<std::string>* known,
                                       std::string* error) {
  // The folder is looked at first so that a file or a link that leads
  // nowhere gets a plain reason.
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    SetError(error, path + ": " + std::strerror(errno));
    return std::nullopt;
  }
  if (!S_ISDIR(info.st_mode)) {
    SetError(error, path + ": not a bundle folder");
    return std::nullopt;
  }
  std::string reason;
  const CFPlugInRef plugIn = CFPlugInCreate(nullptr, path, &reason);
  const std::optional<CFBundle> bundle = CFPlugInGetBundle(plugIn);
  if (!bundle) {
    SetError(error, path + ": " + reason);
    return std::nullopt;
  }
  const std::vector<CFUUIDRef> factories =
      CFPlugInFindFactoriesForPlugInTypeInPlugIn(kContextualMenuTypeID(), plugIn);
  if (factories.empty()) {
    SetError(error, path + ": not a contextual-menu plug-in");
    return std::nullopt;
  }
  LoadedBundle loaded{bundle->identifier, {}};
  if (known != nullptr && known->count(bundle->identifier) != 0) return loaded;
  for (const CFUUIDRef& factory : factories) {
    void* made = CFPlugInInstanceCreate(nullptr, factory, kContextualMenuTypeID(), &reason);
    if (made == nullptr) {
      SetError(error, path + ": " + reason);
      return std::nullopt;  // The instances made so far are released.
    }
    auto** unknown = static_cast<ContextualMenuInterfaceStruct**>(made);
    LPVOID found = nullptr;
    const HRESULT result = (*unknown)->QueryInterface(
        unknown, CFUUIDGetUUIDBytes(kContextualMenuInterfaceID()), &found);
    (*unknown)->Release(unknown);
    if (result != S_OK || found == nullptr) {
      SetError(error, path + ": no contextual-menu interface");
      return std::nullopt;
    }
    loaded.instances.emplace_back(path, bundle->identifier,
                                  static_cast<ContextualMenuInterfaceStruct**>(found));
  }
  return loaded;
}

}  // namespace

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
  std::vector<std::string> folders;
  // Out of memory, the folders found so far.
  RanWithMemory([&] {
    if (const std::optional<std::string> dataHome = XdgDataHome()) {
      folders.push_back(*dataHome + "/" + kPlugInFolder);
    } else if (const std::optional<std::string> home = NSHomeDirectory()) {
      folders.push_back((*home == "/" ? "" : *home) + "/.local/share/" + kPlugInFolder);
    }
    for (const std::string& dir : XdgDataDirs()) folders.push_back(dir + "/" + kPlugInFolder);
  });
  return folders;
}

std::optional<std::vector<ContextualMenuPlugIn>> LoadContextualMenuPlugIn(
    std::string_view bundlePath, std::string* error) {
  std::optional<std::vector<ContextualMenuPlugIn>> instances;
  const bool ran = RanWithMemory([&] {
    std::optional<LoadedBundle> loaded = LoadBundle(std::string(bundlePath), nullptr, error);
    if (loaded) instances = std::move(loaded->instances);
  });
  if (ran) return instances;
  SetError(error, std::string(bundlePath) + ": out of memory");
  return std::nullopt;
}

ContextualMenuPlugIns LoadContextualMenuPlugIns(const std::vector<std::string>& folders) {
  ContextualMenuPlugIns result;
  // Out of memory, what was loaded so far stays; the rest is left out.
  RanWithMemory([&] {
    std::set<std::string> identifiers;
    for (const std::string& folder : folders) {
      std::string error;
      const std::optional<std::vector<std::string>> entries = EntriesOf(folder, &error);
      if (!entries) {
        result.skipped.push_back(std::move(error));
        continue;
      }
      for (const std::string& entry : *entries) {
        std::optional<LoadedBundle> loaded = LoadBundle(entry, &identifiers, &error);
        if (!loaded) {
          result.skipped.push_back(std::move(error));
          continue;
        }
        identifiers.insert(loaded->identifier);
        for (ContextualMenuPlugIn& instance : loaded->instances) {
          result.instances.push_back(std::move(instance));
        }
      }
    }
  });
  return result;
}
