#include "settings/clipboard_output.h"

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
