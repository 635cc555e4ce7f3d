// A serving Finder for tests of the programs that ask it for its selection.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "testing/test_support.h"

namespace kestrine_testing {

// `finder serve` from `finderPath`, started in the current environment and
// ready (it answers events) when constructed; ended with SIGTERM with the
// object.
class ScopedFinder final {
 public:
  explicit ScopedFinder(std::string finderPath);
  ~ScopedFinder();
  ScopedFinder(const ScopedFinder&) = delete;
  ScopedFinder& operator=(const ScopedFinder&) = delete;

  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }
  // Runs `finder select ARGS...` and returns its exit status.
  int Select(const std::vector<std::string>& args) const;
  // Ends the Finder now (SIGTERM) and waits for it.
  void Stop();

 private:
  std::string path_;
  pid_t pid_ = 0;
  bool ready_ = false;
};

}  // namespace kestrine_testing
