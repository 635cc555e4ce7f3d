// Whether an item is a package: an application, framework, plug-in or other
// bundle that the user sees as one item and that folder listings neither
// list nor enter.
#pragma once

#include "platform/files/files.h"

// True when the item's name ends in one of the package extensions ("app",
// "bundle", "framework", "plugin", "kext"), in any letter case.
bool ItemIsABundleByExtension(const FSRef& ref);

// True when the item is a package: the file manager flags it as a package or
// an application, or its extension is a package extension. Files and folders
// alike. The extension is tested first, since it needs no file-system call.
bool ItemIsABundle(const FSRef& ref);

// While one lives, ItemIsABundle answers a repeated question about the item
// it was last asked about from memory, on this thread. A folder walk asks
// about each folder twice in a row (once in its filter, once before reading
// it); the scope makes the second answer free. Scopes nest.
class ScopedPackageMemo final {
 public:
  ScopedPackageMemo();
  ~ScopedPackageMemo();
  ScopedPackageMemo(const ScopedPackageMemo&) = delete;
  ScopedPackageMemo& operator=(const ScopedPackageMemo&) = delete;
};
