#include "platform/events/events.h"

#include <gtest/gtest.h>

namespace {

TEST(WaitNextEventTest, CallsTheCurrentHookAndReturnsThePreviousOne) {
  WaitNextEvent();  // No hook: nothing happens.
  int first = 0, second = 0;
  EXPECT_FALSE(SetWaitNextEventHook([&] { ++first; }));
  WaitNextEvent();
  const std::function<void()> previous = SetWaitNextEventHook([&] { ++second; });
  WaitNextEvent();
  WaitNextEvent();
  EXPECT_EQ(std::pair(first, second), std::pair(1, 2));
  previous();
  EXPECT_EQ(first, 2);
  EXPECT_TRUE(SetWaitNextEventHook({}));
  WaitNextEvent();
  EXPECT_EQ(second, 2);
}

// A hook that replaces itself while running must not deadlock.
TEST(WaitNextEventTest, HookMayReplaceItself) {
  int calls = 0;
  SetWaitNextEventHook([&] {
    ++calls;
    SetWaitNextEventHook({});
    WaitNextEvent();
  });
  WaitNextEvent();
  WaitNextEvent();
  EXPECT_EQ(calls, 1);
}

}  // namespace
