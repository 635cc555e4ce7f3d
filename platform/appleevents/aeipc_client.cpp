// Sending Apple events to other processes and waiting for their replies.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/appleevents/aeipc.h"
#include "platform/appleevents/aeipc_internal.h"
#include "platform/log/nslog.h"
#include "platform/memory_guard.h"
#include "platform/processes/processes.h"

namespace {

using aeipc_internal::AnnouncedLength;
using aeipc_internal::Clock;
using aeipc_internal::DecodeMessage;
using aeipc_internal::EncodeMessage;
using aeipc_internal::MakeSocketAddress;
using aeipc_internal::FileDescriptor;

constexpr std::int32_t kDefaultTimeoutTicks = 3600;
constexpr std::int32_t kDefaultSleepTicks = 10;

std::chrono::milliseconds TicksToDuration(std::int32_t ticks) {
  return std::chrono::milliseconds(std::int64_t{ticks} * 1000 / 60);
}

std::uint32_t TickCount() {
  static const Clock::time_point start = Clock::now();
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count() * 60 /
      1000);
}

// The data of a plain descriptor.
std::string DataOf(const AEDesc& desc) {
  std::string bytes(AEGetDescDataSize(&desc), '\0');
  AEGetDescData(&desc, bytes.data(), bytes.size());
  return bytes;
}

bool PeerIsThisUser(int fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
         credentials.uid == geteuid();
}

// The serial number of the process the event is addressed to.
OSErr TargetOf(const AppleEvent& event, ProcessSerialNumber* psn) {
  AEDesc address;
  if (AEGetAttributeDesc(&event, keyAddressAttr, typeWildCard, &address) != noErr) {
    return errAEUnknownAddressType;
  }
  const std::string data = DataOf(address);
  if (address.descriptorType() == typeProcessSerialNumber && data.size() == sizeof *psn) {
    std::memcpy(psn, data.data(), sizeof *psn);
    return noErr;
  }
  if (address.descriptorType() != typeApplSignature || data.size() != sizeof(OSType)) {
    return errAEUnknownAddressType;
  }
  OSType signature = 0;
  std::memcpy(&signature, data.data(), sizeof signature);
  ProcessSerialNumber walk;
  while (GetNextProcess(&walk) == noErr) {
    ProcessInfoRec info;
    info.processInfoLength = kProcessInfoRecLength;
    if (GetProcessInformation(&walk, &info) == noErr && info.processSignature == signature) {
      *psn = walk;
      return noErr;
    }
  }
  return procNotFound;
}

// Waits for `events` on `fd` until `deadline` (none: forever), running the
// idle routine each time its sleep time passes. Returns noErr when ready,
// or, with `pause`, once that time has passed (`fd` may then be -1).
OSErr WaitFor(int fd, short events, std::optional<Clock::time_point> deadline,
              AEIdleUPP idleProc, std::int32_t* sleepTicks,
              std::optional<Clock::duration> pause = std::nullopt) {
  Clock::time_point nextIdle = Clock::now() + TicksToDuration(*sleepTicks);
  const std::optional<Clock::time_point> pauseEnd =
      pause ? std::optional(Clock::now() + *pause) : std::nullopt;
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (deadline && now >= *deadline) return errAETimeout;
    if (pauseEnd && now >= *pauseEnd) return noErr;
    Clock::time_point until = nextIdle;
    if (deadline) until = std::min(until, *deadline);
    if (pauseEnd) until = std::min(until, *pauseEnd);
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - now);
    pollfd ready{fd, events, 0};
    const int polled = poll(&ready, 1, static_cast<int>(std::max<std::int64_t>(wait.count(), 0)));
    if (polled > 0) return noErr;
    if (polled < 0 && errno != EINTR) return connectionInvalid;
    if (idleProc != nullptr && Clock::now() >= nextIdle) {
      EventRecord null;
      null.when = TickCount();
      RgnHandle mouse = nullptr;
      std::int32_t asked = *sleepTicks;
      if (idleProc(&null, &asked, &mouse)) return errAEWaitCanceled;
      *sleepTicks = std::max<std::int32_t>(asked, 1);
      nextIdle = Clock::now() + TicksToDuration(*sleepTicks);
    } else if (idleProc == nullptr) {
      nextIdle = Clock::now() + TicksToDuration(*sleepTicks);
    }
  }
}

// Connections kept open after a whole reply, at most one per target process,
// so that the next event to the same process skips finding its socket,
// connecting and the server's accept. A connection is only kept when nothing
// more can arrive on it: never after a failed wait (its reply may still
// come) nor after a send without a reply (the server answers every event).
// The cache belongs to the process that filled it: a child made by fork()
// does not share its parent's connections. A connection unused for longer
// than kKeptConnectionLifetime is not used again: its server may be closing
// it as idle at the very moment the next event is written.
constexpr std::size_t kMaxCachedConnections = 8;
constexpr std::chrono::seconds kKeptConnectionLifetime{20};
static_assert(kKeptConnectionLifetime < AEServerLimits{}.idleTimeout);
struct CachedConnection {
  pid_t target = 0;
  int fd = -1;
  Clock::time_point kept;
};
struct ConnectionCache {
  std::mutex mutex;
  std::vector<CachedConnection> connections;  // Least recently used first.
};
ConnectionCache& TheConnectionCache();

// fork() takes the cache's lock first, so that the child gets it free;
// the child then closes its copies of the parent's connections.
void MyBeforeFork() { TheConnectionCache().mutex.lock(); }
void MyAfterForkInParent() { TheConnectionCache().mutex.unlock(); }
void MyAfterForkInChild() {
  ConnectionCache& cache = TheConnectionCache();
  for (const CachedConnection& kept : cache.connections) close(kept.fd);
  cache.connections.clear();
  cache.mutex.unlock();
}

ConnectionCache& TheConnectionCache() {
  static ConnectionCache* const cache = [] {
    auto* made = new ConnectionCache;  // Never destroyed: senders may run at exit.
    pthread_atfork(MyBeforeFork, MyAfterForkInParent, MyAfterForkInChild);
    return made;
  }();
  return *cache;
}

// Takes the kept connection to `target` out of the cache; -1 when none.
int TakeConnection(pid_t target) {
  ConnectionCache& cache = TheConnectionCache();
  std::lock_guard lock(cache.mutex);
  for (auto kept = cache.connections.begin(); kept != cache.connections.end(); ++kept) {
    if (kept->target == target) {
      int fd = kept->fd;
      if (Clock::now() - kept->kept > kKeptConnectionLifetime) {
        close(fd);
        fd = -1;
      }
      cache.connections.erase(kept);
      return fd;
    }
  }
  return -1;
}

// Keeps `fd`, a connection to `target` with nothing left to read, for the
// next event to it.
void KeepConnection(pid_t target, int fd) {
  ConnectionCache& cache = TheConnectionCache();
  std::lock_guard lock(cache.mutex);
  for (const CachedConnection& kept : cache.connections) {
    if (kept.target == target) {  // Another thread kept one meanwhile.
      close(fd);
      return;
    }
  }
  if (cache.connections.size() >= kMaxCachedConnections) {
    close(cache.connections.front().fd);
    cache.connections.erase(cache.connections.begin());
  }
  cache.connections.push_back({target, fd, Clock::now()});
}

// Connects to the event socket of `target`, checking that it runs as this
// user.
OSErr Connect(const ProcessSerialNumber& target, std::optional<Clock::time_point> deadline,
              AEIdleUPP idleProc, std::int32_t* sleepTicks, FileDescriptor* fd) {
  std::string path;
  if (const OSErr status = GetProcessSocketPath(&target, &path); status != noErr) return status;
  sockaddr_un address;
  if (!MakeSocketAddress(path, &address)) return connectionInvalid;
  fd->Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd->get() < 0) return connectionInvalid;
  while (connect(fd->get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EAGAIN && errno != EINTR) {
      // A socket nobody listens on is left by a process that ended, unless
      // the process still runs and only stopped serving.
      ProcessInfoRec info;
      info.processInfoLength = kProcessInfoRecLength;
      return GetProcessInformation(&target, &info) == noErr ? connectionInvalid : procNotFound;
    }
    // The server's queue of new connections is full: try again shortly.
    if (const OSErr status = WaitFor(-1, 0, deadline, idleProc, sleepTicks,
                                     std::chrono::milliseconds(5));
        status != noErr) {
      return status;
    }
  }
  if (!PeerIsThisUser(fd->get())) {
    NSLog("Refused the event socket %s: it belongs to another user", path.c_str());
    return connectionInvalid;
  }
  return noErr;
}

// Writes all of `message` to `fd`. `*accepted` tells whether the peer took
// any of it.
OSErr WriteMessage(int fd, std::string_view message, std::optional<Clock::time_point> deadline,
                   AEIdleUPP idleProc, std::int32_t* sleepTicks, bool* accepted) {
  *accepted = false;
  while (!message.empty()) {
    const ssize_t sent = send(fd, message.data(), message.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      *accepted = true;
      message.remove_prefix(static_cast<std::size_t>(sent));
    } else if (sent < 0 && errno == EINTR) {
      continue;
    } else if (sent < 0 && errno == EAGAIN) {
      if (const OSErr status = WaitFor(fd, POLLOUT, deadline, idleProc, sleepTicks);
          status != noErr) {
        return status;
      }
    } else {
      return connectionInvalid;
    }
  }
  return noErr;
}

OSErr Send(const AppleEvent& event, AppleEvent* reply, AESendMode mode, std::int32_t timeout,
           AEIdleUPP idleProc) {
  ProcessSerialNumber target;
  if (const OSErr status = TargetOf(event, &target); status != noErr) return status;
  const pid_t targetPid = target.lowLongOfPSN == kCurrentProcess
                              ? getpid()
                              : static_cast<pid_t>(target.lowLongOfPSN);
  std::string message;
  if (const OSErr status = EncodeMessage(event, &message); status != noErr) return status;

  std::optional<Clock::time_point> deadline;
  if (timeout != kNoTimeOut) {
    deadline = Clock::now() + TicksToDuration(timeout == kAEDefaultTimeout || timeout < 0
                                                  ? kDefaultTimeoutTicks
                                                  : timeout);
  }
  // Connecting and writing end in time even when the reply may take as long
  // as it likes.
  const Clock::time_point deliveryEnd = Clock::now() + kAEDeliveryTimeout;
  const Clock::time_point delivery = deadline ? std::min(*deadline, deliveryEnd) : deliveryEnd;
  std::int32_t sleepTicks = kDefaultSleepTicks;
  const bool wantReply = (mode & kAEReplyModeMask) == kAEWaitReply;

  // A kept connection whose server has closed it since (it stopped serving
  // or ended) refuses the whole write: no byte of the event reached anyone,
  // so it goes once more on a new connection. Once any byte is taken, a
  // failure is the caller's.
  FileDescriptor fd(wantReply && target.highLongOfPSN == 0 ? TakeConnection(targetPid) : -1);
  for (bool reused = fd.get() >= 0;; reused = false) {
    if (fd.get() < 0) {
      if (const OSErr status = Connect(target, delivery, idleProc, &sleepTicks, &fd);
          status != noErr) {
        return status;
      }
    }
    bool accepted = false;
    const OSErr status = WriteMessage(fd.get(), message, delivery, idleProc, &sleepTicks, &accepted);
    if (status == noErr) break;
    if (!reused || accepted || status != connectionInvalid) return status;
    fd.Reset();
  }
  if (!wantReply) return noErr;

  std::string received;
  std::size_t wanted = 4;
  bool haveLength = false;
  // The reply cannot be there yet: wait before the first read.
  if (const OSErr status = WaitFor(fd.get(), POLLIN, deadline, idleProc, &sleepTicks);
      status != noErr) {
    return status;
  }
  for (;;) {
    if (!haveLength && received.size() >= 4) {
      wanted = 4 + AnnouncedLength(received);
      if (wanted - 4 > kAEMaxMessageSize) return errAEReplyNotValid;
      haveLength = true;
      received.reserve(wanted);
    }
    if (haveLength && received.size() >= wanted) break;
    char buffer[65536];
    const ssize_t got = recv(fd.get(), buffer, sizeof buffer, 0);
    if (got > 0) {
      received.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0) {
      return connectionInvalid;
    } else if (errno == EAGAIN) {
      if (const OSErr status = WaitFor(fd.get(), POLLIN, deadline, idleProc, &sleepTicks);
          status != noErr) {
        return status;
      }
    } else if (errno != EINTR) {
      return connectionInvalid;
    }
  }
  AppleEvent answer;
  // The server answers each event once, in order: anything after the reply
  // makes it invalid.
  if (received.size() != wanted ||
      DecodeMessage(std::string_view(received).substr(4), &answer) != noErr ||
      answer.descriptorType() != typeAppleEvent) {
    return errAEReplyNotValid;
  }
  *reply = std::move(answer);
  KeepConnection(targetPid, fd.get());
  fd.Release();
  return noErr;
}

}  // namespace

OSErr AESend(const AppleEvent* event, AppleEvent* reply, AESendMode sendMode,
             AESendPriority /*priority*/, std::int32_t timeOutInTicks, AEIdleUPP idleProc,
             AEFilterUPP /*filterProc*/) {
  if (event == nullptr) return errAENotAEDesc;
  if (reply == nullptr) return paramErr;
  AEInitializeDescInplace(reply);
  const AESendMode replyMode = sendMode & kAEReplyModeMask;
  if (replyMode != kAENoReply && replyMode != kAEWaitReply) return paramErr;
  if (event->descriptorType() != typeAppleEvent) return errAEWrongDataType;
  return GuardMemory(memFullErr, [&] {
    return Send(*event, reply, replyMode, timeOutInTicks, idleProc);
  });
}
