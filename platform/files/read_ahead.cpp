#include "platform/files/read_ahead.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/files/files.h"
#include "platform/memory_guard.h"

namespace files_internal {

namespace {

// A listing with fewer folders than this is answered faster by the walk
// than the worker could be woken for it.
constexpr std::size_t kMinFolders = 8;

// Most read-aheads waiting for the worker, besides the one it answers; each
// holds a descriptor.
constexpr std::size_t kMaxWaiting = 4;

// The worker of one walking thread, and the read-aheads it serves.
class Worker final {
 public:
  ~Worker() { Stop(); }

  // Whether a worker serves this thread: more than one processor is ours.
  bool Available() {
    if (processors_ < 0) {
      cpu_set_t set;
      CPU_ZERO(&set);
      processors_ = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
    }
    return processors_ > 1;
  }

  // Hands `job` to the worker, started here when it is not running; false
  // when it cannot be started.
  bool Add(std::shared_ptr<ReadAhead> job) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable()) {
      stopping_ = false;
      try {
        thread_ = std::thread([this] { Run(); });
      } catch (const std::system_error&) {  // No thread: the walk asks itself.
        processors_ = 1;
        return false;
      }
    }
    if (!RanWithMemory([&] { jobs_.push_back(std::move(job)); })) return false;
    // A deep walk would keep a waiting read-ahead, and its descriptor, for
    // every level: the oldest waiting one is given up instead.
    if (jobs_.size() > kMaxWaiting) {
      const auto oldest = std::find_if(jobs_.begin(), jobs_.end(), [this](const auto& waiting) {
        return waiting.get() != current_;
      });
      (*oldest)->Stop();
      (*oldest)->CloseDescriptor();
      jobs_.erase(oldest);
    }
    work_.notify_one();
    return true;
  }

  // Ends the worker thread once it has answered the entry it is at, and
  // forgets the processor count.
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      for (const std::shared_ptr<ReadAhead>& job : jobs_) job->Stop();
      jobs_.clear();
    }
    work_.notify_one();
    if (thread_.joinable()) thread_.join();
    processors_ = -1;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      work_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      // The latest listing is the one the walk is in now.
      const std::shared_ptr<ReadAhead> job = jobs_.back();
      current_ = job.get();
      lock.unlock();
      while (const std::optional<std::size_t> index = job->ClaimFromEnd()) job->Answer(*index);
      lock.lock();
      current_ = nullptr;
      job->CloseDescriptor();
      jobs_.erase(std::remove(jobs_.begin(), jobs_.end(), job), jobs_.end());
    }
  }

  std::mutex mutex_;
  std::condition_variable work_;  // A job came, or the worker is to stop.
  // Those with work left, oldest first. The worker keeps the one it answers
  // alive, so the walk never waits for it.
  std::vector<std::shared_ptr<ReadAhead>> jobs_;
  ReadAhead* current_ = nullptr;  // The one the worker answers.
  bool stopping_ = false;
  std::thread thread_;
  int processors_ = -1;  // -1 until counted.
};

thread_local Worker tWorker;

}  // namespace

std::shared_ptr<ReadAhead> ReadAhead::Start(int fd, std::vector<CachedEntry>& entries) {
  if (!ListingCacheActive() || entries.size() > kLowMask) return nullptr;
  const auto folders = static_cast<std::size_t>(
      std::count_if(entries.begin(), entries.end(), [](const CachedEntry& entry) {
        return (entry.nodeFlags & kFSNodeIsDirectoryMask) != 0 && entry.name_length > 0;
      }));
  if (folders < kMinFolders || !tWorker.Available()) return nullptr;
  // Only on a volume that counts folder links can the worker tell a folder
  // that holds none.
  struct stat status {};
  if (fstat(fd, &status) != 0) return nullptr;
  std::optional<bool> counts = DeviceCountsFolderLinks(status.st_dev);
  if (!counts) {
    counts = VolumeCountsFolderLinks(fd);
    RememberDeviceCountsFolderLinks(status.st_dev, *counts);
  }
  if (!*counts) return nullptr;
  // A descriptor of its own, not a duplicate: the two threads would share
  // the count of one open file on every call.
  kestrine_posix::FileDescriptor own(openat(fd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!own.valid()) return nullptr;
  std::shared_ptr<ReadAhead> made = GuardMemory(std::shared_ptr<ReadAhead>(), [&] {
    return std::shared_ptr<ReadAhead>(new ReadAhead(std::move(own), entries, status.st_dev));
  });
  if (!made || !tWorker.Add(made)) return nullptr;
  return made;
}

ReadAhead::ReadAhead(kestrine_posix::FileDescriptor fd, std::vector<CachedEntry>& entries,
                     dev_t device)
    : fd_(std::move(fd)),
      entries_(entries),
      device_(device),
      claims_(std::uint64_t{entries.size()} << 32) {}

std::optional<std::size_t> ReadAhead::ClaimFromEnd() {
  std::uint64_t state = claims_.load(std::memory_order_relaxed);
  for (;;) {
    const std::uint64_t low = state & kLowMask;
    const std::uint64_t high = state >> 32;
    if (high <= low) return std::nullopt;
    if (claims_.compare_exchange_weak(state, ((high - 1) << 32) | low, std::memory_order_relaxed)) {
      return static_cast<std::size_t>(high - 1);
    }
  }
}

void ReadAhead::Answer(std::size_t index) {
  CachedEntry& entry = entries_[index];
  if ((entry.nodeFlags & kFSNodeIsDirectoryMask) == 0 || entry.name_length == 0) return;
  if (LoadHoldsFolders(entry) >= 0) return;
  char name[kInlineNameCapacity + 1];
  std::memcpy(name, entry.name, entry.name_length);
  name[entry.name_length] = '\0';
  struct stat status {};
  const bool holdsNone = fstatat(fd_.get(), name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                         S_ISDIR(status.st_mode) && status.st_nlink == 2;
  if (!holdsNone) {
    StoreHoldsFolders(entry, 1);
    return;
  }
  // A folder mounted from another volume is left to the walk, which asks
  // whether that volume counts links.
  if (status.st_dev != device_) return;
  if (const std::optional<std::int32_t> flags =
          PackageFlagsOfLeafAt(fd_.get(), std::string_view(name, entry.name_length))) {
    StorePackageFlags(entry, *flags);
  }
  StoreHoldsFolders(entry, 0);
}

void StopReadAhead() { tWorker.Stop(); }

}  // namespace files_internal
