#include "platform/appleevents/aeipc.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
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

// The message that carries `desc`: its length, then its flattened form.
OSErr EncodeMessage(const AEDesc& desc, std::string* message) {
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
  message->clear();
  message->reserve(4 + flat.size());
  for (int shift = 24; shift >= 0; shift -= 8) message->push_back(static_cast<char>(size >> shift));
  message->append(flat);
  return noErr;
}

// Reads a message body back into a descriptor of this process.
OSErr DecodeMessage(std::string_view body, AEDesc* desc) {
  if (const OSErr status = AEUnflattenDesc(body, desc); status != noErr) return status;
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

OSErr Send(const AppleEvent& event, AppleEvent* reply, AESendMode mode, std::int32_t timeout,
           AEIdleUPP idleProc) {
  ProcessSerialNumber target;
  if (const OSErr status = TargetOf(event, &target); status != noErr) return status;
  std::string path;
  if (const OSErr status = GetProcessSocketPath(&target, &path); status != noErr) return status;
  std::string message;
  if (const OSErr status = EncodeMessage(event, &message); status != noErr) return status;

  std::optional<Clock::time_point> deadline;
  if (timeout != kNoTimeOut) {
    deadline = Clock::now() + TicksToDuration(timeout == kAEDefaultTimeout || timeout < 0
                                                  ? kDefaultTimeoutTicks
                                                  : timeout);
  }
  std::int32_t sleepTicks = kDefaultSleepTicks;

  sockaddr_un address;
  if (!MakeSocketAddress(path, &address)) return connectionInvalid;
  ScopedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.get() < 0) return connectionInvalid;
  while (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EAGAIN && errno != EINTR) {
      // A socket nobody listens on is left by a process that ended, unless
      // the process still runs and only stopped serving.
      ProcessInfoRec info;
      info.processInfoLength = kProcessInfoRecLength;
      return GetProcessInformation(&target, &info) == noErr ? connectionInvalid : procNotFound;
    }
    // The server's queue of new connections is full: try again shortly.
    if (const OSErr status = WaitFor(-1, 0, deadline, idleProc, &sleepTicks,
                                     std::chrono::milliseconds(5));
        status != noErr) {
      return status;
    }
  }
  if (!PeerIsThisUser(fd.get())) {
    NSLog("Refused the event socket %s: it belongs to another user", path.c_str());
    return connectionInvalid;
  }

  std::string_view unsent = message;
  while (!unsent.empty()) {
    const ssize_t sent = send(fd.get(), unsent.data(), unsent.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      unsent.remove_prefix(static_cast<std::size_t>(sent));
    } else if (sent < 0 && errno == EINTR) {
      continue;
    } else if (sent < 0 && errno == EAGAIN) {
      if (const OSErr status = WaitFor(fd.get(), POLLOUT, deadline, idleProc, &sleepTicks);
          status != noErr) {
        return status;
      }
    } else {
      return connectionInvalid;
    }
  }
  if ((mode & kAEReplyModeMask) == kAENoReply) return noErr;

  std::string received;
  std::size_t wanted = 4;
  bool haveLength = false;
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
  // The server answers one event per connection: anything after the reply
  // makes it invalid.
  if (received.size() != wanted ||
      DecodeMessage(std::string_view(received).substr(4), &answer) != noErr ||
      answer.descriptorType() != typeAppleEvent) {
    return errAEReplyNotValid;
  }
  *reply = std::move(answer);
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
  std::string in;
  std::string out;
  std::size_t outSent = 0;
  bool watchingOutput = false;  // Whether the poller also waits for room to write.
};

struct Server {
  ScopedFd listener;
  ScopedFd poller;
  std::string path;
  std::map<int, std::unique_ptr<Connection>> connections;
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

bool Serve(Server& server, Connection& connection);

void Accept(Server& server) {
  for (;;) {
    const int fd = accept4(server.listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    auto connection = std::make_unique<Connection>();
    connection->fd.Reset(fd);
    if (!PeerIsThisUser(fd)) {
      NSLog("Refused an event connection from another user");
      continue;
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

// Writes what the connection still owes. Returns false when it is to be
// dropped.
bool Flush(Server& server, Connection& connection) {
  while (connection.outSent < connection.out.size()) {
    const ssize_t sent = send(connection.fd.get(), connection.out.data() + connection.outSent,
                              connection.out.size() - connection.outSent, MSG_NOSIGNAL);
    if (sent > 0) {
      connection.outSent += static_cast<std::size_t>(sent);
    } else if (sent < 0 && errno == EINTR) {
      continue;
    } else if (sent < 0 && errno == EAGAIN) {
      if (!connection.watchingOutput) {
        epoll_event watch{};
        watch.events = EPOLLIN | EPOLLOUT;
        watch.data.fd = connection.fd.get();
        epoll_ctl(server.poller.get(), EPOLL_CTL_MOD, connection.fd.get(), &watch);
        connection.watchingOutput = true;
      }
      return true;
    } else {
      return false;
    }
  }
  connection.out.clear();
  connection.outSent = 0;
  if (connection.watchingOutput) {
    epoll_event watch{};
    watch.events = EPOLLIN;
    watch.data.fd = connection.fd.get();
    epoll_ctl(server.poller.get(), EPOLL_CTL_MOD, connection.fd.get(), &watch);
    connection.watchingOutput = false;
  }
  return true;
}

// Reads what arrived and answers every whole message. Returns false when
// the connection is to be dropped.
bool Serve(Server& server, Connection& connection) {
  bool peerDone = false;
  for (;;) {
    char buffer[65536];
    const ssize_t got = recv(connection.fd.get(), buffer, sizeof buffer, 0);
    if (got > 0) {
      connection.in.append(buffer, static_cast<std::size_t>(got));
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
  }
  while (connection.in.size() >= 4) {
    const std::size_t length = AnnouncedLength(connection.in);
    if (connection.in.size() < 4 + length) break;
    std::string reply;
    if (!AEServerHandleMessage(std::string_view(connection.in).substr(4, length), &reply)) {
      return false;
    }
    connection.in.erase(0, 4 + length);
    for (int shift = 24; shift >= 0; shift -= 8) {
      connection.out.push_back(static_cast<char>(reply.size() >> shift));
    }
    connection.out.append(reply);
  }
  // A peer that is done sending gets what it is owed, once; a message it
  // left half-sent is dropped with it.
  if (peerDone) {
    Flush(server, connection);
    return false;
  }
  return Flush(server, connection);
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

OSErr AEServerOpen() {
  if (TheServer() != nullptr) return noErr;
  auto server = std::make_unique<Server>();
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
  if (!bound || listen(server->listener.get(), SOMAXCONN) != 0 || server->poller.get() < 0 ||
      epoll_ctl(server->poller.get(), EPOLL_CTL_ADD, server->listener.get(), &watch) != 0) {
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
  server->dispatching = false;
}

void AEServerClose() {
  Server* server = std::exchange(TheServer(), nullptr);
  if (server == nullptr) return;
  unlink(server->path.c_str());
  delete server;
}

bool AEServerHandleMessage(std::string_view message, std::string* replyMessage) {
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
    std::string framed;
    if (EncodeMessage(reply, &framed) != noErr) return false;
    *replyMessage = framed.substr(4);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}
