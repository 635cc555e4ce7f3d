// The one way every command writes the clipboard: open it, clear it before
// any text is rendered, then write the finished text as its one UTF-8 item.
// The clear is committed together with the write, so the old content stays
// until the new text is in place, and stays for good when the write fails.
#pragma once

#include <string_view>

#include "platform/pasteboard/pasteboard.h"

// Opens the general clipboard and clears it (the clear is pending until
// WriteClipboardText, or the release of the pasteboard, commits it).
// Returns null when the clipboard cannot be opened; the clipboard then keeps
// its old content.
PasteboardRef OpenAndClearClipboard();

// Writes `text` as the clipboard's one item ("public.utf8-plain-text", item
// 1, no flags); an empty text writes nothing and the clipboard is left
// empty. Returns noErr, or the failure status of the write, after which the
// clipboard keeps its old content (the failure has been logged).
OSStatus WriteClipboardText(Pasteboard& clipboard, std::string_view text);

// For a program run from a command line, after it changed the clipboard:
// when there is no display, so that the clipboard is the per-user file,
// writes "<program>: no display: the clipboard is the file <path>" on its
// own line to standard error, so that a user over ssh knows where the text
// went. Writes nothing when there is a display.
void NoteClipboardFile(std::string_view program);
