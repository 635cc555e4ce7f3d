#include "platform/notifications/notifications.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/notifications/notifications_testing.h"
#include "testing/session_bus.h"
#include "testing/test_support.h"

namespace {

using kestrine_testing::RunProgram;
using kestrine_testing::ScopedEnv;
using kestrine_testing::ScopedSessionBus;
using kestrine_testing::ScopedTempDir;
using kestrine_testing::SystemProgram;

constexpr std::string_view kName = "Preferences Changed";
constexpr std::string_view kObject = "com.corvane.preference.KestrineCM";
constexpr std::string_view kOtherObject = "com.example.other";
constexpr auto kNone = std::nullopt;

using Log = std::vector<std::string>;

// What a registration writes in the log: "label:name|object", "-" for none.
struct Observer {
  std::string label;
  Log* log;
  std::thread::id thread{};
};

void MyRecord(CFNotificationCenterRef, void* observer, const std::string& name,
              const std::optional<std::string>& object, const void* userInfo) {
  auto* self = static_cast<Observer*>(observer);
  self->log->push_back(self->label + ":" + name + "|" + object.value_or("-") +
                       (userInfo ? " with user information" : ""));
  self->thread = std::this_thread::get_id();
}

bool WaitReadable(int fd, int milliseconds) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, milliseconds) == 1;
}

// Runs `center` as an event loop would, until `done` holds or five seconds
// pass.
template <typename Predicate>
void DispatchUntil(CFNotificationCenterRef center, Predicate done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    if (WaitReadable(CFNotificationCenterGetFileDescriptor(center), 100)) {
      CFNotificationCenterDispatch(center);
    }
  }
}

void DispatchUntil(CFNotificationCenterRef center, const Log& log, std::size_t count) {
  DispatchUntil(center, [&] { return log.size() >= count; });
}

class NotificationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus_.running()) << bus_.error();
    observing_ = CreateDistributedCenterForTesting();
    posting_ = CreateDistributedCenterForTesting();
  }

  Observer* NewObserver(std::string label) {
    observers_.push_back(std::make_unique<Observer>(Observer{std::move(label), &log_}));
    return observers_.back().get();
  }

  Observer* Observe(std::string label, std::optional<std::string_view> name,
                    std::optional<std::string_view> object) {
    Observer* observer = NewObserver(std::move(label));
    CFNotificationCenterAddObserver(observing_.get(), observer, MyRecord, name, object,
                                    CFNotificationSuspensionBehaviorDeliverImmediately);
    return observer;
  }

  void Post(CFNotificationCenterRef center, std::string_view name,
            std::optional<std::string_view> object) {
    CFNotificationCenterPostNotification(center, name, object, nullptr, true);
  }

  // Posts "End" and waits for it, so that everything posted before it by
  // `posting_` has been delivered; the lines for "End" are taken out of the
  // log.
  void DrainWithSentinel() {
    Observer* end = Observe("end", "End", kNone);
    Post(posting_.get(), "End", kNone);
    const auto isEnd = [](const std::string& line) { return line.ends_with(":End|-"); };
    DispatchUntil(observing_.get(), [&] { return !log_.empty() && log_.back() == "end:End|-"; });
    EXPECT_FALSE(log_.empty() || log_.back() != "end:End|-") << "the sentinel did not arrive";
    std::erase_if(log_, isEnd);
    CFNotificationCenterRemoveEveryObserver(observing_.get(), end);
  }

  ScopedSessionBus bus_;
  ScopedNotificationCenter observing_;
  ScopedNotificationCenter posting_;
  Log log_;
  std::vector<std::unique_ptr<Observer>> observers_;
};

TEST_F(NotificationsTest, ObserversReceiveExactlyWhatTheyRegisteredForInOrder) {
  Observe("exact", kName, kObject);
  Observe("other", kName, kOtherObject);
  Observe("anyObject", kName, kNone);
  Observe("anyName", kNone, kObject);
  Observe("all", kNone, kNone);
  const Log expected = {
      "exact:Preferences Changed|com.corvane.preference.KestrineCM",
      "anyObject:Preferences Changed|com.corvane.preference.KestrineCM",
      "anyName:Preferences Changed|com.corvane.preference.KestrineCM",
      "all:Preferences Changed|com.corvane.preference.KestrineCM",
      "exact:Preferences Changed|com.corvane.preference.KestrineCM",
      "anyObject:Preferences Changed|com.corvane.preference.KestrineCM",
      "anyName:Preferences Changed|com.corvane.preference.KestrineCM",
      "all:Preferences Changed|com.corvane.preference.KestrineCM",
      "other:Preferences Changed|com.example.other",
      "anyObject:Preferences Changed|com.example.other",
      "all:Preferences Changed|com.example.other",
      "all:Something Else|-",
  };
  // Posted by another process, and by the observing process itself.
  for (CFNotificationCenterRef poster : {posting_.get(), observing_.get()}) {
    SCOPED_TRACE(poster == observing_.get() ? "own posts" : "another's posts");
    log_.clear();
    Post(poster, kName, kObject);
    Post(poster, kName, kObject);
    Post(poster, kName, kOtherObject);
    Post(poster, "Something Else", "");
    DispatchUntil(observing_.get(), log_, expected.size());
    EXPECT_EQ(log_, expected);
    DrainWithSentinel();
    EXPECT_EQ(log_, expected);
  }
}

TEST_F(NotificationsTest, ABurstArrivesWholeAndInOrder) {
  Observe("burst", "Burst", kNone);
  constexpr int kCount = 1000;
  Log expected;
  for (int i = 0; i < kCount; ++i) {
    Post(posting_.get(), "Burst", std::to_string(i));
    expected.push_back("burst:Burst|" + std::to_string(i));
  }
  DispatchUntil(observing_.get(), log_, kCount);
  EXPECT_EQ(log_, expected);
}

TEST_F(NotificationsTest, RemovingAnObserverStopsItsDelivery) {
  struct Case {
    const char* what;
    bool every;  // CFNotificationCenterRemoveEveryObserver, else by name and object:
    std::optional<std::string_view> name;
    std::optional<std::string_view> object;
    bool removed;
  };
  const Case cases[] = {
      {"any name, any object", false, kNone, kNone, true},
      {"its name, any object", false, kName, kNone, true},
      {"its name and object", false, kName, kObject, true},
      {"another object", false, kNone, kOtherObject, false},
      {"every registration", true, kNone, kNone, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    log_.clear();
    Observer* observer = Observe("observer", kName, kObject);
    // A second registration of the same observer, name and object does not
    // make a second delivery.
    CFNotificationCenterAddObserver(observing_.get(), observer, MyRecord, kName, kObject,
                                    CFNotificationSuspensionBehaviorDrop);
    Post(posting_.get(), kName, kObject);
    DrainWithSentinel();
    if (c.every) {
      CFNotificationCenterRemoveEveryObserver(observing_.get(), observer);
    } else {
      CFNotificationCenterRemoveObserver(observing_.get(), observer, c.name, c.object);
    }
    Post(posting_.get(), kName, kObject);
    DrainWithSentinel();
    const std::string line = "observer:Preferences Changed|com.corvane.preference.KestrineCM";
    EXPECT_EQ(log_, c.removed ? Log({line}) : Log({line, line}));
    CFNotificationCenterRemoveEveryObserver(observing_.get(), observer);
  }
}

// Callbacks that change the registrations, post, and dispatch again.
struct Reentrant {
  Observer record;
  CFNotificationCenterRef center;
  Observer* later;  // Registered after this one; removed by the callback.
  Observer* added;  // Registered by the callback, for any name.
  int depth = 0;
  int deepest = 0;
};

void MyReenter(CFNotificationCenterRef center, void* observer, const std::string& name,
               const std::optional<std::string>& object, const void* userInfo) {
  auto* self = static_cast<Reentrant*>(observer);
  self->deepest = std::max(self->deepest, ++self->depth);
  MyRecord(center, &self->record, name, object, userInfo);
  CFNotificationCenterRemoveEveryObserver(center, self->later);
  CFNotificationCenterAddObserver(center, self->added, MyRecord, kNone, kNone,
                                  CFNotificationSuspensionBehaviorDeliverImmediately);
  CFNotificationCenterPostNotification(center, "Second", kNone, nullptr, true);
  CFNotificationCenterDispatch(center);
  --self->depth;
}

TEST_F(NotificationsTest, CallbacksMayChangeObserversPostAndDispatch) {
  Reentrant first{{"first", &log_}, observing_.get(), nullptr, nullptr};
  CFNotificationCenterAddObserver(observing_.get(), &first, MyReenter, "First", kNone,
                                  CFNotificationSuspensionBehaviorDeliverImmediately);
  first.later = Observe("later", "First", kNone);
  first.added = NewObserver("added");
  Post(posting_.get(), "First", kNone);
  DispatchUntil(observing_.get(), log_, 2);
  CFNotificationCenterRemoveEveryObserver(observing_.get(), first.added);
  DrainWithSentinel();
  EXPECT_EQ(log_, (Log{"first:First|-", "added:Second|-"}));
  EXPECT_EQ(first.deepest, 1);
}

TEST_F(NotificationsTest, TheLoopWatchesTheDescriptorAndCallbacksRunOnTheDispatchingThread) {
  Observer* observer = Observe("observer", kName, kNone);
  const int fd = CFNotificationCenterGetFileDescriptor(observing_.get());
  ASSERT_GE(fd, 0);
  CFNotificationCenterDispatch(observing_.get());
  EXPECT_FALSE(WaitReadable(fd, 0)) << "readable with nothing to dispatch";

  std::thread::id loopThread;
  std::thread loop([&] {
    loopThread = std::this_thread::get_id();
    if (WaitReadable(fd, 5000)) CFNotificationCenterDispatch(observing_.get());
  });
  Post(posting_.get(), kName, kObject);
  loop.join();
  EXPECT_EQ(log_, Log{"observer:Preferences Changed|com.corvane.preference.KestrineCM"});
  EXPECT_EQ(observer->thread, loopThread);
  EXPECT_NE(observer->thread, std::this_thread::get_id());
  EXPECT_FALSE(WaitReadable(fd, 0)) << "readable after everything was dispatched";
}

TEST_F(NotificationsTest, OtherProcessesPostWithTheDocumentedCommands) {
  const std::string gdbus = SystemProgram("gdbus");
  const std::string line = "any:Preferences Changed|com.corvane.preference.KestrineCM";
  struct Case {
    const char* what;
    std::vector<std::string> argv;
    Log expected;
    bool logs = false;
  };
  const std::vector<Case> cases = {
      {"dbus-send",
       {SystemProgram("dbus-send"), "--session", "--type=signal", "/com/corvane/Kestrine",
        "com.corvane.Kestrine.DistributedNotification.Post", "string:Preferences Changed",
        "string:com.corvane.preference.KestrineCM"},
       {line}},
      {"gdbus emit",
       {gdbus, "emit", "--session", "--object-path", "/com/corvane/Kestrine", "--signal",
        "com.corvane.Kestrine.DistributedNotification.Post", "'Preferences Changed'",
        "'com.corvane.preference.KestrineCM'"},
       {line}},
      {"a program of ours",
       {NOTIFICATIONS_TEST_PEER, "post", std::string(kName), std::string(kObject)},
       {line}},
      {"a name that is not UTF-8",
       {NOTIFICATIONS_TEST_PEER, "post", "Bad \xff", std::string(kObject)},
       {},
       true},
      {"dbus-send, name only",
       {SystemProgram("dbus-send"), "--session", "--type=signal", "/com/corvane/Kestrine",
        "com.corvane.Kestrine.DistributedNotification.Post", "string:Preferences Changed"},
       {}},
      {"dbus-send, a number for the object",
       {SystemProgram("dbus-send"), "--session", "--type=signal", "/com/corvane/Kestrine",
        "com.corvane.Kestrine.DistributedNotification.Post", "string:Preferences Changed",
        "int32:4"},
       {}},
  };
  Observe("any", kNone, kNone);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_FALSE(c.argv[0].empty()) << "program not installed";
    log_.clear();
    const auto result = RunProgram(c.argv);
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.err.find("Could not post the notification") != std::string::npos, c.logs)
        << result.err;
    DispatchUntil(observing_.get(), log_, c.expected.size());
    DrainWithSentinel();
    EXPECT_EQ(log_, c.expected);
  }
}

TEST_F(NotificationsTest, AnotherProcessObservesOurPosts) {
  const std::string command = std::string(NOTIFICATIONS_TEST_PEER) +
                              " observe 'Preferences Changed' " + std::string(kObject) + " 2";
  FILE* peer = popen(command.c_str(), "r");
  ASSERT_NE(peer, nullptr);
  std::string output;
  char buffer[256];
  ASSERT_NE(fgets(buffer, sizeof buffer, peer), nullptr);
  EXPECT_STREQ(buffer, "ready\n");
  Post(posting_.get(), kName, kObject);
  Post(posting_.get(), kName, kOtherObject);
  Post(posting_.get(), kName, kObject);
  while (fgets(buffer, sizeof buffer, peer)) output += buffer;
  EXPECT_EQ(pclose(peer), 0);
  EXPECT_EQ(output,
            "Preferences Changed|com.corvane.preference.KestrineCM\n"
            "Preferences Changed|com.corvane.preference.KestrineCM\n");
}

TEST_F(NotificationsTest, ALostBusEndsDeliveryWithoutKeepingTheLoopBusy) {
  auto privateBus = std::make_unique<ScopedSessionBus>();
  ASSERT_TRUE(privateBus->running()) << privateBus->error();
  ScopedNotificationCenter center = CreateDistributedCenterForTesting();
  Observer observer{"observer", &log_};
  CFNotificationCenterAddObserver(center.get(), &observer, MyRecord, kNone, kNone,
                                  CFNotificationSuspensionBehaviorDeliverImmediately);
  const int fd = CFNotificationCenterGetFileDescriptor(center.get());
  privateBus.reset();
  for (int i = 0; i < 10 && WaitReadable(fd, 500); ++i) CFNotificationCenterDispatch(center.get());
  EXPECT_FALSE(WaitReadable(fd, 200));
  CFNotificationCenterPostNotification(center.get(), kName, kObject, nullptr, true);
  CFNotificationCenterDispatch(center.get());
  EXPECT_FALSE(WaitReadable(fd, 200));
  EXPECT_TRUE(log_.empty());
}

TEST(NotificationsWithoutBusTest, DoNothingAndLogOneLine) {
  ScopedTempDir runtime;
  struct Case {
    const char* what;
    std::optional<std::string> address;
    std::optional<std::string> runtimeDir;
  };
  const Case cases[] = {
      {"no address, no runtime folder", kNone, kNone},
      {"no address, no bus in the runtime folder", kNone, runtime.path()},
      {"an address where no bus listens", "unix:path=" + runtime.Join("missing"), kNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", c.address);
    ScopedEnv runtimeDir("XDG_RUNTIME_DIR", c.runtimeDir);
    const auto result = RunProgram({NOTIFICATIONS_TEST_PEER, "offline"});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_NE(result.err.find("No D-Bus session bus"), std::string::npos) << result.err;
  }
}

}  // namespace
