// KestrineMBI: the tray application.
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

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "KestrineMBI/AppController.h"
#include "KestrineMBI/KestrineCMPref.h"
#include "MoreAppleEvents/MoreAppleEvents.h"
#include "engine/prefixes.h"
#include "platform/appleevents/aeipc.h"
#include "platform/appkit/window_server.h"
#include "platform/appleevents/appleevents.h"
#include "platform/processes/processes.h"
#include "clipboard/clipboard_output.h"

namespace {

constexpr const char* kUsage =
    "usage: KestrineMBI [--menu | --choose ID | --preferences | --version | --help]";
constexpr const char* kHelp =
    "\n"
    "  (no option)     live in the desktop's tray; a click on the icon opens the\n"
    "                  menu for the files selected in the Finder (kestrine-finder serve)\n"
    "  --preferences   the same, with the preferences window shown\n"
    "  --menu          print the menu for the Finder's selection once\n"
    "  --choose ID     copy the Finder's selection with command ID: 1 to 12 (as\n"
    "                  --menu lists them, also those switched off in the menus),\n"
    "                  1000 + i and 2000 + i for prefix i (counted from 0)\n"
    "  --version       print the version\n"
    "  -h, --help      print this help\n"
    "\n"
    "Exit status: 0; 1 when --choose copied nothing (no Finder, no answer, no\n"
    "selection, the clipboard could not be written) or the tray has no display;\n"
    "2 for wrong usage or an ID that names no command.\n";
constexpr OSType kKestrineMBISignature = MakeFourCharCode("KMBI");
constexpr OSType kApplicationType = MakeFourCharCode("APPL");

enum class Command { kTray, kPreferences, kMenu, kChoose };

struct Options {
  Command command = Command::kTray;
  std::int32_t commandID = 0;
};

// A whole decimal number, with an optional minus sign and nothing around
// it, that fits 32 bits.
std::optional<std::int32_t> ParseCommandID(std::string_view text) {
  const std::string_view digits = text.starts_with('-') ? text.substr(1) : text;
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Parses the arguments into `*options`; returns what is wrong with them, or
// none.
std::optional<std::string> ParseArguments(int argc, char** argv, Options* options) {
  if (argc == 1) return std::nullopt;
  const std::string option = argv[1];
  if (option == "--menu" || option == "--preferences") {
    if (argc > 2) return option + " takes no argument";
    options->command = option == "--menu" ? Command::kMenu : Command::kPreferences;
  } else if (option == "--choose") {
    if (argc < 3) return "--choose needs a command ID";
    if (argc > 3) return "--choose takes one command ID";
    const std::optional<std::int32_t> id = ParseCommandID(argv[2]);
    if (!id) return std::string("the command ID must be a whole number, not \"") + argv[2] + "\"";
    options->command = Command::kChoose;
    options->commandID = *id;
  } else if (option.starts_with("-")) {
    return "unknown option \"" + option + "\"";
  } else {
    return "unexpected argument \"" + option + "\"";
  }
  return std::nullopt;
}

// --choose: refuses an ID that names no command before anything is asked or
// copied, and says why nothing was copied.
int RunChoose(std::int32_t commandID) {
  // A command builds no menu: it needs no toolkit, and starts faster
  // without one (it runs from keyboard shortcuts).
  AppController controller(AppController::Mode::kScript);
  controller.init();
  LoadPrefixes();
  if (!CommandIDExists(commandID)) {
    std::fprintf(stderr,
                 "KestrineMBI: no command has the ID %d (1 to 12, or 1000 + i and 2000 + i "
                 "for prefix i)\n",
                 commandID);
    return 2;
  }
  const AppController::CommandOutcome outcome = controller.RunCommand(commandID);
  std::fflush(stdout);
  using Result = AppController::CommandResult;
  switch (outcome.result) {
    case Result::kCopied:
      NoteClipboardFile("KestrineMBI");
      return 0;
    case Result::kNoFinder:
      std::fputs("KestrineMBI: no Finder is running (start one with \"kestrine-finder serve\")\n", stderr);
      break;
    case Result::kTimedOut:
      std::fprintf(stderr, "KestrineMBI: the Finder did not answer within %d seconds\n",
                   kMoreAEReplyTimeoutTicks / 60);
      break;
    case Result::kFinderFailed:
      std::fprintf(stderr, "KestrineMBI: the Finder could not give its selection (error %d)\n",
                   static_cast<int>(outcome.status));
      break;
    case Result::kNoSelection:
      std::fputs("KestrineMBI: the Finder has no active selection\n", stderr);
      break;
    case Result::kNothingUsable:
      std::fputs("KestrineMBI: none of the selected items can be found\n", stderr);
      break;
    case Result::kClipboardFailed:  // The clipboard has logged its line.
    case Result::kBusy:
      break;
  }
  return 1;
}

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

int RunScript(const Options& options, char** argv) {
  if (options.command == Command::kChoose) return RunChoose(options.commandID);
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
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::printf("%s\n%s", kUsage, kHelp);
    return 0;
  }
  Options options;
  if (const std::optional<std::string> wrong = ParseArguments(argc, argv, &options)) {
    std::fprintf(stderr, "KestrineMBI: %s (%s)\n", wrong->c_str(), kUsage);
    return 2;
  }
  if (options.command == Command::kMenu || options.command == Command::kChoose) {
    return RunScript(options, argv);
  }
  // Qt ends the process when it finds no display: tell the user instead.
  if (const std::optional<std::string> missing = ToolkitDisplayMissing()) {
    std::fprintf(stderr, "KestrineMBI: no display to show the tray icon on: %s\n",
                 missing->c_str());
    return 1;
  }
  return RunTray(options, argv);
}
