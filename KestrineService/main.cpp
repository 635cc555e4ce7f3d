// KestrineService: the Services provider of the file managers.
//
//   KestrineService                        install or refresh the service
//                                          entries of the user's file managers
//   KestrineService "<command>" [PATH...]  copy the PATHs' text for <command>
//   KestrineService --remove-entries       remove the entries it wrote
//   KestrineService --version              print the version
//
// Exit status: 0 when the request was handled, 1 when the clipboard could
// not be opened or written (it then keeps its old content; the log says
// why), memory ran out (it is then empty) or an entry could not be written
// or removed (a message names it), 2 for an unknown command.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "KestrineService/AppController.h"

namespace {

std::string ExecutablePath(const char* argv0) {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n > 0) return std::string(buffer, static_cast<size_t>(n));
  return argv0;
}

void PrintUsage() {
  std::fputs("usage: KestrineService [\"<command>\" [PATH...] | --version]\ncommands:", stderr);
  for (std::string_view command : ServiceUserDataStrings()) {
    std::fprintf(stderr, " \"%.*s\"", static_cast<int>(command.size()), command.data());
  }
  std::fputs("\n", stderr);
}

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
  if (argc == 2 && std::strcmp(argv[1], "--remove-entries") == 0) {
    return Report(RemoveServiceEntries());
  }
  AppController controller;
  if (argc < 2) return Report(controller.applicationWillFinishLaunching(ExecutablePath(argv[0])));
  std::vector<std::string> filenames(argv + 2, argv + argc);
  switch (controller.handleMenuSelection(NSPasteboard(std::move(filenames)), argv[1], nullptr)) {
    case ServiceOutcome::kCopied:
    case ServiceOutcome::kNoFileNames:
      return 0;
    case ServiceOutcome::kUnknownCommand:
      std::fprintf(stderr, "KestrineService: unknown command \"%s\"\n", argv[1]);
      PrintUsage();
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
