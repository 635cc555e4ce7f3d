// The copy commands: their IDs, titles, labels, enabling keys and the
// defaults the menus give those keys. Every front-end takes them from here.
#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "settings/settings.h"

// Command IDs. 1 to 9 and 12 are the single-item forms; 10 and 11 the
// composite commands; 1000 + i and 2000 + i the prefix forms of entry i.
enum : std::int32_t {
  kCopyPosixPath = 1,
  kCopyTildePosixPath = 2,
  kCopyTerminalPath = 3,
  kCopyHFSPath = 4,
  kCopyFilename = 5,
  kCopyDisplayFilename = 6,
  kCopyExtension = 7,
  kCopyUNCWindowsStylePath = 8,
  kCopyAFPURL = 9,
  kCopyAll = 10,
  kCopyFolderPaths = 11,
  kCopyEncodedPosixPath = 12,
  kFirstSlashPrefixID = 1000,
  kFirstBackslashPrefixID = 2000,
};

// The number of prefix entries that have a slash form (IDs 1000 to 1999).
constexpr std::int32_t kSlashPrefixLimit = kFirstBackslashPrefixID - kFirstSlashPrefixID;

// The prefix entry a prefix form names, and which of its two forms.
struct PrefixFormID {
  std::size_t index;
  bool slash;
};

// What `commandID` names as a prefix form, or none for an ID below 1000.
constexpr std::optional<PrefixFormID> PrefixFormOf(std::int32_t commandID) {
  if (commandID >= kFirstBackslashPrefixID) {
    return PrefixFormID{static_cast<std::size_t>(commandID - kFirstBackslashPrefixID), false};
  }
  if (commandID >= kFirstSlashPrefixID) {
    return PrefixFormID{static_cast<std::size_t>(commandID - kFirstSlashPrefixID), true};
  }
  return std::nullopt;
}

// The ID of the slash or backslash form of entry `index`, or none where the
// entry has no such form: past the first 1000 entries a slash ID would name
// another entry's backslash form, and a backslash ID must fit in 32 bits.
constexpr std::optional<std::int32_t> PrefixFormCommandID(std::size_t index, bool slash) {
  if (slash) {
    if (index >= static_cast<std::size_t>(kSlashPrefixLimit)) return std::nullopt;
    return kFirstSlashPrefixID + static_cast<std::int32_t>(index);
  }
  if (index > static_cast<std::size_t>(INT32_MAX - kFirstBackslashPrefixID)) return std::nullopt;
  return kFirstBackslashPrefixID + static_cast<std::int32_t>(index);
}

// Whether `commandID` names one of the twelve commands that need no prefix
// entry: the single forms, "Copy All" and "Copy Folder Paths".
constexpr bool IsFixedCommandID(std::int32_t commandID) {
  return commandID >= kCopyPosixPath && commandID <= kCopyEncodedPosixPath;
}

// One command that needs no prefix entry.
struct CopyCommand {
  std::int32_t commandID;
  // The fixed menu title.
  std::string_view title;
  // What a single form puts in front of its text when `LabelItems` is on;
  // empty for the composite commands.
  std::string_view label;
  // The boolean setting that offers the command in the menus.
  std::string_view enablingKey;
  // Whether an absent (or not boolean) key offers the command among titled
  // items, and among preview items.
  bool titledDefault = kCommandSwitchDefault;
  bool previewDefault = kCommandSwitchDefault;
  // The Services' user-data string, where it is not the title.
  std::string_view userData = {};

  // The string a Services request names the command with.
  constexpr std::string_view CommandString() const { return userData.empty() ? title : userData; }
};

// The single-item forms in form order (ID 12 second), the order of menus and
// of "Copy All", then "Copy All" and "Copy Folder Paths".
inline constexpr std::array<CopyCommand, 12> kCopyCommands = {{
    {kCopyPosixPath, "Copy Posix Path", "Mac Path: ", kIncludePosixPathKey},
    {kCopyEncodedPosixPath, "Copy Encoded Posix Path", "Encoded Mac Path: ", kIncludeEncodedPosixPathKey},
    {kCopyTildePosixPath, "Copy Tilde Posix Path", "Relative Mac Path: ", kIncludeTildePosixPathKey},
    {kCopyTerminalPath, "Copy Terminal Path", "Terminal Path: ", kIncludeTerminalPathKey},
    {kCopyHFSPath, "Copy HFS Path", "HFS Path: ", kIncludeHFSPathKey},
    {kCopyFilename, "Copy Filename", "Filename: ", kIncludeFilenameKey},
    {kCopyDisplayFilename, "Copy Display Filename", "Display Filename: ", kIncludeDisplayFilenameKey},
    {kCopyExtension, "Copy Extension", "Extension: ", kIncludeExtensionKey},
    // Left out of the titled menus unless asked for; the tray menu's
    // previews and "Copy All" count it as on.
    {kCopyUNCWindowsStylePath, "Copy UNC Windows Style Path", "PC Path: ", kIncludeUNCWindowsStyleKey,
     false, true},
    {kCopyAFPURL, "Copy AFP URL", "AFP URL: ", kIncludeAFPURLKey},
    {kCopyAll, "Copy All", "", kIncludeAllKey, kCommandSwitchDefault, kCommandSwitchDefault,
     "Copy All Paths"},
    {kCopyFolderPaths, "Copy Folder Paths", "", kIncludeFolderPathsKey},
}};

// How many of kCopyCommands, from the first, are single-item forms.
inline constexpr std::size_t kSingleFormCount = 10;

// The command with that ID, or null for any other ID.
constexpr const CopyCommand* FindCopyCommand(std::int32_t commandID) {
  for (const CopyCommand& command : kCopyCommands) {
    if (command.commandID == commandID) return &command;
  }
  return nullptr;
}
