#include "platform/bundle/bundle.h"

#include <dlfcn.h>
#include <link.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <mutex>
#include <new>

#include <plist/plist.h>

#include "platform/memory_guard.h"
#include "platform/posix/posix.h"
#include "platform/preferences/xml_check.h"

namespace {

// Bundles made known by CFBundleCreate, by identifier.
std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}
std::map<std::string, CFBundle, std::less<>>& Registry() {
  static std::map<std::string, CFBundle, std::less<>> bundles;
  return bundles;
}

// The canonical absolute form of `path`, or none when it does not exist.
std::optional<std::string> RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

// Property lists larger than this are not read.
constexpr std::size_t kMaxPlistSize = 16 << 20;

// Reads the bundle whose folder is the canonical path `folder`.
std::optional<CFBundle> ReadBundle(const std::string& folder) {
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return std::nullopt;
  const kestrine_posix::WholeFile plist =
      kestrine_posix::ReadRegularFile(folder + "/Contents/Info.plist", kMaxPlistSize);
  if (plist.status != kestrine_posix::WholeFileStatus::kRead || plist.content.empty()) return std::nullopt;
  const plist_t root = PlistFromCheckedMemory(plist.content);
  if (root == nullptr) return std::nullopt;
  const PlistPtr owner(root);
  if (plist_get_node_type(root) != PLIST_DICT) return std::nullopt;
  std::optional<std::string> identifier =
      PlistStringValue(plist_dict_get_item(root, "CFBundleIdentifier"));
  if (!identifier) return std::nullopt;
  return CFBundle{folder, std::move(*identifier),
                  PlistStringValue(plist_dict_get_item(root, "CFBundleExecutable"))};
}

// The bundle folder that holds `file`: the parent of the nearest folder on
// its way named "Contents" that has an Info.plist. None outside any bundle.
std::optional<std::string> EnclosingBundleFolder(const std::string& file) {
  std::string folder = file;
  for (;;) {
    const std::size_t slash = folder.rfind('/');
    if (slash == std::string::npos || slash == 0) return std::nullopt;
    folder.resize(slash);
    if (folder.ends_with("/Contents")) {
      std::string bundle = folder.substr(0, folder.size() - 9);
      struct stat info {};
      if (!bundle.empty() && stat((folder + "/Info.plist").c_str(), &info) == 0) return bundle;
    }
  }
}

// A function of this library, whose address finds the file it was loaded
// from. Internal linkage keeps another copy of the library from standing in.
void Anchor() {}

// The folder of the bundle that holds the code of this library (the main
// program, or the shared object this library was linked into), or none.
const std::optional<std::string>& OwnBundleFolder() {
  static const std::optional<std::string> folder = []() -> std::optional<std::string> {
    Dl_info info{};
    link_map* map = nullptr;
    if (dladdr1(reinterpret_cast<void*>(&Anchor), &info, reinterpret_cast<void**>(&map),
                RTLD_DL_LINKMAP) == 0) {
      return std::nullopt;
    }
    // The main program's entry has an empty name; its file is /proc/self/exe.
    const bool main_program = map == nullptr || map->l_name == nullptr || map->l_name[0] == '\0';
    std::optional<std::string> file = RealPath(main_program ? "/proc/self/exe" : map->l_name);
    if (!file) return std::nullopt;
    return EnclosingBundleFolder(*file);
  }();
  return folder;
}

}  // namespace

std::optional<CFBundle> CFBundleCreate(std::string_view path) {
  return GuardMemory(std::optional<CFBundle>(), [&]() -> std::optional<CFBundle> {
    if (path.empty()) return std::nullopt;
    std::optional<std::string> folder = RealPath(std::string(path));
    if (!folder) return std::nullopt;
    std::optional<CFBundle> bundle = ReadBundle(*folder);
    if (!bundle) return std::nullopt;
    std::lock_guard lock(RegistryMutex());
    Registry().insert_or_assign(bundle->identifier, *bundle);
    return bundle;
  });
}

std::optional<CFBundle> CFBundleGetBundleWithIdentifier(std::string_view identifier) {
  return GuardMemory(std::optional<CFBundle>(), [&]() -> std::optional<CFBundle> {
    {
      std::lock_guard lock(RegistryMutex());
      const auto known = Registry().find(identifier);
      if (known != Registry().end()) return known->second;
    }
    const std::optional<std::string>& own_folder = OwnBundleFolder();
    if (!own_folder) return std::nullopt;
    std::optional<CFBundle> own = ReadBundle(*own_folder);
    if (!own || own->identifier != identifier) return std::nullopt;
    return own;
  });
}

std::string CFBundleCopyResourcesDirectoryURL(const CFBundle& bundle) {
  return bundle.path + "/Contents/Resources";
}

std::optional<std::string> CFBundleCopyExecutableURL(const CFBundle& bundle) {
  if (!bundle.executable || bundle.executable->empty() || bundle.executable->front() == '/') {
    return std::nullopt;
  }
  // No step of the name may climb out of Contents/Linux.
  std::string_view rest = *bundle.executable;
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    if (rest.substr(0, slash) == "..") return std::nullopt;
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  }
  return bundle.path + "/Contents/Linux/" + *bundle.executable;
}

void CFBundleForgetAllForTesting() {
  std::lock_guard lock(RegistryMutex());
  Registry().clear();
}
