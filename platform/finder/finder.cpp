// finder: the file manager's side of contextual-menu plug-ins, as a program.
//
//   finder menu [--plugin BUNDLE]... [PATH...]
//       Builds the contextual menu for PATHs and prints the items the
//       plug-ins add, one per line.
//   finder choose [--plugin BUNDLE]... ID PATH...
//       Builds the menu, then runs item ID on PATHs, as when the user picks it.
//   finder serve
//       Answers Apple events as the Finder until SIGTERM or SIGINT.
//   finder select [--as obj|fsrf|alis] [PATH...] | finder select --fail N
//       Sets the serving Finder's selection (see finder_serve.h).
//
// Without --plugin, every bundle in
// ${XDG_DATA_HOME:-$HOME/.local/share}/Kestrine/Contextual Menu Items/ is
// loaded, then those in the same folder below each of $XDG_DATA_DIRS
// (default /usr/local/share:/usr/share) whose identifier is not loaded yet.
//
// Exit status: 0 on success, 1 when a bundle is missing or not a plug-in,
// 2 for wrong usage.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/appleevents/alias.h"
#include "platform/appleevents/appleevents.h"
#include "platform/corefoundation/cf_string.h"
#include "platform/corefoundation/cf_utf16.h"
#include "platform/files/files.h"
#include "platform/finder/finder_serve.h"
#include "platform/plugin/contextual_menu.h"
#include "platform/plugin/plugin.h"

namespace {

constexpr const char* kUsage =
    "usage: finder menu [--plugin BUNDLE]... [PATH...] | "
    "finder choose [--plugin BUNDLE]... ID PATH... | finder serve | "
    "finder select [--as obj|fsrf|alis] [PATH...] | finder select --fail N";
constexpr const char* kPlugInFolder = "Kestrine/Contextual Menu Items";

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
  return std::nullopt;
}

std::vector<std::string> BundlesIn(const std::string& folder) {
  std::vector<std::string> bundles;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return bundles;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    bundles.push_back(folder + "/" + name);
  }
  ::closedir(dir);
  std::sort(bundles.begin(), bundles.end());
  return bundles;
}

std::vector<std::string> DefaultBundleFolders() {
  std::vector<std::string> folders;
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome != nullptr && dataHome[0] == '/') {
    folders.push_back(std::string(dataHome) + "/" + kPlugInFolder);
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    folders.push_back(std::string(home) + "/.local/share/" + kPlugInFolder);
  }
  const char* dataDirs = std::getenv("XDG_DATA_DIRS");
  std::string dirs = dataDirs != nullptr && dataDirs[0] != '\0' ? dataDirs : "/usr/local/share:/usr/share";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string dir = dirs.substr(start, end - start);
    if (!dir.empty() && dir[0] == '/') folders.push_back(dir + "/" + kPlugInFolder);
    start = end + 1;
  }
  return folders;
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
    std::u16string units(bytes.size() / 2, u'\0');
    std::memcpy(units.data(), bytes.data(), units.size() * 2);
    return CFStringCreateWithCharacters(units).value_or(MakeValidUTF8(bytes));
  }
  if (name.descriptorType() == typeText) return CFStringCreateWithMacRoman(bytes);
  return MakeValidUTF8(bytes);
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

// One plug-in instance, asked for the contextual-menu interface.
struct LoadedInstance {
  ContextualMenuInterfaceStruct** interface;
};

// Loads the bundle and makes an instance of each of its contextual-menu
// factories. Returns false, after a message, when the bundle is unusable.
bool LoadBundle(const std::string& path, std::set<std::string>* identifiers,
                std::vector<LoadedInstance>* instances, bool skipKnown) {
  std::string error;
  CFPlugInRef plugIn = CFPlugInCreate(nullptr, path, &error);
  if (!plugIn) {
    std::fprintf(stderr, "finder: %s: %s\n", path.c_str(), error.c_str());
    return false;
  }
  const std::string identifier = CFPlugInGetBundle(plugIn)->identifier;
  if (skipKnown && identifiers->count(identifier) != 0) return true;
  identifiers->insert(identifier);
  const std::vector<CFUUIDRef> factories =
      CFPlugInFindFactoriesForPlugInTypeInPlugIn(kContextualMenuTypeID(), plugIn);
  if (factories.empty()) {
    std::fprintf(stderr, "finder: %s: not a contextual-menu plug-in\n", path.c_str());
    return false;
  }
  for (const CFUUIDRef& factory : factories) {
    void* made = CFPlugInInstanceCreate(nullptr, factory, kContextualMenuTypeID(), &error);
    if (made == nullptr) {
      std::fprintf(stderr, "finder: %s: %s\n", path.c_str(), error.c_str());
      return false;
    }
    auto** unknown = static_cast<ContextualMenuInterfaceStruct**>(made);
    LPVOID found = nullptr;
    const HRESULT result = (*unknown)->QueryInterface(
        unknown, CFUUIDGetUUIDBytes(kContextualMenuInterfaceID()), &found);
    (*unknown)->Release(unknown);
    if (result != S_OK || found == nullptr) {
      std::fprintf(stderr, "finder: %s: no contextual-menu interface\n", path.c_str());
      return false;
    }
    instances->push_back({static_cast<ContextualMenuInterfaceStruct**>(found)});
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "serve") == 0) {
    if (argc > 2) return UsageError("serve takes no argument");
    return FinderServe();
  }
  if (argc >= 2 && std::strcmp(argv[1], "select") == 0) {
    return FinderSelect(std::vector<std::string>(argv + 2, argv + argc));
  }
  Options options;
  if (std::optional<int> status = ParseArguments(argc, argv, &options)) return *status;

  std::set<std::string> identifiers;
  std::vector<LoadedInstance> instances;
  if (!options.bundles.empty()) {
    for (const std::string& bundle : options.bundles) {
      if (!LoadBundle(bundle, &identifiers, &instances, false)) return 1;
    }
  } else {
    for (const std::string& folder : DefaultBundleFolders()) {
      for (const std::string& bundle : BundlesIn(folder)) {
        if (!LoadBundle(bundle, &identifiers, &instances, true)) return 1;
      }
    }
  }

  AEDesc context = MakeContext(options.paths);
  AEDescList commands;
  AECreateList(nullptr, 0, false, &commands);
  for (const LoadedInstance& instance : instances) {
    (*instance.interface)->ExamineContext(instance.interface, &context, &commands);
  }
  if (options.choose) {
    for (const LoadedInstance& instance : instances) {
      (*instance.interface)->HandleSelection(instance.interface, &context, options.commandID);
    }
  } else {
    PrintItems(commands, 0);
  }
  for (const LoadedInstance& instance : instances) {
    (*instance.interface)->PostMenuCleanup(instance.interface);
    (*instance.interface)->Release(instance.interface);
  }
  std::fflush(stdout);
  return 0;
}
