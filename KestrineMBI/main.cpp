// KestrineMBI: the tray application, the Qt program that bin/KestrineMBI
// (launcher.cpp) becomes for the tray, --menu and --preferences.
//
//   KestrineMBI                 runs in the desktop's tray
//   KestrineMBI --preferences   the same, with the preferences window shown;
//                               when it runs already, shows that one's window
//   KestrineMBI --menu          prints the status menu once and exits
//   KestrineMBI --choose ID     runs copy command ID on the file manager's
//                               selection and exits
//   KestrineMBI --version       prints the version and exits
//   KestrineMBI --help | -h     prints the usage and exits
//
// Exit status: 0; 1 when --choose copied nothing or the tray has no display;
// 2 for wrong usage or an ID that names no command.
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "KestrineMBI/AppController.h"
#include "KestrineMBI/KestrineCMPref.h"
#include "KestrineMBI/command_line.h"
#include "platform/appleevents/aeipc.h"
#include "platform/appkit/window_server.h"
#include "platform/appleevents/appleevents.h"
#include "platform/processes/processes.h"
#include "platform/status/status_words.h"

namespace {

constexpr OSType kKestrineMBISignature = MakeFourCharCode("KMBI");
constexpr OSType kApplicationType = MakeFourCharCode("APPL");

// What keeps the toolkit from opening a display, or none. A platform chosen
// by QT_QPA_PLATFORM that needs no window server (offscreen, for instance)
// is not asked about.
std::optional<std::string> ToolkitDisplayMissing() {
  const char* chosen = std::getenv("QT_QPA_PLATFORM");
  const std::string_view platform = chosen != nullptr ? chosen : "";
  if (!platform.empty() && platform.find("xcb") == std::string_view::npos &&
      platform.find("wayland") == std::string_view::npos) {
    return std::nullopt;
  }
  return MissingWindowServer();
}

// The pid of the running instance that holds the signature, or 0.
std::uint32_t RunningInstance() {
  ProcessSerialNumber psn{0, kNoProcess};
  while (GetNextProcess(&psn) == noErr) {
    ProcessInfoRec info;
    info.processInfoLength = kProcessInfoRecLength;
    if (GetProcessInformation(&psn, &info) == noErr && info.processSignature == kKestrineMBISignature) {
      return psn.lowLongOfPSN;
    }
  }
  return 0;
}

// --menu: prints the menu once.
int RunScript(char** argv) {
  // The menu is never shown here: it needs no display.
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int qtArgc = 1;
  QApplication application(qtArgc, argv);
  AppController controller(AppController::Mode::kScript);
  controller.init();
  controller.setup();
  // The selection request's trace does not end its line.
  std::fputs("\n", stdout);
  std::fputs(DescribeMenu(*controller.menu()).c_str(), stdout);
  std::fflush(stdout);
  return 0;
}

// Another instance runs: with --preferences it shows its window.
int RunningAlready(const Options& options) {
  const std::uint32_t pid = RunningInstance();
  if (options.command != Command::kPreferences) {
    std::printf("KestrineMBI is already running (process %u)\n", pid);
    return 0;
  }
  const OSErr shown = ShowPreferencesOfProcess(ProcessSerialNumber{0, pid});
  if (shown != noErr) {
    std::fprintf(stderr,
                 "KestrineMBI: the running instance (process %u) did not show its preferences "
                 "window (%s)\n",
                 pid, StatusWords(shown).c_str());
    return 1;
  }
  std::printf("KestrineMBI is already running (process %u); its preferences window is shown\n", pid);
  return 0;
}

// Makes the preferences window a dialog at its natural size. Wayland tells
// the compositor no window type: a tiling one (sway) floats a window whose
// least and greatest sizes agree, rather than filling the screen with it.
void ShowAsDialog(QWidget* window) {
  window->setWindowFlags(Qt::Dialog);
  if (QApplication::platformName().startsWith(QLatin1String("wayland"))) {
    window->setFixedSize(window->size().expandedTo(window->minimumSizeHint()));
  }
}

int RunTray(const Options& options, char** argv) {
  // Served before the process is registered, so that whoever finds it can
  // reach it.
  const bool serving = AEServerOpen() == noErr;
  const OSErr registered = RegisterProcess(kKestrineMBISignature, kApplicationType, "KestrineMBI", true);
  if (registered == dupFNErr) {
    if (serving) AEServerClose();
    return RunningAlready(options);
  }
  if (registered != noErr) {
    std::fprintf(stderr, "KestrineMBI: cannot register as the running instance (%s); going on\n",
                 StatusWords(registered).c_str());
  }
  int qtArgc = 1;
  QApplication application(qtArgc, argv);
  // No display name: Qt would append it to every window title.
  QApplication::setApplicationName(QStringLiteral("KestrineMBI"));
  QApplication::setDesktopFileName(QStringLiteral("KestrineMBI"));
  // The application lives in the tray: closing its window does not end it.
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/KestrineMBI.png")));

  KestrineCMPref preferences;
  ShowAsDialog(preferences.window());
  AppController controller(AppController::Mode::kTray);
  controller.setPrefController(&preferences);
  SetFrontProcessHook([&preferences] {
    QWidget* window = preferences.window();
    if (!window->isVisible()) return;
    window->raise();
    window->activateWindow();
  });
  controller.init();
  if (options.command == Command::kPreferences) controller.selItemPreferences(nullptr);
  const int status = QApplication::exec();
  SetFrontProcessHook({});
  UnregisterProcess();
  AEServerClose();
  return status;
}

}  // namespace

// Under LeakSanitizer: fontconfig keeps its caches until the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

int main(int argc, char** argv) {
  Options options;
  if (const std::optional<int> status = RunWithoutToolkit(argc, argv, &options)) return *status;
  if (options.command == Command::kMenu) return RunScript(argv);
  // Qt ends the process when it finds no display: tell the user instead.
  if (const std::optional<std::string> missing = ToolkitDisplayMissing()) {
    std::fprintf(stderr, "KestrineMBI: no display to show the tray icon on: %s\n",
                 missing->c_str());
    return 1;
  }
  return RunTray(options, argv);
}
