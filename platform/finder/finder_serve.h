// The Finder as a process that answers Apple events: `kestrine-finder serve` and
// `kestrine-finder select`.
//
// A serving Finder registers as signature 'MACS', type 'FNDR', name
// "Finder", and answers:
// - 'core'/'getd' for the property 'sele' of the application (an object
//   specifier {want:type('prop'), from:'null'(), form:'prop',
//   seld:type('sele')}): the selection as a 'list', one item per selected
//   item in order, each an object specifier, a file reference or an alias
//   record as the selection asked; or the error number set with --fail;
// - 'core'/'getd' for one item's object specifier, with 'rtyp' 'alis',
//   'fsrf' or 'obj ' (the default): the item in that type; an item that no
//   longer exists answers errAENoSuchObject (-1728);
// - 'core'/'setd' for the property 'sele' (see finder_selection.h), sent by
//   `kestrine-finder select` and by the file managers' modules for each contextual
//   menu: 'data' a list of alias records, the new selection in order
//   (absent: the selection is kept); keyFinderSelectionKind the type its items are to be
//   reported as; keyFinderSelectionFailure an error number that every
//   following selection request answers with, until the next 'setd'.
// Any other event is answered with errAEEventNotHandled (-1708).
//
// An item's object specifier is {want:type('cobj'), from:'null'(),
// form:'name', seld:'utf8'(<the item's absolute path>)}.
//
// In a session with a display, the files last copied in the desktop's file
// manager (PasteboardCopiedFilePaths) become the selection when they differ
// from what the clipboard held when the selection was last set. The
// selection stays until the next 'setd' or newly copied files replace it,
// whatever else the clipboard comes to hold.
#pragma once

#include <string>
#include <vector>

#include "platform/appleevents/appleevents.h"
#include "platform/finder/finder_selection.h"

// Installs the Finder's handlers of 'core'/'getd' and 'core'/'setd' and
// starts it with an empty selection. FinderServe does this itself.
void InstallFinderHandlers();

// `kestrine-finder serve`: serves until SIGTERM or SIGINT. Writes "ready" on its own
// line to standard output once it answers events. Returns the exit status:
// 0 after a signal, 1 (after a message on standard error) when another
// Finder answers already or serving cannot start.
int FinderServe();

// `kestrine-finder select [--as obj|fsrf|alis] [PATH...]` and `kestrine-finder select --fail
// N`, with `args` the words after "select". Returns the exit status: 0 when
// the running Finder took it; 1 after a message when a PATH names nothing
// (nothing is sent) or no Finder answers; 2 after a message for wrong usage.
int FinderSelect(const std::vector<std::string>& args);
