#include "engine/selection_text.h"

#include <new>
#include <string_view>
#include <utility>

#include "clipboard/clipboard_output.h"
#include "engine/folder_paths.h"
#include "engine/path_forms.h"
#include "platform/memory_guard.h"
#include "settings/settings.h"

namespace {

constexpr std::string_view kBlockSeparator = "\n\n";

}  // namespace

std::optional<std::string> GetAllClipboardStrings(const FSRef& ref) {
  return GuardMemory(std::optional<std::string>(), [&]() -> std::optional<std::string> {
    const ScopedLabelSetting labels;
    const std::string separator = MultipathSeparator();
    std::string text;
    bool first = true;
    char buffer[kCompositeRenderBufferSize];
    for (const SingleForm& form : kSingleForms) {
      if (!IncludeMenuItem(form.enablingKey, kCommandSwitchDefault)) continue;
      get_clipboard_data(ref, buffer, sizeof buffer, form.commandID);
      if (form.commandID == kCopyExtension && buffer[0] == '\0') continue;
      if (!first) text += separator;
      text += buffer;
      first = false;
    }
    return text;
  });
}

namespace {

// The block of "Copy All" or "Copy Folder Paths" for one item; none when it
// yields nothing or memory runs out while it is made.
std::optional<std::string> BlockFor(const FSRef& ref, std::int32_t commandID) {
  if (commandID == kCopyAll) return GetAllClipboardStrings(ref);
  return GuardMemory(std::optional<std::string>(), [&]() -> std::optional<std::string> {
    // The collect pass replays the folders the count pass read.
    const ScopedFileSystemSnapshot listings;
    IterateCountFolders(ref);
    IterateCollectFolders(ref);
    return GetFolderPathsClipboardStrings();
  });
}

}  // namespace

std::optional<std::string> JoinSelectionText(const std::vector<SelectionItem>& items,
                                             std::int32_t commandID) {
  return GuardMemory(std::optional<std::string>(), [&]() -> std::optional<std::string> {
    const ScopedLabelSetting labels;
    const std::string separator = MultipathSeparator();
    std::string text;
    char buffer[kRenderBufferSize];
    for (std::size_t index = 0; index < items.size(); ++index) {
      const bool first = index == 0;
      if (!items[index]) continue;
      const FSRef& ref = *items[index];
      if (commandID == kCopyAll || commandID == kCopyFolderPaths) {
        std::optional<std::string> block = BlockFor(ref, commandID);
        if (!block) continue;
        if (!first) text += kBlockSeparator;
        // A folder's block may be large: taken over, not copied, when it
        // comes first.
        if (text.empty()) {
          text = std::move(*block);
        } else {
          text += *block;
        }
      } else {
        if (get_clipboard_data(ref, buffer, sizeof buffer, commandID) < 1) continue;
        if (!first) text += separator;
        text += buffer;
      }
    }
    return text;
  });
}

CopyOutcome RunCommand(std::int32_t commandID, std::size_t count,
                       const std::function<SelectionItem(std::size_t position)>& itemAt,
                       bool refuseWhenNoneUsable) {
  // The command sees the file system as it finds it: each folder of the
  // selection resolved once, each item looked up once.
  const ScopedFileSystemSnapshot snapshot;
  std::vector<SelectionItem> items;
  items.reserve(count);
  bool anyUsable = false;
  for (std::size_t position = 1; position <= count; ++position) {
    items.push_back(itemAt(position));
    anyUsable = anyUsable || items.back().has_value();
  }
  if (refuseWhenNoneUsable && !anyUsable && count > 0) return {CopyResult::kNothingUsable};
  // The clear stays pending until the write, so opening the clipboard after
  // the items were looked up changes nothing the user sees.
  PasteboardRef clipboard = OpenAndClearClipboard();
  if (!clipboard) return {CopyResult::kClipboardFailed};
  // Without a text (memory ran out) the clipboard is emptied.
  const std::optional<std::string> text = JoinSelectionText(items, commandID);
  const OSStatus written = WriteClipboardText(*clipboard, text ? std::string_view(*text) : std::string_view());
  return {written == noErr ? CopyResult::kCopied : CopyResult::kWriteFailed, !text};
}
