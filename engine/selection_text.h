// The text of a command over several selected items, the same for every
// front-end.
#pragma once

#include <cstdint>
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
