// finder: the file manager's side of contextual-menu plug-ins, as a program.
//
//   finder menu [--plugin BUNDLE]... [PATH...]
//       Builds the contextual menu for PATHs and prints the items the
//       plug-ins add, one per line.
//   finder choose [--plugin BUNDLE]... ID PATH...
//       Builds the menu, then runs item ID on PATHs, as when the user picks it.
//       A PATH that names nothing is named on standard error and left out;
//       ID must be an item of that menu or one of Kestrine's twelve commands
//       (1 to 12, also those switched off in the menus).
//   finder serve
//       Answers Apple events as the Finder until SIGTERM or SIGINT.
//   finder select [--as obj|fsrf|alis] [PATH...] | finder select --fail N
//       Sets the serving Finder's selection (see finder_serve.h).
//   finder --help | -h, finder COMMAND --help | -h
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
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "engine/path_forms.h"
#include "platform/appleevents/alias.h"
#include "platform/appleevents/appleevents.h"
#include "platform/corefoundation/cf_string.h"
#include "platform/corefoundation/cf_utf16.h"
#include "platform/files/files.h"
#include "platform/finder/finder_serve.h"
#include "platform/plugin/contextual_menu.h"
#include "platform/plugin/plugin_loader.h"
#include "clipboard/clipboard_output.h"

namespace {

constexpr const char* kUsage =
    "usage: finder menu [--plugin BUNDLE]... [PATH...] | "
    "finder choose [--plugin BUNDLE]... ID PATH... | finder serve | "
    "finder select [--as obj|fsrf|alis] [PATH...] | finder select --fail N";

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
  std::fprintf(stderr, "finder: %s (%s)\n", message.c_str(), kUsage);
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
      std::fprintf(stderr, "finder: %s: %s\n", path.c_str(), FSPathMakeRefProblem(status).c_str());
      continue;
    }
    usable.push_back(path);
  }
  return usable;
}

// The context for PATHs: a list with an 'fsrf' per item that exists and an
// alias whose target is missing for any other; the null descriptor for none.
AEDesc MakeContext(const std::vector<std::string>& paths) {
  AEDesc context;
  if (paths.empty()) return context;
  AECreateList(nullptr, 0, false, &context);
  char cwd[PATH_MAX] = "/";
  if (::getcwd(cwd, sizeof cwd) == nullptr) std::strcpy(cwd, "/");
  for (const std::string& path : paths) {
    FSRef ref{};
    if (FSPathMakeRef(path, &ref) == noErr) {
      AEPutPtr(&context, 0, typeFSRef, &ref, sizeof ref);
      continue;
    }
    std::string alias;
    const std::string absolute = path.starts_with("/") ? path : std::string(cwd) + "/" + path;
    if (FSNewAliasFromPath(absolute, &alias) != noErr) FSNewAliasFromPath("/", &alias);
    AEPutPtr(&context, 0, typeAlias, alias.data(), alias.size());
  }
  return context;
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

std::optional<std::int32_t> LongParam(const AERecord& record, AEKeyword key) {
  std::int32_t value = 0;
  std::size_t size = 0;
  DescType type = 0;
  if (AEGetParamPtr(&record, key, typeSInt32, &type, &value, sizeof value, &size) != noErr ||
      type != typeSInt32 || size != sizeof value) {
    return std::nullopt;
  }
  return value;
}

std::string Title(const AERecord& record) {
  AEDesc name;
  if (AEGetParamDesc(&record, keyAEName, typeWildCard, &name) != noErr) return "";
  std::string bytes(AEGetDescDataSize(&name), '\0');
  AEGetDescData(&name, bytes.data(), bytes.size());
  if (name.descriptorType() == typeUnicodeText) {
    return CFStringCreateWithCharacterBytes(std::string_view(bytes).substr(0, bytes.size() / 2 * 2))
        .value_or(MakeValidUTF8(bytes));
  }
  if (name.descriptorType() == typeText) return CFStringCreateWithMacRoman(bytes);
  return MakeValidUTF8(bytes);
}

// Whether an item of `list`, or of a submenu in it, carries command `id`.
bool MenuOffers(const AEDescList& list, std::int32_t id) {
  long count = 0;
  if (AECountItems(&list, &count) != noErr) return false;
  for (long i = 1; i <= count; ++i) {
    AERecord record;
    if (AEGetNthDesc(&list, i, typeAERecord, nullptr, &record) != noErr) continue;
    AEDescList submenu;
    if (AEGetParamDesc(&record, keyContextualMenuSubmenu, typeAEList, &submenu) == noErr) {
      if (MenuOffers(submenu, id)) return true;
    } else if (LongParam(record, keyContextualMenuAttributes).value_or(0) != kMenuItemAttrSeparator &&
               LongParam(record, keyContextualMenuCommandID) == id) {
      return true;
    }
  }
  return false;
}

void PrintItems(const AEDescList& list, int depth) {
  long count = 0;
  if (AECountItems(&list, &count) != noErr) return;
  const std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
  for (long i = 1; i <= count; ++i) {
    AERecord record;
    if (AEGetNthDesc(&list, i, typeWildCard, nullptr, &record) != noErr) continue;
    if (record.descriptorType() != typeAERecord) {
      std::printf("%s? %s\n", indent.c_str(), FourCharCodeString(record.descriptorType()).c_str());
      continue;
    }
    const std::int32_t attributes = LongParam(record, keyContextualMenuAttributes).value_or(0);
    AEDescList submenu;
    if (AEGetParamDesc(&record, keyContextualMenuSubmenu, typeAEList, &submenu) == noErr) {
      std::printf("%s%s >\n", indent.c_str(), Escape(Title(record)).c_str());
      PrintItems(submenu, depth + 1);
    } else if (attributes == kMenuItemAttrSeparator) {
      std::printf("%s-\n", indent.c_str());
    } else {
      const std::int32_t id = LongParam(record, keyContextualMenuCommandID).value_or(0);
      std::string head = "[" + std::to_string(id);
      if (attributes != kMenuItemAttrIgnoreMeta) head += " cmat=" + std::to_string(attributes);
      std::printf("%s%s] %s\n", indent.c_str(), head.c_str(), Escape(Title(record)).c_str());
    }
  }
}

}  // namespace

int main(int argc, char** argv) try {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("finder %s\n", KESTRINE_VERSION);
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
      std::fputs("finder: no PATH names an item; nothing is copied\n", stderr);
      return 1;
    }
  }

  std::vector<ContextualMenuPlugIn> instances;
  if (!options.bundles.empty()) {
    for (const std::string& bundle : options.bundles) {
      std::string error;
      std::optional<std::vector<ContextualMenuPlugIn>> loaded =
          LoadContextualMenuPlugIn(bundle, &error);
      if (!loaded) {
        std::fprintf(stderr, "finder: %s\n", error.c_str());
        return 1;
      }
      for (ContextualMenuPlugIn& instance : *loaded) instances.push_back(std::move(instance));
    }
  } else {
    ContextualMenuPlugIns found = LoadContextualMenuPlugIns(ContextualMenuPlugInFolders());
    for (const std::string& skipped : found.skipped) {
      std::fprintf(stderr, "finder: skipped %s\n", skipped.c_str());
    }
    instances = std::move(found.instances);
  }

  AEDesc context = MakeContext(options.paths);
  AEDescList commands;
  AECreateList(nullptr, 0, false, &commands);
  for (const ContextualMenuPlugIn& instance : instances) {
    (*instance.interface())->ExamineContext(instance.interface(), &context, &commands);
  }
  int status = 0;
  if (!options.choose) {
    PrintItems(commands, 0);
  } else if (!IsFixedCommandID(options.commandID) && !MenuOffers(commands, options.commandID)) {
    std::fprintf(stderr,
                 "finder: no command has the ID %d (1 to 12, or an ID that \"finder menu\" lists "
                 "for these PATHs)\n",
                 options.commandID);
    status = 2;
  } else {
    for (const ContextualMenuPlugIn& instance : instances) {
      (*instance.interface())->HandleSelection(instance.interface(), &context, options.commandID);
    }
    NoteClipboardFile("finder");
  }
  for (const ContextualMenuPlugIn& instance : instances) {
    (*instance.interface())->PostMenuCleanup(instance.interface());
  }
  std::fflush(stdout);
  return status;
} catch (const std::bad_alloc&) {
  std::fputs("finder: out of memory\n", stderr);
  return 1;
} catch (const std::exception& error) {
  std::fprintf(stderr, "finder: %s\n", error.what());
  return 1;
}
