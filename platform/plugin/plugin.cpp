#include "platform/plugin/plugin.h"

#include <dlfcn.h>
#include <errno.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <new>

#include "platform/memory_guard.h"
#include "platform/posix/posix.h"
#include "platform/preferences/xml_check.h"

extern "C" {

// The instance registry as every copy of this library sees it: plain C, so
// that copies built apart still agree on it.
struct KestrineCFPlugInRegistry {
  std::uint32_t version;  // 1.
  void (*addInstance)(const std::uint8_t* factoryBytes);
  void (*removeInstance)(const std::uint8_t* factoryBytes);
  std::uint32_t (*instanceCount)(const std::uint8_t* factoryBytes);
};

// Where the copy that loaded this shared object puts its registry. Exported
// even from code built with hidden visibility: the loader looks it up.
__attribute__((visibility("default")))
std::atomic<const KestrineCFPlugInRegistry*> gKestrineCFPlugInHostRegistry{nullptr};

}  // extern "C"

namespace {

using ByteArray = std::array<std::uint8_t, 16>;

constexpr const char* kRegistrySymbol = "gKestrineCFPlugInHostRegistry";

ByteArray ToArray(const CFUUIDBytes& bytes) {
  ByteArray array;
  std::memcpy(array.data(), &bytes, array.size());
  return array;
}

ByteArray ToArray(const std::uint8_t* bytes) {
  ByteArray array;
  std::memcpy(array.data(), bytes, array.size());
  return array;
}

// Live instance counts of this copy, never destroyed so that instances
// released during exit still find them.
struct InstanceCounts {
  std::mutex mutex;
  std::map<ByteArray, std::uint32_t> counts;
};

InstanceCounts& Counts() {
  static InstanceCounts* counts = new InstanceCounts;
  return *counts;
}

void LocalAddInstance(const std::uint8_t* factoryBytes) {
  // An instance that cannot be counted only keeps nothing extra loaded: code
  // is never unloaded.
  RanWithMemory([&] {
    InstanceCounts& counts = Counts();
    const std::lock_guard lock(counts.mutex);
    ++counts.counts[ToArray(factoryBytes)];
  });
}

void LocalRemoveInstance(const std::uint8_t* factoryBytes) {
  InstanceCounts& counts = Counts();
  const std::lock_guard lock(counts.mutex);
  const auto found = counts.counts.find(ToArray(factoryBytes));
  if (found == counts.counts.end()) return;
  if (--found->second == 0) counts.counts.erase(found);
}

std::uint32_t LocalInstanceCount(const std::uint8_t* factoryBytes) {
  InstanceCounts& counts = Counts();
  const std::lock_guard lock(counts.mutex);
  const auto found = counts.counts.find(ToArray(factoryBytes));
  return found == counts.counts.end() ? 0 : found->second;
}

constexpr KestrineCFPlugInRegistry kLocalRegistry = {1, &LocalAddInstance, &LocalRemoveInstance,
                                                     &LocalInstanceCount};

// The registry this copy counts in: the one its loader gave it, else its own.
const KestrineCFPlugInRegistry& EffectiveRegistry() {
  const KestrineCFPlugInRegistry* host =
      gKestrineCFPlugInHostRegistry.load(std::memory_order_acquire);
  return host != nullptr ? *host : kLocalRegistry;
}

// Hands this copy's registry to the copy inside a freshly loaded object.
void ShareRegistryWith(void* handle) {
  auto* slot = static_cast<std::atomic<const KestrineCFPlugInRegistry*>*>(
      ::dlsym(handle, kRegistrySymbol));
  if (slot != nullptr && slot != &gKestrineCFPlugInHostRegistry) {
    slot->store(&EffectiveRegistry(), std::memory_order_release);
  }
}

struct FactoryDeclaration {
  CFUUIDBytes id;
  std::string function;
};

struct TypeDeclaration {
  CFUUIDBytes type;
  std::vector<CFUUIDBytes> factories;
};

void SetError(std::string* errorMessage, std::string message) {
  if (errorMessage != nullptr) *errorMessage = std::move(message);
}

// Why the file at `path` may not be loaded, or none when it is a regular
// file. Opening a FIFO or a device could wait for ever or act on the device,
// so only a regular file is ever handed to the dynamic loader.
std::optional<std::string> NotLoadable(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return path + ": " + std::strerror(errno);
  if (!S_ISREG(info.st_mode)) return path + ": not a regular file";
  return std::nullopt;
}

// Declarations larger than this are not read.
constexpr std::size_t kMaxPlistSize = 16 << 20;

// The content of the regular file at `path`, or none with a reason.
std::optional<std::string> ReadRegularFile(const std::string& path, std::string* errorMessage) {
  using kestrine_posix::WholeFileStatus;
  kestrine_posix::WholeFile file = kestrine_posix::ReadRegularFile(path, kMaxPlistSize);
  if (file.status == WholeFileStatus::kRead) return std::move(file.content);
  if (file.status == WholeFileStatus::kOpenFailed) {
    SetError(errorMessage, path + " cannot be read: " + std::strerror(file.error));
  } else if (file.status == WholeFileStatus::kTooLarge) {
    SetError(errorMessage, path + " is too large");
  } else if (file.status == WholeFileStatus::kReadFailed) {
    SetError(errorMessage, path + " cannot be read");
  } else {
    SetError(errorMessage, path + " is not a regular file");
  }
  return std::nullopt;
}

// Calls `visit(key, value)` for each entry of a dictionary node, in order,
// until it returns false. Returns false when a visit did.
template <typename Visit>
bool ForEachEntry(plist_t dict, Visit&& visit) {
  plist_dict_iter iter = nullptr;
  plist_dict_new_iter(dict, &iter);
  if (iter == nullptr) return true;
  bool ok = true;
  while (ok) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(dict, iter, &key, &value);
    if (key == nullptr) break;
    const std::string keyText(key);
    std::free(key);
    ok = visit(keyText, value);
  }
  std::free(iter);
  return ok;
}

// Reads CFPlugInFactories and CFPlugInTypes from the Info.plist at `plistPath`.
bool ReadDeclarations(const std::string& plistPath, std::vector<FactoryDeclaration>* factories,
                      std::vector<TypeDeclaration>* types, std::string* errorMessage) {
  const std::optional<std::string> content = ReadRegularFile(plistPath, errorMessage);
  if (!content) return false;
  // Checked first: a hostile file could otherwise exhaust the host's stack.
  const plist_t rootNode = PlistFromCheckedMemory(*content);
  const PlistPtr root(rootNode);
  if (rootNode == nullptr || plist_get_node_type(rootNode) != PLIST_DICT) {
    SetError(errorMessage, plistPath + " is not a property list dictionary");
    return false;
  }
  plist_t factoryDict = plist_dict_get_item(rootNode, "CFPlugInFactories");
  if (factoryDict == nullptr || plist_get_node_type(factoryDict) != PLIST_DICT) {
    SetError(errorMessage, plistPath + " has no CFPlugInFactories dictionary: not a plug-in");
    return false;
  }
  const bool factoriesOk = ForEachEntry(factoryDict, [&](const std::string& key, plist_t value) {
    const std::optional<CFUUIDBytes> id = CFUUIDBytesFromString(key);
    const std::optional<std::string> function = PlistStringValue(value);
    if (!id) {
      SetError(errorMessage, plistPath + ": malformed factory UUID \"" + key + "\"");
      return false;
    }
    if (!function || function->empty()) {
      SetError(errorMessage, plistPath + ": factory " + key + " names no function");
      return false;
    }
    factories->push_back({*id, *function});
    return true;
  });
  if (!factoriesOk) return false;

  plist_t typeDict = plist_dict_get_item(rootNode, "CFPlugInTypes");
  if (typeDict == nullptr) return true;
  if (plist_get_node_type(typeDict) != PLIST_DICT) {
    SetError(errorMessage, plistPath + ": CFPlugInTypes is not a dictionary");
    return false;
  }
  return ForEachEntry(typeDict, [&](const std::string& key, plist_t value) {
    const std::optional<CFUUIDBytes> type = CFUUIDBytesFromString(key);
    if (!type) {
      SetError(errorMessage, plistPath + ": malformed type UUID \"" + key + "\"");
      return false;
    }
    if (value == nullptr || plist_get_node_type(value) != PLIST_ARRAY) {
      SetError(errorMessage, plistPath + ": type " + key + " has no array of factories");
      return false;
    }
    TypeDeclaration declaration{*type, {}};
    const std::uint32_t size = plist_array_get_size(value);
    for (std::uint32_t i = 0; i < size; ++i) {
      const std::optional<std::string> text = PlistStringValue(plist_array_get_item(value, i));
      const std::optional<CFUUIDBytes> factory =
          text ? CFUUIDBytesFromString(*text) : std::nullopt;
      if (!factory) {
        SetError(errorMessage, plistPath + ": type " + key + " lists a malformed factory UUID");
        return false;
      }
      bool declared = false;
      for (const FactoryDeclaration& known : *factories) declared |= known.id == *factory;
      if (!declared) {
        SetError(errorMessage,
                 plistPath + ": type " + key + " lists the undeclared factory " + *text);
        return false;
      }
      declaration.factories.push_back(*factory);
    }
    types->push_back(std::move(declaration));
    return true;
  });
}

}  // namespace

class CFPlugIn final {
 public:
  CFPlugIn(CFBundle bundle, std::string executable, std::vector<FactoryDeclaration> factories,
           std::vector<TypeDeclaration> types)
      : bundle_(std::move(bundle)),
        executable_(std::move(executable)),
        factories_(std::move(factories)),
        types_(std::move(types)) {}

  const CFBundle& bundle() const { return bundle_; }
  const std::string& executable() const { return executable_; }
  const std::vector<FactoryDeclaration>& factories() const { return factories_; }
  const std::vector<TypeDeclaration>& types() const { return types_; }

  // The dlopen handle of the loaded code, null before it is loaded; guarded
  // by the registry's mutex.
  void* handle = nullptr;

 private:
  const CFBundle bundle_;
  const std::string executable_;
  const std::vector<FactoryDeclaration> factories_;
  const std::vector<TypeDeclaration> types_;
};

namespace {

struct KnownFactory {
  CFPlugInRef plugIn;
  std::string function;
};

// Every plug-in the process has made, and who owns each factory. Never
// destroyed: plug-ins live until the process ends.
struct PlugInRegistry {
  std::mutex mutex;
  std::vector<CFPlugInRef> plugIns;
  std::map<std::string, CFPlugInRef> byPath;
  std::map<ByteArray, KnownFactory> factories;
};

PlugInRegistry& Registry() {
  static PlugInRegistry* registry = new PlugInRegistry;
  return *registry;
}

std::vector<CFUUIDRef> FactoriesFor(const CFPlugIn& plugIn, const CFUUIDBytes& type) {
  std::vector<CFUUIDRef> found;
  for (const TypeDeclaration& declaration : plugIn.types()) {
    if (!(declaration.type == type)) continue;
    for (const CFUUIDBytes& factory : declaration.factories) {
      if (CFUUIDRef uuid = CFUUIDCreateFromUUIDBytes(kCFAllocatorDefault, factory)) {
        found.push_back(std::move(uuid));
      }
    }
  }
  return found;
}

std::string CanonicalPath(std::string_view path) {
  std::error_code error;
  std::filesystem::path canonical = std::filesystem::weakly_canonical(std::string(path), error);
  if (error) return std::string(path);
  std::string text = canonical.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

CFPlugInRef CreatePlugIn(std::string_view bundlePath, std::string* errorMessage) {
  const std::string path = CanonicalPath(bundlePath);
  PlugInRegistry& registry = Registry();
  {
    const std::lock_guard lock(registry.mutex);
    const auto known = registry.byPath.find(path);
    if (known != registry.byPath.end()) return known->second;
  }
  std::error_code error;
  if (!std::filesystem::is_directory(path, error)) {
    SetError(errorMessage, "no bundle folder at " + path);
    return nullptr;
  }
  const std::string plistPath = path + "/Contents/Info.plist";
  if (!std::filesystem::is_regular_file(plistPath, error)) {
    SetError(errorMessage, path + " has no Contents/Info.plist");
    return nullptr;
  }
  std::optional<CFBundle> bundle = CFBundleCreate(path);
  if (!bundle) {
    SetError(errorMessage, plistPath + " is unreadable or has no CFBundleIdentifier");
    return nullptr;
  }
  const std::optional<std::string> executable = CFBundleCopyExecutableURL(*bundle);
  if (!executable) {
    SetError(errorMessage, bundle->executable
                               ? plistPath + ": CFBundleExecutable \"" + *bundle->executable +
                                     "\" lies outside the bundle"
                               : plistPath + " names no CFBundleExecutable");
    return nullptr;
  }
  std::vector<FactoryDeclaration> factories;
  std::vector<TypeDeclaration> types;
  if (!ReadDeclarations(plistPath, &factories, &types, errorMessage)) return nullptr;
  // A bundle without its code declares no factories, so that another copy
  // of the same plug-in can still bring them.
  if (std::optional<std::string> reason = NotLoadable(*executable)) {
    SetError(errorMessage, "cannot load " + std::move(*reason));
    return nullptr;
  }

  auto plugIn = std::make_shared<CFPlugIn>(std::move(*bundle), *executable, std::move(factories),
                                           std::move(types));
  const std::lock_guard lock(registry.mutex);
  // Another thread may have made the same plug-in meanwhile.
  const auto [known, inserted] = registry.byPath.emplace(path, plugIn);
  if (!inserted) return known->second;
  registry.plugIns.push_back(plugIn);
  for (const FactoryDeclaration& factory : plugIn->factories()) {
    registry.factories.emplace(ToArray(factory.id), KnownFactory{plugIn, factory.function});
  }
  return plugIn;
}

}  // namespace

CFPlugInRef CFPlugInCreate(CFAllocatorRef, std::string_view bundlePath,
                           std::string* errorMessage) {
  CFPlugInRef made;
  if (RanWithMemory([&] { made = CreatePlugIn(bundlePath, errorMessage); })) return made;
  SetError(errorMessage, "out of memory");
  return nullptr;
}

std::optional<CFBundle> CFPlugInGetBundle(const CFPlugInRef& plugIn) {
  if (!plugIn) return std::nullopt;
  return plugIn->bundle();
}

bool CFPlugInIsLoaded(const CFPlugInRef& plugIn) {
  if (!plugIn) return false;
  const std::lock_guard lock(Registry().mutex);
  return plugIn->handle != nullptr;
}

std::vector<CFUUIDRef> CFPlugInFindFactoriesForPlugInTypeInPlugIn(const CFUUIDRef& typeUUID,
                                                                  const CFPlugInRef& plugIn) {
  if (!typeUUID || !plugIn) return {};
  return GuardMemory(std::vector<CFUUIDRef>(),
                     [&] { return FactoriesFor(*plugIn, typeUUID->bytes()); });
}

std::vector<CFUUIDRef> CFPlugInFindFactoriesForPlugInType(const CFUUIDRef& typeUUID) {
  if (!typeUUID) return {};
  return GuardMemory(std::vector<CFUUIDRef>(), [&] {
    std::vector<CFPlugInRef> plugIns;
    {
      const std::lock_guard lock(Registry().mutex);
      plugIns = Registry().plugIns;
    }
    std::vector<CFUUIDRef> found;
    for (const CFPlugInRef& plugIn : plugIns) {
      std::vector<CFUUIDRef> more = FactoriesFor(*plugIn, typeUUID->bytes());
      found.insert(found.end(), more.begin(), more.end());
    }
    return found;
  });
}

namespace {

void* CreateInstance(CFAllocatorRef allocator, const CFUUIDRef& factoryUUID,
                     const CFUUIDRef& typeUUID, std::string* errorMessage) {
  const std::string factoryText = CFUUIDCreateString(kCFAllocatorDefault, factoryUUID);
  PlugInRegistry& registry = Registry();
  KnownFactory factory;
  void* handle = nullptr;
  {
    const std::lock_guard lock(registry.mutex);
    const auto found = registry.factories.find(ToArray(factoryUUID->bytes()));
    if (found == registry.factories.end()) {
      SetError(errorMessage, "no plug-in declares the factory " + factoryText);
      return nullptr;
    }
    factory = found->second;
    handle = factory.plugIn->handle;
  }
  if (handle == nullptr) {
    // Loading runs the object's initialisers, which may call back into this
    // library; no lock is held meanwhile. A second load by a racing thread
    // only raises the loader's reference count. The file is looked at again
    // here: it may have changed since the bundle was read.
    if (std::optional<std::string> reason = NotLoadable(factory.plugIn->executable())) {
      SetError(errorMessage, "cannot load " + std::move(*reason));
      return nullptr;
    }
    ::dlerror();
    handle = ::dlopen(factory.plugIn->executable().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* reason = ::dlerror();
      SetError(errorMessage, "cannot load " + factory.plugIn->executable() + ": " +
                                 (reason != nullptr ? reason : "unknown error"));
      return nullptr;
    }
    ShareRegistryWith(handle);
    const std::lock_guard lock(registry.mutex);
    if (factory.plugIn->handle == nullptr) factory.plugIn->handle = handle;
  }
  void* symbol = ::dlsym(handle, factory.function.c_str());
  if (symbol == nullptr) {
    SetError(errorMessage,
             factory.plugIn->executable() + " exports no function " + factory.function);
    return nullptr;
  }
  const auto function = reinterpret_cast<CFPlugInFactoryFunction>(symbol);
  void* instance = function(allocator, typeUUID);
  if (instance == nullptr) {
    SetError(errorMessage, "factory " + factoryText + " makes no instance of type " +
                               CFUUIDCreateString(kCFAllocatorDefault, typeUUID));
  }
  return instance;
}

}  // namespace

void* CFPlugInInstanceCreate(CFAllocatorRef allocator, const CFUUIDRef& factoryUUID,
                             const CFUUIDRef& typeUUID, std::string* errorMessage) {
  if (!factoryUUID || !typeUUID) {
    SetError(errorMessage, "no factory or type given");
    return nullptr;
  }
  void* instance = nullptr;
  const bool ran = RanWithMemory(
      [&] { instance = CreateInstance(allocator, factoryUUID, typeUUID, errorMessage); });
  if (ran) return instance;
  SetError(errorMessage, "out of memory");
  return nullptr;
}

void CFPlugInAddInstanceForFactory(const CFUUIDRef& factoryID) {
  if (!factoryID) return;
  const ByteArray bytes = ToArray(factoryID->bytes());
  EffectiveRegistry().addInstance(bytes.data());
}

void CFPlugInRemoveInstanceForFactory(const CFUUIDRef& factoryID) {
  if (!factoryID) return;
  const ByteArray bytes = ToArray(factoryID->bytes());
  EffectiveRegistry().removeInstance(bytes.data());
}

ItemCount CFPlugInGetInstanceCountForFactory(const CFUUIDRef& factoryID) {
  if (!factoryID) return 0;
  const ByteArray bytes = ToArray(factoryID->bytes());
  return EffectiveRegistry().instanceCount(bytes.data());
}
