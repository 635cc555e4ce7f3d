#include "platform/memory_guard.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "platform/MacTypes.h"

namespace {

TEST(MemoryGuardTest, RunningOutOfMemoryGivesTheFallbackAndOtherFailuresPass) {
  EXPECT_EQ(GuardMemory(memFullErr, [] { return noErr; }), noErr);
  EXPECT_EQ(GuardMemory(memFullErr, []() -> OSErr { throw std::bad_alloc(); }), memFullErr);
  EXPECT_THROW(GuardMemory(memFullErr, []() -> OSErr { throw std::length_error("long"); }),
               std::length_error);

  std::string done;
  EXPECT_TRUE(RanWithMemory([&] { done = "all"; }));
  EXPECT_EQ(done, "all");
  EXPECT_FALSE(RanWithMemory([&] {
    done = "part";
    throw std::bad_alloc();
  }));
  EXPECT_EQ(done, "part");
}

}  // namespace
