#include "engine/prefixes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <string>

#include "engine/path_forms.h"
#include "platform/bundle/bundle.h"
#include "platform/corefoundation/cf_string.h"
#include "platform/memory_guard.h"
#include "settings/settings.h"

std::optional<PrefArray> gPrefixes;

namespace {

constexpr std::string_view kPrefixBundleIdentifier = "com.corvane.KestrineCM";
constexpr std::string_view kPrefixFileName = "Prefixes.txt";

// Reads the whole file in one go; none on any failure.
std::optional<std::string> ReadWholeFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> bytes;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    const bool ran = RanWithMemory([&] {
      std::string data(static_cast<std::size_t>(info.st_size), '\0');
      std::size_t done = 0;
      bool failed = false;
      while (done < data.size()) {
        const ssize_t n = ::read(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          failed = n < 0;
          break;
        }
        done += static_cast<std::size_t>(n);
      }
      // A file that shrank while being read keeps what was there.
      data.resize(done);
      if (!failed) bytes = std::move(data);
    });
    if (!ran) bytes.reset();
  }
  ::close(fd);
  return bytes;
}

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
  const std::optional<std::string> bytes = ReadWholeFile(path);
  if (!bytes) return;
  const bool ran = RanWithMemory([&] {
    PrefArray entries = SplitPrefixText(CFStringCreateWithMacRoman(*bytes));
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
