#include "KestrineMBI/command_line.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "KestrineMBI/finder_command.h"

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

}  // namespace

std::optional<int> RunWithoutToolkit(int argc, char** argv, Options* options) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("KestrineMBI %s\n", KESTRINE_VERSION);
    return 0;
  }
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::printf("%s\n%s", kUsage, kHelp);
    return 0;
  }
  if (const std::optional<std::string> wrong = ParseArguments(argc, argv, options)) {
    std::fprintf(stderr, "KestrineMBI: %s (%s)\n", wrong->c_str(), kUsage);
    return 2;
  }
  if (options->command == Command::kChoose) return RunChoose(options->commandID);
  return std::nullopt;
}
