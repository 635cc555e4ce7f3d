#include "platform/preferences/preferences.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/posix/posix.h"
#include "platform/preferences/preferences_testing.h"
#include "platform/preferences/xml_check.h"
#include "platform/xdg/xdg.h"

namespace {

using kestrine_posix::FileDescriptor;
using kestrine_posix::WriteAll;

// Files larger than this are not read; no preferences domain comes near it.
constexpr std::size_t kMaxFileBytes = std::size_t{16} << 20;

using Plist = PlistPtr;

struct XmlFree {
  void operator()(char* xml) const { plist_to_xml_free(xml); }
};

// One version of a file. Writers of this store always replace the file by a
// new one and keep its modification time ahead of the previous version's, so
// equal stamps mean the file did not change.
struct FileStamp {
  bool exists = false;
  kestrine_posix::FileVersion version;
  mode_t mode = 0;  // Kept for the next version of the file; not compared.
};

bool operator==(const FileStamp& a, const FileStamp& b) {
  if (!a.exists || !b.exists) return a.exists == b.exists;
  return a.version == b.version;
}

FileStamp StampOf(const struct stat& st) {
  return {true, kestrine_posix::FileVersion(st), st.st_mode};
}

enum class FileState {
  kMissing,     // No file: an empty domain.
  kValid,       // A dictionary was read.
  kDamaged,     // The file is not a whole XML property list holding a dictionary.
  kUnreadable,  // The file exists but could not be read; it must not be replaced.
};

struct FileContents {
  FileState state = FileState::kMissing;
  FileStamp stamp;
  Plist dict;  // The top-level dictionary; empty unless the state is kValid.
};

// The process's view of one domain file.
struct Domain {
  bool loaded = false;
  Plist view;       // What reads answer from: the file as last read, with `pending` applied.
  FileStamp stamp;  // The version of the file that `view` was read from.
  // Keys set or removed (null) since the last successful write.
  std::map<std::string, Plist, std::less<>> pending;
};

std::mutex gMutex;
// Keyed by file path, so a change of the environment gives a fresh view.
std::map<std::string, Domain, std::less<>> gDomains;  // Guarded by gMutex.
PreferencesCounters gCounters;                        // Guarded by gMutex.
XmlCheckLimits gXmlLimits;                            // Guarded by gMutex.

Plist NewDictionary() { return Plist(plist_new_dict()); }

// The top-level dictionary of an XML property list, or null when `text` is
// not one.
Plist ParseDictionary(std::string_view text) {
  ++gCounters.parses;
  const std::optional<std::string> checked = CheckedPlistXml(text, gXmlLimits);
  if (!checked) return nullptr;
  plist_t root = nullptr;
  plist_from_xml(checked->data(), static_cast<std::uint32_t>(checked->size()), &root);
  Plist owned(root);
  if (!owned || plist_get_node_type(root) != PLIST_DICT) return nullptr;
  return owned;
}

FileContents ReadFile(const std::string& path) {
  using kestrine_posix::WholeFileStatus;
  FileContents contents;
  contents.dict = NewDictionary();
  const kestrine_posix::WholeFile file = kestrine_posix::ReadRegularFile(path, kMaxFileBytes);
  const bool opened = file.status != WholeFileStatus::kOpenFailed;
  if (!opened && (file.error == ENOENT || file.error == ENOTDIR)) return contents;
  contents.state = FileState::kUnreadable;
  if (!opened) {
    if (struct stat st; ::stat(path.c_str(), &st) == 0) contents.stamp = StampOf(st);
    return contents;
  }
  if (file.status == WholeFileStatus::kStatFailed) return contents;
  // The stamp is of the file before it was read, so a change made while it
  // was read gives a different stamp at the next synchronize.
  contents.stamp = StampOf(file.info);
  if (file.status != WholeFileStatus::kRead) return contents;
  if (Plist dict = ParseDictionary(file.content)) {
    contents.state = FileState::kValid;
    contents.dict = std::move(dict);
  } else {
    contents.state = FileState::kDamaged;
  }
  return contents;
}

FileStamp CurrentStamp(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return {};
  return StampOf(st);
}

void ApplyPending(plist_t dict, const std::map<std::string, Plist, std::less<>>& pending) {
  for (const auto& [key, value] : pending) {
    if (value) {
      plist_dict_set_item(dict, key.c_str(), plist_copy(value.get()));
    } else {
      plist_dict_remove_item(dict, key.c_str());
    }
  }
}

void Load(Domain& domain, const std::string& path) {
  FileContents contents = ReadFile(path);
  domain.view = std::move(contents.dict);
  domain.stamp = contents.stamp;
  ApplyPending(domain.view.get(), domain.pending);
  domain.loaded = true;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return path.substr(0, slash == 0 ? 1 : slash);
}

// Creates `folder` and its missing parents, new ones private to the user.
bool MakeFolders(const std::string& folder) {
  struct stat st;
  if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool LockExclusive(int fd) {
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Renames `from` to `to` unless `to` exists (errno EEXIST then).
bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // The file system cannot refuse to replace. Other writers of the domain
  // hold off while the caller has the lock, so a check is enough.
  if (struct stat st; ::lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return ::rename(from.c_str(), to.c_str()) == 0;
}

// Renames a damaged file to "<path>.damaged-<seconds>", adding ".1", ".2"
// ... when that name is taken, so that no earlier damaged file is lost.
bool MoveAside(const std::string& path) {
  const std::string base = path + ".damaged-" + std::to_string(::time(nullptr));
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string target = attempt == 0 ? base : base + "." + std::to_string(attempt);
    if (RenameNoReplace(path, target)) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

// The file clock ticks coarsely, so two versions written within one tick
// could carry the same times (and, the old inode being freed, even the same
// inode). Moving the new version's modification time past the previous
// one's keeps their stamps apart.
void KeepModificationTimeAhead(int fd, const FileStamp& previous) {
  struct stat st;
  if (!previous.exists || ::fstat(fd, &st) != 0) return;
  const timespec& old = previous.version.modified;
  const timespec& now = st.st_mtim;
  if (now.tv_sec > old.tv_sec || (now.tv_sec == old.tv_sec && now.tv_nsec > old.tv_nsec)) return;
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = old;
  if (++times[1].tv_nsec == 1'000'000'000) {
    times[1].tv_nsec = 0;
    ++times[1].tv_sec;
  }
  ::futimens(fd, times);
}

void SyncFolder(const std::string& folder) {
  FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) ::fsync(fd.get());
}

// Replaces the file at `path` by `dict` in XML: a temporary file in the same
// folder, flushed to disk, then renamed over it.
bool ReplaceFile(const std::string& path, plist_t dict, const FileStamp& previous) {
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(dict, &xml, &length);
  const std::unique_ptr<char, XmlFree> owned(xml);
  if (!xml) return false;

  std::string temporary = path + ".XXXXXX";
  FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd.valid()) return false;
  const mode_t mode = previous.exists ? (previous.mode & 07777) : 0600;
  bool ok = ::fchmod(fd.get(), mode) == 0 && WriteAll(fd.get(), std::string_view(xml, length)) == 0;
  if (ok) KeepModificationTimeAhead(fd.get(), previous);
  ok = ok && ::fsync(fd.get()) == 0;
  ok = fd.Close() == 0 && ok;
  ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  SyncFolder(FolderOf(path));
  ++gCounters.writes;
  return true;
}

// Merges the pending keys into the file under the domain's lock and reloads
// the view from the result. On failure the keys stay pending and the view is
// what was read, with them applied.
bool WritePending(Domain& domain, const std::string& path) {
  if (!MakeFolders(FolderOf(path))) {
    Load(domain, path);
    return false;
  }
  FileDescriptor lock(
      ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600));
  if (!lock.valid() || !LockExclusive(lock.get())) {
    Load(domain, path);
    return false;
  }
  FileContents current = ReadFile(path);
  ApplyPending(current.dict.get(), domain.pending);
  // An unreadable file cannot be merged with, so it is left alone; a
  // damaged one is kept beside the new file.
  const bool written = current.state != FileState::kUnreadable &&
                       (current.state != FileState::kDamaged || MoveAside(path)) &&
                       ReplaceFile(path, current.dict.get(), current.stamp);
  domain.view = std::move(current.dict);
  domain.loaded = true;
  if (written) {
    // Taken while the lock is held, so it is the stamp of what was written.
    domain.stamp = CurrentStamp(path);
    domain.pending.clear();
  } else {
    domain.stamp = current.stamp;
  }
  return written;
}

Domain& LoadedDomain(const std::string& path) {
  Domain& domain = gDomains.try_emplace(path).first->second;
  if (!domain.loaded) Load(domain, path);
  return domain;
}

const char* TypeName(plist_type type) {
  switch (type) {
    case PLIST_BOOLEAN:
      return "boolean";
    case PLIST_UINT:
      return "integer";
    case PLIST_REAL:
      return "real";
    case PLIST_STRING:
      return "string";
    case PLIST_ARRAY:
      return "array";
    case PLIST_DICT:
      return "dict";
    case PLIST_DATE:
      return "date";
    case PLIST_DATA:
      return "data";
    case PLIST_KEY:
      return "key";
    case PLIST_UID:
      return "uid";
    case PLIST_NONE:
      break;
  }
  return "none";
}

std::string StringOf(plist_t node) {
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  return text ? std::string(text, length) : std::string();
}

PrefValue ToPrefValue(plist_t node) {
  switch (const plist_type type = plist_get_node_type(node)) {
    case PLIST_BOOLEAN:
      return plist_bool_val_is_true(node) != 0;
    case PLIST_STRING:
      return StringOf(node);
    case PLIST_ARRAY: {
      PrefArray array;
      const std::uint32_t size = plist_array_get_size(node);
      array.reserve(size);
      for (std::uint32_t i = 0; i < size; ++i) {
        plist_t item = plist_array_get_item(node, i);
        if (plist_get_node_type(item) == PLIST_STRING) {
          array.emplace_back(StringOf(item));
        } else {
          array.emplace_back(std::nullopt);
        }
      }
      return array;
    }
    default:
      return PrefOther{TypeName(type)};
  }
}

bool HasNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// The node that stores `value`, or null when it cannot be stored: a
// PrefOther, or a text holding a NUL character, which XML cannot carry.
Plist ToPlist(const PrefValue& value) {
  return std::visit(
      [](const auto& v) -> Plist {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          return Plist(plist_new_bool(v ? 1 : 0));
        } else if constexpr (std::is_same_v<T, std::string>) {
          return HasNul(v) ? nullptr : Plist(plist_new_string(v.c_str()));
        } else if constexpr (std::is_same_v<T, PrefArray>) {
          Plist array(plist_new_array());
          for (const std::optional<std::string>& item : v) {
            if (!item) continue;
            if (HasNul(*item)) return nullptr;
            plist_array_append_item(array.get(), plist_new_string(item->c_str()));
          }
          return array;
        } else {
          return nullptr;
        }
      },
      value);
}

bool IsValidDomainName(std::string_view applicationID) {
  return !applicationID.empty() && applicationID != "." && applicationID != ".." &&
         applicationID.find('/') == std::string_view::npos && !HasNul(applicationID);
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The user's configuration folder. Relative settings are ignored, as the
// base-directory convention asks.
std::string ConfigFolder() {
  if (std::optional<std::string> config = XdgConfigHome()) {
    return WithoutTrailingSlashes(std::move(*config));
  }
  const std::optional<std::string> home = NSHomeDirectory();
  if (!home) return {};
  return (*home == "/" ? "" : *home) + "/.config";
}

}  // namespace

std::string CFPreferencesFilePath(std::string_view applicationID) {
  if (!IsValidDomainName(applicationID)) return {};
  const std::string folder = ConfigFolder();
  if (folder.empty()) return {};
  return (folder == "/" ? "" : folder) + "/" + std::string(applicationID) + ".plist";
}

std::optional<PrefValue> CFPreferencesCopyAppValue(std::string_view key,
                                                   std::string_view applicationID) {
  if (HasNul(key)) return std::nullopt;
  const std::string path = CFPreferencesFilePath(applicationID);
  if (path.empty()) return std::nullopt;
  const std::lock_guard<std::mutex> lock(gMutex);
  const Domain& domain = LoadedDomain(path);
  plist_t node = plist_dict_get_item(domain.view.get(), std::string(key).c_str());
  if (!node) return std::nullopt;
  return ToPrefValue(node);
}

void CFPreferencesSetAppValue(std::string_view key, std::optional<PrefValue> value,
                              std::string_view applicationID) {
  if (HasNul(key)) return;
  Plist node;
  if (value) {
    node = ToPlist(*value);
    if (!node) return;
  }
  const std::string path = CFPreferencesFilePath(applicationID);
  if (path.empty()) return;
  const std::lock_guard<std::mutex> lock(gMutex);
  Domain& domain = LoadedDomain(path);
  std::string name(key);
  if (node) {
    plist_dict_set_item(domain.view.get(), name.c_str(), plist_copy(node.get()));
  } else {
    plist_dict_remove_item(domain.view.get(), name.c_str());
  }
  domain.pending.insert_or_assign(std::move(name), std::move(node));
}

bool CFPreferencesAppSynchronize(std::string_view applicationID) {
  const std::string path = CFPreferencesFilePath(applicationID);
  if (path.empty()) return false;
  const std::lock_guard<std::mutex> lock(gMutex);
  Domain& domain = gDomains.try_emplace(path).first->second;
  if (!domain.pending.empty()) return WritePending(domain, path);
  if (domain.loaded) {
    ++gCounters.stats;
    if (CurrentStamp(path) == domain.stamp) return true;
  }
  Load(domain, path);
  return true;
}

void SetMaxNestingForTesting(int levels) {
  const std::lock_guard<std::mutex> lock(gMutex);
  gXmlLimits.maxNesting = levels;
}

int ViewDepthForTesting(std::string_view applicationID) {
  const std::string path = CFPreferencesFilePath(applicationID);
  if (path.empty()) return 0;
  const std::lock_guard<std::mutex> lock(gMutex);
  const Domain& domain = LoadedDomain(path);
  // Walked with a list of its own rather than by recursion, so that a view
  // too deep for the stack is still measured.
  int deepest = 0;
  std::vector<std::pair<plist_t, int>> pending = {{domain.view.get(), 1}};
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    deepest = std::max(deepest, depth);
    if (plist_get_node_type(node) == PLIST_ARRAY) {
      const std::uint32_t size = plist_array_get_size(node);
      for (std::uint32_t i = 0; i < size; ++i) {
        plist_t item = plist_array_get_item(node, i);
        const plist_type type = plist_get_node_type(item);
        if (type == PLIST_ARRAY || type == PLIST_DICT) pending.emplace_back(item, depth + 1);
      }
    } else {
      plist_dict_iter iterator = nullptr;
      plist_dict_new_iter(node, &iterator);
      for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, iterator, &key, &item);
        if (!key) break;
        std::free(key);
        const plist_type type = plist_get_node_type(item);
        if (type == PLIST_ARRAY || type == PLIST_DICT) pending.emplace_back(item, depth + 1);
      }
      std::free(iterator);
    }
  }
  return deepest;
}

PreferencesCounters PreferencesCountersForTesting() {
  const std::lock_guard<std::mutex> lock(gMutex);
  return gCounters;
}
