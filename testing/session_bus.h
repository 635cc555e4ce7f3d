// A private D-Bus session bus for tests.
#pragma once

#include <string>

#include "testing/test_support.h"

namespace kestrine_testing {

// A dbus-daemon --session of its own, with DBUS_SESSION_BUS_ADDRESS set to
// it while it lives; the daemon is ended with it.
class ScopedSessionBus final : public ScopedDaemon {
 public:
  ScopedSessionBus();
  bool running() const { return !address_.empty(); }
  const std::string& address() const { return address_; }

 private:
  std::string address_;
};

}  // namespace kestrine_testing
