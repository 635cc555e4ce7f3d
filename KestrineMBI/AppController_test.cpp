// The status item's roads to its menu, the change notification, and the
// menu's own actions, in process against a serving Finder.
#include "KestrineMBI/AppController.h"

#include <QAction>
#include <QMenu>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include <chrono>
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
