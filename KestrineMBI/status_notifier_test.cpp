// The tray application as a StatusNotifierItem panel meets it: a private
// session bus, a watcher (sni_panel watch) started before or after the
// application, the serving Finder, and the panel's dbusmenu requests.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "testing/session_bus.h"
#include "testing/test_support.h"

namespace {

using kestrine_testing::RunProgram;
using kestrine_testing::WriteFile;
using Lines = std::vector<std::string>;

// A title as the menu shows it: isolated left to right.
std::string Shown(const std::string& title) { return "\xE2\x81\xA6" + title + "\xE2\x81\xA9"; }

class StatusNotifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus_.running()) << bus_.error();
    ASSERT_TRUE(finder_.ready());
  }
  void TearDown() override {
    for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
      kill(*it, SIGTERM);
      kestrine_testing::WaitForChild(*it);
    }
  }
  std::string Path(const std::string& name) const { return user_.home() + "/" + name; }
  std::string Log(const std::string& name) const { return user_.root() + "/" + name; }

  // Starts `argv` with its standard output in the file Log(log) and its
  // standard error in Log(log + ".err").
  pid_t Start(const Lines& argv, const std::string& log) {
    const std::string out = Log(log);
    const std::string err = Log(log + ".err");
    const pid_t pid = kestrine_testing::StartChild([&argv, &out, &err] {
      dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
      dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
      std::vector<char*> args;
      for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      return 127;
    });
    children_.push_back(pid);
    return pid;
  }
  pid_t StartTray() { return tray_ = Start({KESTRINE_MBI_PATH}, "tray.log"); }
  void StartWatcher() {
    Start({SNI_PANEL_PATH, "watch"}, "watcher.log");
    ASSERT_TRUE(WaitForLine("watcher.log", "ready"));
  }
  std::string Service() const { return "org.kde.StatusNotifierItem-" + std::to_string(tray_) + "-1"; }

  // Whether the log `log` holds the line `line` within 20 seconds.
  bool WaitForLine(const std::string& log, const std::string& line) const {
    for (int i = 0; i < 200; ++i) {
      const Lines lines = kestrine_testing::SplitLines(kestrine_testing::ReadFile(Log(log)).value_or(""));
      if (std::ranges::find(lines, line) != lines.end()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  bool WaitForRegistration() const { return WaitForLine("watcher.log", "registered " + Service()); }

  // The menu as the panel gets it, one line per item ("[ID] LABEL", "-").
  Lines Menu(bool aboutToShow = true) const {
    Lines argv = {SNI_PANEL_PATH, "menu", Service()};
    if (!aboutToShow) argv.push_back("--no-about-to-show");
    const kestrine_testing::RunResult run = RunProgram(argv);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    return kestrine_testing::SplitLines(run.out);
  }
  // The header line of the menu for one selected file named `name`.
  static std::string Header(const std::string& name) {
    return "[1] (disabled) " + Shown("1 Item, First item: " + name);
  }

  kestrine_testing::ScopedUser user_;
  kestrine_testing::ScopedSessionBus bus_;
  kestrine_testing::ScopedFinder finder_{FINDER_PATH};
  kestrine_testing::ScopedEnv platform_{"QT_QPA_PLATFORM", "offscreen"};
  std::vector<pid_t> children_;
  pid_t tray_ = 0;
};

// Titles reach the panel literally: "_" is doubled, since panels read it as
// a mnemonic, and "&" stays single.
TEST_F(StatusNotifierTest, RegistersWithTheWatcherAndListsTheSelectionLiterally) {
  const std::string name = "Q3 Report & Plan_v2.txt";
  WriteFile(Path(name), "x");
  user_.WriteSettings("<key>ShowClipboardInMenu</key><true/>");
  ASSERT_EQ(finder_.Select({Path(name)}), 0);
  StartWatcher();
  StartTray();
  ASSERT_TRUE(WaitForRegistration()) << kestrine_testing::ReadFile(Log("tray.log.err")).value_or("");

  const Lines menu = Menu();
  ASSERT_GE(menu.size(), 6U);
  EXPECT_EQ(menu.front(), Header("Q3 Report & Plan__v2.txt"));
  const std::string preferences = "[" + std::to_string(menu.size() - 2) + "] Preferences...";
  const std::string quit = "[" + std::to_string(menu.size()) + "] Quit";
  EXPECT_EQ(Lines(menu.end() - 4, menu.end()), Lines({"-", preferences, "-", quit}));
  // The previews of the POSIX path and of the name, in the panel's terms.
  for (const std::string& preview : {Shown(user_.home() + "/Q3 Report & Plan__v2.txt"),
                                     Shown("Q3 Report & Plan__v2.txt"), Shown("txt")}) {
    SCOPED_TRACE(preview);
    EXPECT_TRUE(std::ranges::any_of(menu, [&](const std::string& l) { return l.ends_with("] " + preview); }));
  }
  // The panel saw the item at once: no word of a missing tray.
  EXPECT_EQ(kestrine_testing::ReadFile(Log("tray.log.err")), "");
}

// A panel that starts after the application still gets its icon.
TEST_F(StatusNotifierTest, RegistersWhenTheWatcherComesLater) {
  WriteFile(Path("late_file"), "x");
  ASSERT_EQ(finder_.Select({Path("late_file")}), 0);
  StartTray();
  ASSERT_TRUE(WaitForLine(
      "tray.log.err",
      "KestrineMBI: the desktop has no system tray; the icon appears when one starts (on GNOME, install "
      "gnome-shell-extension-appindicator and enable it); until then, \"KestrineMBI --choose ID\" copies "
      "without it"))
      << kestrine_testing::ReadFile(Log("tray.log.err")).value_or("");
  StartWatcher();
  ASSERT_TRUE(WaitForRegistration());
  EXPECT_EQ(Menu().front(), Header("late__file"));
}

// Each opening shows the selection of that moment, whether or not the panel
// announces it with AboutToShow before it asks for the layout.
TEST_F(StatusNotifierTest, EachOpeningShowsTheSelectionOfThatMoment) {
  StartWatcher();
  StartTray();
  ASSERT_TRUE(WaitForRegistration());
  struct Case {
    std::string name;
    bool aboutToShow;
  };
  for (const Case& opening : std::vector<Case>{
           {"first_a.txt", true}, {"second_b.txt", false}, {"first_a.txt", false}, {"second_b.txt", true}}) {
    SCOPED_TRACE(opening.name + (opening.aboutToShow ? " with AboutToShow" : " without AboutToShow"));
    WriteFile(Path(opening.name), "x");
    ASSERT_EQ(finder_.Select({Path(opening.name)}), 0);
    const std::string name = opening.name.substr(0, opening.name.find('_')) + "__" +
                             opening.name.substr(opening.name.find('_') + 1);
    EXPECT_EQ(Menu(opening.aboutToShow).front(), Header(name));
  }
}

// The panel's "clicked" event on "Copy Posix Path" copies the path of what
// is selected then.
TEST_F(StatusNotifierTest, ClickedCopiesTheSelection) {
  WriteFile(Path("copied_file.txt"), "x");
  ASSERT_EQ(finder_.Select({Path("copied_file.txt")}), 0);
  StartWatcher();
  StartTray();
  ASSERT_TRUE(WaitForRegistration());
  const Lines menu = Menu();
  const auto item = std::ranges::find_if(
      menu, [](const std::string& line) { return line.ends_with("] " + Shown("Copy Posix Path")); });
  ASSERT_NE(item, menu.end()) << ::testing::PrintToString(menu);
  const std::string id = item->substr(1, item->find(']') - 1);
  const kestrine_testing::RunResult click = RunProgram({SNI_PANEL_PATH, "click", Service(), id});
  ASSERT_EQ(click.exitStatus, 0) << click.err;
  std::optional<std::string> clipboard;
  for (int i = 0; i < 100 && clipboard != Path("copied_file.txt"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    clipboard = user_.Clipboard();
  }
  EXPECT_EQ(clipboard, Path("copied_file.txt"));
}

}  // namespace
