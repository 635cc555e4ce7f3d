// The desktop's clipboard, reached as a named pasteboard.
//
// The general clipboard (kPasteboardClipboard) is, in this order of choice:
// - under Wayland (WAYLAND_DISPLAY set): the Wayland clipboard, written with
//   wl-copy;
// - under X11 (DISPLAY set): the CLIPBOARD selection, written with xclip or,
//   without it, xsel, offered as UTF-8 text;
// - otherwise a per-user file, "clipboard" in the private runtime folder
//   (runtime_folder.h: $XDG_RUNTIME_DIR/kestrine, else
//   ~/.cache/kestrine/run), holding exactly the item's bytes and absent
//   while the clipboard is empty. A new text is written beside it and
//   renamed over it, so the file holds the old text or the new one, whole,
//   and nothing else.
//
// Changes are made as one transaction per opened pasteboard, so that a
// command that fails never costs the user the old content:
// - PasteboardClear only marks the clipboard to be emptied; the old content
//   stays until the change is committed.
// - PasteboardPutItemFlavor commits at once: the new item replaces the old
//   content in one step. When it fails, the old content stays and the
//   pending clear is dropped.
// - PasteboardSynchronize commits a pending clear: the clipboard is emptied.
// - Releasing a pasteboard with a clear still pending commits it the same
//   way; a failure then is only logged.
// A clear followed by a put thus never shows an empty clipboard in between.
//
// The helper programs keep running to serve the selection. They are started
// in their own session with their output on /dev/null and the text on their
// standard input; a write counts as done once the helper has read all of the
// text and its foreground process has exited with status 0 (wl-copy, xclip
// and xsel then serve the text from a background process). One that fails,
// or has not done so within a few seconds, is killed and fails the write.
//
// A pasteboard is not shared between threads; separate pasteboards may be
// used from separate threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/MacTypes.h"

inline constexpr std::string_view kPasteboardClipboard = "com.apple.pasteboard.clipboard";
inline constexpr std::string_view kUTF8PlainTextFlavor = "public.utf8-plain-text";

using PasteboardItemID = std::uintptr_t;
using PasteboardFlavorFlags = std::uint32_t;
constexpr PasteboardFlavorFlags kPasteboardFlavorNoFlags = 0;

constexpr OSStatus badPasteboardSyncErr = -25130;
constexpr OSStatus badPasteboardFlavorErr = -25133;
constexpr OSStatus notPasteboardOwnerErr = -25135;

// Where a pasteboard's committed changes go: the desktop's clipboard, or a
// test's double.
class PasteboardStore {
 public:
  virtual ~PasteboardStore() = default;
  // Empties the clipboard now. Returns noErr, or a failure status after
  // logging one line; the old content then stays.
  virtual OSStatus Empty() = 0;
  // Makes `data` the clipboard's one item now, in place of the old content
  // in one step. Returns noErr, or a failure status after logging one line;
  // the old content then stays.
  virtual OSStatus Replace(std::string_view data) = 0;
};

// One opened pasteboard: a store and the change not yet committed to it.
class Pasteboard final {
 public:
  explicit Pasteboard(std::unique_ptr<PasteboardStore> store) : store_(std::move(store)) {}
  // Commits a pending clear; a failure is logged by the store.
  ~Pasteboard();
  Pasteboard(const Pasteboard&) = delete;
  Pasteboard& operator=(const Pasteboard&) = delete;

  // Marks the clipboard to be emptied at the next commit. Returns noErr.
  OSStatus Clear();
  // Makes `data` the clipboard's one item in `flavor` at once; `item` and
  // `flags` are not used. Empty data makes an empty item (an empty file).
  // Returns noErr; badPasteboardFlavorErr for a flavor other than
  // kUTF8PlainTextFlavor; or the store's failure status. On any failure the
  // old content stays. Either way no clear is pending afterwards.
  OSStatus PutItemFlavor(PasteboardItemID item, std::string_view flavor, std::string_view data,
                         PasteboardFlavorFlags flags);
  // Commits a pending clear. Returns noErr when none is pending or the
  // clipboard was emptied; otherwise the store's failure status, and the
  // old content stays (the clear is no longer pending).
  OSStatus Synchronize();

 private:
  std::unique_ptr<PasteboardStore> store_;
  bool clear_pending_ = false;
};

using PasteboardRef = std::unique_ptr<Pasteboard>;

// Opens the pasteboard named `name`; only kPasteboardClipboard exists. The
// kind of clipboard is chosen from the environment at this call; nothing is
// changed yet. Fails and leaves `pasteboard` null: paramErr for another
// name; notPasteboardOwnerErr when the helper program the session needs is
// not on PATH, after logging one line naming it; for the file, when its
// folder cannot be made or opened (the errno status) or is a link, belongs
// to another user or may be entered by others (afpAccessDenied), after
// logging one line naming the folder.
OSStatus PasteboardCreate(std::string_view name, PasteboardRef* pasteboard);

// Marks the pasteboard to be emptied; see Pasteboard::Clear.
OSStatus PasteboardClear(Pasteboard& pasteboard);

// Writes one item flavor; see Pasteboard::PutItemFlavor.
OSStatus PasteboardPutItemFlavor(Pasteboard& pasteboard, PasteboardItemID item,
                                 std::string_view flavor, std::string_view data,
                                 PasteboardFlavorFlags flags);

// Commits a pending clear; see Pasteboard::Synchronize. (Unlike the
// platform's call of this name, it returns a status, not change flags.)
OSStatus PasteboardSynchronize(Pasteboard& pasteboard);

// The file that stands in for the clipboard when no display is available,
// from the environment at call time.
std::string PasteboardFilePath();

// Whether the general clipboard is that file: the environment at call time
// names no display (WAYLAND_DISPLAY and DISPLAY unset or empty).
bool PasteboardIsFile();

// The files last copied in the desktop's file manager, read now from the
// clipboard's x-special/gnome-copied-files or else text/uri-list
// (FileURIListPaths): with wl-paste under Wayland, xclip or else xsel under
// X11 (xsel reads text only: a text that is nothing but file URIs counts),
// each read limited to one second and 16 MiB. None without a display or a
// reader program, or when xsel fails; an empty list when the clipboard holds
// no files or cannot be read.
std::optional<std::vector<std::string>> PasteboardCopiedFilePaths();

// The absolute paths of the `file://` URIs in a text/uri-list or
// x-special/gnome-copied-files text, percent-decoded, in order. Other URIs,
// comments and the gnome list's leading "copy" or "cut" are left out.
std::vector<std::string> FileURIListPaths(const std::string& text);
