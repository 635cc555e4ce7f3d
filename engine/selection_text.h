// The text of a command over several selected items, the same for every
// front-end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/files/files.h"

// One selected entry: a file reference, or none when the entry could not be
// turned into one. An unusable entry still takes its position.
using SelectionItem = std::optional<FSRef>;

// Joins the renderings of `items` for `commandID`: single renderings are
// joined by the item separator (`MultipathSeparator`, read once), the blocks
// of "Copy All" (10) and "Copy Folder Paths" (11) by "\n\n". A separator goes
// before every text whose position is above 1, even when nothing came before
// it; none follows the last text. Entries that yield nothing add nothing,
// also when memory runs out while one item's block or rendering is made.
// None when memory runs out for the text itself: the command has no text.
std::optional<std::string> JoinSelectionText(const std::vector<SelectionItem>& items,
                                             std::int32_t commandID);

// The "Copy All" text of one item: every form enabled by its key (read with
// its default on, `IncludeUNCWindowsStyle` included), in form order, joined by
// the item separator. A form that renders nothing stays as an empty piece,
// except the extension, which is left out. None only when memory runs out.
std::optional<std::string> GetAllClipboardStrings(const FSRef& ref);

// How a copy command ended.
enum class CopyResult {
  kCopied,           // The clipboard holds the text, or is empty when none rendered.
  kNothingUsable,    // Refused: no entry gave an item; the clipboard is unchanged.
  kClipboardFailed,  // The clipboard could not be opened; unchanged.
  kWriteFailed,      // The text could not be written; unchanged.
};
struct CopyOutcome {
  CopyResult result = CopyResult::kCopied;
  // Memory ran out for the text, so an empty one was written.
  bool outOfMemory = false;
};

// Runs copy command `commandID` over `count` selected entries, looking up
// entry p (from 1) with `itemAt(p)`, then writes their joined text to the
// clipboard (emptied when none renders). Everything the command learns of
// the file system, lookups included, is taken once (ScopedFileSystemSnapshot).
// With `refuseWhenNoneUsable`, entries none of which gives an item leave the
// clipboard as it was.
CopyOutcome RunCommand(std::int32_t commandID, std::size_t count,
                       const std::function<SelectionItem(std::size_t position)>& itemAt,
                       bool refuseWhenNoneUsable);
