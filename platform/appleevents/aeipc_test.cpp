#include "platform/appleevents/aeipc.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/processes/processes.h"
#include "testing/test_support.h"

namespace {

constexpr AEEventClass kTest = MakeFourCharCode("test");

OSErr MyEchoHandler(const AppleEvent* event, AppleEvent* reply, SRefCon refcon) {
  ++*static_cast<std::atomic<int>*>(refcon);
  AEDesc object;
  if (AEGetParamDesc(event, keyDirectObject, typeWildCard, &object) == noErr) {
    AEPutParamDesc(reply, keyDirectObject, &object);
  }
  return noErr;
}

OSErr MyFailingHandler(const AppleEvent*, AppleEvent*, SRefCon) { return -1719; }

// A message as the transport frames it: a big-endian length (the body's own by default), then the body.
std::string Framed(std::string_view body, std::optional<std::uint32_t> declared = std::nullopt) {
  const std::uint32_t length = declared.value_or(static_cast<std::uint32_t>(body.size()));
  std::string message(4, '\0');
  for (int i = 0; i < 4; ++i) message[i] = static_cast<char>(length >> (24 - 8 * i));
  return message.append(body);
}

// The direct object of `reply`, as AEPrintDescToHandle prints it.
std::string Echoed(const AppleEvent& reply) {
  AEDesc echoed;
  std::string printed;
  AEGetParamDesc(&reply, keyDirectObject, typeWildCard, &echoed);
  AEPrintDescToHandle(&echoed, &printed);
  return printed;
}

// A raw connection to the socket at `path`.
int ConnectTo(const std::string& path, int flags = 0) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

// This process serves events on a thread of its own while the test sends them from the main thread.
class AEIPCTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(AEServerOpen(), noErr);
    ASSERT_EQ(RegisterProcess(kTest, kTest, "Test", false), noErr);
    AEInstallEventHandler(kTest, MakeFourCharCode("echo"), MyEchoHandler, &handled_, false);
    AEInstallEventHandler(kTest, MakeFourCharCode("fail"), MyFailingHandler, nullptr, false);
    StartServing();
  }
  void TearDown() override {
    StopServing();
    AERemoveEventHandler(kTest, MakeFourCharCode("echo"), MyEchoHandler, false);
    AERemoveEventHandler(kTest, MakeFourCharCode("fail"), MyFailingHandler, false);
    AEServerClose();
    UnregisterProcess();
  }

  static AppleEvent Event(const char (&id)[5], std::string_view params = "'----':[1, \"two\"]") {
    const OSType signature = kTest;
    AppleEvent event;
    EXPECT_EQ(AEBuildAppleEvent(kTest, MakeFourCharCode(id), typeApplSignature, &signature,
                                sizeof signature, kAutoGenerateReturnID, kAnyTransactionID, &event,
                                nullptr, params),
              noErr);
    return event;
  }

  static OSErr Send(const AppleEvent& event, AppleEvent* reply, std::int32_t timeout = kNoTimeOut,
                    AEIdleUPP idle = nullptr, AESendMode mode = kAEWaitReply) {
    return AESend(&event, reply, mode, kAENormalPriority, timeout, idle, nullptr);
  }

  // A raw connection to this process's socket.
  static int Connect() {
    std::string path;
    EXPECT_EQ(GetCurrentProcessSocketPath(&path), noErr);
    return ConnectTo(path);
  }

  void StartServing() {
    stop_ = false;
    server_ = std::thread([this] {
      while (!stop_) {
        pollfd ready{AEServerFileDescriptor(), POLLIN, 0};
        if (poll(&ready, 1, 10) > 0 && serving_) AEServerDispatch();
      }
    });
  }
  void StopServing() {
    stop_ = true;
    server_.join();
  }

  kestrine_testing::ScopedUser user_;
  std::atomic<int> handled_{0};
  std::atomic<bool> serving_{true};
  std::atomic<bool> stop_{false};
  std::thread server_;
};

TEST_F(AEIPCTest, EventsAreAnsweredByTheirHandlerOrWithAnErrorNumber) {
  const struct {
    char id[5];
    std::int16_t errorNumber;  // 0: none in the reply.
    const char* directObject;
  } cases[] = {{"echo", 0, "[1, \"two\"]"},
               {"fail", -1719, "'null'()"},
               {"none", errAEEventNotHandled, "'null'()"}};
  AppleEvent reply;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    ASSERT_EQ(Send(Event(c.id), &reply), noErr);
    ASSERT_EQ(reply.descriptorType(), typeAppleEvent);
    std::int16_t number = 0;
    const OSErr status =
        AEGetParamPtr(&reply, keyErrorNumber, typeSInt16, nullptr, &number, sizeof number, nullptr);
    EXPECT_EQ(status, c.errorNumber == 0 ? errAEDescNotFound : noErr);
    EXPECT_EQ(number, c.errorNumber);
    EXPECT_EQ(Echoed(reply), c.directObject);
  }

  // Without a reply wanted, the send returns once the event is written.
  const int before = handled_;
  ASSERT_EQ(Send(Event("echo"), &reply, kNoTimeOut, nullptr, kAENoReply), noErr);
  EXPECT_EQ(reply.descriptorType(), typeNull);
  for (int i = 0; i < 500 && handled_ == before; ++i) usleep(2000);
  EXPECT_EQ(handled_, before + 1);
}

TEST_F(AEIPCTest, BadAddressesAndModesAreRefused) {
  AppleEvent reply;
  AppleEvent event;
  AECreateAppleEvent(kTest, kTest, nullptr, kAutoGenerateReturnID, kAnyTransactionID, &event);
  EXPECT_EQ(Send(event, &reply), errAEUnknownAddressType);
  const ProcessSerialNumber nobody{0, 999999999};
  AEDesc address;
  AECreateDesc(typeProcessSerialNumber, &nobody, sizeof nobody, &address);
  AECreateAppleEvent(kTest, kTest, &address, kAutoGenerateReturnID, kAnyTransactionID, &event);
  EXPECT_EQ(Send(event, &reply), procNotFound);
  EXPECT_EQ(Send(Event("echo"), &reply, kNoTimeOut, nullptr, kAEQueueReply), paramErr);
  EXPECT_EQ(AESend(&event, nullptr, kAEWaitReply, 0, kNoTimeOut, nullptr, nullptr), paramErr);

  // A socket that another user put in its place is not used.
  std::string path;
  ASSERT_EQ(GetCurrentProcessSocketPath(&path), noErr);
  ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0) << "tests run as root";
  EXPECT_EQ(Send(Event("echo"), &reply), afpAccessDenied);
  ASSERT_EQ(chown(path.c_str(), geteuid(), getegid()), 0);
  EXPECT_EQ(Send(Event("echo"), &reply), noErr);
}

// Counts its calls; cancels the wait at the third.
std::atomic<int> gIdleCalls{0};
bool MyCancellingIdle(EventRecord* event, std::int32_t* sleepTime, RgnHandle*) {
  EXPECT_EQ(event->what, 0);
  *sleepTime = 1;
  return ++gIdleCalls == 3;
}
bool MyPatientIdle(EventRecord*, std::int32_t* sleepTime, RgnHandle*) {
  *sleepTime = 6;
  ++gIdleCalls;
  return false;
}

TEST_F(AEIPCTest, AWaitEndsWithItsTimeOutOrWhenTheIdleRoutineCancelsIt) {
  serving_ = false;
  AppleEvent reply;
  gIdleCalls = 0;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Send(Event("echo"), &reply, 30, MyPatientIdle), errAETimeout);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(490));
  EXPECT_LT(waited, std::chrono::seconds(3));
  // Every 10 ticks first, then every 6 as the routine asks: 4 or 5 calls.
  EXPECT_GE(gIdleCalls, 3);
  EXPECT_LE(gIdleCalls, 6);
  gIdleCalls = 0;
  EXPECT_EQ(Send(Event("echo"), &reply, kNoTimeOut, MyCancellingIdle), errAEWaitCanceled);
  EXPECT_EQ(gIdleCalls, 3);
  EXPECT_EQ(reply.descriptorType(), typeNull);
  serving_ = true;
  EXPECT_EQ(Send(Event("echo"), &reply, kAEDefaultTimeout), noErr);
}

TEST_F(AEIPCTest, ABadMessageDropsItsConnectionOnly) {
  const std::string messages[] = {
      Framed("", 0xFFFFFFFFu),                                       // longer than allowed
      Framed("AEF1", 40),                                            // truncated, then closed
      Framed("garbage!", 8),                                         // does not read back
      Framed(AEFlattenDesc(AEDesc())),                               // not an event
  };
  for (const std::string& message : messages) {
    const int fd = Connect();
    ASSERT_EQ(write(fd, message.data(), message.size()), static_cast<ssize_t>(message.size()));
    shutdown(fd, SHUT_WR);
    char byte;
    EXPECT_EQ(read(fd, &byte, 1), 0);  // Dropped without a reply.
    close(fd);
  }
  // A connection that stays open with half a message does not hold the server up.
  const int stalled = Connect();
  ASSERT_EQ(write(stalled, "\0\0\1\0AEF2", 8), 8);
  AppleEvent reply;
  EXPECT_EQ(Send(Event("echo"), &reply, 600), noErr);
  close(stalled);
}

TEST_F(AEIPCTest, OneConnectionCarriesEventsInOrderAndIsReplacedWhenTheServerClosesIt) {
  // Two events written at once on one connection get their replies in order.
  std::string both;
  for (const char* text : {"\"first\"", "\"second\""}) {
    both += Framed(AEFlattenDesc(Event("echo", std::string("'----':") + text)));
  }
  const int fd = Connect();
  ASSERT_EQ(write(fd, both.data(), both.size()), static_cast<ssize_t>(both.size()));
  shutdown(fd, SHUT_WR);
  std::string replies;
  char buffer[4096];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) replies.append(buffer, got);
  close(fd);
  AppleEvent reply;
  for (const char* expected : {"\"first\"", "\"second\""}) {
    ASSERT_GE(replies.size(), 4u);
    const std::size_t length = static_cast<unsigned char>(replies[2]) << 8 |
                               static_cast<unsigned char>(replies[3]);
    ASSERT_EQ(AEUnflattenDesc(std::string_view(replies).substr(4, length), &reply), noErr);
    EXPECT_EQ(Echoed(reply), expected);
    replies.erase(0, 4 + length);
  }
  EXPECT_EQ(replies, "");

  // The connection a send keeps is closed when the server stops; the next
  // send delivers its event exactly once over a new one.
  ASSERT_EQ(Send(Event("echo"), &reply), noErr);
  StopServing();
  AEServerClose();
  ASSERT_EQ(AEServerOpen(), noErr);
  StartServing();
  const int before = handled_;
  EXPECT_EQ(Send(Event("echo"), &reply), noErr);
  EXPECT_EQ(handled_, before + 1);
  EXPECT_EQ(Send(Event("echo"), &reply), noErr);
  EXPECT_EQ(handled_, before + 2);

  // A server that stopped for good is not reached through the kept connection.
  StopServing();
  AEServerClose();
  EXPECT_EQ(Send(Event("echo"), &reply), procNotFound);
  EXPECT_EQ(handled_, before + 2);
  ASSERT_EQ(AEServerOpen(), noErr);
  StartServing();
}

// An 'echo' addressed to `pid` whose direct object is `bytes` of 'TEXT'.
AppleEvent EchoTo(pid_t pid, std::string_view bytes) {
  const ProcessSerialNumber psn{0, static_cast<std::uint32_t>(pid)};
  AEAddressDesc address;
  AECreateDesc(typeProcessSerialNumber, &psn, sizeof psn, &address);
  AppleEvent event;
  AECreateAppleEvent(kTest, MakeFourCharCode("echo"), &address, kAutoGenerateReturnID,
                     kAnyTransactionID, &event);
  AEPutParamPtr(&event, keyDirectObject, typeText, bytes.data(), bytes.size());
  return event;
}

// A server in a forked child that loops as `kestrine-finder serve` does: registered,
// answering 'test'/'echo', until it is killed. It may open `descriptors` at
// most (0: as many as this process), of which it takes up to `occupied`
// once serving, as other work would.
class ServerChild final {
 public:
  explicit ServerChild(const AEServerLimits& limits = {}, rlim_t descriptors = 0, int occupied = 0) {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    pid_ = kestrine_testing::StartChild([&] {
      const rlimit limit{descriptors, descriptors};
      if (descriptors != 0 && setrlimit(RLIMIT_NOFILE, &limit) != 0) return 1;
      std::atomic<int> handled{0};
      if (AEServerOpen(limits) != noErr || RegisterProcess(kTest, kTest, "Server", false) != noErr ||
          AEInstallEventHandler(kTest, MakeFourCharCode("echo"), MyEchoHandler, &handled, false) !=
              noErr ||
          write(ready[1], "r", 1) != 1) {
        return 1;
      }
      for (int i = 0; i < occupied && open("/dev/null", O_RDONLY) >= 0; ++i) {
      }
      for (;;) {
        pollfd readable{AEServerFileDescriptor(), POLLIN, 0};
        if (poll(&readable, 1, -1) > 0) AEServerDispatch();
      }
    });
    char byte = 0;
    EXPECT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    close(ready[1]);
  }
  ~ServerChild() { Stop(); }

  // Kills the child; the processor time it used, in seconds.
  double Stop() {
    if (pid_ <= 0) return 0;
    kill(pid_, SIGKILL);
    rusage usage{};
    wait4(std::exchange(pid_, 0), nullptr, 0, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }

  // The most memory the child has held so far (VmHWM), in MiB.
  long PeakMiB() const {
    const std::string status =
        kestrine_testing::ReadFile("/proc/" + std::to_string(pid_) + "/status").value_or("");
    const std::size_t at = status.find("VmHWM:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6) / 1024;
  }

  // A raw connection to the child's socket.
  int Connect(int flags = 0) const {
    const ProcessSerialNumber psn{0, static_cast<std::uint32_t>(pid_)};
    std::string path;
    EXPECT_EQ(GetProcessSocketPath(&psn, &path), noErr);
    return ConnectTo(path, flags);
  }

  pid_t pid() const { return pid_; }
  AppleEvent Echo(std::string_view bytes = "") const { return EchoTo(pid_, bytes); }

 private:
  pid_t pid_ = 0;
};

// How many of `fds` the server has closed, waiting up to 10 s for all.
std::size_t ClosedByPeer(const std::vector<int>& fds) {
  std::vector<pollfd> watched;
  for (const int fd : fds) watched.push_back({fd, 0, 0});
  std::size_t closed = 0;
  for (int i = 0; i < 100 && closed < fds.size(); ++i) {
    if (i > 0) usleep(100000);
    poll(watched.data(), watched.size(), 0);
    closed = static_cast<std::size_t>(std::count_if(watched.begin(), watched.end(), [](const pollfd& p) {
      return (p.revents & (POLLHUP | POLLERR)) != 0;
    }));
  }
  return closed;
}

// 200 idle connections under a limit of 64 descriptors: the server neither
// spins on a listener it cannot accept from nor shuts out a new client
// while it can take one, and closes what stays idle.
TEST(AEServerPressureTest, IdleConnectionsBeyondTheDescriptorLimitShutOutNobody) {
  const struct {
    const char* name;
    std::size_t connectionsPerPeer;
    int occupied;  // Descriptors the server's other work takes.
    OSErr newClient;
  } cases[] = {
      {"one peer's connections", AEServerLimits{}.connectionsPerPeer, 0, noErr},
      {"descriptors taken elsewhere", 1000, 40, noErr},
      {"no descriptor left", 1000, 64, connectionInvalid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    kestrine_testing::ScopedUser user;
    ServerChild server({.connectionsPerPeer = c.connectionsPerPeer,
                        .idleTimeout = std::chrono::seconds(1)},
                       64, c.occupied);
    std::vector<int> idle;
    for (int i = 0; i < 200; ++i) idle.push_back(server.Connect());
    const AppleEvent event = server.Echo("new");
    AppleEvent reply;
    EXPECT_EQ(AESend(&event, &reply, kAEWaitReply, kAENormalPriority, 300, nullptr, nullptr),
              c.newClient);
    EXPECT_EQ(ClosedByPeer(idle), idle.size());
    sleep(1);
    // A busy loop would take about a second of processor time per second.
    EXPECT_LT(server.Stop(), 1.0);
    for (const int fd : idle) close(fd);
  }
}

// A client that sends events and never reads the replies holds a few MiB of
// the server, and is dropped when it does not read.
TEST(AEServerPressureTest, AClientThatNeverReadsItsRepliesIsStoppedAndDropped) {
  kestrine_testing::ScopedUser user;
  ServerChild server({.idleTimeout = std::chrono::seconds(1)});
  const long before = server.PeakMiB();
  const int fd = server.Connect(SOCK_NONBLOCK);
  const std::string request = Framed(AEFlattenDesc(server.Echo(std::string(65536, 'x'))));
  std::size_t pushed = 0;
  std::size_t at = 0;
  while (pushed < (std::size_t{256} << 20)) {
    pollfd writable{fd, POLLOUT, 0};
    if (poll(&writable, 1, 2000) <= 0 || (writable.revents & POLLOUT) == 0) break;
    const ssize_t sent = send(fd, request.data() + at, request.size() - at, MSG_NOSIGNAL);
    if (sent <= 0) break;
    pushed += static_cast<std::size_t>(sent);
    at = (at + static_cast<std::size_t>(sent)) % request.size();
  }
  EXPECT_LT(server.PeakMiB() - before, 96) << pushed << " bytes sent";
  EXPECT_EQ(ClosedByPeer({fd}), 1u);
  close(fd);
}

// A message that would unflatten into millions of descriptors is refused
// without building them.
TEST(AEServerPressureTest, AMessageOfTooManyDescriptorsIsRefusedWithoutBuildingThem) {
  kestrine_testing::ScopedUser user;
  ServerChild server;
  const long before = server.PeakMiB();
  const std::uint32_t count = (std::uint32_t{5} << 20) / 4;
  std::string bomb = "AEF1list";
  bomb.append({static_cast<char>(count >> 24), static_cast<char>(count >> 16),
               static_cast<char>(count >> 8), static_cast<char>(count)});
  for (std::uint32_t i = 0; i < count; ++i) bomb.append("null\0\0\0\0", 8);
  const std::string message = Framed(bomb);
  const int fd = server.Connect();
  ASSERT_EQ(send(fd, message.data(), message.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(message.size()));
  shutdown(fd, SHUT_WR);
  char byte;
  EXPECT_LE(read(fd, &byte, 1), 0);  // Dropped without a reply.
  close(fd);
  EXPECT_LT(server.PeakMiB() - before, 96);
  const AppleEvent event = server.Echo();
  AppleEvent reply;
  EXPECT_EQ(AESend(&event, &reply, kAEWaitReply, kAENormalPriority, 300, nullptr, nullptr), noErr);
}

// A send without a time-out to a target that takes nothing ends with
// errAETimeout once connecting or writing has taken kAEDeliveryTimeout.
TEST(AEServerPressureTest, ConnectingAndWritingAreBoundedWithoutATimeOut) {
  kestrine_testing::ScopedUser user;
  // This process registers a socket whose one-place queue is full; the
  // server child is stopped and reads nothing.
  ASSERT_EQ(RegisterProcess(kTest, kTest, "Deaf", false), noErr);
  std::string path;
  ASSERT_EQ(GetCurrentProcessSocketPath(&path), noErr);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  const int queued = ConnectTo(path);
  ServerChild stopped;
  kill(stopped.pid(), SIGSTOP);
  const struct {
    const char* name;
    pid_t target;
    std::size_t bytes;
  } cases[] = {{"full queue", getpid(), 0}, {"unread event", stopped.pid(), std::size_t{16} << 20}};
  std::vector<pid_t> senders;
  for (const auto& c : cases) {
    senders.push_back(kestrine_testing::StartChild([&] {
      alarm(60);  // Ends a send that never would.
      const AppleEvent event = EchoTo(c.target, std::string(c.bytes, 'x'));
      AppleEvent reply;
      return AESend(&event, &reply, kAEWaitReply, kAENormalPriority, kNoTimeOut, nullptr,
                    nullptr) == errAETimeout ? 0 : 1;
    }));
  }
  for (std::size_t i = 0; i < senders.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(kestrine_testing::WaitForChild(senders[i]), 0);
  }
  close(queued);
  close(listener);
  UnregisterProcess();
}

}  // namespace
