// A stand-in plug-in: reports the bundle it finds for an identifier.
#include <cstring>

#include "platform/bundle/bundle.h"

// Copies the path and resources folder of the bundle known as `identifier`
// into `path` and `resources` (each `size` bytes) and returns true, or
// returns false when the bundle is unknown.
extern "C" __attribute__((visibility("default"))) bool BundleTestPluginFind(
    const char* identifier, char* path, char* resources, std::size_t size) {
  std::optional<CFBundle> bundle = CFBundleGetBundleWithIdentifier(identifier);
  if (!bundle) return false;
  std::strncpy(path, bundle->path.c_str(), size - 1);
  path[size - 1] = '\0';
  std::strncpy(resources, CFBundleCopyResourcesDirectoryURL(*bundle).c_str(), size - 1);
  resources[size - 1] = '\0';
  return true;
}
