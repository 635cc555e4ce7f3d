#include "platform/notifications/notifications.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/notifications/notifications_testing.h"
#include "testing/session_bus.h"
#include "testing/test_support.h"

namespace {

using kestrine_testing::CapturedStderr;
using kestrine_testing::ScopedEnv;
using kestrine_testing::ScopedSessionBus;
using kestrine_testing::SystemProgram;

constexpr std::string_view kName = "Preferences Changed";
constexpr std::string_view kObject = "com.corvane.preference.KestrineCM";
constexpr std::string_view kOtherObject = "com.example.other";
constexpr auto kNone = std::nullopt;
// What an observer of kName and kObject logs after its label.
const std::string kLine = ":Preferences Changed|com.corvane.preference.KestrineCM";

using Log = std::vector<std::string>;

// What a registration writes in the log: "label:name|object", "-" for none.
// `then`, when set, runs after each line.
struct Observer {
  std::string label;
  Log* log;
  std::thread::id thread{};
  std::function<void(CFNotificationCenterRef)> then{};
};

void MyRecord(CFNotificationCenterRef center, void* observer, const std::string& name,
              const std::optional<std::string>& object, const void* userInfo) {
  auto* self = static_cast<Observer*>(observer);
  self->log->push_back(self->label + ":" + name + "|" + object.value_or("-") +
                       (userInfo ? " with user information" : ""));
  self->thread = std::this_thread::get_id();
  if (self->then) self->then(center);
}

void AddObserver(CFNotificationCenterRef center, Observer* observer, std::optional<std::string_view> name,
                 std::optional<std::string_view> object) {
  CFNotificationCenterAddObserver(center, observer, MyRecord, name, object,
                                  CFNotificationSuspensionBehaviorDeliverImmediately);
}

bool WaitReadable(int fd, int milliseconds) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, milliseconds) == 1;
}

// Runs `center` as an event loop would, until `done` holds or five seconds pass.
template <typename Predicate>
void DispatchUntil(CFNotificationCenterRef center, Predicate done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    if (WaitReadable(CFNotificationCenterGetFileDescriptor(center), 100)) CFNotificationCenterDispatch(center);
  }
}

void DispatchUntil(CFNotificationCenterRef center, const Log& log, std::size_t count) {
  DispatchUntil(center, [&] { return log.size() >= count; });
}

void Post(CFNotificationCenterRef center, std::string_view name, std::optional<std::string_view> object) {
  CFNotificationCenterPostNotification(center, name, object, nullptr, true);
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
    AddObserver(observing_.get(), observer, name, object);
    return observer;
  }

  // Posts "End" and waits for it, so that everything posted before it by
  // `posting_` has been delivered; the lines for "End" are taken out of the log.
  void DrainWithSentinel() {
    Observer* end = Observe("end", "End", kNone);
    Post(posting_.get(), "End", kNone);
    DispatchUntil(observing_.get(), [&] { return !log_.empty() && log_.back() == "end:End|-"; });
    EXPECT_FALSE(log_.empty() || log_.back() != "end:End|-") << "the sentinel did not arrive";
    std::erase_if(log_, [](const std::string& line) { return line.ends_with(":End|-"); });
    CFNotificationCenterRemoveEveryObserver(observing_.get(), end);
  }
  // What arrived, once `count` lines did and everything posted before by
  // `posting_` was delivered; the log starts afresh.
  Log Received(std::size_t count) {
    DispatchUntil(observing_.get(), log_, count);
    DrainWithSentinel();
    return std::exchange(log_, {});
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
      "exact" + kLine, "anyObject" + kLine, "anyName" + kLine, "all" + kLine,
      "exact" + kLine, "anyObject" + kLine, "anyName" + kLine, "all" + kLine,
      "other:Preferences Changed|com.example.other", "anyObject:Preferences Changed|com.example.other",
      "all:Preferences Changed|com.example.other", "all:Something Else|-",
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
  Log expected;
  for (int i = 0; i < 1000; ++i) {
    Post(posting_.get(), "Burst", std::to_string(i));
    expected.push_back("burst:Burst|" + std::to_string(i));
  }
  DispatchUntil(observing_.get(), log_, expected.size());
  EXPECT_EQ(log_, expected);
}

TEST_F(NotificationsTest, RemovingAnObserverStopsItsDelivery) {
  // `every`: CFNotificationCenterRemoveEveryObserver, else by `name` and `object`.
  const struct {
    const char* what;
    bool every;
    std::optional<std::string_view> name, object;
    bool removed;
  } cases[] = {
      {"any name, any object", false, kNone, kNone, true},
      {"its name, any object", false, kName, kNone, true},
      {"its name and object", false, kName, kObject, true},
      {"another object", false, kNone, kOtherObject, false},
      {"every registration", true, kNone, kNone, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Observer* observer = Observe("observer", kName, kObject);
    // A second registration of the same observer, name and object does not
    // make a second delivery.
    CFNotificationCenterAddObserver(observing_.get(), observer, MyRecord, kName, kObject,
                                    CFNotificationSuspensionBehaviorDrop);
    Post(posting_.get(), kName, kObject);
    EXPECT_EQ(Received(1), Log{"observer" + kLine});
    if (c.every) {
      CFNotificationCenterRemoveEveryObserver(observing_.get(), observer);
    } else {
      CFNotificationCenterRemoveObserver(observing_.get(), observer, c.name, c.object);
    }
    Post(posting_.get(), kName, kObject);
    EXPECT_EQ(Received(0), c.removed ? Log{} : Log{"observer" + kLine});
    CFNotificationCenterRemoveEveryObserver(observing_.get(), observer);
  }
}

// A callback that changes the registrations, posts, and dispatches again.
TEST_F(NotificationsTest, CallbacksMayChangeObserversPostAndDispatch) {
  Observer* first = Observe("first", "First", kNone);
  Observer* later = Observe("later", "First", kNone);
  Observer* added = NewObserver("added");
  int depth = 0, deepest = 0;
  first->then = [&](CFNotificationCenterRef center) {
    deepest = std::max(deepest, ++depth);
    CFNotificationCenterRemoveEveryObserver(center, later);
    AddObserver(center, added, kNone, kNone);
    Post(center, "Second", kNone);
    CFNotificationCenterDispatch(center);
    --depth;
  };
  Post(posting_.get(), "First", kNone);
  DispatchUntil(observing_.get(), log_, 2);
  CFNotificationCenterRemoveEveryObserver(observing_.get(), added);
  DrainWithSentinel();
  EXPECT_EQ(log_, (Log{"first:First|-", "added:Second|-"}));
  EXPECT_EQ(deepest, 1);
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
  EXPECT_EQ(log_, Log{"observer" + kLine});
  EXPECT_EQ(observer->thread, loopThread);
  EXPECT_FALSE(WaitReadable(fd, 0)) << "readable after everything was dispatched";
}

TEST_F(NotificationsTest, OtherProcessesPostWithTheDocumentedCommands) {
  const auto dbusSend = [](std::vector<std::string> arguments) {
    std::vector<std::string> argv = {SystemProgram("dbus-send"), "--session", "--type=signal",
                                     "/com/corvane/Kestrine",
                                     "com.corvane.Kestrine.DistributedNotification.Post"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
  };
  const struct { std::vector<std::string> argv; bool delivered; } cases[] = {
      {dbusSend({"string:Preferences Changed", "string:com.corvane.preference.KestrineCM"}), true},
      {{SystemProgram("gdbus"), "emit", "--session", "--object-path", "/com/corvane/Kestrine", "--signal",
        "com.corvane.Kestrine.DistributedNotification.Post", "'Preferences Changed'",
        "'com.corvane.preference.KestrineCM'"},
       true},
      {dbusSend({"string:Preferences Changed"}), false},
      {dbusSend({"string:Preferences Changed", "int32:4"}), false},
  };
  Observe("any", kNone, kNone);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv[0] + " " + c.argv.back());
    ASSERT_FALSE(c.argv[0].empty()) << "program not installed";
    const auto result = kestrine_testing::RunProgram(c.argv);
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(Received(c.delivered ? 1 : 0), c.delivered ? Log{"any" + kLine} : Log{});
  }

  // A name that is not UTF-8 is not posted, and says so.
  CapturedStderr err;
  Post(posting_.get(), "Bad \xff", kObject);
  EXPECT_NE(err.Text().find("Could not post the notification"), std::string::npos) << err.Text();
  err.Restore();
  EXPECT_EQ(Received(0), Log{});
}

TEST_F(NotificationsTest, ALostBusEndsDeliveryWithoutKeepingTheLoopBusy) {
  auto privateBus = std::make_unique<ScopedSessionBus>();
  ASSERT_TRUE(privateBus->running()) << privateBus->error();
  ScopedNotificationCenter center = CreateDistributedCenterForTesting();
  Observer observer{"observer", &log_};
  AddObserver(center.get(), &observer, kNone, kNone);
  const int fd = CFNotificationCenterGetFileDescriptor(center.get());
  privateBus.reset();
  for (int i = 0; i < 10 && WaitReadable(fd, 500); ++i) CFNotificationCenterDispatch(center.get());
  EXPECT_FALSE(WaitReadable(fd, 200));
  Post(center.get(), kName, kObject);
  CFNotificationCenterDispatch(center.get());
  EXPECT_FALSE(WaitReadable(fd, 200));
  EXPECT_TRUE(log_.empty());
}

TEST(NotificationsWithoutBusTest, DoNothingAndLogOneLine) {
  kestrine_testing::ScopedTempDir runtime;
  const struct { const char* what; std::optional<std::string> address, runtimeDir; } cases[] = {
      {"no address, no runtime folder", kNone, kNone},
      {"no address, no bus in the runtime folder", kNone, runtime.path()},
      {"an address where no bus listens", "unix:path=" + runtime.Join("missing"), kNone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", c.address);
    ScopedEnv runtimeDir("XDG_RUNTIME_DIR", c.runtimeDir);
    CapturedStderr err;
    ScopedNotificationCenter center = CreateDistributedCenterForTesting();
    Log log;
    Observer observer{"observer", &log};
    AddObserver(center.get(), &observer, kNone, kNone);
    Post(center.get(), kName, "x");
    CFNotificationCenterPostNotification(center.get(), kName, kNone, nullptr, false);
    const int fd = CFNotificationCenterGetFileDescriptor(center.get());
    CFNotificationCenterDispatch(center.get());
    CFNotificationCenterRemoveEveryObserver(center.get(), &observer);
    EXPECT_GE(fd, 0);
    EXPECT_FALSE(WaitReadable(fd, 200));
    EXPECT_EQ(log, Log{});
    const std::vector<std::string> lines = err.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("No D-Bus session bus"), std::string::npos) << lines[0];
  }
}

}  // namespace
