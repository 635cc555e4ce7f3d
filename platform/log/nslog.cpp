#include "platform/log/nslog.h"

#include <errno.h>
#include <pthread.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "platform/memory_guard.h"
#include "platform/posix/posix.h"

namespace {

// Lines up to this size are built on the stack; longer ones on the heap.
constexpr std::size_t kStackLineSize = 2048;

// The process and thread ids, asked once per thread: a walk logs a line per
// folder, and two system calls a line would double its cost. A child made by
// fork gets its own ids back through the atfork handler.
thread_local long tCachedThreadID = 0;
std::atomic<long> gCachedProcessID{0};

void ForgetIDsAfterFork() {
  gCachedProcessID = 0;
  tCachedThreadID = 0;
}

long ProcessID() {
  static const bool registered = [] {
    pthread_atfork(nullptr, nullptr, ForgetIDsAfterFork);
    return true;
  }();
  (void)registered;
  long id = gCachedProcessID.load(std::memory_order_relaxed);
  if (id == 0) {
    id = static_cast<long>(getpid());
    gCachedProcessID.store(id, std::memory_order_relaxed);
  }
  return id;
}

long ThreadID() {
  if (tCachedThreadID == 0) tCachedThreadID = static_cast<long>(gettid());
  return tCachedThreadID;
}

// The parts of the line prefix that change at most once a second, kept per
// thread: a walk logs a line per folder, and formatting the date each time
// (localtime_r, strftime) would cost more than the rest of the line.
struct PrefixCache {
  time_t second = -1;
  char date[32] = {};  // "YYYY-MM-DD HH:MM:SS."
  std::size_t date_length = 0;
  long process = 0;
  long thread = 0;
  char ids[320] = {};  // " name[pid:tid] "
  std::size_t ids_length = 0;
};
thread_local PrefixCache tPrefix;

// Formats "YYYY-MM-DD HH:MM:SS.mmm name[pid:tid] " into `out` and returns its
// length (always below `size`).
int FormatPrefix(char* out, std::size_t size) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  PrefixCache& cache = tPrefix;
  if (now.tv_sec != cache.second) {
    tm local{};
    localtime_r(&now.tv_sec, &local);
    cache.date_length = strftime(cache.date, sizeof cache.date - 1, "%Y-%m-%d %H:%M:%S.", &local);
    cache.second = now.tv_sec;
  }
  const long process = ProcessID(), thread = ThreadID();
  if (process != cache.process || thread != cache.thread) {
    const int length = std::snprintf(cache.ids, sizeof cache.ids, " %s[%ld:%ld] ",
                                     program_invocation_short_name, process, thread);
    cache.ids_length =
        length < 0 ? 0 : std::min(static_cast<std::size_t>(length), sizeof cache.ids - 1);
    cache.process = process;
    cache.thread = thread;
  }
  const auto milliseconds = static_cast<int>(now.tv_nsec / 1000000L);
  const char digits[3] = {static_cast<char>('0' + milliseconds / 100),
                          static_cast<char>('0' + milliseconds / 10 % 10),
                          static_cast<char>('0' + milliseconds % 10)};
  std::size_t length = 0;
  for (const std::string_view part :
       {std::string_view(cache.date, cache.date_length), std::string_view(digits, sizeof digits),
        std::string_view(cache.ids, cache.ids_length)}) {
    const std::size_t room = size - 1 - length;
    const std::size_t taken = std::min(part.size(), room);
    std::memcpy(out + length, part.data(), taken);
    length += taken;
  }
  out[length] = '\0';
  return static_cast<int>(length);
}

// The lines a ScopedNSLogBatch gathers on this thread.
constexpr std::size_t kBatchFlushSize = 16 * 1024;
struct LogBatch {
  int scopes = 0;
  std::string text;
};
thread_local LogBatch tBatch;

void FlushBatch() {
  if (!tBatch.text.empty()) kestrine_posix::WriteAll(STDERR_FILENO, tBatch.text);
  tBatch.text.clear();
}

// Gathers the line when a batch is open; false when it must be written now.
bool GatherLine(const char* line, std::size_t length) {
  if (tBatch.scopes == 0) return false;
  if (!RanWithMemory([&] { tBatch.text.append(line, length); })) {
    FlushBatch();
    return false;
  }
  if (tBatch.text.size() >= kBatchFlushSize) FlushBatch();
  return true;
}

}  // namespace

ScopedNSLogBatch::ScopedNSLogBatch() { ++tBatch.scopes; }

ScopedNSLogBatch::~ScopedNSLogBatch() {
  if (--tBatch.scopes == 0) {
    const int saved_errno = errno;
    FlushBatch();
    errno = saved_errno;
  }
}

void NSLog(const char* format, ...) {
  const int saved_errno = errno;
  char stack_line[kStackLineSize];
  const int prefix_length = FormatPrefix(stack_line, sizeof stack_line);
  const std::size_t text_start = static_cast<std::size_t>(prefix_length);

  va_list args;
  va_start(args, format);
  va_list retry;
  va_copy(retry, args);
  int text_length = -1;
  if (std::strcmp(format, "%s") == 0) {
    // A walk logs a path a line: the text is copied as it is, which costs
    // far less than formatting it. Long ones go the common way.
    va_list peek;
    va_copy(peek, args);
    const char* text = va_arg(peek, const char*);
    va_end(peek);
    const std::size_t size = text == nullptr ? 0 : std::strlen(text);
    if (text != nullptr && text_start + size + 2 <= sizeof stack_line) {
      std::memcpy(stack_line + text_start, text, size + 1);
      text_length = static_cast<int>(size);
    }
  }
  if (text_length < 0) {
    // One byte is kept free for a line feed after the text's NUL position.
    text_length =
        std::vsnprintf(stack_line + text_start, sizeof stack_line - text_start - 1, format, args);
  }
  va_end(args);
  if (text_length < 0) text_length = 0;

  char* line = stack_line;
  std::unique_ptr<char[]> heap_line;
  std::size_t length = text_start + static_cast<std::size_t>(text_length);
  if (length + 2 > sizeof stack_line) {
    heap_line.reset(new (std::nothrow) char[length + 2]);
    if (heap_line) {
      std::copy(stack_line, stack_line + text_start, heap_line.get());
      std::vsnprintf(heap_line.get() + text_start, length + 1 - text_start, format, retry);
      line = heap_line.get();
    } else {
      length = sizeof stack_line - 2;  // Out of memory: the text is cut.
    }
  }
  va_end(retry);

  if (length == 0 || line[length - 1] != '\n') line[length++] = '\n';
  if (!GatherLine(line, length)) kestrine_posix::WriteAll(STDERR_FILENO, {line, length});
  errno = saved_errno;
}
