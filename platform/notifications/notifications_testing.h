// Centers apart from the process's own, for tests that play several
// processes in one. Not for use outside tests.
#pragma once

#include <memory>

#include "platform/notifications/notifications.h"

struct CFNotificationCenterDeleter {
  void operator()(CFNotificationCenter* center) const;
};
using ScopedNotificationCenter = std::unique_ptr<CFNotificationCenter, CFNotificationCenterDeleter>;

// A new center with its own connection to the session bus that the
// environment names at this call; it behaves as the distributed center of
// another process would. Not to be destroyed from inside its own callback.
ScopedNotificationCenter CreateDistributedCenterForTesting();
