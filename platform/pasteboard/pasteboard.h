// The desktop's clipboard, reached as a named pasteboard.
//
// The general clipboard (kPasteboardClipboard) is, in this order of choice:
// - under Wayland (WAYLAND_DISPLAY set): the Wayland clipboard, written with
//   wl-copy;
// - under X11 (DISPLAY set): the CLIPBOARD selection, written with xclip or,
//   without it, xsel, offered as UTF-8 text;
// - otherwise a per-user file, $XDG_RUNTIME_DIR/kestrine/clipboard (without
//   XDG_RUNTIME_DIR, /tmp/kestrine-<uid>/clipboard; the folder has mode
//   0700), holding exactly the item's bytes, absent while the clipboard is
//   empty, and replaced atomically.
// The helper programs keep running to serve the selection; they are started
// in their own session with their output on /dev/null and the text on their
// standard input, and are waited on only until they have taken the text and
// gone to the background (at most a few seconds; one that stays in the
// foreground is left running and counts as success).
//
// A pasteboard is not shared between threads; separate pasteboards may be
// used from separate threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/MacTypes.h"

inline constexpr std::string_view kPasteboardClipboard = "com.apple.pasteboard.clipboard";
inline constexpr std::string_view kUTF8PlainTextFlavor = "public.utf8-plain-text";

using PasteboardItemID = std::uintptr_t;
using PasteboardFlavorFlags = std::uint32_t;
constexpr PasteboardFlavorFlags kPasteboardFlavorNoFlags = 0;

constexpr OSStatus badPasteboardSyncErr = -25130;
constexpr OSStatus badPasteboardFlavorErr = -25133;
constexpr OSStatus notPasteboardOwnerErr = -25135;

class Pasteboard;
using PasteboardRef = std::unique_ptr<Pasteboard>;

class Pasteboard {
 public:
  virtual ~Pasteboard() = default;
  // Empties the clipboard. Returns noErr or a failure status (after logging
  // one line when a helper program failed).
  virtual OSStatus Clear() = 0;
  // Makes `data` the clipboard's one item in `flavor`; `item` and `flags`
  // are not used. Empty data makes an empty item (an empty file). Returns
  // noErr, or badPasteboardFlavorErr for a flavor other than
  // kUTF8PlainTextFlavor, or a failure status when the text could not be
  // handed over (after logging one line when a helper program failed).
  virtual OSStatus PutItemFlavor(PasteboardItemID item, std::string_view flavor,
                                 std::string_view data, PasteboardFlavorFlags flags) = 0;
};

// Opens the pasteboard named `name`; only kPasteboardClipboard exists. The
// kind of clipboard is chosen from the environment at this call. Fails and
// leaves `pasteboard` null: paramErr for another name; notPasteboardOwnerErr
// when the helper program the session needs is not on PATH, after logging
// one line naming it; for the file, when its folder cannot be made or opened
// (the errno status) or is a link, belongs to another user or may be entered
// by others (afpAccessDenied), after logging one line naming the folder.
OSStatus PasteboardCreate(std::string_view name, PasteboardRef* pasteboard);

// Empties the pasteboard.
OSStatus PasteboardClear(Pasteboard& pasteboard);

// Writes one item flavor; see Pasteboard::PutItemFlavor.
OSStatus PasteboardPutItemFlavor(Pasteboard& pasteboard, PasteboardItemID item,
                                 std::string_view flavor, std::string_view data,
                                 PasteboardFlavorFlags flags);

// The file that stands in for the clipboard when no display is available,
// from the environment at call time.
std::string PasteboardFilePath();
