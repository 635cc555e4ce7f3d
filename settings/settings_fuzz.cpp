// Feeds arbitrary bytes to the settings readers as the settings file, as a
// hostile or broken editor could leave it. Besides crashes and hangs it
// checks two properties: no view is deeper than the store's nesting limit
// (which a file whose markup the store's check and the parser read
// differently could break), and once the store has written the domain back,
// the file reads again with every value as before.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/preferences/preferences.h"
#include "platform/preferences/preferences_testing.h"
#include "settings/settings.h"

namespace {

// Low, so that short inputs reach it.
constexpr int kNesting = 8;

constexpr std::string_view kKeys[] = {
    kIncludePosixPathKey,       kIncludeEncodedPosixPathKey, kIncludeTildePosixPathKey, kIncludeTerminalPathKey,
    kIncludeHFSPathKey,         kIncludeFilenameKey,         kIncludeDisplayFilenameKey, kIncludeExtensionKey,
    kIncludeUNCWindowsStyleKey, kIncludeAFPURLKey,           kIncludeAllKey,             kIncludeFolderPathsKey,
    kShowClipboardInMenuKey,    kLabelItemsKey,              kMakeAsSubmenuKey,          kMultipathSeparatorKey,
    kPrefixesKey,               "A",                         "",
};

std::string gRoot;
std::string gFolder;
std::string gFile;
std::int64_t gVersion = 0;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

void RemoveRoot() { ::nftw(gRoot.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

// Rewrites the settings file in place with a modification time of its own,
// so that the store sees a new version without a rename or a flush to disk.
void WriteSettingsFile(const void* data, std::size_t size) {
  const int fd = ::open(gFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) std::abort();
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t count = ::write(fd, bytes, size);
    if (count <= 0) std::abort();
    bytes += count;
    size -= static_cast<std::size_t>(count);
  }
  timespec times[2] = {{0, UTIME_OMIT}, {++gVersion, 0}};
  if (::futimens(fd, times) != 0) std::abort();
  ::close(fd);
}

std::string ReadSettingsFile() {
  std::string text;
  if (FILE* file = std::fopen(gFile.c_str(), "rb")) {
    char buffer[65536];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, count);
    std::fclose(file);
  }
  return text;
}

// Damaged versions the store kept aside; each input starts without them.
void RemoveDamagedFiles() {
  DIR* folder = ::opendir(gFolder.c_str());
  if (!folder) return;
  while (const dirent* entry = ::readdir(folder)) {
    if (std::strstr(entry->d_name, ".damaged-")) ::unlinkat(::dirfd(folder), entry->d_name, 0);
  }
  ::closedir(folder);
}

std::vector<std::optional<PrefValue>> CopyValues() {
  std::vector<std::optional<PrefValue>> values;
  for (std::string_view key : kKeys) values.push_back(CFPreferencesCopyAppValue(key, kKestrineDomain));
  return values;
}

void CallReaders() {
  CFPreferencesAppSynchronize(kKestrineDomain);
  LabelItems();
  IncludeAll();
  IncludeCopyFolderPaths();
  MakeAsSubmenu();
  MultipathSeparator();
  CopyPrefixesSetting();
  for (std::string_view key : kKeys) {
    IncludeMenuItem(key, false);
    IncludeMenuItem(key, true);
  }
}

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "settings_fuzz: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // A memory file system when there is one: every input rewrites the file.
  struct stat st;
  const bool memory = ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/dev/shm", W_OK) == 0;
  std::string pattern = std::string(memory ? "/dev/shm" : "/tmp") + "/kestrine-settings-fuzz-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  gRoot = pattern;
  std::atexit(RemoveRoot);
  gFolder = gRoot + "/config";
  if (::mkdir(gFolder.c_str(), 0700) != 0) std::abort();
  ::setenv("HOME", gRoot.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", gFolder.c_str(), 1);
  gFile = CFPreferencesFilePath(kKestrineDomain);
  SetMaxNestingForTesting(kNesting);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RemoveDamagedFiles();
  WriteSettingsFile(data, size);
  CallReaders();
  Check(ViewDepthForTesting(kKestrineDomain) <= kNesting, "the view is deeper than the nesting limit");
  const std::vector<std::optional<PrefValue>> before = CopyValues();

  // A write merges with the file (or moves it aside when damaged); the
  // written file, read afresh, must give the same values.
  Check(SetBooleanSetting("FuzzWritten", true), "the write failed");
  const std::string written = ReadSettingsFile();
  WriteSettingsFile(written.data(), written.size());
  CallReaders();
  Check(CopyValues() == before, "a value changed through a write and a read");
  Check(CFPreferencesCopyAppValue("FuzzWritten", kKestrineDomain) == PrefValue(true),
        "the written key did not read back");
  return 0;
}
