#include "settings/settings.h"

#include <utility>

namespace {

std::optional<PrefValue> CopyValue(std::string_view key, bool synchronize) {
  if (synchronize) CFPreferencesAppSynchronize(kKestrineDomain);
  return CFPreferencesCopyAppValue(key, kKestrineDomain);
}

// The stored boolean, or `defaultValue` when the key is absent or holds any
// other type.
bool ReadBoolean(std::string_view key, bool defaultValue, bool synchronize) {
  const std::optional<PrefValue> value = CopyValue(key, synchronize);
  if (value) {
    if (const bool* stored = std::get_if<bool>(&*value)) return *stored;
  }
  return defaultValue;
}

bool Store(std::string_view key, PrefValue value) {
  CFPreferencesSetAppValue(key, std::move(value), kKestrineDomain);
  return CFPreferencesAppSynchronize(kKestrineDomain);
}

}  // namespace

bool LabelItems() { return ReadBoolean("LabelItems", false, false); }

bool IncludeAll() { return ReadBoolean("IncludeAll", true, false); }

bool IncludeCopyFolderPaths() { return ReadBoolean("IncludeFolderPaths", true, false); }

bool MakeAsSubmenu() { return ReadBoolean("MakeAsSubmenu", true, true); }

bool IncludeMenuItem(std::string_view key, bool defaultValue) {
  return ReadBoolean(key, defaultValue, true);
}

std::string MultipathSeparator() {
  std::optional<PrefValue> value = CopyValue("MultipathSeparator", true);
  if (value) {
    if (std::string* stored = std::get_if<std::string>(&*value); stored && !stored->empty()) {
      return std::move(*stored);
    }
  }
  return "\n";
}

std::optional<PrefArray> CopyPrefixesSetting() {
  std::optional<PrefValue> value = CopyValue("Prefixes", true);
  if (value) {
    if (PrefArray* stored = std::get_if<PrefArray>(&*value)) return std::move(*stored);
  }
  return std::nullopt;
}

bool SetBooleanSetting(std::string_view key, bool value) { return Store(key, value); }

bool SetMultipathSeparator(std::string_view separator) {
  return Store("MultipathSeparator", std::string(separator));
}

bool SetPrefixesSetting(const std::vector<std::string>& prefixes) {
  return Store("Prefixes", PrefArray(prefixes.begin(), prefixes.end()));
}
