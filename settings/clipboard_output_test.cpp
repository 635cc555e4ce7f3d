#include "settings/clipboard_output.h"

#include <stdlib.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

std::optional<std::string> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs every case on the clipboard file in a temporary runtime folder, with
// no display, and restores the environment afterwards.
class ClipboardOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char path_template[] = "/tmp/clipboard_output_test.XXXXXX";
    ASSERT_NE(mkdtemp(path_template), nullptr);
    dir_ = path_template;
    for (const char* name : {"XDG_RUNTIME_DIR", "DISPLAY", "WAYLAND_DISPLAY", "PATH"}) {
      const char* value = getenv(name);
      saved_[name] = value != nullptr ? std::optional<std::string>(value) : std::nullopt;
    }
    setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    fs::remove_all(dir_);
  }

  fs::path ClipboardFile() const { return dir_ / "kestrine/clipboard"; }

  // Runs one command that copies `text`, as every handler does.
  void Copy(const std::string& text) {
    PasteboardRef clipboard = OpenAndClearClipboard();
    ASSERT_TRUE(clipboard);
    WriteClipboardText(*clipboard, text);
  }

  fs::path dir_;
  std::map<std::string, std::optional<std::string>> saved_;
};

// The clear takes effect with the write, or when the clipboard is released
// without one; until then the old content stays.
TEST_F(ClipboardOutputTest, ClearTakesEffectWithTheWrite) {
  Copy("old text");
  PasteboardRef clipboard = OpenAndClearClipboard();
  ASSERT_TRUE(clipboard);
  EXPECT_EQ(ReadFile(ClipboardFile()), "old text");
  EXPECT_EQ(WriteClipboardText(*clipboard, "new text"), noErr);
  EXPECT_EQ(ReadFile(ClipboardFile()), "new text");

  clipboard = OpenAndClearClipboard();
  ASSERT_TRUE(clipboard);
  EXPECT_EQ(ReadFile(ClipboardFile()), "new text");
  clipboard.reset();
  EXPECT_FALSE(fs::exists(ClipboardFile()));
}

// A write that fails (here beyond a file-size limit of 0, in a child with
// SIGXFSZ at its default action) returns its failure and loses nothing.
TEST_F(ClipboardOutputTest, FailedWriteKeepsTheOldContent) {
  Copy("old text");
  const pid_t pid = fork();
  if (pid == 0) {
    const rlimit none{0, 0};
    signal(SIGXFSZ, SIG_DFL);
    if (setrlimit(RLIMIT_FSIZE, &none) != 0) _exit(2);
    PasteboardRef clipboard = OpenAndClearClipboard();
    if (!clipboard) _exit(3);
    const OSStatus status = WriteClipboardText(*clipboard, "new text");
    clipboard.reset();
    _exit(status == ioErr ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ReadFile(ClipboardFile()), "old text");
}

TEST_F(ClipboardOutputTest, EmptyTextLeavesTheClipboardEmpty) {
  Copy("old text");
  Copy("");
  EXPECT_FALSE(fs::exists(ClipboardFile()));
  Copy("");
  EXPECT_FALSE(fs::exists(ClipboardFile()));
}

TEST_F(ClipboardOutputTest, TextIsWrittenAsExactlyItsBytes) {
  // A Japanese file name: every character takes three bytes.
  const std::string japanese =
      "/Users/ann/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae\xe5\x90\x8d\xe5\x89\x8d";
  Copy(japanese);
  EXPECT_EQ(ReadFile(ClipboardFile()), japanese);

  // Several lines are one item, separators and all.
  const std::string lines = "Mac Path: /Users/ann/a.txt\n/Users/ann/b.txt\r\n\n\n";
  Copy(lines);
  EXPECT_EQ(ReadFile(ClipboardFile()), lines);
  const std::string large(3 * 1024 * 1024, 'p');
  Copy(large);
  EXPECT_TRUE(ReadFile(ClipboardFile()) == large);
}

TEST_F(ClipboardOutputTest, FailedOpenKeepsTheOldContent) {
  Copy("old text");

  // A display whose clipboard programs are missing.
  setenv("DISPLAY", ":0", 1);
  setenv("PATH", (dir_ / "empty").c_str(), 1);
  EXPECT_FALSE(OpenAndClearClipboard());
  unsetenv("DISPLAY");
  EXPECT_EQ(ReadFile(ClipboardFile()), "old text");

  // A clipboard folder that others may enter.
  chmod((dir_ / "kestrine").c_str(), 0755);
  EXPECT_FALSE(OpenAndClearClipboard());
  EXPECT_EQ(ReadFile(ClipboardFile()), "old text");
}

}  // namespace
