// kestrine-finder: the file manager's side of contextual-menu plug-ins, as a program.
//
//   kestrine-finder menu [--plugin BUNDLE]... [PATH...]
//       Builds the contextual menu for PATHs and prints the items the
//       plug-ins add, one per line.
//   kestrine-finder choose [--plugin BUNDLE]... ID PATH...
//       Builds the menu, then runs item ID on PATHs, as when the user picks it:
//       in the plug-in that added it; one of Kestrine's twelve commands (1 to
//       12) that the menu does not show (switched off) runs in every plug-in.
//       A PATH that names nothing is named on standard error and left out.
//
// The menus are built and run by the host core the file-manager modules use
// (ContextualMenuHost), which tells the running Finder nothing here.
//   kestrine-finder serve
//       Answers Apple events as the Finder until SIGTERM or SIGINT.
//   kestrine-finder select [--as obj|fsrf|alis] [PATH...] | kestrine-finder select --fail N
//       Sets the serving Finder's selection (see finder_serve.h).
//   kestrine-finder --help | -h, kestrine-finder COMMAND --help | -h
//       Prints the usage.
//
// Without --plugin, every bundle in
// ${XDG_DATA_HOME:-$HOME/.local/share}/Kestrine/Contextual Menu Items/ is
// loaded, then those in the same folder below each of $XDG_DATA_DIRS
// (default /usr/local/share:/usr/share) whose identifier is not loaded yet;
// an entry there that is not a usable plug-in is skipped with one line on
// standard error.
//
// Exit status: 0 on success, 1 when a --plugin bundle is missing or not a
// plug-in, no PATH of choose names an item, or memory runs out, 2 for wrong
// usage or an ID that names no command. Nothing is copied unless it is 0.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "engine/path_forms.h"
#include "hosts/contextual_menu_host.h"
#include "platform/appleevents/appleevents.h"
#include "platform/files/files.h"
#include "platform/finder/finder_serve.h"
#include "platform/plugin/contextual_menu.h"
#include "platform/plugin/plugin_loader.h"
#include "clipboard/clipboard_output.h"

namespace {

constexpr const char* kUsage =
    "usage: kestrine-finder menu [--plugin BUNDLE]... [PATH...] | "
    "kestrine-finder choose [--plugin BUNDLE]... ID PATH... | kestrine-finder serve | "
    "kestrine-finder select [--as obj|fsrf|alis] [PATH...] | kestrine-finder select --fail N";

constexpr const char* kHelp =
    "\n"
    "  menu [--plugin BUNDLE]... [PATH...]\n"
    "      print the items the contextual-menu plug-ins add for PATHs\n"
    "  choose [--plugin BUNDLE]... ID PATH...\n"
    "      run item ID of that menu on PATHs (Kestrine's commands 1 to 12 run\n"
    "      also when switched off in the menus)\n"
    "  serve\n"
    "      answer requests for the selection as the Finder, until SIGTERM\n"
    "  select [--as obj|fsrf|alis] [PATH...]\n"
    "      make PATHs the serving Finder's selection (none: nothing selected)\n"
    "  select --fail N\n"
    "      answer every selection request with error N until the next select\n"
    "  --version, --help\n"
    "\n"
    "Without --plugin, the bundles in ~/.local/share/Kestrine/Contextual Menu Items/\n"
    "and in the same folder of $XDG_DATA_DIRS are loaded.\n"
    "Exit status: 0; 1 when nothing could be done (a bundle or every PATH is\n"
    "missing, no Finder runs); 2 for wrong usage or an ID that names no command.\n";

struct Options {
  bool choose = false;
  std::vector<std::string> bundles;
  std::int32_t commandID = 0;
  std::vector<std::string> paths;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "kestrine-finder: %s (%s)\n", message.c_str(), kUsage);
  return 2;
}

std::optional<std::int32_t> ParseCommandID(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

// Parses the arguments; returns an exit status when they are wrong.
std::optional<int> ParseArguments(int argc, char** argv, Options* options) {
  if (argc < 2) return UsageError("missing command");
  const std::string command = argv[1];
  if (command.starts_with("-")) return UsageError("unknown option " + command);
  if (command != "menu" && command != "choose") {
    return UsageError("unknown command \"" + command + "\"");
  }
  options->choose = command == "choose";
  int i = 2;
  while (i < argc && std::strcmp(argv[i], "--plugin") == 0) {
    if (i + 1 >= argc) return UsageError("--plugin needs a bundle");
    options->bundles.emplace_back(argv[i + 1]);
    i += 2;
  }
  if (i < argc && std::strcmp(argv[i], "--") == 0) ++i;
  if (options->choose) {
    if (i >= argc) return UsageError("missing ID");
    const std::optional<std::int32_t> id = ParseCommandID(argv[i]);
    if (!id) return UsageError(std::string("ID is not a 32-bit integer: \"") + argv[i] + "\"");
    options->commandID = *id;
    ++i;
  }
  for (; i < argc; ++i) {
    if (std::strncmp(argv[i], "--", 2) == 0 && std::strlen(argv[i]) > 2) {
      return UsageError(std::string("unknown option ") + argv[i]);
    }
    options->paths.emplace_back(argv[i]);
  }
  if (options->choose && options->paths.empty()) return UsageError("missing PATH");
  return std::nullopt;
}

// The PATHs that name an item; each other one is named on standard error.
std::vector<std::string> UsablePaths(const std::vector<std::string>& paths) {
  std::vector<std::string> usable;
  for (const std::string& path : paths) {
    FSRef ref{};
    if (const OSErr status = FSPathMakeRef(path, &ref); status != noErr) {
      std::fprintf(stderr, "kestrine-finder: %s: %s\n", path.c_str(),
                   FSPathMakeRefProblem(status).c_str());
      continue;
    }
    usable.push_back(path);
  }
  return usable;
}

// The items of PATHs as the host takes a selection: an item that does not
// exist is named by its absolute path, so that its alias names it too.
std::vector<HostSelectionItem> SelectionItems(const std::vector<std::string>& paths) {
  char cwd[PATH_MAX] = "/";
  if (::getcwd(cwd, sizeof cwd) == nullptr) std::strcpy(cwd, "/");
  std::vector<HostSelectionItem> items;
  for (const std::string& path : paths) {
    FSRef ref{};
    const bool exists = FSPathMakeRef(path, &ref) == noErr;
    items.push_back({exists || path.starts_with("/") ? path : std::string(cwd) + "/" + path, ""});
  }
  return items;
}

std::string Escape(std::string_view text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else if (c == '\t') {
      escaped += "\\t";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

// The first command entry of `entries`, or of a submenu in them, that
// carries command `id`.
const HostMenuEntry* FindCommand(const std::vector<HostMenuEntry>& entries, std::int32_t id) {
  for (const HostMenuEntry& entry : entries) {
    if (entry.kind == HostMenuEntry::Kind::kSubmenu) {
      if (const HostMenuEntry* found = FindCommand(entry.submenu, id)) return found;
    } else if (entry.kind == HostMenuEntry::Kind::kCommand && entry.commandID == id) {
      return &entry;
    }
  }
  return nullptr;
}

void PrintEntries(const std::vector<HostMenuEntry>& entries, int depth) {
  const std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
  for (const HostMenuEntry& entry : entries) {
    if (entry.kind == HostMenuEntry::Kind::kSubmenu) {
      std::printf("%s%s >\n", indent.c_str(), Escape(entry.title).c_str());
      PrintEntries(entry.submenu, depth + 1);
    } else if (entry.kind == HostMenuEntry::Kind::kSeparator) {
      std::printf("%s-\n", indent.c_str());
    } else {
      std::string head = "[" + std::to_string(entry.commandID);
      if (entry.attributes != kMenuItemAttrIgnoreMeta) {
        head += " cmat=" + std::to_string(entry.attributes);
      }
      std::printf("%s%s] %s\n", indent.c_str(), head.c_str(), Escape(entry.title).c_str());
    }
  }
}

}  // namespace

int main(int argc, char** argv) try {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("kestrine-finder %s\n", KESTRINE_VERSION);
    return 0;
  }
  const auto isHelp = [](const char* arg) {
    return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0;
  };
  if ((argc == 2 && isHelp(argv[1])) || (argc == 3 && isHelp(argv[2]))) {
    std::printf("%s\n%s", kUsage, kHelp);
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "serve") == 0) {
    if (argc > 2) return UsageError("serve takes no argument");
    return FinderServe();
  }
  if (argc >= 2 && std::strcmp(argv[1], "select") == 0) {
    return FinderSelect(std::vector<std::string>(argv + 2, argv + argc));
  }
  Options options;
  if (std::optional<int> status = ParseArguments(argc, argv, &options)) return *status;
  if (options.choose) {
    // Only items that exist are handed to the plug-ins, as a file manager's
    // selection holds them; with none, nothing is done.
    options.paths = UsablePaths(options.paths);
    if (options.paths.empty()) {
      std::fputs("kestrine-finder: no PATH names an item; nothing is copied\n", stderr);
      return 1;
    }
  }

  ContextualMenuPlugIns plugIns;
  if (!options.bundles.empty()) {
    for (const std::string& bundle : options.bundles) {
      std::string error;
      std::optional<std::vector<ContextualMenuPlugIn>> loaded =
          LoadContextualMenuPlugIn(bundle, &error);
      if (!loaded) {
        std::fprintf(stderr, "kestrine-finder: %s\n", error.c_str());
        return 1;
      }
      std::move(loaded->begin(), loaded->end(), std::back_inserter(plugIns.instances));
    }
  } else {
    plugIns = LoadContextualMenuPlugIns(ContextualMenuPlugInFolders());
    for (const std::string& skipped : plugIns.skipped) {
      std::fprintf(stderr, "kestrine-finder: skipped %s\n", skipped.c_str());
    }
    plugIns.skipped.clear();
  }

  bool buildFailed = false;
  ContextualMenuHost host(std::move(plugIns), [&buildFailed](const std::string& line) {
    std::fprintf(stderr, "kestrine-finder: %s\n", line.c_str());
    buildFailed = true;
  });
  const std::shared_ptr<HostMenu> menu = host.BuildMenu(SelectionItems(options.paths));
  if (menu == nullptr || buildFailed) return 1;
  int status = 0;
  if (!options.choose) {
    PrintEntries(menu->entries(), 0);
  } else if (const HostMenuEntry* entry = FindCommand(menu->entries(), options.commandID)) {
    menu->Activate(*entry);
    NoteClipboardFile("kestrine-finder");
  } else if (IsFixedCommandID(options.commandID)) {
    menu->ActivateEverywhere(options.commandID);
    NoteClipboardFile("kestrine-finder");
  } else {
    std::fprintf(stderr,
                 "kestrine-finder: no command has the ID %d (1 to 12, or an ID that "
                 "\"kestrine-finder menu\" lists for these PATHs)\n",
                 options.commandID);
    status = 2;
  }
  std::fflush(stdout);
  return status;
} catch (const std::bad_alloc&) {
  std::fputs("kestrine-finder: out of memory\n", stderr);
  return 1;
} catch (const std::exception& error) {
  std::fprintf(stderr, "kestrine-finder: %s\n", error.what());
  return 1;
}
