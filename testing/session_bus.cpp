#include "testing/session_bus.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrine_testing {

ScopedSessionBus::ScopedSessionBus() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    error_ = "pipe failed";
    return;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    // The daemon writes its address to descriptor 3 once it listens.
    ::dup2(fds[1], 3);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    // It complains that it may not raise its descriptor limit, harmlessly.
    ::dup2(null, 2);
    ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile",
             "--print-address=3", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  if (pid < 0) {
    ::close(fds[0]);
    error_ = "fork failed";
    return;
  }
  pid_ = pid;
  std::string address;
  char c = 0;
  while (::read(fds[0], &c, 1) == 1 && c != '\n') address += c;
  ::close(fds[0]);
  if (address.empty()) {
    error_ = "dbus-daemon did not start (is package dbus-daemon installed?)";
    return;
  }
  address_ = address;
  env_ = std::make_unique<ScopedEnv>("DBUS_SESSION_BUS_ADDRESS", address_);
}

ScopedSessionBus::~ScopedSessionBus() {
  env_.reset();
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

}  // namespace kestrine_testing
