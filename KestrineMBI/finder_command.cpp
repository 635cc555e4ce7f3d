#include "KestrineMBI/finder_command.h"

#include <cstdio>
#include <string_view>
#include <vector>

#include "MoreAppleEvents/FinderSelection.h"
#include "MoreAppleEvents/MoreAppleEvents.h"
#include "MoreAppleEvents/MoreFinderEvents.h"
#include "clipboard/clipboard_output.h"
#include "engine/prefixes.h"
#include "engine/selection_text.h"

FinderSelection::FinderSelection() {
  m_status = MoreFEGetSelection(gAEIdleUPP, &m_list);
  if (m_status == noErr && m_list.descriptorType() != typeAEList) m_status = errAECoercionFail;
  if (m_status == noErr) m_status = AECountItems(&m_list, &m_count);
}

FinderSelection::~FinderSelection() { MoreAEDisposeDesc(&m_list); }

std::optional<FSRef> FinderSelection::Item(long position) const {
  FSRef ref{};
  if (GetSelectionItemFSRef(&m_list, position, &ref) != noErr) return std::nullopt;
  return ref;
}

FinderCommandOutcome RunFinderCommand(std::int32_t commandID, bool refuseNothingUsable) {
  using Result = FinderCommandResult;
  LoadPrefixes();
  const FinderSelection selection;
  if (!selection.ok()) {
    const OSStatus status = selection.status();
    if (status == procNotFound || status == connectionInvalid) return {Result::kNoFinder, status};
    if (status == errAETimeout) return {Result::kTimedOut, status};
    return {Result::kFinderFailed, status};
  }
  if (selection.count() < 1) return {Result::kNoSelection};
  // The command sees the file system as it finds it: each folder of the
  // selection resolved once, each item looked up once. The Finder is still
  // asked for every item.
  const ScopedFileSystemSnapshot snapshot;
  std::vector<SelectionItem> items;
  items.reserve(static_cast<std::size_t>(selection.count()));
  bool anyUsable = false;
  for (long position = 1; position <= selection.count(); ++position) {
    items.push_back(selection.Item(position));
    anyUsable = anyUsable || items.back().has_value();
  }
  if (!anyUsable && refuseNothingUsable) return {Result::kNothingUsable};
  // The clear stays pending until the write, so opening the clipboard after
  // the items were looked up changes nothing the user sees.
  PasteboardRef clipboard = OpenAndClearClipboard();
  if (!clipboard) return {Result::kClipboardFailed};
  // Without a text (memory ran out) the clipboard is emptied; a failed write
  // keeps the old content. The application tells no one either way.
  const std::optional<std::string> text = JoinSelectionText(items, commandID);
  if (WriteClipboardText(*clipboard, text ? std::string_view(*text) : std::string_view()) != noErr) {
    return {Result::kClipboardFailed};
  }
  return {Result::kCopied};
}

int RunChoose(std::int32_t commandID) {
  LoadPrefixes();
  if (!CommandIDExists(commandID)) {
    std::fprintf(stderr,
                 "KestrineMBI: no command has the ID %d (1 to 12, or 1000 + i and 2000 + i "
                 "for prefix i)\n",
                 commandID);
    return 2;
  }
  const FinderCommandOutcome outcome = RunFinderCommand(commandID, true);
  std::fflush(stdout);
  using Result = FinderCommandResult;
  switch (outcome.result) {
    case Result::kCopied:
      NoteClipboardFile("KestrineMBI");
      return 0;
    case Result::kNoFinder:
      std::fputs("KestrineMBI: no Finder is running (start one with \"finder serve\")\n", stderr);
      break;
    case Result::kTimedOut:
      std::fprintf(stderr, "KestrineMBI: the Finder did not answer within %d seconds\n",
                   kMoreAEReplyTimeoutTicks / 60);
      break;
    case Result::kFinderFailed:
      std::fprintf(stderr, "KestrineMBI: the Finder could not give its selection (error %d)\n",
                   static_cast<int>(outcome.status));
      break;
    case Result::kNoSelection:
      std::fputs("KestrineMBI: the Finder has no active selection\n", stderr);
      break;
    case Result::kNothingUsable:
      std::fputs("KestrineMBI: none of the selected items can be found\n", stderr);
      break;
    case Result::kClipboardFailed:  // The clipboard has logged its line.
    case Result::kBusy:
      break;
  }
  return 1;
}
