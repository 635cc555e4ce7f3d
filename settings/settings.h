// The shared settings of every front-end, in the domain
// "com.corvane.KestrineCM". Nothing is cached: every reader asks the store
// each time. Each reader's default and whether it synchronizes first are
// part of its contract.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/preferences/preferences.h"

inline constexpr std::string_view kKestrineDomain = "com.corvane.KestrineCM";

// The keys of the command switches, one boolean each.
inline constexpr std::string_view kIncludePosixPathKey = "IncludePosixPath";
inline constexpr std::string_view kIncludeTildePosixPathKey = "IncludeTildePosixPath";
inline constexpr std::string_view kIncludeTerminalPathKey = "IncludeTerminalPath";
inline constexpr std::string_view kIncludeHFSPathKey = "IncludeHFSPath";
inline constexpr std::string_view kIncludeFilenameKey = "IncludeFilename";
inline constexpr std::string_view kIncludeDisplayFilenameKey = "IncludeDisplayFilename";
inline constexpr std::string_view kIncludeUNCWindowsStyleKey = "IncludeUNCWindowsStyle";
inline constexpr std::string_view kIncludeAFPURLKey = "IncludeAFPURL";
inline constexpr std::string_view kIncludeExtensionKey = "IncludeExtension";
inline constexpr std::string_view kIncludeAllKey = "IncludeAll";
inline constexpr std::string_view kIncludeFolderPathsKey = "IncludeFolderPaths";
inline constexpr std::string_view kIncludeEncodedPosixPathKey = "IncludeEncodedPosixPath";

// The other keys. The tray application keeps its own separator under
// kMultipathSeparatorKey in its own domain too.
inline constexpr std::string_view kShowClipboardInMenuKey = "ShowClipboardInMenu";
inline constexpr std::string_view kLabelItemsKey = "LabelItems";
inline constexpr std::string_view kMakeAsSubmenuKey = "MakeAsSubmenu";
inline constexpr std::string_view kMultipathSeparatorKey = "MultipathSeparator";
inline constexpr std::string_view kPrefixesKey = "Prefixes";

// The defaults of absent (or not boolean) switches. A command switch is on
// unless its menu says otherwise.
inline constexpr bool kCommandSwitchDefault = true;
inline constexpr bool kShowClipboardInMenuDefault = false;
inline constexpr bool kLabelItemsDefault = false;
inline constexpr bool kMakeAsSubmenuDefault = true;
// The separator of an absent or empty setting.
inline constexpr std::string_view kDefaultMultipathSeparator = "\n";

// True only when `LabelItems` holds the boolean true. Does not synchronize.
bool LabelItems();

// `IncludeAll`; absent or not a boolean gives true. Does not synchronize.
bool IncludeAll();

// `IncludeFolderPaths`; absent or not a boolean gives true. Does not
// synchronize.
bool IncludeCopyFolderPaths();

// `MakeAsSubmenu`; absent or not a boolean gives true. Synchronizes first.
bool MakeAsSubmenu();

// `MultipathSeparator` when it is a string of at least one character, else a
// line feed. Synchronizes first.
std::string MultipathSeparator();

// The boolean stored under `key`; absent or not a boolean gives
// `defaultValue`. Synchronizes first.
bool IncludeMenuItem(std::string_view key, bool defaultValue);

// `ShowClipboardInMenu`; absent or not a boolean gives false. Synchronizes
// first.
bool ShowClipboardInMenu();

// The boolean stored under `key`, or none when absent or not a boolean. Does
// not synchronize.
std::optional<bool> CopyBooleanSetting(std::string_view key);

// The `Prefixes` array as stored (elements that are not strings are none),
// or none when absent or not an array. Synchronizes first.
std::optional<PrefArray> CopyPrefixesSetting();

// The `Prefixes` value as stored, whatever its type, or none when absent.
// Does not synchronize.
std::optional<PrefValue> CopyStoredPrefixes();

// Writers: each stores its value and synchronizes at once so that other
// processes see it. Return false when the store could not be written.
bool SetBooleanSetting(std::string_view key, bool value);
bool SetMultipathSeparator(std::string_view separator);
bool SetPrefixesSetting(const std::vector<std::string>& prefixes);

// Writes what this process has set to the store and reads what others have
// written. Returns false when the store could not be written.
bool SynchronizeSettings();
