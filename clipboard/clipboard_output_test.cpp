#include "clipboard/clipboard_output.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "testing/test_support.h"

namespace {

// Every case uses the clipboard file of a temporary user with no display.
class ClipboardOutputTest : public ::testing::Test {
 protected:
  // Runs one command that copies `text`, as every handler does.
  void Copy(const std::string& text) {
    PasteboardRef clipboard = OpenAndClearClipboard();
    ASSERT_TRUE(clipboard);
    WriteClipboardText(*clipboard, text);
  }

  kestrine_testing::ScopedUser user_;
};

// Several lines are one item of exactly their bytes; an empty text leaves
// the clipboard empty, also when it is empty already.
TEST_F(ClipboardOutputTest, TheTextIsTheOneItemAndAnEmptyTextLeavesNone) {
  const std::string lines = "Mac Path: /Users/ann/\xe6\x97\xa5\xe6\x9c\xac.txt\n/Users/ann/b.txt\r\n\n\n";
  for (const std::string& text : {std::string("old text"), std::string(), std::string(), lines}) {
    Copy(text);
    EXPECT_EQ(user_.Clipboard(), text.empty() ? std::nullopt : std::optional(text));
  }
}

}  // namespace
