// The one way every command writes the clipboard: open it, clear it before
// any text is rendered, then write the finished text as its one UTF-8 item.
#pragma once

#include <string_view>

#include "platform/pasteboard/pasteboard.h"

// Opens the general clipboard and clears it. Returns null when the clipboard
// cannot be opened; the clipboard then keeps its old content.
PasteboardRef OpenAndClearClipboard();

// Writes `text` as the clipboard's one item ("public.utf8-plain-text", item
// 1, no flags). An empty text writes nothing and the clipboard stays empty.
// The write's status is ignored.
void WriteClipboardText(Pasteboard& clipboard, std::string_view text);
