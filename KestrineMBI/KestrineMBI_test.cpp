// The program as scripts and users run it: --menu and --choose against a
// real serving Finder, usage errors, and the tray mode's start-up.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "engine/path_forms.h"
#include "engine/prefixes.h"
#include "settings/settings.h"
#include "testing/session_bus.h"
#include "testing/test_support.h"

namespace {

using kestrine_testing::RunProgram;
using kestrine_testing::WriteFile;
using Lines = std::vector<std::string>;

const Lines kTail = {"-", "Preferences...", "-", "Quit"};
const Lines kComposites = {"-", "[10] Copy All", "-", "[11] Copy Folder Paths"};
const Lines kDefaultIDs = {"1", "12", "2", "3", "4", "5", "6", "7", "9"};

Lines Join(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? "\\n" : c == '\t' ? "\\t" : std::string(1, c);
  return out;
}

Lines Titled(const Lines& ids) {
  Lines lines;
  for (const std::string& id : ids) {
    lines.push_back("[" + id + "] " + std::string(FindSingleForm(std::stoi(id))->title));
  }
  return lines;
}

// Settings that turn off every command but those in `kept`.
std::string AllOffBut(std::initializer_list<std::string_view> kept) {
  std::string entries;
  for (std::string_view key : {"IncludePosixPath", "IncludeEncodedPosixPath", "IncludeTildePosixPath",
                               "IncludeTerminalPath", "IncludeHFSPath", "IncludeFilename", "IncludeDisplayFilename",
                               "IncludeExtension", "IncludeAFPURL", "IncludeAll", "IncludeFolderPaths"}) {
    if (std::ranges::find(kept, key) == kept.end()) entries += "<key>" + std::string(key) + "</key><false/>";
  }
  return entries;
}

class KestrineMBITest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(finder_.ready());
    WriteFile(Path("Notes"), "x");
    WriteFile(Path("a.txt"), "x");
  }
  std::string Path(const std::string& name) const { return user_.home() + "/" + name; }
  void Select(const Lines& names, const std::string& as = "obj") const {
    Lines args = {"--as", as};
    for (const std::string& name : names) args.push_back(Path(name));
    ASSERT_EQ(finder_.Select(args), 0);
  }
  // The preview lines of `ids` for `name`, as the engine renders them here
  // with the same settings; an empty rendering gives no line.
  Lines Preview(const std::string& name, std::initializer_list<std::int32_t> ids) const {
    Lines lines;
    LoadPrefixes();
    FSRef ref{};
    EXPECT_EQ(FSPathMakeRef(Path(name), &ref), noErr);
    char buffer[kRenderBufferSize];
    for (std::int32_t id : ids) {
      if (get_clipboard_data(ref, buffer, sizeof buffer, id) > 0) {
        lines.push_back("[" + std::to_string(id) + "] " + Escape(buffer));
      }
    }
    return lines;
  }
  // The lines --menu prints after the trace of the request, which comes
  // first and ends its line with the menu's first line feed.
  Lines Menu() const {
    const kestrine_testing::RunResult run = RunProgram({KESTRINE_MBI_PATH, "--menu"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_TRUE(run.out.starts_with("\n-MoreFEGetSelection: tAppleEvent=\"")) << run.out;
    return kestrine_testing::SplitLines(run.out.substr(run.out.find('\n', 1) + 1));
  }
  int Choose(const std::string& id) const { return RunChoose(id).exitStatus; }
  kestrine_testing::RunResult RunChoose(const std::string& id) const {
    return kestrine_testing::RunProgramWith({KESTRINE_MBI_PATH, "--choose", id}, {.timeoutSeconds = 60});
  }
  // The line a copy without a display ends with.
  std::string FileNote() const {
    return "KestrineMBI: no display: the clipboard is the file " + user_.root() + "/run/kestrine/clipboard\n";
  }

  kestrine_testing::ScopedUser user_;
  kestrine_testing::ScopedFinder finder_{FINDER_PATH};
};

TEST_F(KestrineMBITest, MenuDescribesTheSelection) {
  const std::string odd = "a&b\tc\nd \xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D";
  WriteFile(Path(odd), "x");
  // Controls and bidirectional marks in a name reach no terminal as they are.
  const std::string hostile = "e\x1b[31m\x7f\x01\xC2\x9B\xE2\x80\xAE\xE2\x81\xA6\xE2\x80\x8F\xE2\x81\xA9z";
  WriteFile(Path(hostile), "x");
  const Lines notes = {"# 1 Item, First item: Notes"};
  const std::string previews = "<key>ShowClipboardInMenu</key><true/>";
  // The previews are rendered here with the prefixes of the last case.
  const std::string prefixes =
      AllOffBut({"IncludeFolderPaths"}) +
      "<key>Prefixes</key><array><string>http://host/</string><string>smb://b/</string></array>";
  user_.WriteSettings(prefixes);
  CFPreferencesAppSynchronize(kKestrineDomain);
  struct Case {
    std::string settings;
    Lines selection;
    Lines expected;
  };
  for (const Case& c : std::vector<Case>{
           {"", {}, Join({{"# The Finder has no active selection"}, kTail})},
           {"", {"Notes", "a.txt", "Notes"},
            Join({{"# 3 Items, First item: Notes"}, Titled(kDefaultIDs), kComposites, kTail})},
           {"", {hostile},
            Join({{"# 1 Item, First item: e\\e[31m\\x7f\\x01\\x9b\\u202e\\u2066\\u200f\\u2069z"},
                  Titled(kDefaultIDs), kComposites, kTail})},
           // Previews list UNC by default and leave out the empty extension.
           {previews, {odd},
            Join({{"# 1 Item, First item: " + Escape(odd)}, Preview(odd, {1, 12, 2, 3, 4, 5, 6, 7, 8, 9}),
                  kComposites, kTail})},
           {"<key>IncludeUNCWindowsStyle</key><true/>", {"Notes"},
            Join({notes, Titled({"1", "12", "2", "3", "4", "5", "6", "7", "8", "9"}), kComposites, kTail})},
           {previews + "<key>IncludeUNCWindowsStyle</key><false/>", {"a.txt"},
            Join({{"# 1 Item, First item: a.txt"}, Preview("a.txt", {1, 12, 2, 3, 4, 5, 6, 7, 9}), kComposites,
                  kTail})},
           {AllOffBut({}) + "<key>MakeAsSubmenu</key><false/><key>MultipathSeparator</key><string>, </string>",
            {"Notes"}, Join({notes, kTail})},
           {prefixes, {"Notes"},
            Join({notes, {"-", "[11] Copy Folder Paths", "-"}, Preview("Notes", {1000}), {"-"},
                  Preview("Notes", {2000, 1001}), {"-"}, Preview("Notes", {2001}), kTail})},
       }) {
    SCOPED_TRACE(c.settings + " / " + std::to_string(c.selection.size()));
    user_.WriteSettings(c.settings);
    Select(c.selection, c.selection.size() == 1 ? "fsrf" : "obj");
    EXPECT_EQ(Menu(), c.expected);
  }
}

TEST_F(KestrineMBITest, WhatCannotBeUsedIsLeftOutAndAnEmptySelectionKeepsTheClipboard) {
  Select({"Notes", "a.txt"});
  std::remove(Path("Notes").c_str());  // Deleted between the menu and the command.
  ASSERT_EQ(Choose("1"), 0);
  EXPECT_EQ(user_.Clipboard(), "\n" + Path("a.txt"));
  WriteFile(Path("Notes"), "x");
  Select({"Notes"});
  std::remove(Path("Notes").c_str());  // Deleted after it was selected.
  EXPECT_EQ(Menu(), kTail);
  ASSERT_EQ(finder_.Select({"--fail", "-1728"}), 0);
  EXPECT_EQ(Menu(), kTail);
  // A Finder that dies while it is being asked.
  Select({"a.txt"});
  kill(finder_.pid(), SIGSTOP);
  Lines menu;
  std::thread asking([&] { menu = Menu(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  kill(finder_.pid(), SIGKILL);
  asking.join();
  EXPECT_EQ(menu, kTail);
  finder_.Stop();
  user_.SetClipboard("old");
  EXPECT_EQ(Menu(), kTail);
  ASSERT_EQ(Choose("1"), 1);
  EXPECT_EQ(user_.Clipboard(), "old");
}

TEST_F(KestrineMBITest, ChooseCopiesTheSelection) {
  const std::string prefix = "<key>Prefixes</key><array><string>x:</string></array>";
  std::string backslashed = Path("Notes");
  std::ranges::replace(backslashed, '/', '\\');
  // Items of one folder share its resolution; a link, as folder or as item,
  // still gives the path it leads to.
  std::filesystem::create_directory(Path("Real"));
  WriteFile(Path("Real/b.txt"), "x");
  std::filesystem::create_directory_symlink(Path("Real"), Path("Linked"));
  std::filesystem::create_symlink(Path("a.txt"), Path("Real/link.txt"));
  struct Case {
    std::string settings;
    Lines selection;
    std::string id;
    std::optional<std::string> expected;  // None: the clipboard is left empty.
    std::string as = "alis";
  };
  for (const Case& c : std::vector<Case>{
           {"", {"Notes", "a.txt"}, "1", Path("Notes") + "\n" + Path("a.txt")},
           {"", {"Linked/b.txt", "Real/link.txt", "Real/b.txt"}, "1",
            Path("Real/b.txt") + "\n" + Path("a.txt") + "\n" + Path("Real/b.txt"), "obj"},
           {prefix, {"Notes"}, "2000", "x:" + backslashed},
           // A command switched off in the menus still runs.
           {AllOffBut({}), {"Notes"}, "8", backslashed},
           {AllOffBut({}), {"Notes"}, "1", Path("Notes")},
       }) {
    SCOPED_TRACE(c.settings + " / " + c.id);
    user_.WriteSettings(c.settings);
    user_.SetClipboard("old");
    Select(c.selection, c.as);
    const kestrine_testing::RunResult run = RunChoose(c.id);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.err, FileNote());
    EXPECT_EQ(user_.Clipboard(), c.expected);
  }
}

// Whatever keeps --choose from copying is said, with its exit status, and
// the clipboard stays as it was.
TEST_F(KestrineMBITest, ChooseRefusesAndTellsWhyNothingWasCopied) {
  const std::string unknown = " (1 to 12, or 1000 + i and 2000 + i for prefix i)\n";
  const std::string wrong = "\" (usage: KestrineMBI [--menu | --choose ID | --preferences | --version | --help])\n";
  struct Case {
    std::string name;
    std::function<void()> prepare;
    std::string id;
    int status;
    std::string error;
  };
  const auto select = [this](const Lines& names) { return [this, names] { Select(names); }; };
  for (const Case& c : std::vector<Case>{
           {"no such ID", select({"Notes"}), "99", 2, "KestrineMBI: no command has the ID 99" + unknown},
           {"zero", select({"Notes"}), "0", 2, "KestrineMBI: no command has the ID 0" + unknown},
           {"past the forms", select({"Notes"}), "13", 2, "KestrineMBI: no command has the ID 13" + unknown},
           {"negative", select({"Notes"}), "-1", 2, "KestrineMBI: no command has the ID -1" + unknown},
           {"no prefixes", select({"Notes"}), "1003", 2, "KestrineMBI: no command has the ID 1003" + unknown},
           {"blank", select({"Notes"}), " 1", 2, "KestrineMBI: the command ID must be a whole number, not \" 1" + wrong},
           {"plus", select({"Notes"}), "+1", 2, "KestrineMBI: the command ID must be a whole number, not \"+1" + wrong},
           {"empty selection", select({}), "1", 1, "KestrineMBI: the Finder has no active selection\n"},
           {"Finder fails", [this] { ASSERT_EQ(finder_.Select({"--fail", "-1719"}), 0); }, "1", 1,
            "KestrineMBI: the Finder could not give its selection (error -1719)\n"},
           {"items gone",
            [this] {
              WriteFile(Path("gone"), "x");
              Select({"gone"});
              std::remove(Path("gone").c_str());
            },
            "1", 1, "KestrineMBI: none of the selected items can be found\n"},
           {"Finder stopped", [this] { Select({"Notes"}); finder_.Stop(SIGSTOP); }, "1", 1,
            "KestrineMBI: the Finder did not answer within 5 seconds\n"},
           {"no Finder", [this] { finder_.Stop(SIGCONT); finder_.Stop(); }, "1", 1,
            "KestrineMBI: no Finder is running (start one with \"kestrine-finder serve\")\n"},
       }) {
    SCOPED_TRACE(c.name);
    c.prepare();
    user_.SetClipboard("old");
    const kestrine_testing::RunResult run = RunChoose(c.id);
    EXPECT_EQ(run.exitStatus, c.status);
    EXPECT_EQ(run.err, c.error);
    EXPECT_EQ(user_.Clipboard(), "old");
  }
}

// A Finder that is stopped does not hold the menu: the request gives up and
// the menu is the one of a failed request.
TEST_F(KestrineMBITest, AStoppedFinderFailsTheMenuInsteadOfHangingIt) {
  Select({"Notes"});
  finder_.Stop(SIGSTOP);
  const kestrine_testing::RunResult run =
      kestrine_testing::RunProgramWith({KESTRINE_MBI_PATH, "--menu"}, {.timeoutSeconds = 60});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(kestrine_testing::SplitLines(run.out.substr(run.out.find('\n', 1) + 1)), kTail);
}

TEST(KestrineMBIUsageTest, WrongArgumentsSayWhatIsWrongAndExit2) {
  kestrine_testing::ScopedUser user;
  const std::string usage = " (usage: KestrineMBI [--menu | --choose ID | --preferences | --version | --help])\n";
  for (const auto& [args, error] : std::vector<std::pair<Lines, std::string>>{
           {{"--choose", "x"}, "the command ID must be a whole number, not \"x\""},
           {{"--choose", "1x"}, "the command ID must be a whole number, not \"1x\""},
           {{"--choose", "99999999999"}, "the command ID must be a whole number, not \"99999999999\""},
           {{"--choose"}, "--choose needs a command ID"},
           {{"--choose", "1", "2"}, "--choose takes one command ID"},
           {{"--menu", "extra"}, "--menu takes no argument"},
           {{"--preferences", "extra"}, "--preferences takes no argument"},
           {{"--bogus"}, "unknown option \"--bogus\""},
           {{"-platform", "xcb"}, "unknown option \"-platform\""},
           {{"menu"}, "unexpected argument \"menu\""}}) {
    Lines argv = {KESTRINE_MBI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    const kestrine_testing::RunResult run = RunProgram(argv);
    EXPECT_EQ(run.exitStatus, 2) << args[0];
    EXPECT_EQ(run.err, "KestrineMBI: " + error + usage);
    EXPECT_EQ(run.out, "");
  }
  for (const std::string help : {"--help", "-h"}) {
    const kestrine_testing::RunResult run = RunProgram({KESTRINE_MBI_PATH, help});
    EXPECT_EQ(run.exitStatus, 0) << help;
    EXPECT_TRUE(run.out.starts_with("usage: KestrineMBI [--menu | --choose ID") &&
                run.out.find("  --choose ID ") != std::string::npos)
        << run.out;
    EXPECT_EQ(run.err, "");
  }
}

// --choose runs from keyboard shortcuts and must start fast: the program
// that answers it loads no toolkit (the loader names every object it loads).
TEST(KestrineMBIUsageTest, ChooseLoadsNoToolkit) {
  kestrine_testing::ScopedUser user;
  kestrine_testing::ScopedEnv debug("LD_DEBUG", "files");
  const kestrine_testing::RunResult run = RunProgram({KESTRINE_MBI_PATH, "--choose", "1"});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.err.find("KestrineMBI: no Finder is running"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("file=libc.so.6"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("libQt"), std::string::npos) << run.err;
}

// Without a display the tray says so and ends, rather than the toolkit
// aborting.
TEST(KestrineMBIUsageTest, TrayWithoutADisplaySaysSoAndExits1) {
  kestrine_testing::ScopedUser user;
  kestrine_testing::ScopedEnvironment environment;
  environment.Set("QT_QPA_PLATFORM", std::nullopt);
  environment.Set("XDG_RUNTIME_DIR", user.root() + "/run");
  for (const auto& [wayland, x11, missing] : std::vector<std::array<std::optional<std::string>, 3>>{
           {std::nullopt, std::nullopt, "DISPLAY and WAYLAND_DISPLAY are not set"},
           {std::nullopt, ":9797", "no X server answers at \":9797\""},
           {std::nullopt, "localhost:9797.0", "no X server answers at \"localhost:9797.0\""},
           {"wayland-9797", "unix:9797.0",
            "no Wayland compositor answers at \"wayland-9797\", and no X server answers at \"unix:9797.0\""}}) {
    environment.Set("WAYLAND_DISPLAY", wayland);
    environment.Set("DISPLAY", x11);
    for (const std::string option : {"", "--preferences"}) {
      Lines argv = {KESTRINE_MBI_PATH};
      if (!option.empty()) argv.push_back(option);
      const kestrine_testing::RunResult run = kestrine_testing::RunProgramWith(argv, {.timeoutSeconds = 60});
      EXPECT_EQ(run.exitStatus, 1) << *missing << option;
      EXPECT_EQ(run.err, "KestrineMBI: no display to show the tray icon on: " + *missing + "\n");
    }
  }
}

TEST(KestrineMBITrayTest, WithoutATraySaysSoOnceKeepsRunningAndStaysAlone) {
  kestrine_testing::ScopedUser user;
  kestrine_testing::ScopedSessionBus bus;
  ASSERT_TRUE(bus.running()) << bus.error();
  kestrine_testing::ScopedEnv platform("QT_QPA_PLATFORM", "offscreen");
  int err[2];
  ASSERT_EQ(pipe(err), 0);
  const pid_t pid = kestrine_testing::StartChild([&] {
    dup2(err[1], STDERR_FILENO);
    execl(KESTRINE_MBI_PATH, "KestrineMBI", static_cast<char*>(nullptr));
    return 127;
  });
  close(err[1]);
  std::string line;
  for (char c = 0; read(err[0], &c, 1) == 1 && c != '\n';) line += c;
  EXPECT_EQ(line,
            "KestrineMBI: the desktop has no system tray; the icon appears when one starts (on GNOME, install "
            "gnome-shell-extension-appindicator and enable it); until then, \"KestrineMBI --choose ID\" copies "
            "without it");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(kestrine_testing::PollChild(pid), std::nullopt) << "the application ended";

  const kestrine_testing::RunResult second = RunProgram({KESTRINE_MBI_PATH});
  EXPECT_EQ(second.exitStatus, 0);
  EXPECT_EQ(second.out, "KestrineMBI is already running (process " + std::to_string(pid) + ")\n");
  kill(pid, SIGTERM);
  kestrine_testing::WaitForChild(pid);
  close(err[0]);
}

}  // namespace
