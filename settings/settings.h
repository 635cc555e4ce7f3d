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

// The `Prefixes` array as stored (elements that are not strings are none),
// or none when absent or not an array. Synchronizes first.
std::optional<PrefArray> CopyPrefixesSetting();

// Writers: each stores its value and synchronizes at once so that other
// processes see it. Return false when the store could not be written.
bool SetBooleanSetting(std::string_view key, bool value);
bool SetMultipathSeparator(std::string_view separator);
bool SetPrefixesSetting(const std::vector<std::string>& prefixes);
