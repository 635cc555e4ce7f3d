#include "platform/appleevents/aeipc.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "platform/appleevents/desc_access.h"
#include "platform/files/files.h"
#include "platform/log/nslog.h"
#include "platform/processes/processes.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr AEEventClass kAEReplyClass = MakeFourCharCode("aevt");
constexpr AEEventID kAEAnswer = MakeFourCharCode("ansr");
constexpr std::int32_t kDefaultTimeoutTicks = 3600;
constexpr std::int32_t kDefaultSleepTicks = 10;

// Closes a descriptor when it goes out of scope.
class ScopedFd final {
 public:
  explicit ScopedFd(int fd = -1) : fd_(fd) {}
  ~ScopedFd() { Reset(); }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

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

using A = AEDescAccess;

bool HoldsFileReference(const AEDesc& desc) {
  if (desc.descriptorType() == typeFSRef && A::FormOf(desc) == A::Form::kBytes) return true;
  for (const AEDesc& item : A::Items(desc)) {
    if (HoldsFileReference(item)) return true;
  }
  for (const AEDesc& attribute : A::Attributes(desc)) {
    if (HoldsFileReference(attribute)) return true;
  }
  return false;
}

// Rewrites every file reference in `desc`, in place: to the item's path on
// the way out, from a path to this process's reference on the way in.
void TranslateFileReferences(AEDesc& desc, bool outgoing) {
  if (desc.descriptorType() == typeFSRef && A::FormOf(desc) == A::Form::kBytes) {
    std::string& data = A::Data(desc);
    FSRef ref{};
    if (outgoing) {
      std::optional<std::string> path;
      if (data.size() == sizeof ref) {
        std::memcpy(&ref, data.data(), sizeof ref);
        path = FSRefCopyPathUnchecked(ref);
      }
      data = path.value_or("");
    } else if (!data.empty() && data[0] == '/' && FSPathMakeRef(data, &ref) == noErr) {
      data.assign(reinterpret_cast<const char*>(&ref), sizeof ref);
    } else {
      data.clear();
    }
    return;
  }
  for (AEDesc& item : A::Items(desc)) TranslateFileReferences(item, outgoing);
  for (AEDesc& attribute : A::Attributes(desc)) TranslateFileReferences(attribute, outgoing);
}

// Appends the message that carries `desc` to `*message`: its length, then
// its flattened form.
OSErr AppendMessage(const AEDesc& desc, std::string* message) {
  std::string flat;
  if (HoldsFileReference(desc)) {
    AEDesc wire = desc;
    TranslateFileReferences(wire, true);
    flat = AEFlattenDesc(wire);
  } else {
    flat = AEFlattenDesc(desc);
  }
  if (flat.empty()) return memFullErr;
  if (flat.size() > kAEMaxMessageSize) return paramErr;
  const auto size = static_cast<std::uint32_t>(flat.size());
  message->reserve(message->size() + 4 + flat.size());
  for (int shift = 24; shift >= 0; shift -= 8) message->push_back(static_cast<char>(size >> shift));
  message->append(flat);
  return noErr;
}

// The message that carries `desc`.
OSErr EncodeMessage(const AEDesc& desc, std::string* message) {
  message->clear();
  return AppendMessage(desc, message);
}

// Reads a message body back into a descriptor of this process.
OSErr DecodeMessage(std::string_view body, AEDesc* desc) {
  if (const OSErr status = AEUnflattenDesc(body, kAEMaxMessageDescriptors, desc);
      status != noErr) {
    return status;
  }
  TranslateFileReferences(*desc, false);
  return noErr;
}

// The length a message's first four bytes announce.
std::size_t AnnouncedLength(std::string_view head) {
  std::size_t length = 0;
  for (int i = 0; i < 4; ++i) length = length << 8 | static_cast<unsigned char>(head[i]);
  return length;
}

bool PeerIsThisUser(int fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
         credentials.uid == geteuid();
}

bool MakeSocketAddress(const std::string& path, sockaddr_un* address) {
  *address = {};
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
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
              AEIdleUPP idleProc, std::int32_t* sleepTicks, ScopedFd* fd) {
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
  ScopedFd fd(wantReply && target.highLongOfPSN == 0 ? TakeConnection(targetPid) : -1);
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

// Installed handlers, by class and id.
struct Handler {
  AEEventHandlerUPP proc = nullptr;
  SRefCon refcon = nullptr;
};
std::map<std::pair<AEEventClass, AEEventID>, Handler>& Handlers() {
  static std::map<std::pair<AEEventClass, AEEventID>, Handler> handlers;
  return handlers;
}

std::optional<Handler> FindHandler(AEEventClass eventClass, AEEventID eventID) {
  const auto& handlers = Handlers();
  for (const auto& key : {std::pair{eventClass, eventID}, std::pair{eventClass, typeWildCard},
                          std::pair{typeWildCard, eventID}, std::pair{typeWildCard, typeWildCard}}) {
    if (const auto found = handlers.find(key); found != handlers.end()) return found->second;
  }
  return std::nullopt;
}

// One connection of the server, with what it has read and has still to
// write.
struct Connection {
  ScopedFd fd;
  pid_t peer = 0;
  std::string in;
  std::string out;
  std::size_t outSent = 0;
  std::uint32_t watched = EPOLLIN;  // What the poller waits for on it.
  Clock::time_point lastActivity = Clock::now();  // When a byte last moved.
};

// How long the listener rests when no descriptor is left to take even one
// connection and close it.
constexpr std::chrono::milliseconds kListenerRest{100};
// New connections taken in one dispatch, so that the others are served too.
constexpr int kAcceptsPerDispatch = 64;

struct Server {
  ScopedFd listener;
  ScopedFd poller;
  ScopedFd timer;  // Due when a connection's idle time or the listener's rest ends.
  ScopedFd spare;  // Kept open to take a connection when descriptors run out.
  std::string path;
  AEServerLimits limits;
  std::map<int, std::unique_ptr<Connection>> connections;
  std::optional<Clock::time_point> listenerRestsUntil;
  bool dispatching = false;
};
Server*& TheServer() {
  static Server* server = nullptr;
  return server;
}

void Drop(Server& server, int fd) {
  epoll_ctl(server.poller.get(), EPOLL_CTL_DEL, fd, nullptr);
  server.connections.erase(fd);
}

void Watch(Server& server, int fd, std::uint32_t events) {
  epoll_event watch{};
  watch.events = events;
  watch.data.fd = fd;
  epoll_ctl(server.poller.get(), EPOLL_CTL_MOD, fd, &watch);
}

// Closes the least recently active connection, of `peer` only when given.
// Returns false when there is none.
bool DropLeastActive(Server& server, std::optional<pid_t> peer) {
  Connection* oldest = nullptr;
  for (const auto& [fd, connection] : server.connections) {
    if ((!peer || connection->peer == *peer) &&
        (oldest == nullptr || connection->lastActivity < oldest->lastActivity)) {
      oldest = connection.get();
    }
  }
  if (oldest == nullptr) return false;
  Drop(server, oldest->fd.get());
  return true;
}

// The connections the server holds at most: half the descriptors the
// process may open go to other work (files, helpers, the registry).
std::size_t ConnectionLimit(const Server& server) {
  rlimit descriptors{};
  std::size_t limit = server.limits.connections;
  if (getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur != RLIM_INFINITY) {
    limit = std::min<std::size_t>(limit, descriptors.rlim_cur / 2);
  }
  return std::max<std::size_t>(limit, 1);
}

// Arms the timer for the earliest idle time-out or the end of the
// listener's rest; disarms it when neither is pending.
void ArmTimer(Server& server) {
  std::optional<Clock::time_point> due = server.listenerRestsUntil;
  for (const auto& [fd, connection] : server.connections) {
    const Clock::time_point idleEnd = connection->lastActivity + server.limits.idleTimeout;
    if (!due || idleEnd < *due) due = idleEnd;
  }
  itimerspec when{};
  if (due) {
    const auto wait = std::max<std::chrono::nanoseconds>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(*due - Clock::now()),
        std::chrono::nanoseconds(1));
    when.it_value.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
    when.it_value.tv_nsec = static_cast<long>(wait.count() % 1000000000);
  }
  timerfd_settime(server.timer.get(), 0, &when, nullptr);
}

// Closes the connections whose idle time is up and ends the listener's rest
// when it is due.
void Expire(Server& server) {
  std::uint64_t expirations = 0;
  (void)!read(server.timer.get(), &expirations, sizeof expirations);
  const Clock::time_point now = Clock::now();
  for (auto at = server.connections.begin(); at != server.connections.end();) {
    const int fd = at->first;
    const bool idle = now - at->second->lastActivity >= server.limits.idleTimeout;
    ++at;
    if (idle) Drop(server, fd);
  }
  if (server.listenerRestsUntil && now >= *server.listenerRestsUntil) {
    server.listenerRestsUntil.reset();
    Watch(server, server.listener.get(), EPOLLIN);
  }
}

// Takes the connection waiting on the listener and closes it, with the
// spare descriptor freed for it; false when even that fails.
bool RefuseWaitingConnection(Server& server) {
  server.spare.Reset();
  const int fd = accept4(server.listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) close(fd);
  server.spare.Reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
  return fd >= 0;
}

bool Serve(Server& server, Connection& connection);
bool HandleMessage(std::string_view message, std::string* out);

void Accept(Server& server) {
  for (int taken = 0; taken < kAcceptsPerDispatch; ++taken) {
    const int fd = accept4(server.listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM) return;
      // No descriptor left: the listener stays readable until the waiting
      // connection is taken, so make room, or take it and close it, or let
      // the listener rest rather than spin.
      if (DropLeastActive(server, std::nullopt) || RefuseWaitingConnection(server)) continue;
      server.listenerRestsUntil = Clock::now() + kListenerRest;
      Watch(server, server.listener.get(), 0);
      return;
    }
    auto connection = std::make_unique<Connection>();
    connection->fd.Reset(fd);
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
        credentials.uid != geteuid()) {
      NSLog("Refused an event connection from another user");
      continue;
    }
    connection->peer = credentials.pid;
    std::size_t ofPeer = 0;
    for (const auto& [other, held] : server.connections) ofPeer += held->peer == credentials.pid;
    if (ofPeer >= server.limits.connectionsPerPeer) {
      DropLeastActive(server, credentials.pid);
    } else if (server.connections.size() >= ConnectionLimit(server)) {
      DropLeastActive(server, std::nullopt);
    }
    epoll_event watch{};
    watch.events = EPOLLIN;
    watch.data.fd = fd;
    if (epoll_ctl(server.poller.get(), EPOLL_CTL_ADD, fd, &watch) != 0) continue;
    Connection& added = *connection;
    server.connections[fd] = std::move(connection);
    // A sender writes its event right after connecting: it is usually
    // there already.
    if (!Serve(server, added)) Drop(server, fd);
  }
}

// The bytes of replies the connection still owes.
std::size_t Owed(const Connection& connection) {
  return connection.out.size() - connection.outSent;
}

// Writes what the connection still owes. Returns false when it is to be
// dropped.
bool Flush(Connection& connection) {
  while (connection.outSent < connection.out.size()) {
    const ssize_t sent = send(connection.fd.get(), connection.out.data() + connection.outSent,
                              connection.out.size() - connection.outSent, MSG_NOSIGNAL);
    if (sent > 0) {
      connection.outSent += static_cast<std::size_t>(sent);
      connection.lastActivity = Clock::now();
    } else if (sent < 0 && errno == EINTR) {
      continue;
    } else if (sent < 0 && errno == EAGAIN) {
      return true;
    } else {
      return false;
    }
  }
  connection.out.clear();
  connection.outSent = 0;
  return true;
}

// Answers the whole messages that have arrived, as long as the connection
// owes less than the limit. Returns false when it is to be dropped.
bool AnswerWholeMessages(Server& server, Connection& connection) {
  std::size_t handled = 0;
  while (connection.in.size() - handled >= 4 && Owed(connection) <= server.limits.unsentReplyBytes) {
    const std::string_view rest = std::string_view(connection.in).substr(handled);
    const std::size_t length = AnnouncedLength(rest);
    if (rest.size() < 4 + length) break;
    if (!HandleMessage(rest.substr(4, length), &connection.out)) return false;
    handled += 4 + length;
  }
  connection.in.erase(0, handled);
  return true;
}

// Writes what is owed, reads what arrived and answers every whole message.
// A connection that owes more than the limit is not read from until its
// peer has read enough. Returns false when the connection is to be dropped.
bool Serve(Server& server, Connection& connection) {
  if (!Flush(connection) || !AnswerWholeMessages(server, connection)) return false;
  bool peerDone = false;
  while (Owed(connection) <= server.limits.unsentReplyBytes) {
    char buffer[65536];
    const ssize_t got = recv(connection.fd.get(), buffer, sizeof buffer, 0);
    if (got > 0) {
      connection.in.append(buffer, static_cast<std::size_t>(got));
      connection.lastActivity = Clock::now();
    } else if (got == 0) {
      peerDone = true;
      break;
    } else if (errno == EAGAIN) {
      break;
    } else if (errno != EINTR) {
      return false;
    }
    if (connection.in.size() >= 4 && AnnouncedLength(connection.in) > kAEMaxMessageSize) {
      return false;
    }
    if (!AnswerWholeMessages(server, connection) || !Flush(connection)) return false;
    // A short read took all there was; what comes later wakes the poller
    // again.
    if (got > 0 && static_cast<std::size_t>(got) < sizeof buffer) break;
  }
  // A peer that is done sending gets what it is owed, once; a message it
  // left half-sent is dropped with it.
  if (peerDone) {
    Flush(connection);
    return false;
  }
  if (!Flush(connection)) return false;
  std::uint32_t events = 0;
  if (Owed(connection) <= server.limits.unsentReplyBytes) events |= EPOLLIN;
  if (Owed(connection) > 0) events |= EPOLLOUT;
  if (events != connection.watched) {
    Watch(server, connection.fd.get(), events);
    connection.watched = events;
  }
  return true;
}

OSErr MakeReply(const AppleEvent& event, AppleEvent* reply) {
  AEReturnID returnID = 0;
  AETransactionID transactionID = 0;
  AEGetAttributePtr(&event, keyReturnIDAttr, typeSInt16, nullptr, &returnID, sizeof returnID,
                    nullptr);
  AEGetAttributePtr(&event, keyTransactionIDAttr, typeSInt32, nullptr, &transactionID,
                    sizeof transactionID, nullptr);
  AEAddressDesc none;
  return AECreateAppleEvent(kAEReplyClass, kAEAnswer, &none, returnID, transactionID, reply);
}

// Handles one incoming message and appends the reply's message to `*out`.
// Returns false, leaving `*out` as it was, when the connection is to be
// dropped.
bool HandleMessage(std::string_view message, std::string* out) {
  try {
    AppleEvent event;
    if (DecodeMessage(message, &event) != noErr || event.descriptorType() != typeAppleEvent) {
      return false;
    }
    AEEventClass eventClass = 0;
    AEEventID eventID = 0;
    if (AEGetAttributePtr(&event, keyEventClassAttr, typeType, nullptr, &eventClass,
                          sizeof eventClass, nullptr) != noErr ||
        AEGetAttributePtr(&event, keyEventIDAttr, typeType, nullptr, &eventID, sizeof eventID,
                          nullptr) != noErr) {
      return false;
    }
    AppleEvent reply;
    if (MakeReply(event, &reply) != noErr) return false;
    OSErr status = errAEEventNotHandled;
    if (const std::optional<Handler> handler = FindHandler(eventClass, eventID)) {
      status = handler->proc(&event, &reply, handler->refcon);
    }
    if (status != noErr) {
      AEDesc existing;
      if (AEGetParamDesc(&reply, keyErrorNumber, typeWildCard, &existing) != noErr) {
        const std::int32_t number = status;
        AEPutParamPtr(&reply, keyErrorNumber, typeSInt32, &number, sizeof number);
      }
    }
    const std::size_t before = out->size();
    if (AppendMessage(reply, out) != noErr) {
      out->resize(before);
      return false;
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
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
  try {
    return Send(*event, reply, replyMode, timeOutInTicks, idleProc);
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
}

OSErr AEInstallEventHandler(AEEventClass eventClass, AEEventID eventID, AEEventHandlerUPP handler,
                            SRefCon handlerRefcon, bool /*isSysHandler*/) {
  if (handler == nullptr) return paramErr;
  try {
    Handlers()[{eventClass, eventID}] = Handler{handler, handlerRefcon};
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
  return noErr;
}

OSErr AERemoveEventHandler(AEEventClass eventClass, AEEventID eventID, AEEventHandlerUPP /*handler*/,
                           bool /*isSysHandler*/) {
  return Handlers().erase({eventClass, eventID}) == 1 ? noErr : errAEHandlerNotFound;
}

OSErr AEServerOpen(const AEServerLimits& limits) {
  if (TheServer() != nullptr) return noErr;
  auto server = std::make_unique<Server>();
  server->limits = limits;
  if (const OSErr status = GetCurrentProcessSocketPath(&server->path); status != noErr) {
    return status;
  }
  sockaddr_un address;
  if (!MakeSocketAddress(server->path, &address)) {
    NSLog("Cannot serve events: the socket path %s is too long", server->path.c_str());
    return ioErr;
  }
  server->listener.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  server->poller.Reset(epoll_create1(EPOLL_CLOEXEC));
  server->timer.Reset(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  server->spare.Reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
  // A socket under this process id can only be left by an ended process.
  unlink(server->path.c_str());
  const mode_t oldMask = umask(0177);
  const bool bound = server->listener.get() >= 0 &&
                     bind(server->listener.get(), reinterpret_cast<const sockaddr*>(&address),
                          sizeof address) == 0;
  umask(oldMask);
  epoll_event watch{};
  watch.events = EPOLLIN;
  watch.data.fd = server->listener.get();
  epoll_event timer{};
  timer.events = EPOLLIN;
  timer.data.fd = server->timer.get();
  if (!bound || listen(server->listener.get(), SOMAXCONN) != 0 || server->poller.get() < 0 ||
      server->timer.get() < 0 ||
      epoll_ctl(server->poller.get(), EPOLL_CTL_ADD, server->listener.get(), &watch) != 0 ||
      epoll_ctl(server->poller.get(), EPOLL_CTL_ADD, server->timer.get(), &timer) != 0) {
    NSLog("Cannot serve events on %s: %s", server->path.c_str(), strerror(errno));
    if (bound) unlink(server->path.c_str());
    return ioErr;
  }
  TheServer() = server.release();
  return noErr;
}

int AEServerFileDescriptor() {
  return TheServer() != nullptr ? TheServer()->poller.get() : -1;
}

void AEServerDispatch() {
  Server* server = TheServer();
  if (server == nullptr || server->dispatching) return;
  server->dispatching = true;
  epoll_event ready[32];
  const int count = epoll_wait(server->poller.get(), ready, 32, 0);
  for (int i = 0; i < count; ++i) {
    const int fd = ready[i].data.fd;
    if (fd == server->listener.get()) {
      Accept(*server);
      continue;
    }
    if (fd == server->timer.get()) {
      Expire(*server);
      continue;
    }
    const auto found = server->connections.find(fd);
    if (found == server->connections.end()) continue;
    bool keep = false;
    try {
      keep = Serve(*server, *found->second);
    } catch (const std::bad_alloc&) {
      keep = false;
    }
    if (!keep) Drop(*server, fd);
  }
  ArmTimer(*server);
  server->dispatching = false;
}

void AEServerClose() {
  Server* server = std::exchange(TheServer(), nullptr);
  if (server == nullptr) return;
  unlink(server->path.c_str());
  delete server;
}

bool AEServerHandleMessage(std::string_view message, std::string* replyMessage) {
  std::string framed;
  if (!HandleMessage(message, &framed)) return false;
  try {
    *replyMessage = framed.substr(4);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}
