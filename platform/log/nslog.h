// Diagnostic logging.
#pragma once

// Writes one line to standard error: the local date and time with
// milliseconds, the program's name and "[pid:tid]", then the formatted text,
// as "2026-12-06 16:28:27.123 KestrineService[4242:4242] text". A trailing
// line feed is added when the text has none. The line goes out in a single
// write(2), so lines of concurrent processes and threads do not interleave.
// A program started by a desktop session has its standard error in the
// session's journal. Never fails, and leaves errno as it found it.
void NSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// While one lives, the calling thread's lines are gathered and written whole,
// many per write(2): when the gathered text passes 16 KiB and when the last
// scope on the thread ends. For work that logs a line per item, such as a
// folder walk. Scopes nest.
class ScopedNSLogBatch final {
 public:
  ScopedNSLogBatch();
  ~ScopedNSLogBatch();
  ScopedNSLogBatch(const ScopedNSLogBatch&) = delete;
  ScopedNSLogBatch& operator=(const ScopedNSLogBatch&) = delete;
};
