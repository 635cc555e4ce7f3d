// Serving Apple events from other processes: the listener, its
// connections and their limits, and the dispatch to installed handlers.
#include <errno.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
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
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/appleevents/aeipc.h"
#include "platform/appleevents/aeipc_internal.h"
#include "platform/log/nslog.h"
#include "platform/memory_guard.h"
#include "platform/processes/processes.h"

namespace {

using aeipc_internal::AnnouncedLength;
using aeipc_internal::AppendMessage;
using aeipc_internal::Clock;
using aeipc_internal::DecodeMessage;
using aeipc_internal::MakeSocketAddress;
using aeipc_internal::FileDescriptor;

constexpr AEEventClass kAEReplyClass = MakeFourCharCode("aevt");
constexpr AEEventID kAEAnswer = MakeFourCharCode("ansr");

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
  FileDescriptor fd;
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
  FileDescriptor listener;
  FileDescriptor poller;
  FileDescriptor timer;  // Due when a connection's idle time or the listener's rest ends.
  FileDescriptor spare;  // Kept open to take a connection when descriptors run out.
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
  return GuardMemory(false, [&] {
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
  });
}

}  // namespace

OSErr AEInstallEventHandler(AEEventClass eventClass, AEEventID eventID, AEEventHandlerUPP handler,
                            SRefCon handlerRefcon, bool /*isSysHandler*/) {
  if (handler == nullptr) return paramErr;
  return GuardMemory(memFullErr, [&] {
    Handlers()[{eventClass, eventID}] = Handler{handler, handlerRefcon};
    return OSErr{noErr};
  });
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
    const bool keep = GuardMemory(false, [&] { return Serve(*server, *found->second); });
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
  return RanWithMemory([&] {
    *replyMessage = framed.substr(4);
  });
}
