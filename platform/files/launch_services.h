// What the file manager knows about an item beyond the file system: its
// display name, its extension, whether it is a package or an application,
// its location as an HFS path, and its volume's URL.
//
// Rules on Linux:
// - Package: a folder whose name ends in one of the package extensions
//   ("app", "bundle", "framework", "plugin", "kext", any letter case), or a
//   folder holding "Contents/Info.plist" (a bundle, such as KestrineCM.plugin).
// - Application: a folder whose name ends in ".app" or ".AppDir" (any letter
//   case; the name's extension by the rule below). An application is also a
//   package. A symbolic link is never a package: its flags are link and
//   plain file.
// - Display name: the name with bytes that are not UTF-8 replaced by U+FFFD;
//   the root of a volume shows the volume's name (see CFURLCopyHFSPath).
// - Extension: the text after the final period, when that period is neither
//   the first nor the last character and the text holds no white space
//   (Unicode White_Space). So ".bashrc", "file." and "a.txt " have none, and
//   ".config.json" has "json".
// - HFS path: the volume's name, then the path inside the volume, with ":"
//   between components and every ":" inside a name shown as "/". A folder's
//   path ends with ":". The start-up volume (the one mounted on "/") is named
//   by its file-system label when /dev/disk/by-label names one, else "Linux";
//   any other volume by its label, else the last component of its mount point.
//   An item outside its mount's point (seen from another mount namespace)
//   counts as on the start-up volume.
// - Volume URL: from the mount table. CIFS/SMB: smb://server/share/; NFS:
//   nfs://server/export/; SSHFS: sftp://user@host/path/ (a path relative to
//   the remote home: sftp://user@host/~/path/); anything else, or a mount
//   source of another shape: the file:// URL of the mount point, with a
//   trailing slash. Paths are percent-escaped by RFC 2396.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/MacTypes.h"
#include "platform/files/files.h"
#include "platform/xdg/xdg.h"  // NSHomeDirectory, for the tilde form below.

// The name the file manager shows for the item, valid UTF-8; none when the
// item cannot be read (deleted, bad reference).
std::optional<std::string> LSCopyDisplayNameForRef(const FSRef& ref);

constexpr std::size_t kLSInvalidExtensionIndex = static_cast<std::size_t>(-1);

// The byte index of the first character of `name`'s extension, or
// kLSInvalidExtensionIndex when it has none (rules above).
std::size_t LSGetExtensionInfo(std::string_view name);

using LSRequestedInfo = std::uint32_t;
constexpr LSRequestedInfo kLSRequestBasicFlagsOnly = 0x00000004;
// Only kLSItemInfoIsPackage and kLSItemInfoIsApplication, with at most one
// file-system call: what a folder walk asks of every folder. An item that
// cannot be reached reads as neither.
constexpr LSRequestedInfo kLSRequestPackageFlagsOnly = 0x00010000;

using LSItemInfoFlags = std::uint32_t;
constexpr LSItemInfoFlags kLSItemInfoIsPlainFile = 0x00000001;
constexpr LSItemInfoFlags kLSItemInfoIsPackage = 0x00000002;
constexpr LSItemInfoFlags kLSItemInfoIsApplication = 0x00000004;
constexpr LSItemInfoFlags kLSItemInfoIsContainer = 0x00000008;
constexpr LSItemInfoFlags kLSItemInfoIsSymlink = 0x00000040;

struct LSItemInfoRecord {
  LSItemInfoFlags flags = 0;
};

// Fills `info->flags` for the item (links are not followed). Every request
// gets the basic flags: the only ones there are. Returns noErr, fnfErr for a
// deleted item, paramErr for a bad reference or null `info`.
OSStatus LSCopyItemInfoForRef(const FSRef& ref, LSRequestedInfo which, LSItemInfoRecord* info);

// The extension of the item's location (the text after the final period of
// its name, without the period, as a URL's path extension: no other rule
// applies), or none: no period, nothing after it, the root, a bad reference,
// or an extension that is not valid UTF-8. The item need not exist.
std::optional<std::string> CFURLCopyPathExtension(const FSRef& ref);

// The same extension viewed in place, without a copy: valid while `ref`
// lives. For tests made on every entry of a walk.
std::optional<std::string_view> CFURLPathExtensionView(const FSRef& ref);

// The item's HFS path (rules above); none when the item is gone or its name
// is not valid UTF-8.
std::optional<std::string> CFURLCopyHFSPath(const FSRef& ref);

// The volume's URL as text; none when no mounted volume has that number.
std::optional<std::string> FSCopyURLForVolume(FSVolumeRefNum volume);

// `path` with the home folder at its start replaced by "~": the home folder
// itself becomes "~", paths inside it "~/...", any other path is returned
// unchanged. Compares whole components: "/home/ann2" is not inside
// "/home/ann".
std::string stringByAbbreviatingWithTildeInPath(std::string_view path);
