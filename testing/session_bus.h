// A private D-Bus session bus for tests.
#pragma once

#include <memory>
#include <string>

#include "testing/test_support.h"

namespace kestrine_testing {

// A dbus-daemon --session of its own, with DBUS_SESSION_BUS_ADDRESS set to
// it while it lives; the daemon is ended with it.
class ScopedSessionBus final {
 public:
  ScopedSessionBus();
  ~ScopedSessionBus();
  ScopedSessionBus(const ScopedSessionBus&) = delete;
  ScopedSessionBus& operator=(const ScopedSessionBus&) = delete;

  // Whether the daemon runs; when not, `error()` says why.
  bool running() const { return !address_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& address() const { return address_; }

 private:
  int pid_ = 0;
  std::string address_;
  std::string error_;
  std::unique_ptr<ScopedEnv> env_;
};

}  // namespace kestrine_testing
