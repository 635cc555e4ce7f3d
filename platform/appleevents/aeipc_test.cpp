#include "platform/appleevents/aeipc.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

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
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
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

}  // namespace
