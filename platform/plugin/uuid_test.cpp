#include "platform/plugin/uuid.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

CFUUIDRef ContextualMenuType() {
  return CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0x2F, 0x65, 0x22, 0xE9, 0x3E, 0x66, 0x11,
                                        0xD5, 0x80, 0xA7, 0x00, 0x30, 0x65, 0xB3, 0x00, 0xBC);
}

TEST(CFUUIDTest, ConstantObjectsAreSharedAndKept) {
  const CFUUID* raw = ContextualMenuType().get();
  ASSERT_NE(raw, nullptr);
  // Letting go of every reference handed out keeps the object.
  EXPECT_EQ(ContextualMenuType().get(), raw);
  const CFUUIDRef other = CFUUIDGetConstantUUIDWithBytes(nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0,
                                                         0, 0, 0, 0x46);
  EXPECT_NE(other.get(), raw);
  EXPECT_FALSE(CFEqual(other, ContextualMenuType()));

  // Threads asking at once for the same bytes get one object.
  std::vector<const CFUUID*> seen(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] {
      seen[i] = CFUUIDGetConstantUUIDWithBytes(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                                               16).get();
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const CFUUID* object : seen) EXPECT_EQ(object, seen[0]);
}

TEST(CFUUIDTest, CreatedObjectsAreNewAndEqualByBytesAndText) {
  const CFUUIDRef made = CFUUIDCreateFromUUIDBytes(nullptr, CFUUIDGetUUIDBytes(ContextualMenuType()));
  ASSERT_NE(made, nullptr);
  EXPECT_NE(made.get(), ContextualMenuType().get());
  EXPECT_EQ(made.use_count(), 1);
  EXPECT_TRUE(CFEqual(made, ContextualMenuType()));
  EXPECT_TRUE(CFEqual(nullptr, nullptr));
  EXPECT_FALSE(CFEqual(made, nullptr));
  EXPECT_FALSE(CFEqual(nullptr, made));
  EXPECT_EQ(CFUUIDGetUUIDBytes(nullptr), CFUUIDBytes{});

  EXPECT_EQ(CFUUIDCreateString(nullptr, made), "2F6522E9-3E66-11D5-80A7-003065B300BC");
  EXPECT_TRUE(CFEqual(CFUUIDCreateFromString(nullptr, "2f6522e9-3E66-11d5-80a7-003065b300bc"), made));
  EXPECT_EQ(CFUUIDCreateString(nullptr, nullptr), "");
  for (const char* bad : {"", "2F6522E9-3E66-11D5-80A7-003065B300B", "2F6522E9-3E66-11D5-80A7-003065B300BC0",
                          "2F6522E9+3E66-11D5-80A7-003065B300BC", "2F6522E93E66-11D5-80A7--003065B300BC",
                          "2F6522G9-3E66-11D5-80A7-003065B300BC", "{2F6522E9-3E66-11D5-80A7-003065B300B}",
                          " 2F6522E9-3E66-11D5-80A7-003065B300B"}) {
    EXPECT_EQ(CFUUIDCreateFromString(nullptr, bad), nullptr) << bad;
    EXPECT_EQ(CFUUIDBytesFromString(bad), std::nullopt) << bad;
  }
}

}  // namespace
