// Counters that let tests see how much work the preferences store did.
// Not for use outside tests.
#pragma once

#include <cstdint>

struct PreferencesCounters {
  std::uint64_t stats = 0;   // stat(2) calls made to learn whether a file changed.
  std::uint64_t parses = 0;  // Property lists parsed from a file.
  std::uint64_t writes = 0;  // Files replaced.
};

// The counts since the process started, over every domain.
PreferencesCounters PreferencesCountersForTesting();
