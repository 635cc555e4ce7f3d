#include "platform/files/launch_services.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/corefoundation/cf_string.h"
#include "platform/files/mount_table.h"
#include "platform/files/node_table.h"
#include "platform/files/open_folders.h"
#include "platform/files/read_ahead.h"

using files_internal::ItemStatus;
using files_internal::MountEntry;
using files_internal::RefLocation;

namespace {

constexpr std::array<std::string_view, 5> kPackageExtensions = {"app", "bundle", "framework",
                                                                "plugin", "kext"};
constexpr std::array<std::string_view, 2> kApplicationExtensions = {"app", "AppDir"};

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

template <std::size_t N>
bool ExtensionIsOneOf(std::string_view name, const std::array<std::string_view, N>& extensions) {
  const std::size_t start = LSGetExtensionInfo(name);
  if (start == kLSInvalidExtensionIndex) return false;
  for (const std::string_view extension : extensions) {
    if (EqualsIgnoringCase(name.substr(start), extension)) return true;
  }
  return false;
}

// The item a reference names, with its path and what one stat tells.
struct LocatedItem {
  RefLocation location;
  std::string path;
  ItemStatus status;
};

std::optional<LocatedItem> Locate(const FSRef& ref, OSErr* error) {
  std::optional<RefLocation> location = files_internal::DecodeRef(ref);
  if (!location) {
    *error = paramErr;
    return std::nullopt;
  }
  std::optional<std::string> path = files_internal::PathOfLocation(*location);
  if (!path) {
    *error = paramErr;
    return std::nullopt;
  }
  int stat_error = 0;
  const std::optional<int> folder = files_internal::OpenFolderOfParent(*location);
  const std::optional<ItemStatus> status =
      folder ? files_internal::StatItemAt(*folder, location->name, &stat_error)
             : files_internal::StatItem(*path, &stat_error);
  if (!status) {
    *error = files_internal::MissingItemStatus(stat_error);
    return std::nullopt;
  }
  return LocatedItem{std::move(*location), std::move(*path), *status};
}

// The mount that holds the item and whether the item is its root.
struct ItemVolume {
  MountEntry mount;
  bool item_is_root = false;
};

std::optional<ItemVolume> VolumeOf(const LocatedItem& item) {
  const std::optional<std::vector<MountEntry>> mounts = files_internal::ReadMountTable();
  if (!mounts) return std::nullopt;
  const MountEntry* mount = files_internal::MountOfItem(*mounts, item.status, item.path);
  if (mount == nullptr) return std::nullopt;
  return ItemVolume{*mount, item.path == mount->mount_point};
}

std::string VolumeName(const MountEntry& mount) {
  return files_internal::VolumeNameForMount(mount, files_internal::LabelForMount(mount));
}

// Whether the item is a volume's root, asking the mount table only when
// statx does not say.
bool IsVolumeRoot(const LocatedItem& item) {
  if (item.path == "/") return true;
  if (item.status.mount_root) return *item.status.mount_root;
  const std::optional<ItemVolume> volume = VolumeOf(item);
  return volume && volume->item_is_root;
}

constexpr std::string_view kInfo = "/Contents/Info.plist";

// Whether the folder `name` of the open folder `folder_fd` holds
// Contents/Info.plist.
bool HoldsBundleInfoAt(int folder_fd, std::string_view name) {
  // Asked of every folder a walk meets: made on the stack.
  char relative[files_internal::kMaxNameLength + kInfo.size() + 1];
  std::memcpy(relative, name.data(), name.size());
  std::memcpy(relative + name.size(), kInfo.data(), kInfo.size());
  relative[name.size() + kInfo.size()] = '\0';
  return faccessat(folder_fd, relative, F_OK, AT_SYMLINK_NOFOLLOW) == 0;
}

// Whether the folder holds Contents/Info.plist, asked relative to its open
// parent when this thread is iterating it. A folder this thread has just
// read without meeting a "Contents" entry needs no look.
// `path` is the folder's, when the caller has it.
bool HoldsBundleInfo(const FSRef& ref, const files_internal::RefLocationView& location,
                     const std::string* path) {
  if (const std::optional<bool> known = files_internal::ReadFolderHoldsContents(ref)) {
    if (!*known) return false;
  }
  const std::optional<int> folder =
      location.child_form ? files_internal::OpenFolderOfNode(location.node) : std::nullopt;
  if (folder) return HoldsBundleInfoAt(*folder, location.name);
  std::string absolute;
  if (path != nullptr) {
    absolute = *path;
  } else if (!files_internal::AppendPathOfLocation(location, &absolute)) {
    return false;
  }
  absolute += kInfo;
  return faccessat(AT_FDCWD, absolute.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0;
}

bool IsPackageFolder(const FSRef& ref, std::string_view name, const LocatedItem& item) {
  return ExtensionIsOneOf(name, kPackageExtensions) ||
         HoldsBundleInfo(ref, {item.location.node, item.location.name, item.location.child_form()},
                         &item.path);
}

// The package and application flags alone, with at most one system call: a
// folder holding Contents/Info.plist needs no stat to be known as a folder.
OSStatus PackageFlagsOnly(const FSRef& ref, LSItemInfoRecord* info);

// PackageFlagsOnly, answered from and kept with the entry an iterator has
// just delivered, when a listing cache remembers it.
OSStatus RememberedPackageFlags(const FSRef& ref, LSItemInfoRecord* info) {
  files_internal::CachedEntry* entry = files_internal::RememberedEntry(ref);
  if (entry != nullptr) {
    const std::int32_t known = files_internal::LoadPackageFlags(*entry);
    if (known >= 0) {
      info->flags = static_cast<LSItemInfoFlags>(known);
      return noErr;
    }
  }
  const OSStatus status = PackageFlagsOnly(ref, info);
  if (entry != nullptr && status == noErr) {
    files_internal::StorePackageFlags(*entry, static_cast<std::int32_t>(info->flags));
  }
  return status;
}

OSStatus PackageFlagsOnly(const FSRef& ref, LSItemInfoRecord* info) {
  info->flags = 0;
  const std::optional<files_internal::RefLocationView> location =
      files_internal::DecodeRefView(ref);
  if (!location) return paramErr;
  if (!location->child_form && location->node == files_internal::kRootNode) return noErr;
  const std::string_view name = location->name;
  const bool application = ExtensionIsOneOf(name, kApplicationExtensions);
  if (application || ExtensionIsOneOf(name, kPackageExtensions)) {
    OSErr error = noErr;
    const std::optional<LocatedItem> item = Locate(ref, &error);
    if (!item) return error;
    if (item->status.is_directory()) {
      info->flags = kLSItemInfoIsPackage | (application ? kLSItemInfoIsApplication : 0);
    }
    return noErr;
  }
  if (HoldsBundleInfo(ref, *location, nullptr)) info->flags = kLSItemInfoIsPackage;
  return noErr;
}

}  // namespace

std::optional<std::string> LSCopyDisplayNameForRef(const FSRef& ref) {
  OSErr error = noErr;
  const std::optional<LocatedItem> item = Locate(ref, &error);
  if (!item) return std::nullopt;
  if (IsVolumeRoot(*item)) {
    if (const std::optional<ItemVolume> volume = VolumeOf(*item)) {
      return MakeValidUTF8(VolumeName(volume->mount));
    }
  }
  const std::optional<std::string> name = files_internal::NameOfLocation(item->location);
  if (!name) return std::nullopt;
  return MakeValidUTF8(*name);
}

std::size_t LSGetExtensionInfo(std::string_view name) {
  const std::size_t period = name.rfind('.');
  if (period == std::string_view::npos || period == 0 || period + 1 == name.size()) {
    return kLSInvalidExtensionIndex;
  }
  if (ContainsWhiteSpace(name.substr(period + 1))) return kLSInvalidExtensionIndex;
  return period + 1;
}

OSStatus LSCopyItemInfoForRef(const FSRef& ref, LSRequestedInfo which, LSItemInfoRecord* info) {
  if (info == nullptr) return paramErr;
  if (which == kLSRequestPackageFlagsOnly) return RememberedPackageFlags(ref, info);
  OSErr error = noErr;
  const std::optional<LocatedItem> item = Locate(ref, &error);
  if (!item) return error;
  LSItemInfoFlags flags = 0;
  if (item->status.is_symlink()) {
    flags = kLSItemInfoIsSymlink | kLSItemInfoIsPlainFile;
  } else if (item->status.is_directory()) {
    flags = kLSItemInfoIsContainer;
    const std::optional<std::string> name = files_internal::NameOfLocation(item->location);
    if (name && item->path != "/") {
      if (ExtensionIsOneOf(*name, kApplicationExtensions)) {
        flags |= kLSItemInfoIsApplication | kLSItemInfoIsPackage;
      } else if (IsPackageFolder(ref, *name, *item)) {
        flags |= kLSItemInfoIsPackage;
      }
    }
  } else {
    flags = kLSItemInfoIsPlainFile;
  }
  info->flags = flags;
  return noErr;
}

std::optional<std::string_view> CFURLPathExtensionView(const FSRef& ref) {
  const std::optional<files_internal::RefLocationView> location =
      files_internal::DecodeRefView(ref);
  if (!location || (!location->child_form && location->node == files_internal::kRootNode)) {
    return std::nullopt;
  }
  const std::string_view name = location->name;
  const std::size_t period = name.rfind('.');
  if (period == std::string_view::npos || period + 1 == name.size()) return std::nullopt;
  const std::string_view extension = name.substr(period + 1);
  if (!IsValidUTF8(extension)) return std::nullopt;
  return extension;
}

std::optional<std::string> CFURLCopyPathExtension(const FSRef& ref) {
  const std::optional<std::string_view> extension = CFURLPathExtensionView(ref);
  if (!extension) return std::nullopt;
  return std::string(*extension);
}

std::optional<std::string> CFURLCopyHFSPath(const FSRef& ref) {
  OSErr error = noErr;
  const std::optional<LocatedItem> item = Locate(ref, &error);
  if (!item) return std::nullopt;
  const std::optional<ItemVolume> volume = VolumeOf(*item);
  std::string hfs;
  std::string_view inside = item->path;
  if (volume && (volume->mount.mount_point == "/" ||
                 (inside.substr(0, volume->mount.mount_point.size()) == volume->mount.mount_point &&
                  (inside.size() == volume->mount.mount_point.size() ||
                   inside[volume->mount.mount_point.size()] == '/')))) {
    hfs = VolumeName(volume->mount);
    if (volume->mount.mount_point != "/") inside.remove_prefix(volume->mount.mount_point.size());
  } else {
    // Seen from another mount namespace, or not in the table: count the
    // item as on the start-up volume.
    hfs = "Linux";
  }
  if (!IsValidUTF8(hfs)) return std::nullopt;
  std::size_t pos = 0;
  while (pos < inside.size()) {
    std::size_t end = inside.find('/', pos);
    if (end == std::string_view::npos) end = inside.size();
    const std::string_view component = inside.substr(pos, end - pos);
    if (!component.empty()) {
      if (!IsValidUTF8(component)) return std::nullopt;
      hfs.push_back(':');
      for (const char c : component) hfs.push_back(c == ':' ? '/' : c);
    }
    pos = end + 1;
  }
  if (item->status.is_directory() || hfs.find(':') == std::string::npos) hfs.push_back(':');
  return hfs;
}

std::optional<std::string> FSCopyURLForVolume(FSVolumeRefNum volume) {
  const std::optional<std::vector<MountEntry>> mounts = files_internal::ReadMountTable();
  if (!mounts) return std::nullopt;
  const MountEntry* mount = files_internal::FindMountById(*mounts, volume);
  if (mount == nullptr) return std::nullopt;
  return files_internal::VolumeURLForMount(*mount);
}

std::string stringByAbbreviatingWithTildeInPath(std::string_view path) {
  const std::optional<std::string> home = NSHomeDirectory();
  if (!home) return std::string(path);
  std::string_view rest;
  if (*home == "/") {
    if (path.empty() || path.front() != '/') return std::string(path);
    rest = path.substr(1);
  } else {
    if (path.substr(0, home->size()) != *home) return std::string(path);
    rest = path.substr(home->size());
    if (!rest.empty() && rest.front() != '/') return std::string(path);
    if (!rest.empty()) rest.remove_prefix(1);
  }
  // The home folder with trailing slashes is the home folder.
  if (rest.find_first_not_of('/') == std::string_view::npos) return "~";
  return "~/" + std::string(rest);
}

std::optional<std::int32_t> files_internal::PackageFlagsOfLeafAt(int folder_fd,
                                                                  std::string_view name) {
  if (ExtensionIsOneOf(name, kApplicationExtensions) || ExtensionIsOneOf(name, kPackageExtensions)) {
    return std::nullopt;
  }
  return HoldsBundleInfoAt(folder_fd, name) ? kLSItemInfoIsPackage : 0;
}
