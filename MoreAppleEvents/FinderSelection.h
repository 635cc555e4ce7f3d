// The menu-bar application's side of the Finder selection: the idle routine
// of its Apple Event waits, and turning one selected item into a file
// reference.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/appleevents/aeipc.h"
#include "platform/appleevents/appleevents.h"
#include "platform/files/files.h"

// The idle routine of every wait for a Finder reply: asks to be called
// again in 10 ticks, sets no mouse region, yields to the other threads, does
// the application's idle work (see SetAEIdleWork) and never cancels the
// wait. The event is not looked at.
bool MyAEIdleProc(EventRecord* event, std::int32_t* sleepTime, RgnHandle* mouseRgn);

// Sets the work MyAEIdleProc does on each call, or none with an empty
// function: an application with windows handles its window system's events
// there, so that it stays responsive while it waits. Main thread only.
void SetAEIdleWork(std::function<void()> work);

// MyAEIdleProc as a routine handle, made before main and kept for the run.
extern const AEIdleUPP gAEIdleUPP;

// Turns item `index` (from 1) of the Finder's selection `list` into a file
// reference in `*ref`: an object specifier is asked of the Finder as an
// alias, resolved without any user interaction; a file reference is taken
// as it is (it must hold 80 bytes); any other item is coerced to one.
// Returns noErr when `*ref` is filled, else the failing status (the item is
// then to be skipped).
OSStatus GetSelectionItemFSRef(const AEDescList* list, long index, FSRef* ref);
