// Counters that let tests see how much work the preferences store did.
// Not for use outside tests.
#pragma once

#include <cstdint>
#include <string_view>

struct PreferencesCounters {
  std::uint64_t stats = 0;   // stat(2) calls made to learn whether a file changed.
  std::uint64_t parses = 0;  // Property lists parsed from a file.
  std::uint64_t writes = 0;  // Files replaced.
};

// The counts since the process started, over every domain.
PreferencesCounters PreferencesCountersForTesting();

// Sets how deeply a file's elements may nest, the root element included
// (256 unless set), for files read from now on.
void SetMaxNestingForTesting(int levels);

// How deeply dicts and arrays nest in the process's view of `applicationID`:
// 1 for a dictionary of plain values, 0 when the domain cannot be named.
int ViewDepthForTesting(std::string_view applicationID);
