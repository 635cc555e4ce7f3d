// The program as scripts and users run it: --menu and --choose against a
// real serving Finder, usage errors, and the tray mode's start-up.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "engine/path_forms.h"
#include "engine/prefixes.h"
#include "engine/selection_text.h"
#include "testing/finder_process.h"
#include "testing/session_bus.h"
#include "testing/test_support.h"

namespace {

using kestrine_testing::RunProgram;
using kestrine_testing::ScopedFinder;
using kestrine_testing::ScopedUser;
using kestrine_testing::WriteFile;
using Lines = std::vector<std::string>;

const Lines kTail = {"-", "Preferences...", "-", "Quit"};
constexpr std::string_view kTrace = "\n-MoreFEGetSelection: tAppleEvent=\"";

Lines Join(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? "\\n" : c == '\t' ? "\\t" : c == '\r' ? "\\r" : std::string(1, c);
  return out;
}

// The titled items of `ids`.
Lines Titled(std::initializer_list<std::int32_t> ids) {
  Lines lines;
  for (std::int32_t id : ids) {
    const SingleForm* form = FindSingleForm(id);
    lines.push_back("[" + std::to_string(id) + "] " +
                    std::string(form ? form->title : id == kCopyAll ? "Copy All" : "Copy Folder Paths"));
  }
  return lines;
}

const Lines kComposites = Join({{"-"}, Titled({kCopyAll}), {"-"}, Titled({kCopyFolderPaths})});

class KestrineMBITest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(finder_.ready());
    WriteFile(Path("Notes"), "x");
    WriteFile(Path("a.txt"), "x");
  }
  std::string Path(const std::string& name) const { return user_.home() + "/" + name; }

  void Select(const Lines& names, std::string as = "obj") const {
    std::vector<std::string> args = {"--as", as};
    for (const std::string& name : names) args.push_back(Path(name));
    ASSERT_EQ(finder_.Select(args), 0);
  }

  // The preview line of `id` for the item `name`, as the engine renders it
  // here with the same settings; none when it renders nothing.
  Lines Preview(const std::string& name, std::initializer_list<std::int32_t> ids) const {
    Lines lines;
    LoadPrefixes();
    FSRef ref{};
    EXPECT_EQ(FSPathMakeRef(Path(name), &ref), noErr);
    for (std::int32_t id : ids) {
      char buffer[kRenderBufferSize];
      if (get_clipboard_data(ref, buffer, sizeof buffer, id) > 0) {
        lines.push_back("[" + std::to_string(id) + "] " + Escape(buffer));
      }
    }
    return lines;
  }

  // The menu lines printed by --menu, after the trace of the request.
  Lines Menu() const {
    const kestrine_testing::RunResult run = RunProgram({KESTRINE_MBI_PATH, "--menu"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_TRUE(run.out.starts_with(kTrace)) << run.out;
    Lines lines;
    std::size_t start = run.out.find('\n', 1);
    while (start != std::string::npos && start + 1 < run.out.size()) {
      const std::size_t end = run.out.find('\n', start + 1);
      lines.push_back(run.out.substr(start + 1, end - start - 1));
      start = end;
    }
    return lines;
  }

  int Choose(const std::string& id) const {
    return RunProgram({KESTRINE_MBI_PATH, "--choose", id}).exitStatus;
  }

  ScopedUser user_;
  ScopedFinder finder_{FINDER_PATH};
};

TEST_F(KestrineMBITest, MenuDescribesTheSelection) {
  struct Case {
    const char* name;
    std::string settings;
    Lines selection;
    std::function<Lines()> expected;
  };
  const Lines notesHeader = {"# 1 Item, First item: Notes"};
  const std::vector<Case> cases = {
      {"nothing selected", "", {}, [] { return Join({{"# The Finder has no active selection"}, kTail}); }},
      {"defaults", "", {"Notes"},
       [&] { return Join({notesHeader, Titled({1, 12, 2, 3, 4, 5, 6, 7, 9}), kComposites, kTail}); }},
      {"three items", "", {"Notes", "a.txt", "Notes"},
       [&] {
         return Join({{"# 3 Items, First item: Notes"}, Titled({1, 12, 2, 3, 4, 5, 6, 7, 9}), kComposites, kTail});
       }},
      {"previews, UNC by default, empty extension left out", "<key>ShowClipboardInMenu</key><true/>", {"Notes"},
       [&] { return Join({notesHeader, Preview("Notes", {1, 12, 2, 3, 4, 5, 6, 7, 8, 9}), kComposites, kTail}); }},
      {"UNC asked for", "<key>IncludeUNCWindowsStyle</key><true/>", {"Notes"},
       [&] { return Join({notesHeader, Titled({1, 12, 2, 3, 4, 5, 6, 7, 8, 9}), kComposites, kTail}); }},
      {"UNC refused in previews",
       "<key>ShowClipboardInMenu</key><true/><key>IncludeUNCWindowsStyle</key><false/>", {"a.txt"},
       [&] {
         return Join({{"# 1 Item, First item: a.txt"}, Preview("a.txt", {1, 12, 2, 3, 4, 5, 6, 7, 9}), kComposites, kTail});
       }},
      {"non-boolean values count as absent",
       "<key>IncludePosixPath</key><integer>0</integer><key>IncludeAll</key><string>no</string>"
       "<key>ShowClipboardInMenu</key><integer>1</integer>",
       {"Notes"},
       [&] { return Join({notesHeader, Titled({1, 12, 2, 3, 4, 5, 6, 7, 9}), kComposites, kTail}); }},
      {"two prefixes",
       "<key>IncludePosixPath</key><false/><key>IncludeEncodedPosixPath</key><false/>"
       "<key>IncludeTildePosixPath</key><false/><key>IncludeTerminalPath</key><false/>"
       "<key>IncludeHFSPath</key><false/><key>IncludeFilename</key><false/>"
       "<key>IncludeDisplayFilename</key><false/><key>IncludeExtension</key><false/>"
       "<key>IncludeAFPURL</key><false/><key>IncludeAll</key><false/>"
       "<key>Prefixes</key><array><string>http://host/</string><string>smb://b/</string></array>",
       {"Notes"},
       [&] {
         return Join({notesHeader, {"-"}, Titled({11}), {"-"}, Preview("Notes", {1000}), {"-"},
                      Preview("Notes", {2000, 1001}), {"-"}, Preview("Notes", {2001}), kTail});
       }},
      {"every command off",
       "<key>IncludePosixPath</key><false/><key>IncludeEncodedPosixPath</key><false/>"
       "<key>IncludeTildePosixPath</key><false/><key>IncludeTerminalPath</key><false/>"
       "<key>IncludeHFSPath</key><false/><key>IncludeFilename</key><false/>"
       "<key>IncludeDisplayFilename</key><false/><key>IncludeExtension</key><false/>"
       "<key>IncludeAFPURL</key><false/><key>IncludeAll</key><false/>"
       "<key>IncludeFolderPaths</key><false/><key>MakeAsSubmenu</key><false/>"
       "<key>MultipathSeparator</key><string>, </string>",
       {"Notes"}, [&] { return Join({notesHeader, kTail}); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    user_.WriteSettings(c.settings);
    Select(c.selection);
    EXPECT_EQ(Menu(), c.expected());
  }
}

TEST_F(KestrineMBITest, MenuTitlesKeepSpecialCharacters) {
  const std::string name = "a&b\tc\nd \xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D";
  WriteFile(Path(name), "x");
  user_.WriteSettings("<key>ShowClipboardInMenu</key><true/>");
  Select({name}, "fsrf");
  const Lines menu = Menu();
  ASSERT_GE(menu.size(), 2u);
  EXPECT_EQ(menu[0], "# 1 Item, First item: " + Escape(name));
  EXPECT_EQ(menu[1], "[1] " + Escape(Path(name)));
}

TEST_F(KestrineMBITest, MenuIsTheTailAloneWithoutAUsableSelection) {
  Select({"Notes"});
  std::remove(Path("Notes").c_str());  // Deleted after it was selected.
  EXPECT_EQ(Menu(), kTail);
  ASSERT_EQ(finder_.Select({"--fail", "-1728"}), 0);
  EXPECT_EQ(Menu(), kTail);
  finder_.Stop();
  EXPECT_EQ(Menu(), kTail);
}

TEST_F(KestrineMBITest, ChooseCopiesTheSelection) {
  FSRef notes{}, text{};
  ASSERT_EQ(FSPathMakeRef(Path("Notes"), &notes), noErr);
  ASSERT_EQ(FSPathMakeRef(Path("a.txt"), &text), noErr);
  struct Case {
    const char* name;
    std::string settings;
    Lines selection;
    std::string id;
    std::function<std::optional<std::string>()> expected;  // None: the clipboard is left empty.
  };
  const std::vector<Case> cases = {
      {"posix paths joined by a line feed", "", {"Notes", "a.txt"}, "1", [&] { return Path("Notes") + "\n" + Path("a.txt"); }},
      {"extension after an item without one", "", {"Notes", "a.txt"}, "7", [] { return "\ntxt"; }},
      {"extension before an item without one", "", {"a.txt", "Notes"}, "7", [] { return "txt"; }},
      {"user separator between single forms", "<key>MultipathSeparator</key><string>, </string>",
       {"a.txt", "Notes"}, "5", [] { return "a.txt, Notes"; }},
      {"copy all ignores the user separator", "<key>MultipathSeparator</key><string>, </string>",
       {"Notes", "a.txt"}, "10",
       [&] { return *GetAllClipboardStrings(notes) + "\n\n" + *GetAllClipboardStrings(text); }},
      {"nothing rendered leaves the clipboard empty", "", {"Notes", "Notes"}, "7", [] { return std::nullopt; }},
      {"prefix past the table's end", "<key>Prefixes</key><array><string>x:</string></array>",
       {"Notes"}, "1001", [] { return std::nullopt; }},
      {"prefix in the table", "<key>Prefixes</key><array><string>x:</string></array>", {"Notes"}, "2000",
       [&] { return "x:\\" + Path("Notes").substr(1); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    user_.WriteSettings(c.settings);
    user_.SetClipboard("old");
    Select(c.selection, "alis");
    ASSERT_EQ(Choose(c.id), 0);
    std::optional<std::string> expected = c.expected();
    if (expected && expected->starts_with("x:\\")) {
      std::replace(expected->begin() + 3, expected->end(), '/', '\\');
    }
    EXPECT_EQ(user_.Clipboard(), expected);
  }
}

TEST_F(KestrineMBITest, ChooseSkipsWhatItCannotUseAndKeepsTheClipboardWithoutSelection) {
  Select({"Notes", "a.txt"});
  std::remove(Path("Notes").c_str());  // Deleted between the menu and the command.
  ASSERT_EQ(Choose("1"), 0);
  EXPECT_EQ(user_.Clipboard(), "\n" + Path("a.txt"));

  user_.SetClipboard("old");
  Select({});
  ASSERT_EQ(Choose("1"), 0);
  EXPECT_EQ(user_.Clipboard(), "old");
  finder_.Stop();
  ASSERT_EQ(Choose("1"), 0);
  EXPECT_EQ(user_.Clipboard(), "old");
}

TEST(KestrineMBIUsageTest, WrongArgumentsPrintOneLineAndExit2) {
  ScopedUser user;
  for (const Lines& args : std::vector<Lines>{
           {"--choose", "x"}, {"--choose", "1x"}, {"--choose"}, {"--choose", "1", "2"},
           {"--menu", "extra"}, {"--bogus"}, {"-platform", "xcb"}, {"--choose", "99999999999"}}) {
    Lines argv = {KESTRINE_MBI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    const kestrine_testing::RunResult run = RunProgram(argv);
    EXPECT_EQ(run.exitStatus, 2) << args[0];
    EXPECT_TRUE(run.err.starts_with("usage: KestrineMBI ") && run.err.find('\n') == run.err.size() - 1)
        << run.err;
  }
}

// Starts the tray application with its standard error on a pipe.
pid_t StartTray(int* errFd) {
  int err[2];
  if (pipe(err) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(err[1], STDERR_FILENO);
    close(err[0]);
    close(err[1]);
    execl(KESTRINE_MBI_PATH, "KestrineMBI", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(err[1]);
  *errFd = err[0];
  return pid;
}

TEST(KestrineMBITrayTest, WithoutATraySaysSoOnceKeepsRunningAndStaysAlone) {
  ScopedUser user;
  kestrine_testing::ScopedSessionBus bus;
  ASSERT_TRUE(bus.running()) << bus.error();
  kestrine_testing::ScopedEnv platform("QT_QPA_PLATFORM", "offscreen");
  int errFd = -1;
  const pid_t pid = StartTray(&errFd);
  ASSERT_GT(pid, 0);
  std::string line;
  char c = 0;
  while (read(errFd, &c, 1) == 1 && c != '\n') line += c;
  EXPECT_EQ(line, "KestrineMBI: the desktop has no system tray; the icon appears when one starts");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "the application ended";

  const kestrine_testing::RunResult second = RunProgram({KESTRINE_MBI_PATH});
  EXPECT_EQ(second.exitStatus, 0);
  EXPECT_EQ(second.out, "KestrineMBI is already running (process " + std::to_string(pid) + ")\n");

  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  close(errFd);
}

}  // namespace
