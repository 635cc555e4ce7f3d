#include "KestrineService/AppController.h"

#include <utility>

#include "KestrineService/service_commands.h"
#include "KestrineService/service_entries.h"
#include "engine/path_forms.h"
#include "engine/selection_text.h"
#include "platform/corefoundation/cf_string.h"
#include "platform/files/files.h"
#include "platform/log/nslog.h"
#include "clipboard/clipboard_output.h"

namespace {

// The item `filename` names, or none, with the reason in `*problem` when
// asked for.
SelectionItem ItemForFilename(const std::string& filename, std::string* problem = nullptr) {
  if (!IsValidUTF8(filename)) {
    if (problem != nullptr) *problem = "not a valid UTF-8 name";
    return std::nullopt;
  }
  FSRef ref{};
  if (const OSErr status = FSPathMakeRef(filename, &ref); status != noErr) {
    if (problem != nullptr) *problem = FSPathMakeRefProblem(status);
    return std::nullopt;
  }
  return ref;
}

}  // namespace

std::optional<std::vector<std::string>> NSPasteboard::propertyListForType(
    std::string_view type) const {
  if (type != NSFilenamesPboardType) return std::nullopt;
  return filenames_;
}

ServiceEntriesReport AppController::applicationWillFinishLaunching(const std::string& executable) {
  return NSUpdateDynamicServices(executable, {
                                                 {FileManager::kNautilus, KESTRINE_NAUTILUS_MODULE},
                                                 {FileManager::kCaja, KESTRINE_CAJA_MODULE},
                                                 {FileManager::kNemo, KESTRINE_NEMO_MODULE},
                                                 {FileManager::kThunar, KESTRINE_THUNAR_MODULE},
                                                 {FileManager::kDolphin, KESTRINE_DOLPHIN_MODULE},
                                             });
}

ServiceOutcome AppController::handleMenuSelection(const NSPasteboard& pboard,
                                                  std::string_view userData,
                                                  std::string* /*error*/,
                                                  std::vector<FilenameProblem>* problems) {
  NSLog("Copy All Paths");
  const std::optional<std::vector<std::string>> filenames =
      pboard.propertyListForType(NSFilenamesPboardType);
  if (!filenames) return ServiceOutcome::kNoFileNames;
  // A request for no known command leaves the clipboard as it was.
  const std::optional<std::int32_t> commandID = CommandIDForUserData(userData);
  if (!commandID) return ServiceOutcome::kUnknownCommand;

  // The request sees the file system as it finds it: folders resolved once,
  // items looked up once.
  const ScopedFileSystemSnapshot snapshot;
  std::vector<SelectionItem> items;
  items.reserve(filenames->size());
  bool anyItem = false;
  for (const std::string& filename : *filenames) {
    std::string problem;
    items.push_back(ItemForFilename(filename, problems != nullptr ? &problem : nullptr));
    if (items.back()) {
      anyItem = true;
    } else if (problems != nullptr) {
      problems->push_back({filename, std::move(problem)});
    }
  }
  if (problems != nullptr && !anyItem && !items.empty()) return ServiceOutcome::kNoItems;

  PasteboardRef clipboard = OpenAndClearClipboard();
  if (!clipboard) return ServiceOutcome::kClipboardFailed;
  const std::optional<std::string> text = JoinSelectionText(items, *commandID);
  if (!text) {
    // Memory ran out: the clipboard is emptied, as for a command without text.
    WriteClipboardText(*clipboard, std::string_view());
    return ServiceOutcome::kOutOfMemory;
  }
  if (WriteClipboardText(*clipboard, *text) != noErr) {
    return ServiceOutcome::kClipboardWriteFailed;
  }
  return ServiceOutcome::kCopied;
}
