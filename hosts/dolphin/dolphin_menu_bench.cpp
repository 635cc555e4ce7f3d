// Times Dolphin's module in one long-lived process, as Dolphin uses it: the
// plug-in, made through its factory as KIO makes it, builds the actions for
// one file with previews on and 20 prefixes. Prints the median of the
// module's own build (goal 1 ms), of the whole menu that KIO's
// KFileItemActions adds for the plug-ins (finding, loading and asking them),
// and of the module's build for 1,000 selected files. Given a FINDER
// program, also times the module's build for one file while `FINDER serve`
// runs (each menu tells it the selection) and while it is stopped, in
// rounds that take turns with the builds without a Finder.
//
//   dolphin_menu_bench MODULE BUNDLE [FINDER]
//
// Runs in a temporary user of its own (settings, clipboard file, plug-in
// folder), which goes at the end.
#include <KAbstractFileItemActionPlugin>
#include <KFileItem>
#include <KFileItemActions>
#include <KFileItemListProperties>
#include <KPluginFactory>
#include <KPluginMetaData>
#include <QApplication>
#include <QMenu>
#include <QUrl>

#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "testing/test_support.h"

namespace {

using kestrine_bench::Median, kestrine_bench::Time;
namespace fs = std::filesystem;

constexpr int kMenuRuns = 500;
constexpr int kMenuRounds = 10;
constexpr int kBigMenuRuns = 30;
constexpr int kSelectedFiles = 1000;
constexpr int kPrefixes = 20;

void PrintMenu(const char* when, std::size_t actionCount, double median) {
  std::printf("menu through the Dolphin module, previews on, %d prefixes (%zu top actions), %s: "
              "median %.3f ms over %d builds (goal < 1 ms: %s)\n",
              kPrefixes, actionCount, when, median, kMenuRuns, median < 1.0 ? "met" : "MISSED");
}

KFileItemList Items(const std::vector<std::string>& paths) {
  KFileItemList items;
  for (const std::string& path : paths) {
    items.append(KFileItem(QUrl::fromLocalFile(QString::fromStdString(path))));
  }
  return items;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: dolphin_menu_bench MODULE BUNDLE [FINDER]\n");
    return 2;
  }
  kestrine_testing::ScopedUser user;
  const kestrine_testing::ScopedTempDir data;
  const std::string bundle = data.Join("system/Kestrine/Contextual Menu Items/KestrineCM.plugin");
  kestrine_testing::MakeDirs(fs::path(bundle).parent_path());
  fs::copy(argv[2], bundle, fs::copy_options::recursive);
  std::string prefixes;
  for (int i = 0; i < kPrefixes; ++i) prefixes += "smb://server" + std::to_string(i) + "/share\n";
  kestrine_testing::WriteFile(bundle + "/Contents/Resources/Prefixes.txt", prefixes);
  user.WriteSettings("<key>ShowClipboardInMenu</key><true/>");
  const std::string plugins = data.Join("qt5plugins/kf5/kfileitemaction");
  kestrine_testing::MakeDirs(plugins);
  fs::copy(argv[1], plugins + "/kestrine-dolphin.so");
  ::setenv("XDG_DATA_DIRS", (data.Join("system") + ":/usr/share").c_str(), 1);
  ::setenv("QT_PLUGIN_PATH", data.Join("qt5plugins").c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  std::vector<std::string> paths;
  for (int i = 0; i < kSelectedFiles; ++i) {
    paths.push_back(user.home() + "/files/file " + std::to_string(i) + ".txt");
    kestrine_testing::WriteFile(paths.back(), "x");
  }

  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  KFileItemActions owner;
  const auto made = KPluginFactory::instantiatePlugin<KAbstractFileItemActionPlugin>(
      KPluginMetaData(QString::fromLocal8Bit(plugins.c_str()) + "/kestrine-dolphin.so"), &owner);
  if (!made) {
    std::fprintf(stderr, "dolphin_menu_bench: %s\n", qPrintable(made.errorText));
    return 1;
  }
  KAbstractFileItemActionPlugin* plugin = made.plugin;
  const KFileItemListProperties one(Items({paths[0]}));
  const KFileItemListProperties all(Items(paths));
  std::size_t actionCount = 0;
  // Builds the plug-in's actions for `items` in a menu that goes at once,
  // as Dolphin's contextual menu goes when it closes.
  auto build = [&](const KFileItemListProperties& items) {
    QMenu menu;
    actionCount = static_cast<std::size_t>(plugin->actions(items, &menu).size());
  };
  build(one);  // Loads the plug-in.
  // Without a Finder the menus tell one in a runtime folder of their own.
  const std::string run = std::getenv("XDG_RUNTIME_DIR");
  const std::string alone = data.Join("run-alone");
  kestrine_testing::MakeDirs(alone);
  ::chmod(alone.c_str(), 0700);
  std::optional<kestrine_testing::ScopedFinder> finder;
  if (argc == 4 && !finder.emplace(argv[3]).ready()) {
    std::fprintf(stderr, "dolphin_menu_bench: %s serve did not start\n", argv[3]);
    finder.reset();
  }
  std::vector<double> menuTimes, runningTimes, stoppedTimes;
  for (int round = 0; round < kMenuRounds; ++round) {
    ::setenv("XDG_RUNTIME_DIR", (finder ? alone : run).c_str(), 1);
    Time(kMenuRuns / kMenuRounds, [&] { build(one); }, &menuTimes);
    ::setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    if (!finder) continue;
    Time(kMenuRuns / kMenuRounds, [&] { build(one); }, &runningTimes);
    finder->Stop(SIGSTOP);
    Time(kMenuRuns / kMenuRounds, [&] { build(one); }, &stoppedTimes);
    finder->Stop(SIGCONT);
  }
  if (finder) finder->Stop();
  std::size_t wholeCount = 0;
  const double whole = Median(Time(kMenuRuns, [&] {
    QMenu menu;
    KFileItemActions actions;
    actions.setParentWidget(&menu);
    actions.setItemListProperties(one);
    QList<QAction*> none;
    actions.addActionsTo(&menu, KFileItemActions::MenuActionSource::Plugins, none);
    wholeCount = static_cast<std::size_t>(menu.actions().size());
  }));
  const double big = Median(Time(kBigMenuRuns, [&] { build(all); }));

  PrintMenu("no Finder", actionCount, Median(menuTimes));
  if (!runningTimes.empty()) {
    PrintMenu("a Finder running", actionCount, Median(runningTimes));
    PrintMenu("the Finder stopped", actionCount, Median(stoppedTimes));
  }
  std::printf("the plug-ins' part of Dolphin's menu through KFileItemActions (finding, loading "
              "and asking the plug-ins, %zu top actions): median %.3f ms over %d builds\n",
              wholeCount, whole, kMenuRuns);
  std::printf("menu for %d selected files: median %.2f ms over %d builds\n", kSelectedFiles, big,
              kBigMenuRuns);
  return 0;
}
