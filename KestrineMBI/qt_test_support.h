// Helpers for the in-process tests of the application: one offscreen
// application and one private session bus for the whole test program, and a
// watch on the change notification. Header-only; for tests.
#pragma once

#include <QApplication>

#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "KestrineMBI/AppController.h"
#include "platform/notifications/notifications.h"
#include "platform/notifications/notifications_testing.h"
#include "testing/session_bus.h"
#include "testing/test_support.h"

namespace kestrine_testing {

// A member that makes the offscreen application and the bus, once for the
// program, before the members that follow it. The process's notification
// center connects to that bus.
struct ApplicationReady {
  ApplicationReady() {
    // The bus is a static object, so that its daemon ends with the program;
    // the application is left to the end of the process.
    static ScopedSessionBus bus;
    static QApplication* application = [] {
      setenv("QT_QPA_PLATFORM", "offscreen", 1);
      // Without a runtime folder Qt makes $TMPDIR/runtime-<user> and leaves it.
      static const ScopedTempDir runtime;
      setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
      CFNotificationCenterGetDistributedCenter();
      static int argc = 1;
      static char name[] = "KestrineMBI-test";
      static char* argv[] = {name, nullptr};
      return new QApplication(argc, argv);
    }();
    (void)application;
  }
};

// Counts the "Preferences Changed" notifications for the shared object that
// reach another process's center.
class NotificationWatch final {
 public:
  NotificationWatch() : center_(CreateDistributedCenterForTesting()) {
    CFNotificationCenterAddObserver(center_.get(), this, &Count, std::nullopt, std::nullopt,
                                    CFNotificationSuspensionBehaviorDeliverImmediately);
  }
  // Posts a mark behind everything sent so far, lets the application's loop
  // and this center run until the mark is back (at most five seconds), and
  // returns the number of change notifications seen since the last call.
  int Drain() {
    const int mark = ++marks_;
    CFNotificationCenterPostNotification(center_.get(), "Mark", std::to_string(mark), nullptr, true);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (seenMark_ < mark && std::chrono::steady_clock::now() < end) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      pollfd entry{CFNotificationCenterGetFileDescriptor(center_.get()), POLLIN, 0};
      if (poll(&entry, 1, 10) == 1) CFNotificationCenterDispatch(center_.get());
    }
    // Let the application's own center deliver the mark too.
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return std::exchange(changes_, 0);
  }
  void Post(std::string_view object) {
    CFNotificationCenterPostNotification(center_.get(), kPreferencesChangedName, object, nullptr, true);
  }

 private:
  static void Count(CFNotificationCenterRef, void* observer, const std::string& name,
                    const std::optional<std::string>& object, const void*) {
    auto* self = static_cast<NotificationWatch*>(observer);
    if (name == "Mark") self->seenMark_ = std::stoi(object.value_or("0"));
    if (name == kPreferencesChangedName && object == kPreferencesChangedObject) ++self->changes_;
  }

  ScopedNotificationCenter center_;
  int marks_ = 0;
  int seenMark_ = 0;
  int changes_ = 0;
};

}  // namespace kestrine_testing
