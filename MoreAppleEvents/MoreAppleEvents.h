// Thin routines over the Apple Event Manager: null descriptors, events
// addressed to a process, and sending an event to read its reply.
#pragma once

#include <optional>
#include <string>

#include "platform/MacTypes.h"
#include "platform/appleevents/aeipc.h"
#include "platform/appleevents/appleevents.h"
#include "platform/processes/processes.h"

// A block of bytes owned by its holder; none stands for the null handle.
using Handle = std::optional<std::string>;

// Sets `*desc` to the null descriptor without freeing anything it held
// (the descriptor owns its data, so nothing leaks).
void MoreAENullDesc(AEDesc* desc);

// Frees what `*desc` holds and sets it to the null descriptor.
void MoreAEDisposeDesc(AEDesc* desc);

// Creates in `*appleEvent` an event of `eventClass` and `eventID` addressed
// to the process `*psn` by serial number, with a generated return id and
// any transaction. Returns the status of AECreateDesc or AECreateAppleEvent
// (paramErr for a null pointer).
OSStatus MoreAECreateAppleEventProcessTarget(const ProcessSerialNumber* psn,
                                             AEEventClass eventClass, AEEventID eventID,
                                             AppleEvent* appleEvent);

// Finds the running process with `creator` and `fileType`
// (MoreProcFindProcessBySignature) and creates an event addressed to it as
// MoreAECreateAppleEventProcessTarget does. Returns the first failing
// status: procNotFound when no such process runs.
OSStatus MoreAECreateAppleEventSignatureTarget(OSType fileType, OSType creator,
                                               AEEventClass eventClass, AEEventID eventID,
                                               AppleEvent* appleEvent);

// How long a send to another process waits for its reply, in ticks: five
// seconds. A process that is stopped or hung must not hold its caller for
// ever, and every answer the Finder gives takes far less.
constexpr std::int32_t kMoreAEReplyTimeoutTicks = 5 * 60;

// Sends `appleEvent` (which stays the caller's) and waits at most
// kMoreAEReplyTimeoutTicks, running `idleProc`, for the reply. Returns:
// paramErr without an idle routine (nothing is sent) or without `descOut`;
// AESend's failure (errAETimeout when no reply came in time);
// the reply's non-zero error number ('errn' read as 'shor'); else the
// status of fetching the reply's direct object coerced to `desiredType`
// into `*descOut`. A reply that is the null descriptor returns noErr and
// leaves `*descOut` as it was.
OSStatus MoreAESendEventReturnAEDesc(AEIdleUPP idleProc, const AppleEvent* appleEvent,
                                     DescType desiredType, AEDesc* descOut);

// Sends `appleEvent` (which stays the caller's) and waits at most
// kMoreAEReplyTimeoutTicks for the reply, running `idleProc` when there is
// one. Returns AESend's failure (errAETimeout when no reply came in time),
// else the reply's error number ('errn' read as 'shor'), noErr without one.
OSStatus MoreAESendEventNoReturnValue(AEIdleUPP idleProc, const AppleEvent* appleEvent);

// MoreAESendEventReturnAEDesc with the desired type 'list'.
OSStatus MoreAESendEventReturnAEDescList(AEIdleUPP idleProc, const AppleEvent* appleEvent,
                                         AEDescList* descOut);

// Copies the data of `desc` into a new handle in `*handleOut`. Returns
// noErr, paramErr for a null pointer, memFullErr when the handle cannot be
// allocated (`*handleOut` is then none).
OSErr MoreAECopyDescriptorDataToHandle(const AEDesc* desc, Handle* handleOut);
