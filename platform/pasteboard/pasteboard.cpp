#include "platform/pasteboard/pasteboard.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "platform/corefoundation/cf_string.h"
#include "platform/log/nslog.h"
#include "platform/memory_guard.h"
#include "platform/pasteboard/helper_process.h"
#include "platform/posix/posix.h"
#include "platform/runtime/runtime_folder.h"

namespace kestrine_pasteboard {
namespace {

constexpr char kClipboardFileName[] = "clipboard";

const char* Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

std::string ClipboardFolderPath() { return KestrineRuntimeFolderPath(); }

// The clipboard as a file in a folder private to this user.
class FileStore final : public PasteboardStore {
 public:
  FileStore(int folder, std::string folder_path)
      : folder_(folder), file_path_(std::move(folder_path) + "/" + kClipboardFileName) {}

  OSStatus Empty() override {
    if (unlinkat(folder_.get(), kClipboardFileName, 0) != 0 && errno != ENOENT) {
      const int error = errno;
      NSLog("Cannot empty the clipboard file %s: %s", file_path_.c_str(), strerror(error));
      return StatusFromErrno(error);
    }
    return noErr;
  }

  OSStatus Replace(std::string_view data) override {
    // A file-size limit must fail the write, not end the process.
    const ScopedSignalBlock no_sigxfsz(SIGXFSZ);
    const int error = WriteAside(data);
    if (error != 0) {
      NSLog("Cannot write the clipboard file %s: %s", file_path_.c_str(), strerror(error));
      return StatusFromErrno(error);
    }
    return noErr;
  }

 private:
  // Writes `data` to a new file beside the clipboard file and renames it
  // over that file. Returns 0 or an errno value; on failure the clipboard
  // file is as it was and the new file is gone.
  int WriteAside(std::string_view data) {
    static std::atomic<unsigned> counter{0};
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
      temporary = ".clipboard-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
      fd = openat(folder_.get(), temporary.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
      if (fd < 0 && errno != EEXIST) return errno;
    }
    if (fd < 0) return EEXIST;
    kestrine_posix::FileDescriptor file(fd);
    int error = kestrine_posix::WriteAll(file.get(), data);
    const int close_error = file.Close();
    if (error == 0) error = close_error;
    if (error == 0 && renameat(folder_.get(), temporary.c_str(), folder_.get(),
                               kClipboardFileName) != 0) {
      error = errno;
    }
    if (error != 0) unlinkat(folder_.get(), temporary.c_str(), 0);
    return error;
  }

  kestrine_posix::FileDescriptor folder_;
  std::string file_path_;
};


// How one helper program writes and empties the clipboard.
struct HelperCommands {
  std::string program;  // Its path, found on PATH.
  std::vector<std::string> put;
  // Empty when the clipboard is emptied by putting an empty text.
  std::vector<std::string> clear;
};

// The clipboard of a display session, written by a helper program.
class HelperStore final : public PasteboardStore {
 public:
  explicit HelperStore(HelperCommands commands) : commands_(std::move(commands)) {}

  OSStatus Empty() override {
    return RunHelper(commands_.program, commands_.clear.empty() ? commands_.put : commands_.clear,
                     {});
  }

  OSStatus Replace(std::string_view data) override {
    return RunHelper(commands_.program, commands_.put, data);
  }

 private:
  HelperCommands commands_;
};

// The helper for the session in the environment, or none when the session
// has no display.
std::optional<HelperCommands> SessionHelper(OSStatus* status) {
  *status = noErr;
  if (Environment("WAYLAND_DISPLAY") != nullptr) {
    std::optional<std::string> wl_copy = FindProgramOnPath("wl-copy");
    if (!wl_copy) {
      NSLog("Cannot open the clipboard: wl-copy was not found on PATH");
      *status = notPasteboardOwnerErr;
      return std::nullopt;
    }
    return HelperCommands{*wl_copy,
                          {"wl-copy", "--type", "text/plain;charset=utf-8"},
                          {"wl-copy", "--clear"}};
  }
  if (Environment("DISPLAY") != nullptr) {
    if (std::optional<std::string> xclip = FindProgramOnPath("xclip")) {
      return HelperCommands{
          *xclip, {"xclip", "-selection", "clipboard", "-t", "UTF8_STRING", "-i"}, {}};
    }
    if (std::optional<std::string> xsel = FindProgramOnPath("xsel")) {
      return HelperCommands{
          *xsel, {"xsel", "--clipboard", "--input"}, {"xsel", "--clipboard", "--clear"}};
    }
    NSLog("Cannot open the clipboard: neither xclip nor xsel was found on PATH");
    *status = notPasteboardOwnerErr;
  }
  return std::nullopt;
}

}  // namespace
}  // namespace kestrine_pasteboard

Pasteboard::~Pasteboard() {
  // Out of memory, the clear is lost; the old content stays.
  RanWithMemory([&] {
    Synchronize();
  });
}

OSStatus Pasteboard::Clear() {
  clear_pending_ = true;
  return noErr;
}

OSStatus Pasteboard::PutItemFlavor(PasteboardItemID, std::string_view flavor,
                                   std::string_view data, PasteboardFlavorFlags) {
  clear_pending_ = false;
  if (flavor != kUTF8PlainTextFlavor) return badPasteboardFlavorErr;
  return store_->Replace(data);
}

OSStatus Pasteboard::Synchronize() {
  if (!std::exchange(clear_pending_, false)) return noErr;
  return store_->Empty();
}

OSStatus PasteboardCreate(std::string_view name, PasteboardRef* pasteboard) {
  using namespace kestrine_pasteboard;
  if (pasteboard == nullptr) return paramErr;
  pasteboard->reset();
  if (name != kPasteboardClipboard) return paramErr;
  return GuardMemory(OSStatus{memFullErr}, [&]() -> OSStatus {
    OSStatus status = noErr;
    if (std::optional<HelperCommands> helper = SessionHelper(&status)) {
      *pasteboard = std::make_unique<Pasteboard>(std::make_unique<HelperStore>(std::move(*helper)));
      return noErr;
    }
    if (status != noErr) return status;
    const std::string folder_path = ClipboardFolderPath();
    int folder = -1;
    // The private runtime folder, made when missing; a folder that is a
    // link, belongs to another user or that others may enter is refused.
    status = OpenKestrineRuntimeFolder(&folder);
    if (status != noErr) return status;
    *pasteboard = std::make_unique<Pasteboard>(std::make_unique<FileStore>(folder, folder_path));
    return noErr;
  });
}

OSStatus PasteboardClear(Pasteboard& pasteboard) { return pasteboard.Clear(); }

OSStatus PasteboardPutItemFlavor(Pasteboard& pasteboard, PasteboardItemID item,
                                 std::string_view flavor, std::string_view data,
                                 PasteboardFlavorFlags flags) {
  return GuardMemory(OSStatus{memFullErr}, [&]() -> OSStatus {
    return pasteboard.PutItemFlavor(item, flavor, data, flags);
  });
}

OSStatus PasteboardSynchronize(Pasteboard& pasteboard) {
  return GuardMemory(OSStatus{memFullErr}, [&]() -> OSStatus {
    return pasteboard.Synchronize();
  });
}

std::string PasteboardFilePath() {
  return kestrine_pasteboard::ClipboardFolderPath() + "/" +
         kestrine_pasteboard::kClipboardFileName;
}

bool PasteboardIsFile() {
  using kestrine_pasteboard::Environment;
  return Environment("WAYLAND_DISPLAY") == nullptr && Environment("DISPLAY") == nullptr;
}

std::optional<std::vector<std::string>> PasteboardCopiedFilePaths() {
  // Which program reads which type; the list command prints the clipboard's
  // types, one a line.
  struct Reader {
    std::string program;
    std::vector<std::string> listTypes;
    std::vector<std::string> readType;  // The type is appended.
  };
  using kestrine_pasteboard::Environment;
  using kestrine_pasteboard::FindProgramOnPath;
  using kestrine_pasteboard::RunHelperForOutput;
  constexpr std::chrono::milliseconds kClipboardReadLimit{1000};
  constexpr std::size_t kClipboardMaxBytes = std::size_t{16} << 20;
  std::optional<Reader> reader;
  if (Environment("WAYLAND_DISPLAY") != nullptr) {
    if (std::optional<std::string> program = FindProgramOnPath("wl-paste")) {
      reader = Reader{*program, {"wl-paste", "--list-types"}, {"wl-paste", "--no-newline", "--type"}};
    }
  } else if (Environment("DISPLAY") != nullptr) {
    if (std::optional<std::string> program = FindProgramOnPath("xclip")) {
      reader = Reader{*program,
                      {"xclip", "-selection", "clipboard", "-t", "TARGETS", "-o"},
                      {"xclip", "-selection", "clipboard", "-o", "-t"}};
    } else if (std::optional<std::string> xsel = FindProgramOnPath("xsel")) {
      // xsel reads text only: a text that is nothing but file URIs counts.
      std::string text;
      if (RunHelperForOutput(*xsel, {"xsel", "--clipboard", "--output"}, kClipboardReadLimit,
                             kClipboardMaxBytes, &text) != noErr) {
        return std::nullopt;
      }
      std::vector<std::string> paths = FileURIListPaths(text);
      std::size_t lines = 0;
      for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        if (text.find_first_not_of(" \r\t", start) < end) ++lines;
        start = end + 1;
      }
      if (paths.size() != lines) paths.clear();
      return paths;
    }
  }
  if (!reader) return std::nullopt;
  std::string types;
  if (RunHelperForOutput(reader->program, reader->listTypes, kClipboardReadLimit,
                         kClipboardMaxBytes, &types) != noErr) {
    return std::vector<std::string>{};
  }
  std::string chosen;
  for (const char* type : {"x-special/gnome-copied-files", "text/uri-list"}) {
    if (chosen.empty() && ("\n" + types + "\n").find(std::string("\n") + type + "\n") !=
                              std::string::npos) {
      chosen = type;
    }
  }
  if (chosen.empty()) return std::vector<std::string>{};
  std::vector<std::string> argv = reader->readType;
  argv.push_back(chosen);
  std::string text;
  if (RunHelperForOutput(reader->program, argv, kClipboardReadLimit, kClipboardMaxBytes, &text) !=
      noErr) {
    return std::vector<std::string>{};
  }
  return FileURIListPaths(text);
}

std::vector<std::string> FileURIListPaths(const std::string& text) {
  std::vector<std::string> paths;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view rest;
    if (line.starts_with("file:///")) {
      rest = line.substr(7);
    } else if (line.starts_with("file://localhost/")) {
      rest = line.substr(16);
    } else {
      continue;
    }
    if (rest.find_first_of("?#") != std::string_view::npos) continue;
    std::string path;
    bool valid = true;
    for (std::size_t i = 0; i < rest.size() && valid; ++i) {
      if (rest[i] != '%') {
        path += rest[i];
        continue;
      }
      const int high = i + 2 < rest.size() ? HexDigitValue(rest[i + 1]) : -1;
      const int low = high >= 0 ? HexDigitValue(rest[i + 2]) : -1;
      valid = low >= 0 && (high != 0 || low != 0);
      path += static_cast<char>(high * 16 + low);
      i += 2;
    }
    if (valid) paths.push_back(std::move(path));
  }
  return paths;
}

