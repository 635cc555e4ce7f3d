// Telling the running Finder which items are selected: the 'core'/'setd'
// event on the application's 'sele' property that `kestrine-finder select` sends and
// file-manager hosts send for each contextual menu.
//
// The event is addressed by signature ('MACS') and carries as its direct
// object FinderSelectionSpecifier(), plus either 'data' (a list of alias
// records, the new selection in order) with keyFinderSelectionKind (the type
// the Finder is to report its items as), or keyFinderSelectionFailure alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/appleevents/aeipc.h"
#include "platform/appleevents/appleevents.h"
#include "platform/finder/finder_protocol.h"

// Sends the Finder its new selection: `paths` (absolute; they are not
// looked at) in order, to be reported as `kind` ('obj ', 'fsrf' or 'alis').
// `sendMode` and `timeOutInTicks` are AESend's.
//
// Returns noErr when the event was written (kAENoReply) or the Finder took
// it (kAEWaitReply); the Finder's error number when it refused it; AESend's
// status otherwise (procNotFound when no Finder is registered). A path that
// cannot be made an alias record stops it before anything is sent: its
// status is returned and, when `unusable` is not null, its index is put
// there.
OSErr FinderSetSelection(const std::vector<std::string>& paths, DescType kind,
                         AESendMode sendMode, std::int32_t timeOutInTicks,
                         std::size_t* unusable = nullptr);

// Tells the Finder to answer every selection request with `number` until
// the next selection arrives; waits for its answer for the default
// time-out. Returns as FinderSetSelection does.
OSErr FinderSetSelectionFailure(std::int32_t number);
