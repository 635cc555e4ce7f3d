#include "clipboard/clipboard_output.h"

#include <cstdio>
#include <string>

PasteboardRef OpenAndClearClipboard() {
  PasteboardRef clipboard;
  if (PasteboardCreate(kPasteboardClipboard, &clipboard) != noErr || !clipboard) return nullptr;
  PasteboardClear(*clipboard);
  return clipboard;
}

OSStatus WriteClipboardText(Pasteboard& clipboard, std::string_view text) {
  if (text.empty()) return PasteboardSynchronize(clipboard);
  return PasteboardPutItemFlavor(clipboard, 1, kUTF8PlainTextFlavor, text,
                                 kPasteboardFlavorNoFlags);
}

void NoteClipboardFile(std::string_view program) {
  if (!PasteboardIsFile()) return;
  std::fprintf(stderr, "%.*s: no display: the clipboard is the file %s\n",
               static_cast<int>(program.size()), program.data(), PasteboardFilePath().c_str());
}
