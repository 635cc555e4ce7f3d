// The status item's roads to its menu, the change notification, and the
// menu's own actions, in process against a serving Finder.
#include "KestrineMBI/AppController.h"

#include <QAction>
#include <QMenu>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include <QTextDocument>

#include <chrono>
#include <future>
#include <csignal>

#include "KestrineMBI/KestrineCMPref.h"
#include "KestrineMBI/qt_test_support.h"
#include "testing/test_support.h"

// Under LeakSanitizer: fontconfig keeps its caches until the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

using kestrine_testing::ScopedUser;

TEST(MenuDisplayTextTest, ShowsTitlesLiterally) {
  const QString isolate = QString(QChar(0x2066)), pop = QString(QChar(0x2069));
  for (const auto& [title, shown] : std::vector<std::pair<std::string, QString>>{
           {"Copy All", "Copy All"},
           {"/a&b/c&&d", "/a&&b/c&&&&d"},
           {"a\tb\nc\rd\x7f", QString("a") + QChar(0x2409) + "b" + QChar(0x240A) + "c" + QChar(0x240D) +
                                  "d" + QChar(0x2421)},
           {"/\xD7\xA9\xD7\x9C/x", QString::fromUtf8("/\xD7\xA9\xD7\x9C/x")}}) {
    EXPECT_EQ(MenuDisplayText(title), isolate + shown + pop) << title;
  }
}

class AppControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(finder_.ready());
    kestrine_testing::WriteFile(user_.home() + "/Notes", "x");
    kestrine_testing::WriteFile(user_.home() + "/a.txt", "x");
  }
  void Select(const std::string& name) { ASSERT_EQ(finder_.Select({user_.home() + "/" + name}), 0); }
  static std::string Header(const AppController& controller) {
    return controller.menu()->actions().value(0)->property("kestrineTitle").toString().toStdString();
  }
  static QAction* Find(const AppController& controller, const QString& title) {
    for (QAction* item : controller.menu()->actions()) {
      if (item->property("kestrineTitle").toString() == title) return item;
    }
    return nullptr;
  }
  // Runs the loop until `done` or five seconds have passed.
  template <typename Predicate>
  static bool WaitFor(Predicate done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done() && std::chrono::steady_clock::now() < end) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return done();
  }

  kestrine_testing::ApplicationReady ready_;
  ScopedUser user_;
  kestrine_testing::ScopedFinder finder_{FINDER_PATH};
};

TEST_F(AppControllerTest, ClickAndOpeningBuildTheMenuOfTheMomentAndItsItemsWork) {
  Select("Notes");
  KestrineCMPref preferences;
  AppController controller(AppController::Mode::kTray);
  controller.setPrefController(&preferences);
  ASSERT_TRUE(controller.init());
  EXPECT_EQ(controller.buildCount(), 1);
  EXPECT_EQ(Header(controller), "1 Item, First item: Notes");

  // A click on the icon builds once and shows the menu.
  Select("a.txt");
  emit controller.statusItem()->activated(QSystemTrayIcon::Trigger);
  EXPECT_EQ(controller.buildCount(), 2);
  EXPECT_EQ(Header(controller), "1 Item, First item: a.txt");
  EXPECT_TRUE(controller.menu()->isVisible());
  controller.menu()->hide();
  // The host's context click opens the menu, which rebuilds on the way.
  Select("Notes");
  emit controller.statusItem()->activated(QSystemTrayIcon::Context);
  emit controller.menu()->aboutToShow();
  EXPECT_EQ(controller.buildCount(), 3);
  EXPECT_EQ(Header(controller), "1 Item, First item: Notes");

  QAction* header = controller.menu()->actions().value(0);
  EXPECT_FALSE(header->isEnabled());
  EXPECT_EQ(MenuItemCommandID(*header), std::nullopt);
  QAction* copy = Find(controller, "Copy Posix Path");
  ASSERT_NE(copy, nullptr);
  EXPECT_TRUE(copy->isEnabled());
  EXPECT_EQ(MenuItemCommandID(*copy), 1);
  copy->trigger();
  EXPECT_EQ(user_.Clipboard(), user_.home() + "/Notes");
  QAction* show = Find(controller, "Preferences...");
  ASSERT_NE(show, nullptr);
  show->trigger();
  EXPECT_TRUE(preferences.window()->isVisible());
  show->trigger();  // Again: only brought forward.
  EXPECT_TRUE(preferences.window()->isVisible());
  preferences.window()->close();
}

TEST_F(AppControllerTest, PreviewsThatReadAlikeNameTheirFormsInPlainTextToolTips) {
  Select("a.txt");
  user_.WriteSettings("<key>ShowClipboardInMenu</key><true/>"
                      "<key>Prefixes</key><array><string>&lt;b&gt;x&lt;/b&gt;</string></array>");
  AppController controller(AppController::Mode::kTray);
  ASSERT_TRUE(controller.init());
  EXPECT_TRUE(controller.menu()->toolTipsVisible());
  // What a tool tip shows: QToolTip reads text that looks like markup as
  // markup.
  const auto shown = [](const QString& tip) {
    if (!Qt::mightBeRichText(tip)) return tip;
    QTextDocument document;
    document.setHtml(tip);
    return document.toPlainText();
  };
  const std::string path = user_.home() + "/a.txt";
  std::map<int, std::pair<std::string, std::string>> previews;  // ID: title, tool tip as shown.
  for (const QAction* item : controller.menu()->actions()) {
    if (const auto id = MenuItemCommandID(*item)) {
      previews[*id] = {item->property("kestrineTitle").toString().toStdString(),
                       shown(item->toolTip()).toStdString()};
    }
  }
  // The three paths read alike; the backslash form's title is not looked at.
  for (const auto& [id, title, tip] : std::vector<std::tuple<int, std::string, std::string>>{
           {1, path, "Copy Posix Path"},
           {12, path, "Copy Encoded Posix Path"},
           {3, path, "Copy Terminal Path"},
           {1000, "<b>x</b>" + path, "Prefix \u201C<b>x</b>\u201D and the path with slashes"},
           {2000, "", "Prefix \u201C<b>x</b>\u201D and the path with backslashes"}}) {
    SCOPED_TRACE(id);
    ASSERT_EQ(previews.count(id), 1u);
    if (!title.empty()) {
      EXPECT_EQ(previews[id].first, title);
    }
    EXPECT_EQ(previews[id].second, tip);
  }
}

TEST_F(AppControllerTest, AnotherStartWithPreferencesShowsTheWindowOfTheRunningOne) {
  // This process stands for the running tray application.
  ASSERT_EQ(AEServerOpen(), noErr);
  ASSERT_EQ(RegisterProcess(MakeFourCharCode("KMBI"), MakeFourCharCode("APPL"), "KestrineMBI", true), noErr);
  KestrineCMPref preferences;
  AppController controller(AppController::Mode::kTray);
  controller.setPrefController(&preferences);
  ASSERT_TRUE(controller.init());
  const std::string running = "KestrineMBI is already running (process " + std::to_string(getpid()) + ")";
  struct Case {
    std::vector<std::string> args;
    bool withWindow;
    kestrine_testing::RunResult expected;
  };
  for (const Case& c : std::vector<Case>{
           {{}, true, {0, running + "\n", ""}},
           {{"--preferences"}, true, {0, running + "; its preferences window is shown\n", ""}},
           {{"--preferences"}, false,
            {1, "", "KestrineMBI: the running instance (process " + std::to_string(getpid()) +
                        ") did not show its preferences window (error -1708: event not handled)\n"}}}) {
    SCOPED_TRACE(c.args.size());
    preferences.window()->hide();
    controller.setPrefController(c.withWindow ? &preferences : nullptr);
    std::vector<std::string> argv = {KESTRINE_MBI_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    auto second = std::async(std::launch::async, [argv] { return kestrine_testing::RunProgram(argv); });
    ASSERT_TRUE(WaitFor([&] { return second.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    const kestrine_testing::RunResult run = second.get();
    EXPECT_EQ(run.exitStatus, c.expected.exitStatus);
    EXPECT_EQ(run.out, c.expected.out);
    EXPECT_EQ(run.err, c.expected.err);
    EXPECT_EQ(preferences.window()->isVisible(), c.withWindow && !c.args.empty());
  }
  preferences.window()->close();
  controller.setPrefController(&preferences);
  UnregisterProcess();
  AEServerClose();
}

TEST_F(AppControllerTest, RebuildsOnEveryChangeNotificationForItsObject) {
  AppController controller(AppController::Mode::kTray);
  controller.init();
  kestrine_testing::NotificationWatch watch;
  watch.Drain();
  const int before = controller.buildCount();
  watch.Post("com.corvane.preference.Other");
  for (int i = 0; i < 3; ++i) watch.Post(kPreferencesChangedObject);
  EXPECT_TRUE(WaitFor([&] { return controller.buildCount() == before + 3; })) << controller.buildCount();
  watch.Drain();
  EXPECT_EQ(controller.buildCount(), before + 3);
}

// A stopped Finder neither freezes the tray nor holds it: while the request
// waits, the application's events are handled (a click among them starts no
// second request), and the request gives up with the menu of a failed one.
TEST_F(AppControllerTest, AStoppedFinderNeitherFreezesNorHoldsTheTray) {
  Select("Notes");
  AppController controller(AppController::Mode::kTray);
  ASSERT_TRUE(controller.init());
  finder_.Stop(SIGSTOP);
  int handled = 0;
  QTimer clicks;
  clicks.setInterval(100);
  QObject::connect(&clicks, &QTimer::timeout, [&] {
    ++handled;
    emit controller.statusItem()->activated(QSystemTrayIcon::Trigger);
  });
  clicks.start();
  controller.buildMenu();
  clicks.stop();
  EXPECT_GT(handled, 0);
  EXPECT_EQ(controller.buildCount(), 2);
  QStringList items;
  for (const QAction* item : controller.menu()->actions()) {
    items << (item->isSeparator() ? QStringLiteral("-") : item->property("kestrineTitle").toString());
  }
  EXPECT_EQ(items, QStringList({"-", "Preferences...", "-", "Quit"}));
}

}  // namespace
