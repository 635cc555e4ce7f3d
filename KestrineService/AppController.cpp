#include "KestrineService/AppController.h"

#include <utility>

#include "KestrineService/service_commands.h"
#include "KestrineService/service_entries.h"
#include "engine/selection_text.h"
#include "platform/corefoundation/cf_string.h"
#include "platform/files/files.h"
#include "platform/log/nslog.h"

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

  const CopyOutcome outcome = RunCommand(
      *commandID, filenames->size(),
      [&](std::size_t position) {
        const std::string& filename = (*filenames)[position - 1];
        std::string problem;
        SelectionItem item = ItemForFilename(filename, problems != nullptr ? &problem : nullptr);
        if (!item && problems != nullptr) problems->push_back({filename, std::move(problem)});
        return item;
      },
      problems != nullptr);
  // Memory ran out: the clipboard is emptied, as for a command without text.
  if (outcome.outOfMemory) return ServiceOutcome::kOutOfMemory;
  switch (outcome.result) {
    case CopyResult::kCopied:
      return ServiceOutcome::kCopied;
    case CopyResult::kNothingUsable:
      return ServiceOutcome::kNoItems;
    case CopyResult::kClipboardFailed:
      return ServiceOutcome::kClipboardFailed;
    case CopyResult::kWriteFailed:
      break;
  }
  return ServiceOutcome::kClipboardWriteFailed;
}
