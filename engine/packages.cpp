#include "engine/packages.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

#include "platform/files/launch_services.h"

namespace {

constexpr std::array<std::string_view, 5> kPackageExtensions = {"app", "bundle", "framework",
                                                                 "plugin", "kext"};

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

struct PackageMemo {
  int scopes = 0;
  bool valid = false;
  FSRef ref{};
  bool isPackage = false;
};

thread_local PackageMemo tMemo;

bool AskLaunchServices(const FSRef& ref) {
  LSItemInfoRecord info;
  return LSCopyItemInfoForRef(ref, kLSRequestPackageFlagsOnly, &info) == noErr &&
         (info.flags & (kLSItemInfoIsPackage | kLSItemInfoIsApplication)) != 0;
}

}  // namespace

ScopedPackageMemo::ScopedPackageMemo() { ++tMemo.scopes; }

ScopedPackageMemo::~ScopedPackageMemo() {
  if (--tMemo.scopes == 0) tMemo.valid = false;
}

bool ItemIsABundleByExtension(const FSRef& ref) {
  const std::optional<std::string_view> extension = CFURLPathExtensionView(ref);
  if (!extension) return false;
  return std::any_of(kPackageExtensions.begin(), kPackageExtensions.end(),
                     [&](std::string_view known) { return EqualsIgnoringCase(*extension, known); });
}

bool ItemIsABundle(const FSRef& ref) {
  if (tMemo.scopes > 0 && tMemo.valid && tMemo.ref == ref) return tMemo.isPackage;
  // Both tests give the same answer for a package by extension, and this one
  // costs no system call.
  const bool isPackage = ItemIsABundleByExtension(ref) || AskLaunchServices(ref);
  if (tMemo.scopes > 0) {
    tMemo.ref = ref;
    tMemo.isPackage = isPackage;
    tMemo.valid = true;
  }
  return isPackage;
}
