#include "platform/pasteboard/pasteboard.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

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

std::optional<std::string> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Sets environment variables for the life of the object; none means unset.
class ScopedEnvironment final {
 public:
  ScopedEnvironment() = default;
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
  ~ScopedEnvironment() {
    for (const auto& [name, value] : saved_) Put(name, value);
  }
  void Set(const std::string& name, std::optional<std::string> value) {
    if (!saved_.contains(name)) {
      const char* old = getenv(name.c_str());
      saved_[name] = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
    }
    Put(name, value);
  }

 private:
  static void Put(const std::string& name, const std::optional<std::string>& value) {
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

// Sends standard error to a temporary file while alive.
class CapturedStderr final {
 public:
  CapturedStderr() {
    char path_template[] = "/tmp/pasteboard_test_log.XXXXXX";
    const int fd = mkstemp(path_template);
    path_ = path_template;
    saved_ = dup(STDERR_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
  ~CapturedStderr() {
    Restore();
    unlink(path_.c_str());
  }
  // Restores standard error and returns the lines written meanwhile.
  std::vector<std::string> Lines() {
    Restore();
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(path_).value_or(""));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }
  std::string path_;
  int saved_ = -1;
};

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

OSStatus Put(Pasteboard& pasteboard, std::string_view text) {
  return PasteboardPutItemFlavor(pasteboard, 1, kUTF8PlainTextFlavor, text,
                                 kPasteboardFlavorNoFlags);
}

class PasteboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char path_template[] = "/tmp/pasteboard_test.XXXXXX";
    ASSERT_NE(mkdtemp(path_template), nullptr);
    dir_ = path_template;
    fs::create_directories(dir_ / "runtime");
    fs::create_directories(dir_ / "bin");
    environment_.Set("XDG_RUNTIME_DIR", (dir_ / "runtime").string());
    environment_.Set("DISPLAY", std::nullopt);
    environment_.Set("WAYLAND_DISPLAY", std::nullopt);
  }
  void TearDown() override {
    fs::permissions(dir_, fs::perms::owner_all);
    fs::remove_all(dir_);
  }

  fs::path ClipboardFile() const { return dir_ / "runtime/kestrine/clipboard"; }

  // Makes PATH hold only links to the named programs of the system.
  void PathWithOnly(const std::vector<std::string>& programs) {
    for (const std::string& program : programs) {
      for (const char* folder : {"/usr/bin/", "/bin/", "/usr/local/bin/"}) {
        if (access((folder + program).c_str(), X_OK) == 0) {
          fs::create_symlink(folder + program, dir_ / "bin" / program);
          break;
        }
      }
    }
    environment_.Set("PATH", (dir_ / "bin").string());
  }

  fs::path dir_;
  ScopedEnvironment environment_;
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
    chmod(folder.c_str(), mode);
    PasteboardRef pasteboard;
    CapturedStderr captured;
    EXPECT_EQ(PasteboardCreate(kPasteboardClipboard, &pasteboard), afpAccessDenied) << mode;
    EXPECT_FALSE(pasteboard);
    const std::vector<std::string> lines = captured.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(Contains(lines[0], folder.string())) << lines[0];
  }
  EXPECT_EQ(ReadFile(ClipboardFile()), "planted");

  // A link to a private folder is refused too.
  fs::remove_all(folder);
  fs::create_directories(dir_ / "elsewhere");
  chmod((dir_ / "elsewhere").c_str(), 0700);
  fs::create_directory_symlink(dir_ / "elsewhere", folder);
  PasteboardRef pasteboard;
  CapturedStderr captured;
  EXPECT_EQ(PasteboardCreate(kPasteboardClipboard, &pasteboard), afpAccessDenied);
  EXPECT_FALSE(pasteboard);
  EXPECT_EQ(captured.Lines().size(), 1u);
}

TEST_F(PasteboardTest, FolderOfAnotherUserFailsToOpen) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can give a folder to another user";
  const fs::path folder = ClipboardFile().parent_path();
  fs::create_directories(folder);
  chmod(folder.c_str(), 0700);
  ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
  PasteboardRef pasteboard;
  CapturedStderr captured;
  EXPECT_EQ(PasteboardCreate(kPasteboardClipboard, &pasteboard), afpAccessDenied);
  EXPECT_FALSE(pasteboard);
  EXPECT_EQ(captured.Lines().size(), 1u);
}

TEST_F(PasteboardTest, MissingRuntimeFolderFailsToOpen) {
  environment_.Set("XDG_RUNTIME_DIR", (dir_ / "gone").string());
  PasteboardRef pasteboard;
  CapturedStderr captured;
  EXPECT_EQ(PasteboardCreate(kPasteboardClipboard, &pasteboard), fnfErr);
  EXPECT_FALSE(pasteboard);
  EXPECT_EQ(captured.Lines().size(), 1u);
  EXPECT_FALSE(fs::exists(dir_ / "gone"));
}

// Display sessions whose helper program is missing.

TEST_F(PasteboardTest, X11WithoutXclipOrXselFailsToOpen) {
  environment_.Set("DISPLAY", ":0");
  PathWithOnly({"wl-copy", "sh"});
  PasteboardRef pasteboard;
  CapturedStderr captured;
  EXPECT_EQ(PasteboardCreate(kPasteboardClipboard, &pasteboard), notPasteboardOwnerErr);
  EXPECT_FALSE(pasteboard);
  const std::vector<std::string> lines = captured.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(Contains(lines[0], "xclip") && Contains(lines[0], "xsel")) << lines[0];
  EXPECT_FALSE(fs::exists(ClipboardFile().parent_path()));
}

TEST_F(PasteboardTest, WaylandIsPreferredAndNeedsWlCopy) {
  environment_.Set("WAYLAND_DISPLAY", "wayland-kestrine-test");
  environment_.Set("DISPLAY", ":0");
  PathWithOnly({"xclip", "xsel"});
  PasteboardRef pasteboard;
  CapturedStderr captured;
  EXPECT_EQ(PasteboardCreate(kPasteboardClipboard, &pasteboard), notPasteboardOwnerErr);
  EXPECT_FALSE(pasteboard);
  const std::vector<std::string> lines = captured.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(Contains(lines[0], "wl-copy")) << lines[0];
}

// Without a compositor, a stand-in wl-copy records how it is called.
TEST_F(PasteboardTest, WaylandWritesThroughWlCopy) {
  environment_.Set("WAYLAND_DISPLAY", "wayland-kestrine-test");
  environment_.Set("DISPLAY", ":0");
  const fs::path record = dir_ / "record";
  fs::create_directories(record);
  std::ofstream(dir_ / "bin/wl-copy")
      << "#!/bin/sh\n"
         "n=$(/bin/ls '" << record.string() << "' | /usr/bin/wc -l)\n"
         "printf '%s\\n' \"$WAYLAND_DISPLAY\" \"$@\" > '" << record.string() << "'/args$n\n"
         "/bin/cat > '" << record.string() << "'/input$n\n";
  chmod((dir_ / "bin/wl-copy").c_str(), 0755);
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

// The path of a program of the system, or empty.
std::string SystemProgram(const std::string& name) {
  for (const char* folder : {"/usr/bin/", "/bin/", "/usr/local/bin/"}) {
    if (access((folder + name).c_str(), X_OK) == 0) return folder + name;
  }
  return {};
}

class X11PasteboardTest : public PasteboardTest {
 protected:
  void SetUp() override {
    const char* disabled = getenv("KESTRINE_NO_X11_TESTS");
    if (disabled != nullptr && std::string(disabled) == "1") {
      GTEST_SKIP() << "KESTRINE_NO_X11_TESTS=1";
    }
    PasteboardTest::SetUp();
    xclip_ = SystemProgram("xclip");
    const std::string xvfb = SystemProgram("Xvfb");
    ASSERT_FALSE(xvfb.empty()) << "Xvfb is not installed";
    ASSERT_FALSE(xclip_.empty()) << "xclip is not installed";
    StartServer(xvfb);
  }

  void TearDown() override {
    if (server_ > 0) {
      kill(server_, SIGTERM);
      waitpid(server_, nullptr, 0);
      KillLeftoverHelpers();
    }
    if (!dir_.empty()) PasteboardTest::TearDown();
  }

  // Starts Xvfb on a display number it picks itself and sets DISPLAY.
  void StartServer(const std::string& xvfb) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    // The server writes its display number to descriptor 3.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> args = {"Xvfb", "-displayfd", "3", "-nolisten", "tcp",
                                     "-screen", "0", "320x240x24"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int error = posix_spawn(&server_, xvfb.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (error != 0) server_ = 0;
    ASSERT_EQ(error, 0);

    std::string number;
    pollfd readable{fds[0], POLLIN, 0};
    char c = 0;
    while (poll(&readable, 1, 20000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    ASSERT_FALSE(number.empty()) << "Xvfb did not report its display";
    display_ = ":" + number;
    environment_.Set("DISPLAY", display_);
  }

  // Ends the helpers still serving this test's display, by their process id.
  void KillLeftoverHelpers() {
    const std::string marker = "DISPLAY=" + display_ + '\0';
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      const std::string command = ReadFile(entry.path() / "comm").value_or("");
      if (command != "xclip\n" && command != "xsel\n") continue;
      if (Contains(ReadFile(entry.path() / "environ").value_or(""), marker)) {
        kill(std::stoi(name), SIGTERM);
      }
    }
  }

  // The clipboard's text as xclip reads it; empty when nothing is offered.
  std::string ReadClipboard() {
    const std::string command = "'" + xclip_ + "' -selection clipboard -o 2>/dev/null";
    FILE* output = popen(command.c_str(), "r");
    if (output == nullptr) return "<popen failed>";
    std::string text;
    char buffer[65536];
    for (std::size_t count; (count = fread(buffer, 1, sizeof buffer, output)) > 0;) {
      text.append(buffer, count);
    }
    pclose(output);
    return text;
  }

  // Reads the clipboard until it shows `expected`, for a helper that takes
  // the selection after its starter has ended. Returns the last text read.
  std::string ReadClipboardExpecting(const std::string& expected) {
    std::string text;
    for (int attempt = 0; attempt < 50; ++attempt) {
      text = ReadClipboard();
      if (text == expected) break;
      std::this_thread::sleep_for(100ms);
    }
    return text;
  }

  // Writes and clears through the pasteboard and reads back with xclip.
  void CheckRoundTrips() {
    PasteboardRef pasteboard;
    ASSERT_EQ(PasteboardCreate(kPasteboardClipboard, &pasteboard), noErr);
    ASSERT_TRUE(pasteboard);
    const std::string large = MegabyteText();
    for (const std::string& text : {kJapanese, kLines, large, std::string("plain")}) {
      ASSERT_EQ(Put(*pasteboard, text), noErr);
      const std::string read = ReadClipboardExpecting(text);
      EXPECT_EQ(read.size(), text.size());
      EXPECT_TRUE(read == text) << read.substr(0, 100);
    }
    EXPECT_EQ(PasteboardClear(*pasteboard), noErr);
    EXPECT_EQ(PasteboardSynchronize(*pasteboard), noErr);
    EXPECT_EQ(ReadClipboardExpecting(""), "");
    ASSERT_EQ(Put(*pasteboard, kJapanese), noErr);
    EXPECT_EQ(ReadClipboardExpecting(kJapanese), kJapanese);
    EXPECT_FALSE(fs::exists(ClipboardFile().parent_path()));
  }

  std::string xclip_;
  std::string display_;
  pid_t server_ = 0;
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
    fs::remove_all(dir_ / "bin");
    fs::create_directories(dir_ / "bin");
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
