// KestrineMBI: the tray application.
//
//   KestrineMBI                 runs in the desktop's tray
//   KestrineMBI --preferences   the same, with the preferences window shown;
//                               when it runs already, shows that one's window
//   KestrineMBI --menu          prints the status menu once and exits
//   KestrineMBI --choose ID     runs copy command ID on the file manager's
//                               selection and exits
//   KestrineMBI --version       prints the version and exits
//
// Exit status: 0, or 2 for wrong usage.
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QWidget>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "KestrineMBI/AppController.h"
#include "KestrineMBI/KestrineCMPref.h"
#include "platform/appleevents/aeipc.h"
#include "platform/appleevents/appleevents.h"
#include "platform/processes/processes.h"

namespace {

constexpr const char* kUsage =
    "usage: KestrineMBI [--menu | --choose ID | --preferences | --version]";
constexpr OSType kKestrineMBISignature = MakeFourCharCode("KMBI");
constexpr OSType kApplicationType = MakeFourCharCode("APPL");

enum class Command { kTray, kPreferences, kMenu, kChoose };

struct Options {
  Command command = Command::kTray;
  std::int32_t commandID = 0;
};

std::optional<std::int32_t> ParseCommandID(const char* text) {
  if (text[0] == '\0') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

std::optional<Options> ParseArguments(int argc, char** argv) {
  Options options;
  if (argc == 1) return options;
  const std::string option = argv[1];
  if (argc == 2 && option == "--menu") {
    options.command = Command::kMenu;
  } else if (argc == 2 && option == "--preferences") {
    options.command = Command::kPreferences;
  } else if (argc == 3 && option == "--choose") {
    const std::optional<std::int32_t> id = ParseCommandID(argv[2]);
    if (!id) return std::nullopt;
    options.command = Command::kChoose;
    options.commandID = *id;
  } else {
    return std::nullopt;
  }
  return options;
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

int RunScript(const Options& options, char** argv) {
  if (options.command == Command::kChoose) {
    // A command builds no menu: it needs no toolkit, and starts faster
    // without one (it runs from keyboard shortcuts).
    AppController controller(AppController::Mode::kScript);
    controller.init();
    controller.RunCommand(options.commandID);
    std::fflush(stdout);
    return 0;
  }
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
                 "window (error %d)\n",
                 pid, shown);
    return 1;
  }
  std::printf("KestrineMBI is already running (process %u); its preferences window is shown\n", pid);
  return 0;
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
    std::fprintf(stderr, "KestrineMBI: cannot register as the running instance (error %d); going on\n",
                 registered);
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
  // Answered before any toolkit starts, so it works without a display.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("KestrineMBI %s\n", KESTRINE_VERSION);
    return 0;
  }
  const std::optional<Options> options = ParseArguments(argc, argv);
  if (!options) {
    std::fprintf(stderr, "%s\n", kUsage);
    return 2;
  }
  if (options->command == Command::kMenu || options->command == Command::kChoose) {
    return RunScript(*options, argv);
  }
  return RunTray(*options, argv);
}
