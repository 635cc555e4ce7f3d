// Yielding to the host during long work.
#pragma once

#include <functional>

// Lets the host run its pending work without taking any event: calls the
// hook set with SetWaitNextEventHook, or does nothing when none is set. The
// hook runs without any lock held, so it may itself call WaitNextEvent or
// SetWaitNextEventHook.
void WaitNextEvent();

// Sets the function WaitNextEvent calls; an empty function removes it.
// Returns the previous hook (empty when none was set). The host sets it on
// its main thread.
std::function<void()> SetWaitNextEventHook(std::function<void()> hook);
