// The mount table (/proc/self/mountinfo) and what the file services learn
// from it: which volume holds an item, the volume's name and its URL.
// Internal to the file services.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files/files.h"

namespace files_internal {

// One line of the mount table, with the kernel's escapes undone.
struct MountEntry {
  std::int64_t mount_id = 0;
  std::int64_t parent_id = 0;
  std::uint32_t major = 0;  // The device number of the mounted file system.
  std::uint32_t minor = 0;
  std::string root;         // The folder of the file system mounted here.
  std::string mount_point;  // Absolute.
  std::string fs_type;      // Such as "ext4", "cifs", "nfs4", "fuse.sshfs".
  std::string source;       // Such as "/dev/sda1", "//server/share", "host:/export".
};

// Undoes the kernel's octal escapes of mount-table fields ("\040" a blank,
// "\011" a tab, "\012" a line feed, "\134" a backslash). A backslash not
// followed by three octal digits stays as it is.
std::string UnescapeMountField(std::string_view field);

// Parses the text of /proc/self/mountinfo, one mount per line; lines that
// do not have the mountinfo layout are skipped.
std::vector<MountEntry> ParseMountInfo(std::string_view text);

// Reads and parses /proc/self/mountinfo; none when it cannot be read.
std::optional<std::vector<MountEntry>> ReadMountTable();

// The entry with `mount_id`; null when none has it.
const MountEntry* FindMountById(const std::vector<MountEntry>& mounts, std::int64_t mount_id);

// The entry that holds `path` on the device `major`:`minor`: among the
// entries of that device, the one whose mount point is the longest prefix of
// `path` by whole components; of several on the same mount point, the last
// (the one on top). Null when none matches.
const MountEntry* FindMountForDevice(const std::vector<MountEntry>& mounts, std::uint32_t major,
                                     std::uint32_t minor, std::string_view path);

// The volume's URL: CIFS/SMB "//server/share" gives "smb://server/share/";
// NFS "server:/export" gives "nfs://server/export/"; SSHFS
// "user@host:/path" gives "sftp://user@host/path/" (a path relative to the
// remote home folder, "user@host:dir", gives "sftp://user@host/~/dir/");
// anything else, or a source of another shape, the file:// URL of the mount
// point with a trailing slash. Paths are percent-escaped, host names not.
std::string VolumeURLForMount(const MountEntry& mount);

// Undoes udev's "\xNN" escapes in the names of /dev/disk/by-label.
std::string UnescapeUdevLabel(std::string_view name);

// The file-system label of `mount`: the name in `by_label_folder` whose link
// leads to the block device of the mount (by its device number, or by its
// source when that is a device file). None when no label names it.
std::optional<std::string> LabelForMount(const MountEntry& mount,
                                         const std::string& by_label_folder = "/dev/disk/by-label");

// The volume's name: its label when it has one; else "Linux" for the
// start-up volume (mounted on "/") and the last component of the mount
// point for any other.
std::string VolumeNameForMount(const MountEntry& mount, const std::optional<std::string>& label);

// What one statx(2) of a path, not following its last link, tells.
struct ItemStatus {
  std::uint32_t mode = 0;                 // Type and permission bits, as st_mode.
  std::optional<std::uint64_t> mount_id;  // When the kernel reports it.
  std::uint32_t major = 0;                // The device holding the item.
  std::uint32_t minor = 0;
  std::optional<bool> mount_root;         // Whether a mount is on the item, when reported.
  bool is_directory() const;
  bool is_symlink() const;
};

// Stats `path` without following its last link. On failure returns none and
// sets `*error` to the errno value.
std::optional<ItemStatus> StatItem(const std::string& path, int* error);

// StatItem of `path` relative to the open folder `folder` (AT_FDCWD for the
// current folder).
std::optional<ItemStatus> StatItemAt(int folder, const std::string& path, int* error);

// The status an operation on a vanished item returns for the errno value of
// its stat: fnfErr when the item or a folder on its way is gone, else as
// OSErrFromErrno.
OSErr MissingItemStatus(int error);

// The mount entry that holds the item at `path`; null when none is found.
const MountEntry* MountOfItem(const std::vector<MountEntry>& mounts, const ItemStatus& status,
                              std::string_view path);

// The volume reference number of the item at `path`: its mount ID, from
// statx or else from the mount table. None when it cannot be found.
std::optional<FSVolumeRefNum> VolumeOfItem(const ItemStatus& status, std::string_view path);

}  // namespace files_internal
