#include "engine/prefixes.h"

#include <algorithm>
#include <new>
#include <string>

#include "engine/path_forms.h"
#include "platform/bundle/bundle.h"
#include "platform/corefoundation/cf_string.h"
#include "platform/memory_guard.h"
#include "platform/posix/posix.h"
#include "settings/settings.h"

std::optional<PrefArray> gPrefixes;

namespace {

constexpr std::string_view kPrefixBundleIdentifier = "com.corvane.KestrineCM";
constexpr std::string_view kPrefixFileName = "Prefixes.txt";

const std::string* EntryAt(std::size_t index) {
  if (!gPrefixes || index >= gPrefixes->size()) return nullptr;
  const std::optional<std::string>& entry = (*gPrefixes)[index];
  return entry ? &*entry : nullptr;
}

}  // namespace

bool CommandIDExists(std::int32_t commandID) {
  if (IsFixedCommandID(commandID)) return true;
  const std::optional<PrefixFormID> prefix = PrefixFormOf(commandID);
  return prefix && EntryAt(prefix->index) != nullptr;
}

PrefArray SplitPrefixText(std::string_view text) {
  PrefArray entries;
  if (text.empty()) return entries;
  char separator = '\n';
  if (text.find('\n') == std::string_view::npos) separator = '\r';
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(separator, start);
    entries.emplace_back(std::string(text.substr(start, end - start)));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return entries;
}

void LoadPrefixesFromTextFile() {
  gPrefixes.reset();
  const std::optional<CFBundle> bundle = CFBundleGetBundleWithIdentifier(kPrefixBundleIdentifier);
  if (!bundle) return;
  std::string path = CFBundleCopyResourcesDirectoryURL(*bundle);
  path += '/';
  path += kPrefixFileName;
  const bool ran = RanWithMemory([&] {
    const kestrine_posix::WholeFile file = kestrine_posix::ReadRegularFile(path);
    if (file.status != kestrine_posix::WholeFileStatus::kRead) return;
    PrefArray entries = SplitPrefixText(CFStringCreateWithMacRoman(file.content));
    if (!entries.empty()) gPrefixes = std::move(entries);
  });
  if (!ran) gPrefixes.reset();
}

void LoadPrefixes() {
  LoadPrefixesFromTextFile();
  std::optional<PrefArray> setting = CopyPrefixesSetting();
  if (!setting) return;
  // Out of memory, the table stays as far as it got: the file's entries, or
  // none.
  RanWithMemory([&] {
    if (gPrefixes) {
      gPrefixes->insert(gPrefixes->end(), setting->begin(), setting->end());
    } else {
      gPrefixes = std::move(*setting);
    }
  });
}

std::int32_t RenderSlashPrefixForm(const FSRef& ref, char* buffer, std::size_t capacity,
                                   std::size_t index) {
  if (buffer == nullptr || capacity == 0) return 0;
  buffer[0] = '\0';
  const std::string* entry = EntryAt(index);
  if (entry == nullptr || index >= static_cast<std::size_t>(kSlashPrefixLimit)) return 0;
  char working[kWorkingPathSize];
  if (FSRefMakePath(ref, working, sizeof working) != noErr) return 0;
  const std::optional<std::string> escaped = CFURLCreateStringByAddingPercentEscapes(working);
  if (!escaped) return 0;
  std::string_view rest = *escaped;
  if (rest.starts_with("/Volumes")) {
    rest.remove_prefix(8);
  } else if (rest.starts_with("/Users")) {
    rest.remove_prefix(6);
  }
  std::string text = *entry;
  text += rest;
  return CopyRenderedText(text, buffer, capacity);
}

std::int32_t RenderBackslashPrefixForm(const FSRef& ref, char* buffer, std::size_t capacity,
                                       std::size_t index) {
  if (buffer == nullptr || capacity == 0) return 0;
  buffer[0] = '\0';
  const std::string* entry = EntryAt(index);
  if (entry == nullptr) return 0;
  if (GetUNCWindowsStylePathWithoutLabel(ref, buffer, capacity) < 1) return 0;
  std::string unc(buffer);
  buffer[0] = '\0';
  // Escaping with slashes in place of backslashes keeps the separators
  // unescaped.
  std::replace(unc.begin(), unc.end(), '\\', '/');
  std::optional<std::string> escaped = CFURLCreateStringByAddingPercentEscapes(unc);
  if (!escaped) return 0;
  std::replace(escaped->begin(), escaped->end(), '/', '\\');
  std::string_view rest = *escaped;
  if (rest.starts_with("\\\\")) rest.remove_prefix(1);
  std::string text = *entry;
  text += rest;
  return CopyRenderedText(text, buffer, capacity);
}
