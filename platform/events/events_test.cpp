#include "platform/events/events.h"

#include <gtest/gtest.h>

namespace {

TEST(WaitNextEventTest, CallsTheCurrentHookAndReturnsThePreviousOne) {
  WaitNextEvent();  // No hook: nothing happens.
  int first_calls = 0;
  int second_calls = 0;
  EXPECT_FALSE(SetWaitNextEventHook([&] { ++first_calls; }));
  WaitNextEvent();
  std::function<void()> previous = SetWaitNextEventHook([&] { ++second_calls; });
  WaitNextEvent();
  WaitNextEvent();
  EXPECT_EQ(first_calls, 1);
  EXPECT_EQ(second_calls, 2);
  previous();
  EXPECT_EQ(first_calls, 2);
  EXPECT_TRUE(SetWaitNextEventHook({}));
  WaitNextEvent();
  EXPECT_EQ(second_calls, 2);
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
