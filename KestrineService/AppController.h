// The Services provider: turns one request (a command's user-data string and
// a list of file names) into the clipboard text of those items.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KestrineService/service_entries.h"

// The type under which a requester hands over file names.
inline constexpr std::string_view NSFilenamesPboardType = "NSFilenamesPboardType";

// What the requesting application hands over: a file-name list, or none
// when it offers none.
class NSPasteboard final {
 public:
  explicit NSPasteboard(std::optional<std::vector<std::string>> filenames)
      : filenames_(std::move(filenames)) {}

  // The file-name list for NSFilenamesPboardType; none for any other type or
  // when the requester put none.
  std::optional<std::vector<std::string>> propertyListForType(std::string_view type) const;

 private:
  std::optional<std::vector<std::string>> filenames_;
};

// How a request ended, for the program's exit status; the requester itself
// is told nothing.
enum class ServiceOutcome {
  kCopied,                // The clipboard now holds the text, or is empty.
  kNoFileNames,           // No file-name list: the clipboard is unchanged.
  kUnknownCommand,        // The user-data string names no command: unchanged.
  kClipboardFailed,       // The clipboard could not be opened: unchanged.
  kClipboardWriteFailed,  // The text could not be written: unchanged.
  kOutOfMemory,           // Memory ran out for the text: the clipboard is empty.
  kNoItems,               // Asked to refuse, no file name gave an item: unchanged.
};

// A file name that gives no item (it then adds nothing but keeps its place),
// with why: "not a valid UTF-8 name", "no such file or folder" and the like.
struct FilenameProblem {
  std::string filename;
  std::string problem;
};

class AppController final {
 public:
  // Registers this controller as the services provider: installs or refreshes
  // the service entries of the user's installed file managers for
  // `executable`, leaving out those that load Kestrine's extension module
  // from where this build installs it (see NSUpdateDynamicServices).
  ServiceEntriesReport applicationWillFinishLaunching(const std::string& executable);

  // Handles one request: logs "Copy All Paths", reads the file names, clears
  // the clipboard, joins the items' renderings and writes the text (the
  // clear and the write change the clipboard together, so a failed write
  // leaves the old content). `error` is never set.
  // With `problems`, every file name that gives no item is appended to it,
  // and a request whose file names all give none ends with kNoItems before
  // the clipboard is touched; without it, such a request empties the
  // clipboard.
  ServiceOutcome handleMenuSelection(const NSPasteboard& pboard, std::string_view userData,
                                     std::string* error,
                                     std::vector<FilenameProblem>* problems = nullptr);
};
