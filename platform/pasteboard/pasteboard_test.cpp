#include "platform/pasteboard/pasteboard.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_support.h"

namespace {

namespace fs = std::filesystem;

const std::string kJapanese =
    "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae\xe3\x83\x95\xe3\x82\xa1\xe3\x82\xa4"
    "\xe3\x83\xab\xe5\x90\x8d";  // A file name in Japanese script, 3 bytes a character.
const std::string kLines = "/Users/ann/a.txt\n/Users/ann/b c.txt\r\n\n\tlast line";

std::string MegabyteText() {
  std::string text;
  for (int i = 0; text.size() < 1024 * 1024; ++i) {
    text += std::to_string(i) + " /Volumes/Share/" + kJapanese + "/x.txt\n";
  }
  return text;
}

using kestrine_testing::CapturedStderr;
using kestrine_testing::ReadFile;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

OSStatus Put(Pasteboard& pasteboard, std::string_view text) {
  return PasteboardPutItemFlavor(pasteboard, 1, kUTF8PlainTextFlavor, text,
                                 kPasteboardFlavorNoFlags);
}

class PasteboardTest : public ::testing::Test {
 protected:
  PasteboardTest() {
    fs::create_directories(dir_ / "runtime");
    environment_.Set("XDG_RUNTIME_DIR", (dir_ / "runtime").string());
    environment_.Set("DISPLAY", std::nullopt);
    environment_.Set("WAYLAND_DISPLAY", std::nullopt);
  }

  fs::path ClipboardFile() const { return dir_ / "runtime/kestrine/clipboard"; }

  // Makes PATH hold only links to the named programs of the system.
  void PathWithOnly(const std::vector<std::string>& programs) {
    fs::remove_all(dir_ / "bin");
    fs::create_directories(dir_ / "bin");
    for (const std::string& program : programs) {
      const std::string found = kestrine_testing::SystemProgram(program);
      if (!found.empty()) fs::create_symlink(found, dir_ / "bin" / program);
    }
    environment_.Set("PATH", (dir_ / "bin").string());
  }

  // Expects the clipboard to fail to open with `status`, leaving no
  // pasteboard and logging one line, which it returns.
  std::string ExpectOpenFails(OSStatus status) {
    PasteboardRef pasteboard;
    CapturedStderr captured;
    EXPECT_EQ(PasteboardCreate(kPasteboardClipboard, &pasteboard), status);
    EXPECT_FALSE(pasteboard);
    const std::vector<std::string> lines = captured.Lines();
    EXPECT_EQ(lines.size(), 1u);
    return lines.empty() ? std::string() : lines[0];
  }

  kestrine_testing::ScopedTempDir temp_;
  const fs::path dir_ = temp_.path();
  kestrine_testing::ScopedEnvironment environment_;
};

// The file backend, used when no display is set.

TEST_F(PasteboardTest, FilePathFollowsTheEnvironment) {
  EXPECT_EQ(PasteboardFilePath(), ClipboardFile().string());
  const std::string fallback = "/tmp/kestrine-" + std::to_string(geteuid()) + "/clipboard";
  environment_.Set("XDG_RUNTIME_DIR", std::nullopt);
  EXPECT_EQ(PasteboardFilePath(), fallback);
  environment_.Set("XDG_RUNTIME_DIR", "");
  EXPECT_EQ(PasteboardFilePath(), fallback);
  environment_.Set("XDG_RUNTIME_DIR", "relative/run");
  EXPECT_EQ(PasteboardFilePath(), fallback);
}

// A store that records what reaches it and fails as told.
class RecordingStore final : public PasteboardStore {
 public:
  RecordingStore(std::vector<std::string>* calls, OSStatus result)
      : calls_(calls), result_(result) {}
  OSStatus Empty() override {
    calls_->push_back("empty");
    return result_;
  }
  OSStatus Replace(std::string_view data) override {
    calls_->push_back("replace " + std::string(data));
    return result_;
  }

 private:
  std::vector<std::string>* calls_;
  OSStatus result_;
};

// A clear waits for the write or the commit that follows it, so the store
// sees one change per command, and a write that fails takes the clear with
// it.
TEST(PasteboardTransactionTest, ClearIsCommittedWithTheNextChange) {
  struct Case {
    std::string steps;  // c clear, p put "new", f put in another flavor, s synchronize
    OSStatus store_result;
    std::vector<OSStatus> statuses;
    std::vector<std::string> calls;  // After the pasteboard is released.
  };
  const std::vector<Case> cases = {
      {"cp", noErr, {noErr, noErr}, {"replace new"}},
      {"cs", noErr, {noErr, noErr}, {"empty"}},
      {"c", noErr, {noErr}, {"empty"}},
      {"ccss", noErr, {noErr, noErr, noErr, noErr}, {"empty"}},
      {"s", noErr, {noErr}, {}},
      {"cp", ioErr, {noErr, ioErr}, {"replace new"}},
      {"cps", ioErr, {noErr, ioErr, noErr}, {"replace new"}},
      {"cs", afpAccessDenied, {noErr, afpAccessDenied}, {"empty"}},
      {"cf", noErr, {noErr, badPasteboardFlavorErr}, {}},
      {"cpc", noErr, {noErr, noErr, noErr}, {"replace new", "empty"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> calls;
    std::vector<OSStatus> statuses;
    {
      Pasteboard pasteboard(std::make_unique<RecordingStore>(&calls, c.store_result));
      for (char step : c.steps) {
        switch (step) {
          case 'c': statuses.push_back(PasteboardClear(pasteboard)); break;
          case 'p': statuses.push_back(Put(pasteboard, "new")); break;
          case 'f':
            statuses.push_back(
                PasteboardPutItemFlavor(pasteboard, 1, "public.utf16-plain-text", "new", 0));
            break;
          case 's': statuses.push_back(PasteboardSynchronize(pasteboard)); break;
        }
      }
    }
    EXPECT_EQ(statuses, c.statuses) << c.steps << " " << c.store_result;
    EXPECT_EQ(calls, c.calls) << c.steps << " " << c.store_result;
  }
}

TEST_F(PasteboardTest, OnlyTheClipboardWithTextFlavorExists) {
  // A failed open leaves the caller's pasteboard null.
  std::vector<std::string> calls;
  PasteboardRef pasteboard =
      std::make_unique<Pasteboard>(std::make_unique<RecordingStore>(&calls, noErr));
  EXPECT_EQ(PasteboardCreate("com.apple.pasteboard.find", &pasteboard), paramErr);
  EXPECT_FALSE(pasteboard);
  EXPECT_EQ(PasteboardCreate(kPasteboardClipboard, nullptr), paramErr);

  ASSERT_EQ(PasteboardCreate(kPasteboardClipboard, &pasteboard), noErr);
  ASSERT_TRUE(pasteboard);
  ASSERT_EQ(Put(*pasteboard, "old"), noErr);
  EXPECT_EQ(PasteboardPutItemFlavor(*pasteboard, 1, "public.utf16-plain-text", "new", 0),
            badPasteboardFlavorErr);
  EXPECT_EQ(ReadFile(ClipboardFile()), "old");
}

TEST_F(PasteboardTest, FileHoldsExactlyTheItemAndIsAbsentWhenEmpty) {
  PasteboardRef pasteboard;
  ASSERT_EQ(PasteboardCreate(kPasteboardClipboard, &pasteboard), noErr);
  ASSERT_TRUE(pasteboard);
  struct stat folder {};
  ASSERT_EQ(stat(ClipboardFile().parent_path().c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 07777, 0700u);
  EXPECT_FALSE(fs::exists(ClipboardFile()));

  std::string with_nul = "a";
  with_nul += '\0';
  with_nul += "b";
  const std::string large(5 * 1024 * 1024 + 17, 'x');
  for (const std::string& text : {kJapanese, kLines, with_nul, large, std::string("short"),
                                  std::string()}) {
    ASSERT_EQ(Put(*pasteboard, text), noErr);
    EXPECT_TRUE(ReadFile(ClipboardFile()) == text) << text.size();
  }
  // A clear empties the clipboard when it is committed, not before.
  EXPECT_EQ(PasteboardClear(*pasteboard), noErr);
  EXPECT_TRUE(fs::exists(ClipboardFile()));
  EXPECT_EQ(PasteboardSynchronize(*pasteboard), noErr);
  EXPECT_FALSE(fs::exists(ClipboardFile()));
  EXPECT_EQ(PasteboardClear(*pasteboard), noErr);
  EXPECT_EQ(PasteboardSynchronize(*pasteboard), noErr);

  // A second pasteboard sees the same clipboard.
  PasteboardRef second;
  ASSERT_EQ(PasteboardCreate(kPasteboardClipboard, &second), noErr);
  ASSERT_EQ(Put(*second, kJapanese), noErr);
  EXPECT_EQ(PasteboardClear(*pasteboard), noErr);
  pasteboard.reset();
  EXPECT_FALSE(fs::exists(ClipboardFile()));
}

// A reader that opened the old text keeps reading it whole; the new text
// arrives as a new file, and no temporary file stays behind.
TEST_F(PasteboardTest, FileIsReplacedAtomically) {
  PasteboardRef pasteboard;
  ASSERT_EQ(PasteboardCreate(kPasteboardClipboard, &pasteboard), noErr);
  const std::string old_text(300000, 'o');
  ASSERT_EQ(Put(*pasteboard, old_text), noErr);
  std::ifstream reader(ClipboardFile(), std::ios::binary);
  struct stat old_file {};
  ASSERT_EQ(stat(ClipboardFile().c_str(), &old_file), 0);

  ASSERT_EQ(Put(*pasteboard, "new"), noErr);
  std::ostringstream seen;
  seen << reader.rdbuf();
  EXPECT_TRUE(seen.str() == old_text);
  struct stat new_file {};
  ASSERT_EQ(stat(ClipboardFile().c_str(), &new_file), 0);
  EXPECT_NE(new_file.st_ino, old_file.st_ino);
  EXPECT_EQ(new_file.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadFile(ClipboardFile()), "new");

  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(ClipboardFile().parent_path())) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"clipboard"});
}

TEST_F(PasteboardTest, FolderIsPrivateWhateverTheUmask) {
  const mode_t old_umask = umask(0177);
  PasteboardRef pasteboard;
  const OSStatus status = PasteboardCreate(kPasteboardClipboard, &pasteboard);
  umask(0);
  PasteboardRef second;
  fs::remove_all(ClipboardFile().parent_path());
  const OSStatus second_status = PasteboardCreate(kPasteboardClipboard, &second);
  umask(old_umask);
  ASSERT_EQ(status, noErr);
  ASSERT_EQ(second_status, noErr);
  struct stat folder {};
  ASSERT_EQ(stat(ClipboardFile().parent_path().c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 07777, 0700u);
  EXPECT_EQ(Put(*second, "text"), noErr);
}

// A folder that is not private to this user cannot be opened; the failure
// is logged once and leaves its content alone.
TEST_F(PasteboardTest, FolderNotPrivateFailsToOpen) {
  const fs::path folder = ClipboardFile().parent_path();
  fs::create_directories(folder);
  std::ofstream(ClipboardFile()) << "planted";
  for (mode_t mode : {0755, 0710, 0701, 0770}) {
    SCOPED_TRACE(mode);
    chmod(folder.c_str(), mode);
    const std::string line = ExpectOpenFails(afpAccessDenied);
    EXPECT_TRUE(Contains(line, folder.string())) << line;
  }
  EXPECT_EQ(ReadFile(ClipboardFile()), "planted");

  // A link to a private folder is refused too.
  fs::remove_all(folder);
  fs::create_directories(dir_ / "elsewhere");
  chmod((dir_ / "elsewhere").c_str(), 0700);
  fs::create_directory_symlink(dir_ / "elsewhere", folder);
  ExpectOpenFails(afpAccessDenied);
}

TEST_F(PasteboardTest, FolderOfAnotherUserFailsToOpen) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can give a folder to another user";
  const fs::path folder = ClipboardFile().parent_path();
  fs::create_directories(folder);
  chmod(folder.c_str(), 0700);
  ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
  ExpectOpenFails(afpAccessDenied);
}

TEST_F(PasteboardTest, MissingRuntimeFolderFailsToOpen) {
  environment_.Set("XDG_RUNTIME_DIR", (dir_ / "gone").string());
  ExpectOpenFails(fnfErr);
  EXPECT_FALSE(fs::exists(dir_ / "gone"));
}

// Display sessions whose helper program is missing.

// With Wayland and X11 both set, Wayland is the one used.
TEST_F(PasteboardTest, DisplaySessionWithoutItsHelperFailsToOpen) {
  const struct {
    std::optional<std::string> wayland;
    std::vector<std::string> programs;
    std::vector<std::string> named;  // In the one line logged.
  } cases[] = {
      {std::nullopt, {"wl-copy", "sh"}, {"xclip", "xsel"}},
      {"wayland-kestrine-test", {"xclip", "xsel"}, {"wl-copy"}},
  };
  environment_.Set("DISPLAY", ":0");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.named[0]);
    environment_.Set("WAYLAND_DISPLAY", c.wayland);
    PathWithOnly(c.programs);
    const std::string line = ExpectOpenFails(notPasteboardOwnerErr);
    for (const std::string& name : c.named) EXPECT_TRUE(Contains(line, name)) << line;
    EXPECT_FALSE(fs::exists(ClipboardFile().parent_path()));
  }
}

// Without a compositor, a stand-in wl-copy records how it is called.
TEST_F(PasteboardTest, WaylandWritesThroughWlCopy) {
  environment_.Set("WAYLAND_DISPLAY", "wayland-kestrine-test");
  environment_.Set("DISPLAY", ":0");
  const fs::path record = dir_ / "record";
  fs::create_directories(record);
  kestrine_testing::WriteProgram(
      dir_ / "bin/wl-copy",
      "#!/bin/sh\n"
      "n=$(/bin/ls '" + record.string() + "' | /usr/bin/wc -l)\n"
      "printf '%s\\n' \"$WAYLAND_DISPLAY\" \"$@\" > '" + record.string() + "'/args$n\n"
      "/bin/cat > '" + record.string() + "'/input$n\n");
  environment_.Set("PATH", (dir_ / "bin").string());

  PasteboardRef pasteboard;
  ASSERT_EQ(PasteboardCreate(kPasteboardClipboard, &pasteboard), noErr);
  ASSERT_TRUE(pasteboard);
  const std::string large = MegabyteText();
  EXPECT_EQ(PasteboardClear(*pasteboard), noErr);
  EXPECT_EQ(PasteboardSynchronize(*pasteboard), noErr);
  EXPECT_EQ(Put(*pasteboard, kJapanese), noErr);
  EXPECT_EQ(Put(*pasteboard, large), noErr);

  EXPECT_EQ(ReadFile(record / "args0"), "wayland-kestrine-test\n--clear\n");
  EXPECT_EQ(ReadFile(record / "input0"), "");
  const std::string put_args = "wayland-kestrine-test\n--type\ntext/plain;charset=utf-8\n";
  EXPECT_EQ(ReadFile(record / "args2"), put_args);
  EXPECT_EQ(ReadFile(record / "input2"), kJapanese);
  EXPECT_EQ(ReadFile(record / "args4"), put_args);
  EXPECT_TRUE(ReadFile(record / "input4") == large);
  EXPECT_FALSE(fs::exists(ClipboardFile().parent_path()));
}

// The real wl-copy, with no compositor to reach, fails the write.
TEST_F(PasteboardTest, WaylandWithoutCompositorFailsToWrite) {
  if (access("/usr/bin/wl-copy", X_OK) != 0) GTEST_SKIP() << "wl-copy is not installed";
  environment_.Set("WAYLAND_DISPLAY", "wayland-kestrine-none");
  PathWithOnly({"wl-copy"});
  PasteboardRef pasteboard;
  ASSERT_EQ(PasteboardCreate(kPasteboardClipboard, &pasteboard), noErr);
  CapturedStderr captured;
  EXPECT_EQ(Put(*pasteboard, "text"), ioErr);
  EXPECT_EQ(PasteboardClear(*pasteboard), noErr);
  EXPECT_EQ(PasteboardSynchronize(*pasteboard), ioErr);
  const std::vector<std::string> lines = captured.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(Contains(lines[0], "wl-copy")) << lines[0];
}

// The X11 clipboard, for real, on a virtual X server started per test.

class X11PasteboardTest : public PasteboardTest {
 protected:
  void SetUp() override {
    const char* disabled = getenv("KESTRINE_NO_X11_TESTS");
    if (disabled != nullptr && std::string(disabled) == "1") {
      GTEST_SKIP() << "KESTRINE_NO_X11_TESTS=1";
    }
    ASSERT_FALSE(kestrine_testing::SystemProgram("xclip").empty()) << "xclip is not installed";
    xvfb_ = std::make_unique<kestrine_testing::ScopedXvfb>();
    ASSERT_TRUE(xvfb_->running()) << xvfb_->error();
  }

  // Writes and clears through the pasteboard and reads back with xclip.
  void CheckRoundTrips() {
    PasteboardRef pasteboard;
    ASSERT_EQ(PasteboardCreate(kPasteboardClipboard, &pasteboard), noErr);
    ASSERT_TRUE(pasteboard);
    const std::string large = MegabyteText();
    for (const std::string& text : {kJapanese, kLines, large, std::string("plain")}) {
      ASSERT_EQ(Put(*pasteboard, text), noErr);
      const std::string read = xvfb_->ReadClipboardExpecting(text);
      EXPECT_EQ(read.size(), text.size());
      EXPECT_TRUE(read == text) << read.substr(0, 100);
    }
    EXPECT_EQ(PasteboardClear(*pasteboard), noErr);
    EXPECT_EQ(PasteboardSynchronize(*pasteboard), noErr);
    EXPECT_EQ(xvfb_->ReadClipboardExpecting(""), "");
    ASSERT_EQ(Put(*pasteboard, kJapanese), noErr);
    EXPECT_EQ(xvfb_->ReadClipboardExpecting(kJapanese), kJapanese);
    EXPECT_FALSE(fs::exists(ClipboardFile().parent_path()));
  }

  std::unique_ptr<kestrine_testing::ScopedXvfb> xvfb_;
};

TEST_F(X11PasteboardTest, XclipServesTheExactText) {
  CheckRoundTrips();
}

TEST_F(X11PasteboardTest, XselServesTheExactTextWithoutXclip) {
  PathWithOnly({"xsel"});
  CheckRoundTrips();
}

TEST_F(X11PasteboardTest, UnreachableDisplayFailsToWrite) {
  int unused = 4242;
  while (fs::exists("/tmp/.X11-unix/X" + std::to_string(unused))) ++unused;
  environment_.Set("DISPLAY", ":" + std::to_string(unused));
  for (const char* helper : {"xclip", "xsel"}) {
    PathWithOnly({helper});
    PasteboardRef pasteboard;
    ASSERT_EQ(PasteboardCreate(kPasteboardClipboard, &pasteboard), noErr);
    CapturedStderr captured;
    EXPECT_EQ(Put(*pasteboard, kJapanese), ioErr) << helper;
    const std::vector<std::string> lines = captured.Lines();
    ASSERT_EQ(lines.size(), 1u) << helper;
    EXPECT_TRUE(Contains(lines[0], helper)) << lines[0];
  }
}

// The Wayland clipboard, for real, on a headless compositor run as a user
// who is not root (the compositor refuses root).
TEST(WaylandPasteboardTest, CompositorServesTheExactText) {
  kestrine_testing::ScopedUser user;
  const uid_t uid = kestrine_testing::UnprivilegedUser();
  user.GiveTo(uid);
  kestrine_testing::ScopedSway sway(uid);
  if (!sway.running()) GTEST_SKIP() << "sway cannot start: " << sway.error();

  // Each change is made by a child that runs as the compositor's user.
  const auto change_as_user = [uid](const std::optional<std::string>& text) {
    const pid_t pid = fork();
    if (pid == 0) {
      PasteboardRef pasteboard;
      if (!kestrine_testing::BecomeUser(uid) ||
          PasteboardCreate(kPasteboardClipboard, &pasteboard) != noErr) {
        _exit(2);
      }
      PasteboardClear(*pasteboard);
      const OSStatus status = text ? Put(*pasteboard, *text) : PasteboardSynchronize(*pasteboard);
      _exit(status == noErr ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  };
  std::string large;
  while (large.size() < 4 * 1024 * 1024) large += MegabyteText();
  for (const std::string& text : {kJapanese, large, kLines}) {
    ASSERT_EQ(change_as_user(text), 0);
    const std::string read = sway.ReadClipboardExpecting(text);
    EXPECT_EQ(read.size(), text.size());
    EXPECT_TRUE(read == text) << read.substr(0, 100);
  }
  ASSERT_EQ(change_as_user(std::nullopt), 0);
  EXPECT_EQ(sway.ReadClipboardExpecting(""), "");
}

}  // namespace
