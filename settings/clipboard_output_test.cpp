#include "settings/clipboard_output.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

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
  kestrine_testing::ScopedEnvironment environment_;
};

// The clear takes effect with the write, or when the clipboard is released
// without one; until then the old content stays.
TEST_F(ClipboardOutputTest, ClearTakesEffectWithTheWrite) {
  Copy("old text");
  PasteboardRef clipboard = OpenAndClearClipboard();
  ASSERT_TRUE(clipboard);
  EXPECT_EQ(user_.Clipboard(), "old text");
  EXPECT_EQ(WriteClipboardText(*clipboard, "new text"), noErr);
  EXPECT_EQ(user_.Clipboard(), "new text");

  clipboard = OpenAndClearClipboard();
  ASSERT_TRUE(clipboard);
  EXPECT_EQ(user_.Clipboard(), "new text");
  clipboard.reset();
  EXPECT_EQ(user_.Clipboard(), std::nullopt);
}

// Several lines are one item of exactly their bytes; an empty text leaves
// the clipboard empty, also when it is empty already.
TEST_F(ClipboardOutputTest, TheTextIsTheOneItemAndAnEmptyTextLeavesNone) {
  const std::string lines = "Mac Path: /Users/ann/\xe6\x97\xa5\xe6\x9c\xac.txt\n/Users/ann/b.txt\r\n\n\n";
  for (const std::string& text : {std::string("old text"), std::string(), std::string(), lines}) {
    Copy(text);
    EXPECT_EQ(user_.Clipboard(), text.empty() ? std::nullopt : std::optional(text));
  }
}

// A write that fails (here beyond a file-size limit of 0, in a child with
// SIGXFSZ at its default action) returns its failure and loses nothing.
TEST_F(ClipboardOutputTest, FailedWriteKeepsTheOldContent) {
  Copy("old text");
  EXPECT_EQ(kestrine_testing::WaitForChild(kestrine_testing::StartChild([] {
              const rlimit none{0, 0};
              signal(SIGXFSZ, SIG_DFL);
              if (setrlimit(RLIMIT_FSIZE, &none) != 0) return 2;
              PasteboardRef clipboard = OpenAndClearClipboard();
              if (!clipboard) return 3;
              const OSStatus status = WriteClipboardText(*clipboard, "new text");
              clipboard.reset();
              return status == ioErr ? 0 : 1;
            })),
            0);
  EXPECT_EQ(user_.Clipboard(), "old text");
}

// A display whose clipboard programs are missing cannot be opened.
TEST_F(ClipboardOutputTest, FailedOpenKeepsTheOldContent) {
  Copy("old text");
  environment_.Set("DISPLAY", ":0");
  environment_.Set("PATH", user_.root() + "/empty");
  EXPECT_FALSE(OpenAndClearClipboard());
  environment_.Set("DISPLAY", std::nullopt);
  EXPECT_EQ(user_.Clipboard(), "old text");
}

}  // namespace
