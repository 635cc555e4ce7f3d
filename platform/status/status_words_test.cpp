#include "platform/status/status_words.h"

#include <gtest/gtest.h>

namespace {

TEST(StatusWordsTest, NamesTheNumberAndWhatItMeans) {
  const std::pair<OSStatus, const char*> cases[] = {
      {-43, "error -43: no such file or folder"},
      {-5000, "error -5000: permission denied"},
      {-1712, "error -1712: no reply in time"},
      {-25130, "error -25130: the clipboard changed meanwhile"},
      {-600, "error -600: no such process"},
      {-12345, "error -12345"},
      {7, "error 7"},
  };
  for (const auto& [status, words] : cases) EXPECT_EQ(StatusWords(status), words);
}

}  // namespace
