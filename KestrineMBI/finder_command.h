// The copy commands of the tray application on the Finder's selection, with
// no toolkit: the status menu and `KestrineMBI --choose` both run them.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/appleevents/appleevents.h"
#include "platform/files/files.h"

// The Finder's selection as a list, asked for on construction.
class FinderSelection final {
 public:
  FinderSelection();
  ~FinderSelection();
  FinderSelection(const FinderSelection&) = delete;
  FinderSelection& operator=(const FinderSelection&) = delete;

  bool ok() const { return m_status == noErr; }
  OSStatus status() const { return m_status; }
  long count() const { return m_count; }
  // The item at `position` (from 1), or none when it cannot be found.
  std::optional<FSRef> Item(long position) const;

 private:
  AEDescList m_list;
  long m_count = 0;
  OSStatus m_status = noErr;
};

// How a copy command ended.
enum class FinderCommandResult {
  kCopied,           // The clipboard holds the text, or is empty when none rendered.
  kNoFinder,         // No Finder answers; the clipboard is unchanged.
  kTimedOut,         // The Finder did not answer in time; unchanged.
  kFinderFailed,     // The Finder answered with an error (`status`); unchanged.
  kNoSelection,      // The Finder has no selection; unchanged.
  kNothingUsable,    // No selected item can be found (when refused); unchanged.
  kClipboardFailed,  // The clipboard could not be opened or written; unchanged.
  kBusy,             // A request of the caller is waiting already; nothing done.
};
struct FinderCommandOutcome {
  FinderCommandResult result = FinderCommandResult::kCopied;
  OSStatus status = noErr;  // The selection request's status.
};

// Runs copy command `commandID` on the selection the Finder has now. With
// `refuseNothingUsable`, a selection none of whose items can be found leaves
// the clipboard as it was; without, it empties it, as the menu's commands do.
FinderCommandOutcome RunFinderCommand(std::int32_t commandID, bool refuseNothingUsable);

// `KestrineMBI --choose ID`: refuses an ID that names no command before
// anything is asked or copied, runs the command and says on standard error
// why nothing was copied. Returns the exit status: 0, 1 when nothing was
// copied, 2 for an unknown ID.
int RunChoose(std::int32_t commandID);
