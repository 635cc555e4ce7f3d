// Apple events between processes of one user: sending an event and waiting
// for its reply (AESend), and serving events with installed handlers.
//
// Transport: every serving process listens on one Unix-domain stream socket,
// "<pid>.sock" in the process registry folder (see processes.h), a folder
// private to the user. A send connects to the target's socket, checks with
// SO_PEERCRED that the peer runs as the same user, writes the event as one
// message and, when it wants the reply, reads one message back. After a
// whole reply the connection is kept for the next event to the same process;
// the server answers the events of one connection one after another, in
// order. A message is
// a 4-byte big-endian length followed by that many bytes of a flattened
// descriptor (AEFlattenDesc). File references ('fsrf') name items of the
// process that made them, so on the way they travel as the item's absolute
// path, and the receiver makes its own reference from it; a reference to an
// item that no longer exists arrives as an 'fsrf' descriptor without data,
// which coerces to nothing.
//
// A server drops a connection, and only that one, when the peer is another
// user, a message is longer than kAEMaxMessageSize, holds more than
// kAEMaxMessageDescriptors descriptors or does not read back as an Apple
// event, or the peer closes in the middle of a message. It also closes
// connections to stay within its limits (AEServerLimits): the least recently
// active one when a peer or the server holds too many or descriptors run
// out, one on which nothing moved for the idle time-out, and it stops
// reading from a peer that leaves too many replies unread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/MacTypes.h"
#include "platform/appleevents/appleevent.h"
#include "platform/appleevents/appleevents.h"

using AESendMode = std::int32_t;
constexpr AESendMode kAENoReply = 0x00000001;
constexpr AESendMode kAEQueueReply = 0x00000002;
constexpr AESendMode kAEWaitReply = 0x00000003;
constexpr AESendMode kAEReplyModeMask = 0x00000003;

using AESendPriority = std::int16_t;
constexpr AESendPriority kAENormalPriority = 0;
constexpr AESendPriority kAEHighPriority = 1;

// Time-outs are counted in ticks of 1/60 s.
constexpr std::int32_t kAEDefaultTimeout = -1;  // About one minute.
constexpr std::int32_t kNoTimeOut = -2;         // Wait as long as it takes.

constexpr OSErr connectionInvalid = -609;       // The peer closed, died, or cannot be reached.
constexpr OSErr errAEEventNotHandled = -1708;   // No handler for the event.
constexpr OSErr errAEReplyNotValid = -1709;     // The reply does not read back.
constexpr OSErr errAEWaitCanceled = -1711;      // The idle routine cancelled the wait.
constexpr OSErr errAETimeout = -1712;           // No reply within the time-out.
constexpr OSErr errAEUnknownAddressType = -1716;
constexpr OSErr errAENoSuchObject = -1728;

// The largest message either side accepts: 64 MiB.
constexpr std::size_t kAEMaxMessageSize = std::size_t{64} << 20;

// The most descriptors a message may unflatten to, counting every list,
// record, event and item: a selection of 200,000 object specifiers fits. A
// message that announces more is refused before any of them is built, so a
// message costs at most its own size plus this many descriptors.
constexpr std::size_t kAEMaxMessageDescriptors = std::size_t{1} << 20;

// The longest a send takes to connect to its target and to write its event,
// whatever its time-out, kNoTimeOut included: a target that does not take
// the event within it (its queue of new connections is full, or it reads
// nothing) ends the send with errAETimeout. The wait for the reply is the
// time-out's alone.
constexpr std::chrono::seconds kAEDeliveryTimeout{10};

// What an idle routine is handed: always a null event here.
struct EventRecord {
  std::uint16_t what = 0;  // nullEvent
  std::uint32_t message = 0;
  std::uint32_t when = 0;  // Ticks since the process started.
  std::int16_t whereV = 0;
  std::int16_t whereH = 0;
  std::uint16_t modifiers = 0;
};
using RgnHandle = struct OpaqueRgnHandle*;

// Called while AESend waits. Sets `*sleepTime` to the ticks until it wants
// to be called again (at least 1 is used), may set `*mouseRgn`, and returns
// true to cancel the wait.
using AEIdleProcPtr = bool (*)(EventRecord* theEvent, std::int32_t* sleepTime,
                               RgnHandle* mouseRgn);
using AEIdleUPP = AEIdleProcPtr;
inline AEIdleUPP NewAEIdleUPP(AEIdleProcPtr proc) { return proc; }

// Would pick events to take during a wait. No other event reaches a process
// while it waits here, so a filter is accepted and never called.
using AEFilterProcPtr = bool (*)(EventRecord* theEvent, std::int32_t returnID,
                                 std::int32_t transactionID, const AEDesc* sender);
using AEFilterUPP = AEFilterProcPtr;

// Sends `event` to the process its address attribute names: a 'psn '
// serial number (kCurrentProcess included) or a 'sign' signature (the first
// registered process with it). With kAEWaitReply, waits for the reply and
// puts it into `*reply`; with kAENoReply, returns once the event is written
// and leaves `*reply` the null descriptor. `priority` is accepted and has no
// effect: a process answers the events of one connection in order. A
// connection kept from an earlier send that the target has closed since is
// replaced once, transparently, before any of the event is written.
// `timeOutInTicks` is a
// number of ticks, kAEDefaultTimeout or kNoTimeOut. While waiting, the idle
// routine (may be null) runs every time its sleep time has passed.
//
// Returns noErr; errAENotAEDesc for a null event; paramErr for a null reply
// or an unsupported send mode (kAEQueueReply); errAETimeout also when the
// event was not delivered within kAEDeliveryTimeout; errAEUnknownAddressType for a
// missing address or one of another type; procNotFound when no registered
// process matches; afpAccessDenied when the target's socket is not a socket
// of this user; connectionInvalid when the target cannot be reached, runs
// as another user, closes or dies before its reply is whole; errAETimeout;
// errAEWaitCanceled when the idle routine returns true; errAEReplyNotValid
// for a reply that does not read back. `*reply` is the null descriptor on
// failure. No lock is held and no signal blocked while waiting; a signal
// that interrupts the wait does not end it.
OSErr AESend(const AppleEvent* event, AppleEvent* reply, AESendMode sendMode,
             AESendPriority priority, std::int32_t timeOutInTicks, AEIdleUPP idleProc,
             AEFilterUPP filterProc);

using SRefCon = void*;
// Handles one event. Puts its answer into `reply` (its 'errn' parameter on
// failure, as it likes) and returns noErr or a failure status, which is put
// into the reply's 'errn' unless the handler put one there itself.
using AEEventHandlerProcPtr = OSErr (*)(const AppleEvent* event, AppleEvent* reply,
                                        SRefCon handlerRefcon);
using AEEventHandlerUPP = AEEventHandlerProcPtr;
inline AEEventHandlerUPP NewAEEventHandlerUPP(AEEventHandlerProcPtr proc) { return proc; }

// Installs `handler` for events of `eventClass` and `eventID`, replacing the
// handler installed for them before; '****' for either matches any value,
// after exact matches. `isSysHandler` is ignored. Returns noErr, or paramErr
// for a null handler.
OSErr AEInstallEventHandler(AEEventClass eventClass, AEEventID eventID, AEEventHandlerUPP handler,
                            SRefCon handlerRefcon, bool isSysHandler);

// Removes the handler of `eventClass` and `eventID`. Returns noErr, or
// errAEHandlerNotFound when none is installed.
constexpr OSErr errAEHandlerNotFound = -1717;
OSErr AERemoveEventHandler(AEEventClass eventClass, AEEventID eventID, AEEventHandlerUPP handler,
                           bool isSysHandler);

// What a server holds at most, so that no client can exhaust it.
struct AEServerLimits {
  // Connections of one peer process; a new one closes the peer's least
  // recently active connection.
  std::size_t connectionsPerPeer = 8;
  // Connections in all, lowered to leave half the process's descriptors
  // (RLIMIT_NOFILE) to other work; a new one closes the least recently
  // active connection.
  std::size_t connections = 64;
  // Replies a connection may leave unread before the server stops reading
  // its events.
  std::size_t unsentReplyBytes = std::size_t{4} << 20;
  // A connection on which no byte moved for this long is closed, whether it
  // is idle, stalled in the middle of an event, or not reading its replies.
  std::chrono::milliseconds idleTimeout = std::chrono::seconds(30);
};

// Starts serving: binds the calling process's event socket (replacing a
// socket left under its process id) and returns noErr, or the status of the
// registry folder, or ioErr after one line in the log. The process then
// registers itself (RegisterProcess) so that others find it. Serving does
// nothing else by itself: the host's event loop watches
// AEServerFileDescriptor() for reading and calls AEServerDispatch() whenever
// it is readable; the descriptor also becomes readable when a time-out is
// due. Every serving call is made on that one thread.
OSErr AEServerOpen(const AEServerLimits& limits = {});

// The descriptor the host's loop watches for reading, or -1 when not
// serving.
int AEServerFileDescriptor();

// Does all the work that is ready without waiting: takes new connections,
// reads what arrived, runs the handlers of whole events, writes their
// replies and closes connections whose time is up. When no descriptor is
// left to take a new connection, the connection is closed at once (or the
// listener rests for a moment), so that the loop never spins. Returns at
// once when not serving or when called from inside a handler.
void AEServerDispatch();

// Stops serving: closes every connection and removes the socket.
void AEServerClose();

// The server's handling of one incoming message (the bytes after the
// length): returns false when the connection is to be dropped, else true
// with the reply message's bytes (without the length) in `*replyMessage`.
// Runs the installed handlers.
bool AEServerHandleMessage(std::string_view message, std::string* replyMessage);
