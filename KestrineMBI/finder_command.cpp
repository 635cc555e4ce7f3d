#include "KestrineMBI/finder_command.h"

#include <cstdio>

#include "MoreAppleEvents/FinderSelection.h"
#include "MoreAppleEvents/MoreAppleEvents.h"
#include "MoreAppleEvents/MoreFinderEvents.h"
#include "clipboard/clipboard_output.h"
#include "engine/prefixes.h"
#include "engine/selection_text.h"
#include "platform/status/status_words.h"

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
  // The Finder is asked for every item. The application tells no one how a
  // command from its menu ended.
  const CopyOutcome outcome = ::RunCommand(
      commandID, static_cast<std::size_t>(selection.count()),
      [&selection](std::size_t position) { return selection.Item(static_cast<long>(position)); },
      refuseNothingUsable);
  if (outcome.result == CopyResult::kCopied) return {Result::kCopied};
  if (outcome.result == CopyResult::kNothingUsable) return {Result::kNothingUsable};
  return {Result::kClipboardFailed};
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
      std::fputs("KestrineMBI: no Finder is running (start one with \"kestrine-finder serve\")\n", stderr);
      break;
    case Result::kTimedOut:
      std::fprintf(stderr, "KestrineMBI: the Finder did not answer within %d seconds\n",
                   kMoreAEReplyTimeoutTicks / 60);
      break;
    case Result::kFinderFailed:
      std::fprintf(stderr, "KestrineMBI: the Finder could not give its selection (%s)\n",
                   StatusWords(outcome.status).c_str());
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
