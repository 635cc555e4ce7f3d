// The one way the boundaries that must not throw (platform and plug-in entry
// points, callbacks, programs' main) turn running out of memory into their
// own result. Code below such a boundary lets std::bad_alloc pass.
#pragma once

#include <new>
#include <utility>

// Runs `work` and returns what it returns, or `fallback` when memory runs
// out on the way.
template <typename Result, typename Work>
Result GuardMemory(Result fallback, Work&& work) {
  try {
    return std::forward<Work>(work)();
  } catch (const std::bad_alloc&) {
    return fallback;
  }
}

// Runs `work`; false when memory ran out on the way, whatever `work` had
// done by then staying done.
template <typename Work>
bool RanWithMemory(Work&& work) {
  try {
    std::forward<Work>(work)();
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}
