#include "platform/pasteboard/pasteboard.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_support.h"

namespace {

namespace fs = std::filesystem;
using kestrine_testing::CapturedStderr;
using kestrine_testing::ReadFile;

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

OSStatus Put(Pasteboard& pasteboard, std::string_view text,
             std::string_view flavor = kUTF8PlainTextFlavor) {
  return PasteboardPutItemFlavor(pasteboard, 1, flavor, text, kPasteboardFlavorNoFlags);
}

// The clipboard, opened; null (after a failed expectation) when it cannot be.
PasteboardRef Open() {
  PasteboardRef pasteboard;
  EXPECT_EQ(PasteboardCreate(kPasteboardClipboard, &pasteboard), noErr);
  return pasteboard;
}

class PasteboardTest : public ::testing::Test {
 protected:
  fs::path ClipboardFile() const { return dir_ / "run/kestrine/clipboard"; }
  fs::path Folder() const { return ClipboardFile().parent_path(); }

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

  // XDG_RUNTIME_DIR is its "run" folder, and there is no display.
  kestrine_testing::ScopedUser user_;
  const fs::path dir_ = user_.root();
  kestrine_testing::ScopedEnvironment environment_;
};

TEST_F(PasteboardTest, OnlyTheClipboardExistsAndItsFileFollowsTheEnvironment) {
  // A failed open leaves the caller's pasteboard null.
  PasteboardRef pasteboard = Open();
  EXPECT_EQ(PasteboardCreate("com.apple.pasteboard.find", &pasteboard), paramErr);
  EXPECT_FALSE(pasteboard);
  EXPECT_EQ(PasteboardCreate(kPasteboardClipboard, nullptr), paramErr);

  EXPECT_EQ(PasteboardFilePath(), ClipboardFile().string());
  using Value = std::optional<std::string>;
  for (const Value& runtime : {Value(), Value(""), Value("relative/run")}) {
    environment_.Set("XDG_RUNTIME_DIR", runtime);
    EXPECT_EQ(PasteboardFilePath(), user_.home() + "/.cache/kestrine/run/clipboard");
  }
}

// A store that records what reaches it and fails as told.
class RecordingStore final : public PasteboardStore {
 public:
  RecordingStore(std::vector<std::string>* calls, OSStatus result)
      : calls_(calls), result_(result) {}
  OSStatus Empty() override { return Record("empty"); }
  OSStatus Replace(std::string_view d) override { return Record("replace " + std::string(d)); }

 private:
  OSStatus Record(std::string call) {
    calls_->push_back(std::move(call));
    return result_;
  }
  std::vector<std::string>* calls_;
  OSStatus result_;
};

// A clear waits for the write or the commit that follows it, so the store
// sees one change per command, and a write that fails takes the clear with
// it.
TEST(PasteboardTransactionTest, ClearIsCommittedWithTheNextChange) {
  const struct {
    std::string steps;  // c clear, p put "new", f put in another flavor, s synchronize
    OSStatus store_result;
    std::vector<OSStatus> statuses;
    std::vector<std::string> calls;  // After the pasteboard is released.
  } cases[] = {
      {"cp", noErr, {noErr, noErr}, {"replace new"}}, {"cs", noErr, {noErr, noErr}, {"empty"}},
      {"c", noErr, {noErr}, {"empty"}}, {"ccss", noErr, {noErr, noErr, noErr, noErr}, {"empty"}},
      {"s", noErr, {noErr}, {}}, {"cp", ioErr, {noErr, ioErr}, {"replace new"}},
      {"cps", ioErr, {noErr, ioErr, noErr}, {"replace new"}},
      {"cs", afpAccessDenied, {noErr, afpAccessDenied}, {"empty"}},
      {"cf", noErr, {noErr, badPasteboardFlavorErr}, {}},
      {"cpc", noErr, {noErr, noErr, noErr}, {"replace new", "empty"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.steps + " " + std::to_string(c.store_result));
    std::vector<std::string> calls;
    std::vector<OSStatus> statuses;
    {
      Pasteboard pasteboard(std::make_unique<RecordingStore>(&calls, c.store_result));
      for (char step : c.steps) {
        statuses.push_back(step == 'c'   ? PasteboardClear(pasteboard)
                           : step == 'p' ? Put(pasteboard, "new")
                           : step == 'f' ? Put(pasteboard, "new", "public.utf16-plain-text")
                                         : PasteboardSynchronize(pasteboard));
      }
    }
    EXPECT_EQ(statuses, c.statuses);
    EXPECT_EQ(calls, c.calls);
  }
}

TEST_F(PasteboardTest, FileHoldsExactlyTheItemAndIsAbsentWhenEmpty) {
  PasteboardRef pasteboard = Open();
  ASSERT_TRUE(pasteboard);
  EXPECT_FALSE(fs::exists(ClipboardFile()));
  const std::string with_nul("a\0b", 3);
  const std::string large(5 * 1024 * 1024 + 17, 'x');
  for (const std::string& text : {kJapanese, kLines, with_nul, large, std::string("short"), {}}) {
    ASSERT_EQ(Put(*pasteboard, text), noErr);
    EXPECT_TRUE(ReadFile(ClipboardFile()) == text) << text.size();
  }

  // A reader that opened the old text keeps reading it whole; the new text
  // arrives as a new file, and no temporary file stays behind.
  const std::string old_text(300000, 'o');
  ASSERT_EQ(Put(*pasteboard, old_text), noErr);
  std::ifstream reader(ClipboardFile(), std::ios::binary);
  struct stat before {}, after {};
  ASSERT_EQ(stat(ClipboardFile().c_str(), &before), 0);
  ASSERT_EQ(Put(*pasteboard, "new"), noErr);
  EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(reader), {}) == old_text);
  ASSERT_EQ(stat(ClipboardFile().c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 07777, 0600u);
  EXPECT_EQ(kestrine_testing::FolderNames(Folder()), std::vector<std::string>{"clipboard"});

  // A second pasteboard sees the same clipboard, and a clear released
  // without a write empties it.
  PasteboardRef second = Open();
  ASSERT_TRUE(second);
  ASSERT_EQ(Put(*second, kJapanese), noErr);
  EXPECT_EQ(PasteboardClear(*pasteboard), noErr);
  pasteboard.reset();
  EXPECT_FALSE(fs::exists(ClipboardFile()));
}

// The folder is made private whatever the umask. One that is missing, not
// private to this user, a link or another user's cannot be opened; the
// failure is logged once and leaves its content alone.
TEST_F(PasteboardTest, FolderIsPrivateOrFailsToOpen) {
  const mode_t old_umask = umask(0177);
  const PasteboardRef first = Open();
  umask(0);
  fs::remove_all(Folder());
  const PasteboardRef second = Open();
  umask(old_umask);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(fs::status(Folder()).permissions(), fs::perms(0700));
  EXPECT_EQ(Put(*second, "planted"), noErr);

  for (mode_t mode : {0755, 0710, 0701, 0770}) {
    SCOPED_TRACE(mode);
    chmod(Folder().c_str(), mode);
    const std::string line = ExpectOpenFails(afpAccessDenied);
    EXPECT_NE(line.find(Folder().string()), std::string::npos) << line;
  }
  EXPECT_EQ(ReadFile(ClipboardFile()), "planted");

  fs::remove_all(Folder());
  fs::create_directories(dir_ / "elsewhere");
  chmod((dir_ / "elsewhere").c_str(), 0700);
  fs::create_directory_symlink(dir_ / "elsewhere", Folder());
  ExpectOpenFails(afpAccessDenied);

  if (geteuid() == 0) {  // Only root can give the folder to another user.
    fs::remove(Folder());
    fs::create_directories(Folder());
    chmod(Folder().c_str(), 0700);
    ASSERT_EQ(chown(Folder().c_str(), 65534, 65534), 0);
    ExpectOpenFails(afpAccessDenied);
  }

  environment_.Set("XDG_RUNTIME_DIR", (dir_ / "gone").string());
  ExpectOpenFails(fnfErr);
  EXPECT_FALSE(fs::exists(dir_ / "gone"));
}

// Without a compositor, a stand-in wl-copy records how it is called.
TEST_F(PasteboardTest, WaylandWritesThroughWlCopy) {
  environment_.Set("WAYLAND_DISPLAY", "wayland-kestrine-test");
  environment_.Set("DISPLAY", ":0");
  const std::string record = dir_ / "record";
  fs::create_directories(record);
  // One file per call: the display, the arguments, "--", then the input.
  kestrine_testing::WriteProgram(
      dir_ / "bin/wl-copy", "#!/bin/sh\nn=$(/bin/ls '" + record + "' | /usr/bin/wc -l)\n"
      "{ printf '%s\\n' \"$WAYLAND_DISPLAY\" \"$@\" --; /bin/cat; } > '" + record + "'/$n\n");
  environment_.Set("PATH", (dir_ / "bin").string());

  PasteboardRef pasteboard = Open();
  ASSERT_TRUE(pasteboard);
  // The text passes whole through the helper's pipe, a NUL and all.
  const std::string large = MegabyteText() + std::string("\0after a NUL", 12);
  EXPECT_EQ(PasteboardClear(*pasteboard), noErr);
  EXPECT_EQ(PasteboardSynchronize(*pasteboard), noErr);
  EXPECT_EQ(Put(*pasteboard, kJapanese), noErr);
  EXPECT_EQ(Put(*pasteboard, large), noErr);
  const std::string put = "wayland-kestrine-test\n--type\ntext/plain;charset=utf-8\n--\n";
  EXPECT_EQ(ReadFile(record + "/0"), "wayland-kestrine-test\n--clear\n--\n");
  EXPECT_EQ(ReadFile(record + "/1"), put + kJapanese);
  EXPECT_TRUE(ReadFile(record + "/2") == put + large);
  EXPECT_FALSE(fs::exists(Folder()));
}

// A session whose helper program is missing cannot be opened, with one line
// naming the programs it needs; with Wayland and X11 both set, Wayland is the
// one used. A helper with no display to reach fails the write and the
// commit, each with one line naming it.
TEST_F(PasteboardTest, SessionWithoutItsHelperOrDisplayFails) {
  int unused = 4242;
  while (fs::exists("/tmp/.X11-unix/X" + std::to_string(unused))) ++unused;
  const std::string display = ":" + std::to_string(unused);
  const struct {
    std::optional<std::string> wayland, display;
    std::vector<std::string> programs;  // The only ones on PATH.
    std::vector<std::string> named;     // In each line logged.
    bool opens;
  } cases[] = {
      {std::nullopt, ":0", {"wl-copy", "sh"}, {"xclip", "xsel"}, false},
      {"wayland-kestrine-test", ":0", {"xclip", "xsel"}, {"wl-copy"}, false},
      {"wayland-kestrine-none", std::nullopt, {"wl-copy"}, {"wl-copy"}, true},
      {std::nullopt, display, {"xclip"}, {"xclip"}, true},
      {std::nullopt, display, {"xsel"}, {"xsel"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.named[0] + (c.opens ? " cannot write" : " is missing"));
    environment_.Set("WAYLAND_DISPLAY", c.wayland);
    environment_.Set("DISPLAY", c.display);
    PathWithOnly(c.programs);
    std::vector<std::string> lines;
    if (!c.opens) {
      lines = {ExpectOpenFails(notPasteboardOwnerErr)};
    } else {
      PasteboardRef pasteboard = Open();
      ASSERT_TRUE(pasteboard) << c.named[0] << " is not installed";
      CapturedStderr captured;
      EXPECT_EQ(Put(*pasteboard, kJapanese), ioErr);
      EXPECT_EQ(PasteboardClear(*pasteboard), noErr);
      EXPECT_EQ(PasteboardSynchronize(*pasteboard), ioErr);
      lines = captured.Lines();
      EXPECT_EQ(lines.size(), 2u);
    }
    for (const std::string& line : lines) {
      for (const std::string& name : c.named) EXPECT_NE(line.find(name), std::string::npos) << line;
    }
    EXPECT_FALSE(fs::exists(Folder()));
  }
}

}  // namespace
