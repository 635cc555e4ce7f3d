#include "platform/processes/processes.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/log/nslog.h"
#include "platform/posix/posix.h"
#include "platform/runtime/runtime_folder.h"

namespace {

using kestrine_posix::FileDescriptor;

constexpr char kEntrySuffix[] = ".proc";
constexpr char kSocketSuffix[] = ".sock";
constexpr char kEntryMagic[] = "KPR1";
constexpr std::size_t kMaxEntrySize = 1024;
constexpr std::size_t kMaxNameSize = 255;

std::string RegistryFolderPath() { return KestrineRuntimeFolderPath() + "/processes"; }

// The registry folder, open. It is kept open between calls (see
// OpenRegistry), so a caller holds a share of it while it works.
class RegistryFd final {
 public:
  int get() const { return fd_ ? fd_->get() : -1; }
  std::shared_ptr<FileDescriptor> fd_;
  struct stat info_ {};  // The folder's status when it was checked.
  uid_t user_ = 0;       // The user it was checked for: this process's, then.
};

// The registry folder last opened, with where it was found.
struct OpenedRegistry {
  std::string runtimePath;
  dev_t device = 0;
  ino_t inode = 0;
  std::shared_ptr<FileDescriptor> fd;
};
std::mutex& OpenedRegistryMutex() {
  static std::mutex mutex;
  return mutex;
}
OpenedRegistry& TheOpenedRegistry() {
  static OpenedRegistry opened;
  return opened;
}

// Whether `path` is a real folder of this user that others may not enter,
// and, when `same` is given, the very folder that was opened.
bool IsPrivateFolder(const std::string& path, uid_t user, const OpenedRegistry* same = nullptr,
                     struct stat* status = nullptr) {
  struct stat local {};
  struct stat& info = status != nullptr ? *status : local;
  return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == user &&
         (info.st_mode & 077) == 0 &&
         (same == nullptr || (info.st_dev == same->device && info.st_ino == same->inode));
}

// Opens the runtime folder and, inside it, the registry folder, checking
// both. The folder opened last is used again while both paths still lead
// to it and pass the checks, which costs two lstat calls instead of opening
// and checking both folders.
OSErr OpenRegistry(RegistryFd* fd) {
  const std::string runtime = KestrineRuntimeFolderPath();
  OpenedRegistry last;
  {
    std::lock_guard lock(OpenedRegistryMutex());
    last = TheOpenedRegistry();
  }
  fd->user_ = geteuid();
  if (last.fd && last.runtimePath == runtime && IsPrivateFolder(runtime, fd->user_) &&
      IsPrivateFolder(RegistryFolderPath(), fd->user_, &last, &fd->info_)) {
    fd->fd_ = std::move(last.fd);
    return noErr;
  }
  int runtimeFd = -1;
  OSStatus status = OpenKestrineRuntimeFolder(&runtimeFd);
  const FileDescriptor runtimeOwner(runtimeFd);
  auto opened = std::make_shared<FileDescriptor>();
  int registryFd = -1;
  if (status == noErr) status = OpenPrivateFolder(RegistryFolderPath(), &registryFd);
  opened->Reset(registryFd);
  if (status != noErr) return static_cast<OSErr>(status);
  struct stat info {};
  if (fstat(opened->get(), &info) != 0) return ioErr;
  fd->info_ = info;
  {
    std::lock_guard lock(OpenedRegistryMutex());
    TheOpenedRegistry() = OpenedRegistry{runtime, info.st_dev, info.st_ino, opened};
  }
  fd->fd_ = std::move(opened);
  return noErr;
}

// The kernel's start time of `pid` (clock ticks since boot), which tells a
// process from a later one that got the same id; none when it does not run,
// or, with `*cannotTell` set, when it could not be read for want of a
// descriptor or memory.
std::optional<unsigned long long> ProcessStartTime(pid_t pid, bool* cannotTell = nullptr) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FileDescriptor fd(open(path, O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (cannotTell != nullptr) *cannotTell = errno == EMFILE || errno == ENFILE || errno == ENOMEM;
    return std::nullopt;
  }
  char buffer[1024];
  const ssize_t size = read(fd.get(), buffer, sizeof buffer - 1);
  if (size <= 0) return std::nullopt;
  buffer[size] = '\0';
  // The command name may hold blanks and parentheses: fields are counted
  // from the last ')'.
  const char* field = std::strrchr(buffer, ')');
  if (field == nullptr) return std::nullopt;
  // After ')' come the state (field 3) and then field 4 onwards; the start
  // time is field 22.
  for (int number = 2; number < 22; ++number) {
    field = std::strchr(field + 1, ' ');
    if (field == nullptr) return std::nullopt;
  }
  return std::strtoull(field + 1, nullptr, 10);
}

// Process descriptors (pidfd) of the processes found running, by process
// id, with their start time. A process descriptor names one process, never a
// later one with the same id, and tells with one poll(2) whether it ended,
// where reading its start time again would cost far more. At most
// WatchedLimit() are kept, so that a registry of many entries cannot take
// the process's descriptors; the others are checked by their start time
// each time. A descriptor is closed as soon as its entry is gone.
constexpr std::size_t kMaxWatchedProcesses = 256;
struct Watched {
  int pidfd = -1;
  unsigned long long startTime = 0;
};
std::mutex& WatchedMutex() {
  static std::mutex mutex;
  return mutex;
}
std::map<pid_t, Watched>& WatchedProcesses() {
  static std::map<pid_t, Watched> watched;
  return watched;
}

// At most an eighth of the descriptors the process may open.
std::size_t WatchedLimit() {
  rlimit descriptors{};
  if (getrlimit(RLIMIT_NOFILE, &descriptors) != 0 || descriptors.rlim_cur == RLIM_INFINITY) {
    return kMaxWatchedProcesses;
  }
  return std::min<std::size_t>(kMaxWatchedProcesses, descriptors.rlim_cur / 8);
}

// Closes the process descriptor kept for `pid`, if any.
void ForgetWatched(pid_t pid) {
  std::lock_guard lock(WatchedMutex());
  auto& watched = WatchedProcesses();
  if (const auto found = watched.find(pid); found != watched.end()) {
    close(found->second.pidfd);
    watched.erase(found);
  }
}

// Closes the process descriptors of processes that `ids` (sorted) no longer
// lists.
void ForgetWatchedExcept(const std::vector<pid_t>& ids) {
  std::lock_guard lock(WatchedMutex());
  auto& watched = WatchedProcesses();
  for (auto at = watched.begin(); at != watched.end();) {
    if (std::binary_search(ids.begin(), ids.end(), at->first)) {
      ++at;
    } else {
      close(at->second.pidfd);
      at = watched.erase(at);
    }
  }
}

// Whether the process `pid` that started at `startTime` still runs. When
// this process has no descriptor left to tell, a process with that id
// counts as running: an entry is never judged stale for the walker's own
// want of descriptors.
bool IsRunning(pid_t pid, unsigned long long startTime) {
  {
    std::lock_guard lock(WatchedMutex());
    auto& watched = WatchedProcesses();
    if (const auto found = watched.find(pid); found != watched.end()) {
      pollfd ended{found->second.pidfd, POLLIN, 0};
      if (found->second.startTime == startTime && poll(&ended, 1, 0) == 0) return true;
      close(found->second.pidfd);
      watched.erase(found);
    }
  }
  bool cannotTell = false;
  const std::optional<unsigned long long> started = ProcessStartTime(pid, &cannotTell);
  if (cannotTell) return kill(pid, 0) == 0 || errno == EPERM;
  if (started != startTime) return false;
  {
    std::lock_guard lock(WatchedMutex());
    if (WatchedProcesses().size() >= WatchedLimit()) return true;
  }
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) return true;  // Without process descriptors, the start time decides each time.
  // The descriptor is kept only when it was opened on the very process whose
  // start time was read.
  if (ProcessStartTime(pid) != startTime) {
    close(pidfd);
    return false;
  }
  std::lock_guard lock(WatchedMutex());
  const auto [slot, added] = WatchedProcesses().try_emplace(pid, Watched{pidfd, startTime});
  if (!added) close(pidfd);
  return true;
}

struct Entry {
  OSType signature = 0;
  OSType type = 0;
  unsigned long long startTime = 0;
  std::string name;
};

std::string EntryText(const Entry& entry) {
  char head[96];
  std::snprintf(head, sizeof head, "%s\n%08x\n%08x\n%llu\n", kEntryMagic, entry.signature,
                entry.type, entry.startTime);
  return head + entry.name + "\n";
}

std::optional<Entry> ParseEntry(const std::string& text) {
  Entry entry;
  char magic[8] = {};
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%4s\n%8x\n%8x\n%llu\n%n", magic, &entry.signature, &entry.type,
                  &entry.startTime, &consumed) != 4 ||
      std::strcmp(magic, kEntryMagic) != 0 || consumed <= 0) {
    return std::nullopt;
  }
  std::string rest = text.substr(static_cast<std::size_t>(consumed));
  if (rest.empty() || rest.back() != '\n') return std::nullopt;
  rest.pop_back();
  if (rest.size() > kMaxNameSize || rest.find('\n') != std::string::npos) return std::nullopt;
  entry.name = std::move(rest);
  return entry;
}

std::string EntryName(pid_t pid) { return std::to_string(pid) + kEntrySuffix; }
std::string SocketName(pid_t pid) { return std::to_string(pid) + kSocketSuffix; }

void RemoveStale(int folder, pid_t pid) {
  unlinkat(folder, EntryName(pid).c_str(), 0);
  unlinkat(folder, SocketName(pid).c_str(), 0);
}

enum class Lookup { kFound, kMissing, kRefused };

// Entries read before, by process id, with what identified the file then.
// Entries are only ever replaced by renaming a new file into place, so a
// file with the same inode, size and times holds the same text, and the walk
// checks it with one fstatat instead of opening and reading it again.
struct ReadBefore {
  kestrine_posix::FileVersion version;
  Entry entry;
};
std::mutex& ReadBeforeMutex() {
  static std::mutex mutex;
  return mutex;
}
std::map<pid_t, ReadBefore>& EntriesReadBefore() {
  static auto* entries = new std::map<pid_t, ReadBefore>;  // Walks may run at exit.
  return *entries;
}

void ForgetEntry(pid_t pid) {
  {
    std::lock_guard lock(ReadBeforeMutex());
    EntriesReadBefore().erase(pid);
  }
  ForgetWatched(pid);
}

// The registry's entries are few (one per serving process), but a walk must
// not let entries of ended processes pile up here.
constexpr std::size_t kMaxEntriesReadBefore = 256;

// Reads the entry of `pid`; a stale one is removed and counts as missing.
Lookup ReadEntry(const RegistryFd& registry, pid_t pid, Entry* entry) {
  const int folder = registry.get();
  const std::string name = EntryName(pid);
  struct stat info {};
  if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    ForgetEntry(pid);
    return Lookup::kMissing;
  }
  if (S_ISLNK(info.st_mode)) {
    NSLog("Refused the process entry %s/%s: it is a link", RegistryFolderPath().c_str(),
          name.c_str());
    return Lookup::kRefused;
  }
  if (!S_ISREG(info.st_mode) || info.st_uid != registry.user_) {
    NSLog("Refused the process entry %s/%s: it is not a file of this user",
          RegistryFolderPath().c_str(), name.c_str());
    return Lookup::kRefused;
  }
  std::optional<Entry> parsed;
  {
    std::lock_guard lock(ReadBeforeMutex());
    const auto& entries = EntriesReadBefore();
    const auto found = entries.find(pid);
    if (found != entries.end() && found->second.version == kestrine_posix::FileVersion(info)) {
      parsed = found->second.entry;
    }
  }
  if (!parsed) {
    FileDescriptor fd(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {};
    if (fd.get() < 0 || fstat(fd.get(), &opened) != 0) return Lookup::kMissing;
    if (!S_ISREG(opened.st_mode) || opened.st_uid != registry.user_) {
      NSLog("Refused the process entry %s/%s: it is not a file of this user",
            RegistryFolderPath().c_str(), name.c_str());
      return Lookup::kRefused;
    }
    std::string text(kMaxEntrySize + 1, '\0');
    const ssize_t size = pread(fd.get(), text.data(), text.size(), 0);
    text.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    parsed = text.size() <= kMaxEntrySize ? ParseEntry(text) : std::nullopt;
    if (parsed) {
      std::lock_guard lock(ReadBeforeMutex());
      auto& entries = EntriesReadBefore();
      if (entries.size() >= kMaxEntriesReadBefore) entries.clear();
      entries[pid] = ReadBefore{kestrine_posix::FileVersion(opened), *parsed};
    }
  }
  if (!parsed || !IsRunning(pid, parsed->startTime)) {
    // Gone, or its id was reused by a later process, or a torn entry that
    // only a dead writer can have left (entries are renamed into place).
    ForgetEntry(pid);
    RemoveStale(folder, pid);
    return Lookup::kMissing;
  }
  *entry = std::move(*parsed);
  return Lookup::kFound;
}

// Serialises the listings, which share the registry folder's descriptor
// and so its reading position.
std::mutex& ListingReadMutex() {
  static std::mutex mutex;
  return mutex;
}

// The process ids that have an entry, in ascending order, read from the
// folder through its own descriptor, so that a listing needs no descriptor
// of its own; none when the folder cannot be read.
std::optional<std::vector<pid_t>> ListRegisteredIds(int folder) {
  std::vector<pid_t> ids;
  std::lock_guard lock(ListingReadMutex());
  if (lseek(folder, 0, SEEK_SET) != 0) return std::nullopt;
  alignas(dirent64) char buffer[16384];
  for (;;) {
    const ssize_t size = getdents64(folder, buffer, sizeof buffer);
    if (size < 0) return std::nullopt;
    if (size == 0) break;
    for (ssize_t at = 0; at < size;) {
      const auto* item = reinterpret_cast<const dirent64*>(buffer + at);
      at += item->d_reclen;
      const char* name = item->d_name;
      char* end = nullptr;
      errno = 0;
      const long pid = std::strtol(name, &end, 10);
      if (errno == 0 && end != name && pid > 0 && pid <= INT32_MAX &&
          std::strcmp(end, kEntrySuffix) == 0 && name[0] != '0' && name[0] != '+' &&
          name[0] != '-') {
        ids.push_back(static_cast<pid_t>(pid));
      }
    }
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

// The last listing, with the folder's identity and times when it was made.
// Adding, removing or renaming an entry sets the folder's modification time
// from the kernel's coarse clock, so an unchanged time means an unchanged
// listing, provided that time was already past when the listing began: a
// change in the same clock tick as the listing could leave the time as it
// was, and such a listing is not used again.
struct Listing {
  kestrine_posix::FileVersion version;
  bool reusable = false;
  std::vector<pid_t> ids;
};
std::mutex& ListingMutex() {
  static std::mutex mutex;
  return mutex;
}
Listing& TheListing() {
  static auto* listing = new Listing;  // Walks may run at exit.
  return *listing;
}

bool Before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// The process ids that have an entry in the checked registry folder, in
// ascending order.
std::vector<pid_t> RegisteredIds(const RegistryFd& folder) {
  const struct stat& info = folder.info_;
  {
    std::lock_guard lock(ListingMutex());
    const Listing& last = TheListing();
    if (last.reusable && last.version == kestrine_posix::FileVersion(info)) {
      return last.ids;
    }
  }
  timespec started{};
  clock_gettime(CLOCK_REALTIME_COARSE, &started);
  std::optional<std::vector<pid_t>> ids = ListRegisteredIds(folder.get());
  if (!ids) return {};
  ForgetWatchedExcept(*ids);
  std::lock_guard lock(ListingMutex());
  TheListing() = Listing{kestrine_posix::FileVersion(info),
                         Before(info.st_mtim, started) && Before(info.st_ctim, started), *ids};
  return std::move(*ids);
}

// The process id a serial number names; none for a serial number that is
// not one of ours.
std::optional<pid_t> PidOf(const ProcessSerialNumber& psn) {
  if (psn.highLongOfPSN != 0 || psn.lowLongOfPSN > static_cast<std::uint32_t>(INT32_MAX)) {
    return std::nullopt;
  }
  if (psn.lowLongOfPSN == kCurrentProcess) return getpid();
  return static_cast<pid_t>(psn.lowLongOfPSN);
}

std::mutex& FrontHookMutex() {
  static std::mutex mutex;
  return mutex;
}
std::function<void()>& FrontHook() {
  static std::function<void()> hook;
  return hook;
}

std::string ProgramName() {
  const char* name = program_invocation_short_name;
  return name != nullptr ? name : "";
}

}  // namespace

OSErr GetNextProcess(ProcessSerialNumber* psn) {
  if (psn == nullptr) return paramErr;
  const std::optional<pid_t> after = PidOf(*psn);
  if (!after) return paramErr;
  RegistryFd folder;
  if (const OSErr status = OpenRegistry(&folder); status != noErr) return status;
  const pid_t start = psn->lowLongOfPSN == kNoProcess ? 0 : *after;
  for (const pid_t pid : RegisteredIds(folder)) {
    Entry entry;
    if (pid > start && ReadEntry(folder, pid, &entry) == Lookup::kFound) {
      *psn = {0, static_cast<std::uint32_t>(pid)};
      return noErr;
    }
  }
  *psn = {0, kNoProcess};
  return procNotFound;
}

OSErr GetProcessInformation(const ProcessSerialNumber* psn, ProcessInfoRec* info) {
  if (psn == nullptr || info == nullptr || info->processInfoLength != kProcessInfoRecLength) {
    return paramErr;
  }
  const std::optional<pid_t> pid = PidOf(*psn);
  if (!pid || (*pid <= static_cast<pid_t>(kCurrentProcess) && psn->lowLongOfPSN != kCurrentProcess)) {
    return procNotFound;
  }
  RegistryFd folder;
  Entry entry;
  const bool registered = OpenRegistry(&folder) == noErr &&
                          ReadEntry(folder, *pid, &entry) == Lookup::kFound;
  if (!registered) {
    if (*pid != getpid()) return procNotFound;
    entry.signature = 0x3F3F3F3F;  // '????'
    entry.type = 0x4150504C;       // 'APPL'
    entry.name = ProgramName();
  }
  info->processNumber = {0, static_cast<std::uint32_t>(*pid)};
  info->processType = entry.type;
  info->processSignature = entry.signature;
  info->processMode = 0;
  info->processLauncher = {};
  info->processLaunchDate = 0;
  info->processActiveTime = 0;
  if (info->processName != nullptr) *info->processName = entry.name;
  return noErr;
}

OSErr GetCurrentProcess(ProcessSerialNumber* psn) {
  if (psn == nullptr) return paramErr;
  *psn = {0, static_cast<std::uint32_t>(getpid())};
  return noErr;
}

OSErr SetFrontProcess(const ProcessSerialNumber* psn) {
  if (psn == nullptr) return paramErr;
  const std::optional<pid_t> pid = PidOf(*psn);
  if (!pid || *pid <= 0) return procNotFound;
  if (*pid == getpid()) {
    std::function<void()> hook;
    {
      std::lock_guard lock(FrontHookMutex());
      hook = FrontHook();
    }
    if (hook) hook();
    return noErr;
  }
  ProcessInfoRec info;
  info.processInfoLength = kProcessInfoRecLength;
  return GetProcessInformation(psn, &info);
}

std::function<void()> SetFrontProcessHook(std::function<void()> hook) {
  std::lock_guard lock(FrontHookMutex());
  std::swap(FrontHook(), hook);
  return hook;
}

OSErr RegisterProcess(OSType signature, OSType type, std::string_view name, bool unique) {
  if (name.size() > kMaxNameSize || name.find('\n') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos) {
    return paramErr;
  }
  RegistryFd folder;
  if (const OSErr status = OpenRegistry(&folder); status != noErr) return status;
  const pid_t self = getpid();
  const std::optional<unsigned long long> started = ProcessStartTime(self);
  if (!started) return ioErr;
  // Registrations are serialised so that two processes that ask for the same
  // unique signature at once cannot both get it.
  flock(folder.get(), LOCK_EX);
  if (unique) {
    for (const pid_t pid : RegisteredIds(folder)) {
      Entry other;
      if (pid != self && ReadEntry(folder, pid, &other) == Lookup::kFound &&
          other.signature == signature) {
        flock(folder.get(), LOCK_UN);
        return dupFNErr;
      }
    }
  }
  const std::string text = EntryText({signature, type, *started, std::string(name)});
  const std::string temporary = "." + std::to_string(self) + ".tmp";
  unlinkat(folder.get(), temporary.c_str(), 0);
  OSErr status = noErr;
  {
    FileDescriptor file(openat(folder.get(), temporary.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid()) {
      status = ioErr;
    } else if (const int error = kestrine_posix::WriteAll(file.get(), text); error != 0) {
      errno = error;
      status = ioErr;
    }
  }
  if (status == noErr &&
      renameat(folder.get(), temporary.c_str(), folder.get(), EntryName(self).c_str()) != 0) {
    status = ioErr;
  }
  if (status != noErr) {
    NSLog("Cannot register in %s: %s", RegistryFolderPath().c_str(), strerror(errno));
    unlinkat(folder.get(), temporary.c_str(), 0);
  }
  flock(folder.get(), LOCK_UN);
  ForgetEntry(self);
  return status;
}

OSErr UnregisterProcess() {
  RegistryFd folder;
  if (const OSErr status = OpenRegistry(&folder); status != noErr) return status;
  RemoveStale(folder.get(), getpid());
  ForgetEntry(getpid());
  return noErr;
}

OSErr GetProcessSocketPath(const ProcessSerialNumber* psn, std::string* path) {
  if (psn == nullptr || path == nullptr) return paramErr;
  const std::optional<pid_t> pid = PidOf(*psn);
  if (!pid || *pid <= 0) return procNotFound;
  RegistryFd folder;
  if (const OSErr status = OpenRegistry(&folder); status != noErr) return status;
  const std::string name = SocketName(*pid);
  struct stat info {};
  if (fstatat(folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return procNotFound;
  if (!S_ISSOCK(info.st_mode) || info.st_uid != geteuid()) {
    NSLog("Refused the socket %s/%s: it is not a socket of this user",
          RegistryFolderPath().c_str(), name.c_str());
    return afpAccessDenied;
  }
  *path = RegistryFolderPath() + "/" + name;
  return noErr;
}

OSErr GetCurrentProcessSocketPath(std::string* path) {
  if (path == nullptr) return paramErr;
  RegistryFd folder;
  if (const OSErr status = OpenRegistry(&folder); status != noErr) return status;
  *path = RegistryFolderPath() + "/" + SocketName(getpid());
  return noErr;
}
