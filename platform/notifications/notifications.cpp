#include "platform/notifications/notifications.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <utility>
#include <vector>

#include "platform/log/nslog.h"
#include "platform/xdg/xdg.h"
#include "platform/notifications/notifications_testing.h"

namespace {

constexpr const char* kObjectPath = "/com/corvane/Kestrine";
constexpr const char* kInterface = "com.corvane.Kestrine.DistributedNotification";
constexpr const char* kMember = "Post";

// A flood of posts must not keep the loop inside one dispatch for ever: past
// this many bus messages the dispatch returns and leaves the descriptor
// readable.
constexpr int kMaxMessagesPerDispatch = 256;

std::optional<std::string> NoneIfEmpty(std::optional<std::string_view> text) {
  if (!text || text->empty()) return std::nullopt;
  return std::string(*text);
}

// Logs that there is no session bus to use, and where it was looked for.
void LogNoSessionBus(int error) {
  constexpr const char* kConsequence = "distributed notifications are neither posted nor received";
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) {
    NSLog("No D-Bus session bus at %s (%s): %s", address, strerror(error), kConsequence);
  } else if (const std::optional<std::string> runtime = XdgRuntimeDirAsSet()) {
    NSLog("No D-Bus session bus at %s/bus (%s): %s", runtime->c_str(), strerror(error),
          kConsequence);
  } else {
    NSLog("No D-Bus session bus: DBUS_SESSION_BUS_ADDRESS and XDG_RUNTIME_DIR are unset; %s",
          kConsequence);
  }
}

struct Registration {
  const void* observer;
  CFNotificationCallback callback;
  std::optional<std::string> name;
  std::optional<std::string> object;
  // Set when the registration is removed while a delivery holds it.
  bool removed = false;

  bool Matches(const std::string& postedName,
               const std::optional<std::string>& postedObject) const {
    return (!name || *name == postedName) && (!object || object == postedObject);
  }
};

struct Notification {
  std::string name;
  std::optional<std::string> object;
};

}  // namespace

class CFNotificationCenter final {
 public:
  CFNotificationCenter();
  ~CFNotificationCenter();
  CFNotificationCenter(const CFNotificationCenter&) = delete;
  CFNotificationCenter& operator=(const CFNotificationCenter&) = delete;

  void AddObserver(const void* observer, CFNotificationCallback callback,
                   std::optional<std::string> name, std::optional<std::string> object);
  // Removes the registrations of `observer` for which `matches` holds.
  template <typename Predicate>
  void RemoveObserverIf(const void* observer, Predicate matches);
  void Post(std::string_view name, const std::optional<std::string>& object);
  int FileDescriptor() const { return m_epoll; }
  void Dispatch();

 private:
  static int MySignalHandler(sd_bus_message* message, void* userdata, sd_bus_error* error);
  bool EnsureMatch();
  void Disconnect(const char* what, int error);
  // Makes the descriptor readable until the next dispatch.
  void Wake();
  void ClearWake();
  // Watches the bus for what sd-bus waits for next (input, or room to write).
  void UpdateWatch();
  void Deliver();

  sd_bus* m_bus = nullptr;
  int m_busFD = -1;
  sd_bus_slot* m_match = nullptr;
  int m_epoll = -1;
  int m_wake = -1;
  bool m_delivering = false;
  std::vector<std::shared_ptr<Registration>> m_registrations;
  std::deque<Notification> m_pending;
};

CFNotificationCenter::CFNotificationCenter() {
  m_epoll = epoll_create1(EPOLL_CLOEXEC);
  m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_epoll >= 0 && m_wake >= 0) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = m_wake;
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &event);
  }
  const int r = sd_bus_open_user_with_description(&m_bus, "kestrine-notifications");
  if (r < 0) {
    m_bus = nullptr;
    LogNoSessionBus(-r);
    return;
  }
  m_busFD = sd_bus_get_fd(m_bus);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = m_busFD;
  if (m_busFD < 0 || m_epoll < 0 || epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_busFD, &event) != 0) {
    Disconnect("Could not watch the session bus", m_busFD < 0 ? -m_busFD : errno);
    return;
  }
  UpdateWatch();
}

CFNotificationCenter::~CFNotificationCenter() {
  sd_bus_slot_unref(m_match);
  sd_bus_flush_close_unref(m_bus);
  if (m_wake >= 0) close(m_wake);
  if (m_epoll >= 0) close(m_epoll);
}

void CFNotificationCenter::Disconnect(const char* what, int error) {
  NSLog("%s (%s): distributed notifications are neither posted nor received from now on", what,
        strerror(error));
  if (m_epoll >= 0 && m_busFD >= 0) epoll_ctl(m_epoll, EPOLL_CTL_DEL, m_busFD, nullptr);
  m_match = sd_bus_slot_unref(m_match);
  m_bus = sd_bus_close_unref(m_bus);
  m_busFD = -1;
}

void CFNotificationCenter::Wake() {
  if (m_wake < 0) return;
  const std::uint64_t one = 1;
  // A full counter means the descriptor is readable already.
  (void)!write(m_wake, &one, sizeof one);
}

void CFNotificationCenter::ClearWake() {
  if (m_wake < 0) return;
  std::uint64_t count = 0;
  (void)!read(m_wake, &count, sizeof count);
}

void CFNotificationCenter::UpdateWatch() {
  if (!m_bus) return;
  const int events = sd_bus_get_events(m_bus);
  epoll_event event{};
  event.data.fd = m_busFD;
  // With messages read ahead but not yet processed sd-bus asks for no input;
  // the wake counter keeps the descriptor readable for them instead.
  if (events > 0 && (events & POLLIN)) event.events |= EPOLLIN;
  if (events > 0 && (events & POLLOUT)) event.events |= EPOLLOUT;
  if (events <= 0 || !(events & POLLIN)) Wake();
  epoll_ctl(m_epoll, EPOLL_CTL_MOD, m_busFD, &event);
}

bool CFNotificationCenter::EnsureMatch() {
  if (m_match) return true;
  if (!m_bus) return false;
  const int r = sd_bus_match_signal(m_bus, &m_match, nullptr, kObjectPath, kInterface, kMember,
                                    MySignalHandler, this);
  if (r < 0) {
    m_match = nullptr;
    NSLog("Could not subscribe to distributed notifications on the session bus (%s)", strerror(-r));
    return false;
  }
  // Waiting for the bus's answer may have read notifications ahead.
  Wake();
  return true;
}

int CFNotificationCenter::MySignalHandler(sd_bus_message* message, void* userdata,
                                          sd_bus_error* /*error*/) {
  auto* center = static_cast<CFNotificationCenter*>(userdata);
  if (center->m_registrations.empty()) return 0;
  if (sd_bus_message_has_signature(message, "ss") <= 0) return 0;
  const char* name = nullptr;
  const char* object = nullptr;
  if (sd_bus_message_read(message, "ss", &name, &object) < 0 || !name || !*name) return 0;
  center->m_pending.push_back({name, NoneIfEmpty(std::string_view(object ? object : ""))});
  return 0;
}

void CFNotificationCenter::AddObserver(const void* observer, CFNotificationCallback callback,
                                       std::optional<std::string> name,
                                       std::optional<std::string> object) {
  for (const auto& registration : m_registrations) {
    if (registration->observer == observer && registration->name == name &&
        registration->object == object) {
      registration->callback = callback;
      return;
    }
  }
  m_registrations.push_back(std::make_shared<Registration>(
      Registration{observer, callback, std::move(name), std::move(object)}));
  EnsureMatch();
}

template <typename Predicate>
void CFNotificationCenter::RemoveObserverIf(const void* observer, Predicate matches) {
  std::erase_if(m_registrations, [&](const std::shared_ptr<Registration>& registration) {
    if (registration->observer != observer || !matches(*registration)) return false;
    registration->removed = true;
    return true;
  });
}

void CFNotificationCenter::Post(std::string_view name, const std::optional<std::string>& object) {
  if (!m_bus || name.empty()) return;
  const std::string nameText(name);
  const std::string objectText = object.value_or("");
  if (nameText.find('\0') != std::string::npos || objectText.find('\0') != std::string::npos) {
    NSLog("Could not post the notification \"%s\": a text holds a NUL character", nameText.c_str());
    return;
  }
  const int r = sd_bus_emit_signal(m_bus, kObjectPath, kInterface, kMember, "ss", nameText.c_str(),
                                   objectText.c_str());
  if (r < 0) {
    NSLog("Could not post the notification \"%s\" (%s)", nameText.c_str(), strerror(-r));
    return;
  }
  const int flushed = sd_bus_flush(m_bus);
  if (flushed < 0) {
    Disconnect("Lost the session bus while posting", -flushed);
    return;
  }
  // Writing out may have read incoming messages ahead.
  UpdateWatch();
  Wake();
}

void CFNotificationCenter::Dispatch() {
  ClearWake();
  if (m_bus) {
    for (int processed = 0;; ++processed) {
      if (processed == kMaxMessagesPerDispatch) {
        Wake();
        break;
      }
      const int r = sd_bus_process(m_bus, nullptr);
      if (r < 0) {
        Disconnect("Lost the session bus", -r);
        break;
      }
      if (r == 0) break;
    }
    UpdateWatch();
  }
  if (!m_delivering) Deliver();
}

void CFNotificationCenter::Deliver() {
  m_delivering = true;
  while (!m_pending.empty()) {
    const Notification notification = std::move(m_pending.front());
    m_pending.pop_front();
    // A callback may change the registrations: walk a copy, and skip those
    // removed meanwhile.
    const std::vector<std::shared_ptr<Registration>> registrations = m_registrations;
    for (const auto& registration : registrations) {
      if (registration->removed || !registration->Matches(notification.name, notification.object)) {
        continue;
      }
      registration->callback(this, const_cast<void*>(registration->observer), notification.name,
                             notification.object, nullptr);
    }
  }
  m_delivering = false;
}

CFNotificationCenterRef CFNotificationCenterGetDistributedCenter() {
  // Never destroyed: observers may be called until the process ends.
  static CFNotificationCenter* const center = new CFNotificationCenter();
  return center;
}

void CFNotificationCenterAddObserver(CFNotificationCenterRef center, const void* observer,
                                     CFNotificationCallback callback,
                                     std::optional<std::string_view> name,
                                     std::optional<std::string_view> object,
                                     CFNotificationSuspensionBehavior /*suspensionBehavior*/) {
  if (!center || !callback) return;
  center->AddObserver(observer, callback, NoneIfEmpty(name), NoneIfEmpty(object));
}

void CFNotificationCenterRemoveObserver(CFNotificationCenterRef center, const void* observer,
                                        std::optional<std::string_view> name,
                                        std::optional<std::string_view> object) {
  if (!center) return;
  const std::optional<std::string> wantedName = NoneIfEmpty(name);
  const std::optional<std::string> wantedObject = NoneIfEmpty(object);
  center->RemoveObserverIf(observer, [&](const Registration& registration) {
    return (!wantedName || registration.name == wantedName) &&
           (!wantedObject || registration.object == wantedObject);
  });
}

void CFNotificationCenterRemoveEveryObserver(CFNotificationCenterRef center, const void* observer) {
  if (!center) return;
  center->RemoveObserverIf(observer, [](const Registration&) { return true; });
}

void CFNotificationCenterPostNotification(CFNotificationCenterRef center, std::string_view name,
                                          std::optional<std::string_view> object,
                                          const void* /*userInfo*/, bool /*deliverImmediately*/) {
  if (!center) return;
  center->Post(name, NoneIfEmpty(object));
}

int CFNotificationCenterGetFileDescriptor(CFNotificationCenterRef center) {
  return center ? center->FileDescriptor() : -1;
}

void CFNotificationCenterDispatch(CFNotificationCenterRef center) {
  if (center) center->Dispatch();
}

void CFNotificationCenterDeleter::operator()(CFNotificationCenter* center) const { delete center; }

ScopedNotificationCenter CreateDistributedCenterForTesting() {
  return ScopedNotificationCenter(new CFNotificationCenter());
}
