#include "platform/finder/finder_serve.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

#include "platform/appleevents/aeipc.h"
#include "platform/appleevents/alias.h"
#include "platform/files/files.h"
#include "platform/finder/finder_protocol.h"
#include "platform/pasteboard/pasteboard.h"
#include "platform/processes/processes.h"
#include "platform/status/status_words.h"

namespace {

// A 4-byte code parameter of a record, whatever its type code.
std::optional<std::uint32_t> CodeParam(const AERecord& record, AEKeyword key) {
  std::uint32_t code = 0;
  std::size_t size = 0;
  if (AEGetParamPtr(&record, key, typeWildCard, nullptr, &code, sizeof code, &size) != noErr ||
      size != sizeof code) {
    return std::nullopt;
  }
  return code;
}

// What an object specifier asks for: the selection, or the item at a path.
struct Specified {
  bool selection = false;
  std::optional<std::string> path;
};

Specified ReadSpecifier(const AEDesc& specifier) {
  Specified specified;
  AERecord record;
  if (specifier.descriptorType() != typeObjectSpecifier ||
      AECoerceDesc(&specifier, typeAERecord, &record) != noErr) {
    return specified;
  }
  AEDesc container;
  if (AEGetParamDesc(&record, keyAEContainer, typeWildCard, &container) != noErr ||
      container.descriptorType() != typeNull) {
    return specified;
  }
  const std::optional<std::uint32_t> want = CodeParam(record, keyAEDesiredClass);
  const std::optional<std::uint32_t> form = CodeParam(record, keyAEKeyForm);
  if (want == cProperty && form == formPropertyID) {
    specified.selection = CodeParam(record, keyAEKeyData) == pSelection;
  } else if (form == formName) {
    AEDesc seld;
    if (AEGetParamDesc(&record, keyAEKeyData, typeWildCard, &seld) == noErr &&
        seld.descriptorType() == typeUTF8) {
      std::string path(AEGetDescDataSize(&seld), '\0');
      AEGetDescData(&seld, path.data(), path.size());
      if (path.starts_with("/") && path.find('\0') == std::string::npos) specified.path = path;
    }
  }
  return specified;
}

// The item at `path` as a descriptor of `kind`; none when it cannot be made
// (a file reference or alias of an item that is gone).
std::optional<AEDesc> MakeItem(const std::string& path, DescType kind) {
  AEDesc item;
  if (kind == typeFSRef) {
    FSRef ref;
    if (FSPathMakeRef(path, &ref) != noErr) return std::nullopt;
    AECreateDesc(typeFSRef, &ref, sizeof ref, &item);
  } else if (kind == typeAlias) {
    std::string alias;
    if (FSNewAliasFromPath(path, &alias) != noErr) return std::nullopt;
    AECreateDesc(typeAlias, alias.data(), alias.size(), &item);
  } else {
    item = FinderItemSpecifier(path);
  }
  return item;
}

AEDescList MakeSelectionList(const std::vector<std::string>& paths, DescType kind) {
  AEDescList list;
  AECreateList(nullptr, 0, false, &list);
  for (const std::string& path : paths) {
    if (std::optional<AEDesc> item = MakeItem(path, kind)) AEPutDesc(&list, 0, &*item);
  }
  return list;
}

// The serving Finder's state.
struct Finder {
  std::vector<std::string> paths;
  DescType kind = typeObjectSpecifier;
  AEDescList list;  // `paths` as `kind`, made when they were set.
  std::optional<std::int32_t> failure;
  // The copied files the clipboard held when the selection was last set.
  std::optional<std::vector<std::string>> clipboardAtSelect;
};
Finder gFinder;

OSErr PutErrorNumber(AppleEvent* reply, std::int32_t number) {
  AEPutParamPtr(reply, keyErrorNumber, typeSInt32, &number, sizeof number);
  return static_cast<OSErr>(number);
}

OSErr MyGetDataHandler(const AppleEvent* event, AppleEvent* reply, SRefCon) {
  AEDesc object;
  if (AEGetParamDesc(event, keyDirectObject, typeWildCard, &object) != noErr) {
    return errAENoSuchObject;
  }
  const Specified specified = ReadSpecifier(object);
  if (specified.selection) {
    if (gFinder.failure) return PutErrorNumber(reply, *gFinder.failure);
    // Newly copied files become the selection, and stay it when the
    // clipboard is replaced by something else, such as a command's text.
    if (std::optional<std::vector<std::string>> copied = PasteboardCopiedFilePaths();
        copied && !copied->empty() && copied != gFinder.clipboardAtSelect) {
      gFinder.paths = *copied;
      gFinder.list = MakeSelectionList(gFinder.paths, gFinder.kind);
      gFinder.clipboardAtSelect = std::move(copied);
    }
    return AEPutParamDesc(reply, keyDirectObject, &gFinder.list);
  }
  if (!specified.path) return errAENoSuchObject;
  struct stat info {};
  if (lstat(specified.path->c_str(), &info) != 0) return errAENoSuchObject;
  DescType wanted = typeObjectSpecifier;
  AEGetParamPtr(event, keyAERequestedType, typeType, nullptr, &wanted, sizeof wanted, nullptr);
  if (wanted != typeObjectSpecifier && wanted != typeFSRef && wanted != typeAlias) {
    return errAECoercionFail;
  }
  const std::optional<AEDesc> item = MakeItem(*specified.path, wanted);
  if (!item) return errAENoSuchObject;
  return AEPutParamDesc(reply, keyDirectObject, &*item);
}

OSErr MySetDataHandler(const AppleEvent* event, AppleEvent*, SRefCon) {
  AEDesc object;
  if (AEGetParamDesc(event, keyDirectObject, typeWildCard, &object) != noErr ||
      !ReadSpecifier(object).selection) {
    return errAENoSuchObject;
  }
  std::int32_t failure = 0;
  if (AEGetParamPtr(event, keyFinderSelectionFailure, typeSInt32, nullptr, &failure,
                    sizeof failure, nullptr) == noErr) {
    gFinder.failure = failure;
    return noErr;
  }
  AEDescList data;
  if (AEGetParamDesc(event, keyAEData, typeAEList, &data) != noErr) return paramErr;
  DescType kind = typeObjectSpecifier;
  AEGetParamPtr(event, keyFinderSelectionKind, typeType, nullptr, &kind, sizeof kind, nullptr);
  if (kind != typeObjectSpecifier && kind != typeFSRef && kind != typeAlias) return paramErr;
  std::vector<std::string> paths;
  long count = 0;
  AECountItems(&data, &count);
  for (long i = 1; i <= count; ++i) {
    AEDesc alias;
    if (AEGetNthDesc(&data, i, typeAlias, nullptr, &alias) != noErr) return paramErr;
    std::string bytes(AEGetDescDataSize(&alias), '\0');
    AEGetDescData(&alias, bytes.data(), bytes.size());
    std::optional<std::string> path = FSCopyAliasPath(bytes);
    if (!path) return paramErr;
    paths.push_back(std::move(*path));
  }
  gFinder.failure.reset();
  gFinder.kind = kind;
  gFinder.paths = std::move(paths);
  gFinder.list = MakeSelectionList(gFinder.paths, kind);
  gFinder.clipboardAtSelect = PasteboardCopiedFilePaths();
  return noErr;
}

int gSignalPipe[2] = {-1, -1};

void MySignalHandler(int) {
  const int saved = errno;
  const char byte = 1;
  (void)!write(gSignalPipe[1], &byte, 1);
  errno = saved;
}

int SelectUsage(const std::string& message) {
  std::fprintf(stderr,
               "kestrine-finder: %s (usage: kestrine-finder select [--as obj|fsrf|alis] [PATH...] | "
               "kestrine-finder select --fail N)\n",
               message.c_str());
  return 2;
}

}  // namespace

void InstallFinderHandlers() {
  AEInstallEventHandler(kAECoreSuite, kAEGetData, MyGetDataHandler, nullptr, false);
  AEInstallEventHandler(kAECoreSuite, kAESetData, MySetDataHandler, nullptr, false);
  // Files copied before the Finder started count until the first 'setd'.
  gFinder.list = MakeSelectionList({}, gFinder.kind);
}

int FinderServe() {
  if (AEServerOpen() != noErr) {
    std::fprintf(stderr, "kestrine-finder: cannot serve events (see the line above)\n");
    return 1;
  }
  InstallFinderHandlers();
  const OSErr registered = RegisterProcess(kFinderCreatorType, kFinderFileType, "Finder", true);
  if (registered != noErr) {
    AEServerClose();
    if (registered == dupFNErr) {
      std::fprintf(stderr, "kestrine-finder: another Finder is already serving\n");
    } else {
      std::fprintf(stderr, "kestrine-finder: cannot register the Finder (%s)\n",
                   StatusWords(registered).c_str());
    }
    return 1;
  }
  if (pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  struct sigaction action {};
  action.sa_handler = MySignalHandler;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) {
    pollfd ready[2] = {{AEServerFileDescriptor(), POLLIN, 0}, {gSignalPipe[0], POLLIN, 0}};
    if (poll(ready, 2, -1) < 0 && errno != EINTR) break;
    if (ready[1].revents != 0) break;
    if (ready[0].revents != 0) AEServerDispatch();
  }
  UnregisterProcess();
  AEServerClose();
  return 0;
}

int FinderSelect(const std::vector<std::string>& args) {
  DescType kind = typeObjectSpecifier;
  std::optional<std::int32_t> failure;
  std::vector<std::string> paths;
  bool options = true;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options && arg == "--") {
      options = false;
    } else if (options && arg == "--as") {
      if (i + 1 >= args.size()) return SelectUsage("--as needs obj, fsrf or alis");
      const std::string& as = args[++i];
      if (as == "obj") {
        kind = typeObjectSpecifier;
      } else if (as == "fsrf") {
        kind = typeFSRef;
      } else if (as == "alis") {
        kind = typeAlias;
      } else {
        return SelectUsage("--as needs obj, fsrf or alis, not \"" + as + "\"");
      }
    } else if (options && arg == "--fail") {
      if (i + 1 >= args.size()) return SelectUsage("--fail needs an error number");
      const std::string& number = args[++i];
      char* end = nullptr;
      errno = 0;
      const long value = std::strtol(number.c_str(), &end, 10);
      if (number.empty() || *end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX) {
        return SelectUsage("--fail needs an error number, not \"" + number + "\"");
      }
      failure = static_cast<std::int32_t>(value);
    } else if (options && arg.starts_with("--")) {
      return SelectUsage("unknown option " + arg);
    } else {
      paths.push_back(arg);
    }
  }
  if (failure && !paths.empty()) return SelectUsage("--fail takes no PATH");

  OSErr status = noErr;
  if (failure) {
    status = FinderSetSelectionFailure(*failure);
  } else {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) std::strcpy(cwd, "/");
    std::vector<std::string> absolutes;
    for (const std::string& path : paths) {
      struct stat info {};
      if (path.empty() || lstat(path.c_str(), &info) != 0) {
        std::fprintf(stderr, "kestrine-finder: %s: no such file or folder\n", path.c_str());
        return 1;
      }
      std::string absolute = path.starts_with("/") ? path : std::string(cwd) + "/" + path;
      while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
      absolutes.push_back(std::move(absolute));
    }
    std::size_t unusable = paths.size();
    status = FinderSetSelection(absolutes, kind, kAEWaitReply, kAEDefaultTimeout, &unusable);
    if (unusable < paths.size()) {
      std::fprintf(stderr, "kestrine-finder: %s: cannot be selected\n", paths[unusable].c_str());
      return 1;
    }
  }
  if (status == procNotFound || status == connectionInvalid) {
    std::fputs("kestrine-finder: no Finder is running (start one with \"kestrine-finder serve\")\n",
               stderr);
    return 1;
  }
  if (status != noErr) {
    std::fprintf(stderr, "kestrine-finder: the Finder did not take the selection (%s)\n",
                 StatusWords(status).c_str());
    return 1;
  }
  return 0;
}
