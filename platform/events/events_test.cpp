#include "platform/events/events.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

// Only the current hook runs; it runs without a lock held, so one that
// replaces itself and yields again must not deadlock.
TEST(WaitNextEventTest, CallsTheCurrentHookWhichMayReplaceItself) {
  WaitNextEvent();  // No hook: nothing happens.
  int first = 0, second = 0;
  EXPECT_FALSE(SetWaitNextEventHook([&] { ++first; }));
  const std::function<void()> previous = SetWaitNextEventHook([&] {
    ++second;
    EXPECT_TRUE(SetWaitNextEventHook({}));
    WaitNextEvent();
  });
  WaitNextEvent();
  WaitNextEvent();
  EXPECT_EQ(std::pair(first, second), std::pair(0, 1));
  previous();
  EXPECT_EQ(first, 1);
}

}  // namespace
