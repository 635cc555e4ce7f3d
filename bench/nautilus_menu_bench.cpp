// Times the Nautilus module in one long-lived process, as Nautilus uses it:
// the contextual menu for one file with previews on and 20 prefixes, and
// "Copy Posix Path" on 1,000 selected files. Prints the median of each and
// whether it meets its goal (1 ms and 50 ms), and the menu for the 1,000
// files. Given a FINDER program, also times the menu for one file while
// `FINDER serve` runs (each menu tells it the selection) and while it is
// stopped.
//
//   nautilus_menu_bench MODULE BUNDLE [FINDER]
//
// Runs in a temporary user of its own (settings, clipboard file, plug-in
// folder), which it removes at the end.
#include <gio/gio.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "hosts/module_host.h"
#include "testing/test_support.h"

namespace {

using kestrine_bench::Clock, kestrine_bench::Median, kestrine_bench::MillisecondsSince;

constexpr int kMenuRuns = 500;
constexpr int kMenuRounds = 10;
constexpr int kActivationRuns = 30;
constexpr int kSelectedFiles = 1000;
constexpr int kPrefixes = 20;

void Write(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

GList* FileInfos(const std::vector<std::string>& paths) {
  GList* list = nullptr;
  for (const std::string& path : paths) {
    list = g_list_prepend(list, NewTestFileInfo(g_file_new_for_path(path.c_str())));
  }
  return g_list_reverse(list);
}

void FreeObjects(GList* list) { g_list_free_full(list, g_object_unref); }

// The first item of the "Kestrine" submenu: "Copy Posix Path", shown as the
// path it would copy.
GObject* FirstSubmenuItem(GList* items, GList** keep) {
  for (GList* node = items; node != nullptr; node = node->next) {
    GObject* menu = nullptr;
    g_object_get(node->data, "menu", &menu, nullptr);
    if (menu == nullptr) continue;
    *keep = NautilusSubmenuItems(menu);
    g_object_unref(menu);
    return *keep != nullptr ? G_OBJECT((*keep)->data) : nullptr;
  }
  return nullptr;
}

// Adds the times of `runs` menus for `files` to `*times`.
void TimeMenus(GObject* provider, GList* files, int runs, std::vector<double>* times,
               std::size_t* itemCount) {
  kestrine_bench::Time(runs, [&] {
    GList* items = NautilusFileItems(provider, files);
    *itemCount = g_list_length(items);
    FreeObjects(items);
  }, times);
}

void PrintMenu(const char* when, std::size_t itemCount, double median) {
  std::printf("menu through the Nautilus bridge, previews on, %d prefixes (%zu top items), %s: "
              "median %.3f ms over %d builds (goal < 1 ms: %s)\n",
              kPrefixes, itemCount, when, median, kMenuRuns, median < 1.0 ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: nautilus_menu_bench MODULE BUNDLE [FINDER]\n");
    return 2;
  }
  char pattern[] = "/tmp/kestrine-bench-XXXXXX";
  const std::filesystem::path root = ::mkdtemp(pattern);
  const std::filesystem::path run = root / "run";
  std::filesystem::create_directories(run);
  std::filesystem::permissions(run, std::filesystem::perms::owner_all);
  ::setenv("HOME", (root / "home").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
  ::setenv("XDG_DATA_DIRS", (root / "system").c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");

  const std::filesystem::path bundle =
      root / "system/Kestrine/Contextual Menu Items/KestrineCM.plugin";
  std::filesystem::create_directories(bundle.parent_path());
  std::filesystem::copy(argv[2], bundle, std::filesystem::copy_options::recursive);
  std::string prefixes;
  for (int i = 0; i < kPrefixes; ++i) prefixes += "smb://server" + std::to_string(i) + "/share\n";
  Write(bundle / "Contents/Resources/Prefixes.txt", prefixes);
  Write(root / "config/com.corvane.KestrineCM.plist",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        "<key>ShowClipboardInMenu</key><true/></dict></plist>\n");
  std::vector<std::string> paths;
  for (int i = 0; i < kSelectedFiles; ++i) {
    paths.push_back((root / "home/files" / ("file " + std::to_string(i) + ".txt")).string());
    Write(paths.back(), "x");
  }

  std::string error;
  const GType type = LoadExtensionModule(argv[1], "nautilus", &error);
  if (type == 0) {
    std::fprintf(stderr, "nautilus_menu_bench: %s\n", error.c_str());
    return 1;
  }
  GObject* provider = G_OBJECT(g_object_new(type, nullptr));

  GList* one = FileInfos({paths[0]});
  FreeObjects(NautilusFileItems(provider, one));  // Loads the plug-in.
  // With a FINDER, the menus without a Finder (in a runtime folder of their
  // own), with it running and with it stopped take turns in rounds, so that
  // the machine's changing load weighs on the three alike.
  std::size_t itemCount = 0;
  std::vector<double> menuTimes, runningTimes, stoppedTimes;
  std::optional<kestrine_testing::ScopedFinder> finder;
  if (argc == 4 && !finder.emplace(argv[3]).ready()) {
    std::fprintf(stderr, "nautilus_menu_bench: %s serve did not start\n", argv[3]);
    finder.reset();
  }
  const std::filesystem::path alone = root / "run-alone";
  std::filesystem::create_directories(alone);
  std::filesystem::permissions(alone, std::filesystem::perms::owner_all);
  for (int round = 0; round < kMenuRounds; ++round) {
    ::setenv("XDG_RUNTIME_DIR", (finder ? alone : run).c_str(), 1);
    TimeMenus(provider, one, kMenuRuns / kMenuRounds, &menuTimes, &itemCount);
    ::setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    if (!finder) continue;
    TimeMenus(provider, one, kMenuRuns / kMenuRounds, &runningTimes, &itemCount);
    finder->Stop(SIGSTOP);
    TimeMenus(provider, one, kMenuRuns / kMenuRounds, &stoppedTimes, &itemCount);
    finder->Stop(SIGCONT);
  }
  if (finder) finder->Stop();
  const double menu = Median(menuTimes);

  GList* all = FileInfos(paths);
  std::vector<double> activationTimes;
  std::vector<double> bigMenuTimes;
  std::size_t copied = 0;
  for (int i = 0; i < kActivationRuns; ++i) {
    const auto menuStart = Clock::now();
    GList* items = NautilusFileItems(provider, all);
    bigMenuTimes.push_back(MillisecondsSince(menuStart));
    GList* submenu = nullptr;
    GObject* posix = FirstSubmenuItem(items, &submenu);
    if (posix == nullptr) {
      std::fprintf(stderr, "nautilus_menu_bench: no \"Copy Posix Path\" item\n");
      return 1;
    }
    const auto start = Clock::now();
    g_signal_emit_by_name(posix, "activate");
    activationTimes.push_back(MillisecondsSince(start));
    FreeObjects(submenu);
    FreeObjects(items);
    std::ifstream clipboard(run / "kestrine/clipboard");
    copied = static_cast<std::size_t>(
        std::count(std::istreambuf_iterator<char>(clipboard), {}, '\n') + 1);
  }
  FreeObjects(one);
  FreeObjects(all);
  g_object_unref(provider);
  std::filesystem::remove_all(root);

  const double activation = Median(activationTimes);
  PrintMenu("no Finder", itemCount, menu);
  if (!runningTimes.empty()) {
    PrintMenu("a Finder running", itemCount, Median(runningTimes));
    PrintMenu("the Finder stopped", itemCount, Median(stoppedTimes));
  }
  std::printf("menu for %d selected files: median %.2f ms over %d builds\n", kSelectedFiles,
              Median(bigMenuTimes), kActivationRuns);
  std::printf("\"Copy Posix Path\" on %d files (%zu lines copied): median %.2f ms over %d runs "
              "(goal < 50 ms: %s)\n",
              kSelectedFiles, copied, activation, kActivationRuns,
              activation < 50.0 ? "met" : "MISSED");
  return 0;
}
