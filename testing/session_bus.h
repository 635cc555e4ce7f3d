// A private D-Bus session bus for tests.
#pragma once

#include <memory>
#include <string>

#include "testing/test_support.h"

namespace kestrine_testing {

// A session bus of its own (dbus-daemon --session), with
// DBUS_SESSION_BUS_ADDRESS set to it while the object lives. The daemon is
// ended with the object.
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
