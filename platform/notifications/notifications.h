// Distributed notifications: a named message with a string object, posted by
// one process and delivered to every observing process of the same user.
//
// Transport: the D-Bus session bus. A notification is the broadcast signal
//   path      /com/corvane/Kestrine
//   interface com.corvane.Kestrine.DistributedNotification
//   member    Post
//   arguments (ss): the name, then the object ("" for none)
// so that any process of the user, or a script with dbus-send or gdbus emit,
// can post one, and dbus-monitor shows them. A signal of that name with other
// arguments is ignored. User information is not carried: observers always
// receive a null userInfo.
//
// The bus is found as sd-bus finds the user's bus: DBUS_SESSION_BUS_ADDRESS,
// else $XDG_RUNTIME_DIR/bus. When there is none, or the connection fails or is
// lost later, the center logs one line (NSLog) and from then on posting and
// observing do nothing; observers may still be added and removed.
//
// Delivery happens only on the thread that runs the application's event
// loop, when that loop calls CFNotificationCenterDispatch: the loop watches
// the descriptor of CFNotificationCenterGetFileDescriptor for readability and
// dispatches whenever it is readable (a Qt application, for instance, puts it
// in a QSocketNotifier). A process receives its own posts too, in the order in
// which the bus delivers them, through the same road.
//
// Threads: a center is used from one thread only, the thread that runs the
// loop; nothing is locked. Callbacks may add and remove observers and post
// from inside a callback; an observer removed from inside a callback is not
// called again, not even for the notification being delivered, and one added
// there first hears the next notification.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

class CFNotificationCenter;
// A center is owned by the platform and lives until the process ends.
using CFNotificationCenterRef = CFNotificationCenter*;

// How an observer wants notifications while its application is suspended.
// No application is ever suspended here, so every observer is delivered to as
// soon as the loop dispatches, whatever it asked for; the value is accepted
// for the sake of callers written for suspension.
enum CFNotificationSuspensionBehavior : int {
  CFNotificationSuspensionBehaviorDrop = 1,
  CFNotificationSuspensionBehaviorCoalesce = 2,
  CFNotificationSuspensionBehaviorHold = 3,
  CFNotificationSuspensionBehaviorDeliverImmediately = 4,
};

// Called once per matching observer and notification, on the loop's thread.
// `observer` is the pointer given to CFNotificationCenterAddObserver; `object`
// is none when the notification was posted without one; `userInfo` is always
// null. The references are valid only during the call.
using CFNotificationCallback = void (*)(CFNotificationCenterRef center, void* observer,
                                        const std::string& name,
                                        const std::optional<std::string>& object,
                                        const void* userInfo);

// The process's distributed center, made and connected to the session bus on
// the first call. Never null.
CFNotificationCenterRef CFNotificationCenterGetDistributedCenter();

// Registers `callback` for `observer`: it is called for every notification
// whose name equals `name` and whose object equals `object`; a none `name` or
// `object` matches any. An empty text counts as none (the bus carries none
// as ""). Registering the same observer, name and object again replaces the
// callback, so it is never called twice for one notification. A null center
// or callback registers nothing.
void CFNotificationCenterAddObserver(CFNotificationCenterRef center, const void* observer,
                                     CFNotificationCallback callback,
                                     std::optional<std::string_view> name,
                                     std::optional<std::string_view> object,
                                     CFNotificationSuspensionBehavior suspensionBehavior);

// Removes the registrations of `observer` whose name and object equal `name`
// and `object`; a none `name` or `object` removes them whatever they are.
void CFNotificationCenterRemoveObserver(CFNotificationCenterRef center, const void* observer,
                                        std::optional<std::string_view> name,
                                        std::optional<std::string_view> object);

// Removes every registration of `observer`.
void CFNotificationCenterRemoveEveryObserver(CFNotificationCenterRef center, const void* observer);

// Broadcasts the notification `name` with `object` (none: no object) to every
// observer of the user, this process included, and writes it out to the bus
// before returning, so that it is posted even when the process ends at once.
// `userInfo` is not carried. `deliverImmediately` asks that suspended
// observers be woken; as none is ever suspended, every post is delivered at
// once. Does nothing for a null center or an empty name, and logs a line when
// the bus refuses the message (a text with a NUL character or that is not
// UTF-8).
void CFNotificationCenterPostNotification(CFNotificationCenterRef center, std::string_view name,
                                          std::optional<std::string_view> object,
                                          const void* userInfo, bool deliverImmediately);

// The descriptor that the event loop watches for readability; it stays the
// same for the center's life. It is readable while something waits to be
// dispatched and never otherwise (without a bus: never). Owned by the center:
// do not read from it or close it. -1 only for a null center or when the
// process had no descriptor left when the center was made.
int CFNotificationCenterGetFileDescriptor(CFNotificationCenterRef center);

// Reads what the bus has delivered and calls the matching observers, on the
// calling thread, in the order of arrival. Never blocks on the bus. Called
// from inside a callback it only reads: the outer call delivers what it read,
// so callbacks never nest. After a burst it may return with work left, and
// then leaves the descriptor readable.
void CFNotificationCenterDispatch(CFNotificationCenterRef center);
