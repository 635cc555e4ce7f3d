// KestrineService: the Services provider of the file managers.
//
//   KestrineService                        install or refresh the service
//                                          entries of the user's file managers
//                                          (none for the program installed for
//                                          every user: the package has them)
//   KestrineService "<command>" [PATH...]  copy the PATHs' text for <command>
//   KestrineService --remove-entries       remove the entries it wrote
//   KestrineService --version              print the version
//   KestrineService --help | -h            print the usage
//
// Each PATH that names nothing is named on standard error; when PATHs are
// given and none names an item, nothing is copied.
//
// Exit status: 0 when the request was handled, 1 when no PATH names an item
// or the clipboard could not be opened or written (it then keeps its old
// content; the log says why), memory ran out (it is then empty) or an entry
// could not be written or removed (a message names it), 2 for an unknown
// command or option.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "KestrineService/AppController.h"
#include "KestrineService/service_commands.h"
#include "clipboard/clipboard_output.h"
#include "platform/files/launch_services.h"

namespace {

std::string ExecutablePath(const char* argv0) {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n > 0) return std::string(buffer, static_cast<size_t>(n));
  return argv0;
}

void PrintUsage(std::FILE* out) {
  std::fputs("usage: KestrineService [\"<command>\" [PATH...] | --remove-entries | --version | --help]\ncommands:", out);
  for (std::string_view command : ServiceUserDataStrings()) {
    std::fprintf(out, " \"%.*s\"", static_cast<int>(command.size()), command.data());
  }
  std::fputs("\n", out);
}

constexpr const char* kHelp =
    "\n"
    "With a command, copies the PATHs' text for it to the clipboard (relative\n"
    "PATHs are taken from the current folder; with none, the clipboard is\n"
    "emptied). Without arguments, installs or refreshes the Kestrine entries of\n"
    "the user's installed file managers, unless this KestrineService is the one\n"
    "installed for every user, whose packages install them; --remove-entries\n"
    "removes them.\n"
    "Exit status: 0; 1 when no PATH names an item, the clipboard could not be\n"
    "written or an entry could not be written or removed; 2 for an unknown\n"
    "command or option.\n";

// Tells what a run over the entries did; its exit status.
int Report(const ServiceEntriesReport& report) {
  for (const std::string& note : report.notes) std::printf("KestrineService: %s\n", note.c_str());
  std::fflush(stdout);
  for (const std::string& problem : report.problems) {
    std::fprintf(stderr, "KestrineService: %s\n", problem.c_str());
  }
  return report.problems.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) try {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("KestrineService %s\n", KESTRINE_VERSION);
    return 0;
  }
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    PrintUsage(stdout);
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--remove-entries") == 0) {
    return Report(RemoveServiceEntries());
  }
  if (argc >= 2 && argv[1][0] == '-') {
    std::fprintf(stderr, "KestrineService: unknown option \"%s\"\n", argv[1]);
    PrintUsage(stderr);
    return 2;
  }
  AppController controller;
  if (argc < 2) {
    const std::string executable = ExecutablePath(argv[0]);
    if (!WritesUserEntries(executable, KESTRINE_INSTALLED_SERVICE,
                           NSHomeDirectory().value_or(""))) {
      std::printf(
          "KestrineService: %s is installed for every user: its packages install the file "
          "managers' entries, so none are written into your home (\"KestrineService "
          "--remove-entries\" removes those an earlier run wrote)\n",
          executable.c_str());
      return 0;
    }
    return Report(controller.applicationWillFinishLaunching(executable));
  }
  std::vector<std::string> filenames(argv + 2, argv + argc);
  std::vector<FilenameProblem> problems;
  const ServiceOutcome outcome =
      controller.handleMenuSelection(NSPasteboard(std::move(filenames)), argv[1], nullptr, &problems);
  for (const FilenameProblem& p : problems) {
    std::fprintf(stderr, "KestrineService: %s: %s\n", p.filename.c_str(), p.problem.c_str());
  }
  switch (outcome) {
    case ServiceOutcome::kNoItems:
      // A request whose PATHs all name nothing would only empty the clipboard.
      std::fputs("KestrineService: no PATH names an item; the clipboard is left as it was\n", stderr);
      return 1;
    case ServiceOutcome::kCopied:
      NoteClipboardFile("KestrineService");
      return 0;
    case ServiceOutcome::kNoFileNames:
      return 0;
    case ServiceOutcome::kUnknownCommand:
      std::fprintf(stderr, "KestrineService: unknown command \"%s\"\n", argv[1]);
      PrintUsage(stderr);
      return 2;
    case ServiceOutcome::kClipboardFailed:
    case ServiceOutcome::kClipboardWriteFailed:
      // The clipboard has logged its one line on the failure.
      return 1;
    case ServiceOutcome::kOutOfMemory:
      std::fputs("KestrineService: out of memory; the clipboard is left empty\n", stderr);
      return 1;
  }
  return 1;
} catch (const std::bad_alloc&) {
  std::fputs("KestrineService: out of memory\n", stderr);
  return 1;
} catch (const std::exception& error) {
  std::fprintf(stderr, "KestrineService: %s\n", error.what());
  return 1;
}
