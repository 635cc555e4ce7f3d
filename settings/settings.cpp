#include "settings/settings.h"

#include <utility>

namespace {

std::optional<PrefValue> CopyValue(std::string_view key, bool synchronize) {
  if (synchronize) CFPreferencesAppSynchronize(kKestrineDomain);
  return CFPreferencesCopyAppValue(key, kKestrineDomain);
}

// The stored boolean, or none when the key is absent or holds any other
// type.
std::optional<bool> CopyBoolean(std::string_view key, bool synchronize) {
  const std::optional<PrefValue> value = CopyValue(key, synchronize);
  if (value) {
    if (const bool* stored = std::get_if<bool>(&*value)) return *stored;
  }
  return std::nullopt;
}

bool ReadBoolean(std::string_view key, bool defaultValue, bool synchronize) {
  return CopyBoolean(key, synchronize).value_or(defaultValue);
}

bool Store(std::string_view key, PrefValue value) {
  CFPreferencesSetAppValue(key, std::move(value), kKestrineDomain);
  return CFPreferencesAppSynchronize(kKestrineDomain);
}

}  // namespace

bool LabelItems() { return ReadBoolean(kLabelItemsKey, kLabelItemsDefault, false); }

bool IncludeAll() { return ReadBoolean(kIncludeAllKey, kCommandSwitchDefault, false); }

bool IncludeCopyFolderPaths() {
  return ReadBoolean(kIncludeFolderPathsKey, kCommandSwitchDefault, false);
}

bool MakeAsSubmenu() { return ReadBoolean(kMakeAsSubmenuKey, kMakeAsSubmenuDefault, true); }

bool IncludeMenuItem(std::string_view key, bool defaultValue) {
  return ReadBoolean(key, defaultValue, true);
}

bool ShowClipboardInMenu() {
  return ReadBoolean(kShowClipboardInMenuKey, kShowClipboardInMenuDefault, true);
}

std::optional<bool> CopyBooleanSetting(std::string_view key) { return CopyBoolean(key, false); }

std::string MultipathSeparator() {
  std::optional<PrefValue> value = CopyValue(kMultipathSeparatorKey, true);
  if (value) {
    if (std::string* stored = std::get_if<std::string>(&*value); stored && !stored->empty()) {
      return std::move(*stored);
    }
  }
  return std::string(kDefaultMultipathSeparator);
}

std::optional<PrefArray> CopyPrefixesSetting() {
  std::optional<PrefValue> value = CopyValue(kPrefixesKey, true);
  if (value) {
    if (PrefArray* stored = std::get_if<PrefArray>(&*value)) return std::move(*stored);
  }
  return std::nullopt;
}

std::optional<PrefValue> CopyStoredPrefixes() { return CopyValue(kPrefixesKey, false); }

bool SetBooleanSetting(std::string_view key, bool value) { return Store(key, value); }

bool SetMultipathSeparator(std::string_view separator) {
  return Store(kMultipathSeparatorKey, std::string(separator));
}

bool SetPrefixesSetting(const std::vector<std::string>& prefixes) {
  return Store(kPrefixesKey, PrefArray(prefixes.begin(), prefixes.end()));
}

bool SynchronizeSettings() { return CFPreferencesAppSynchronize(kKestrineDomain); }
