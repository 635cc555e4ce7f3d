// Another process of the user, for the notifications test:
//   post NAME [OBJECT]          posts through the process's center and exits
//   observe NAME OBJECT COUNT   ("-" for none) prints "ready", then one line
//                               "name|object" per notification received,
//                               and exits after COUNT of them (status 1
//                               when none came for ten seconds)
//   offline                     observes, posts and dispatches without a bus;
//                               exits 0 when the descriptor never turned
//                               readable
#include <poll.h>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "platform/notifications/notifications.h"

namespace {

int gReceived = 0;

void MyPrintNotification(CFNotificationCenterRef, void*, const std::string& name,
                         const std::optional<std::string>& object, const void*) {
  std::printf("%s|%s\n", name.c_str(), object.value_or("(none)").c_str());
  std::fflush(stdout);
  ++gReceived;
}

std::optional<std::string_view> Argument(const char* text) {
  if (std::string_view(text) == "-") return std::nullopt;
  return text;
}

bool WaitReadable(int fd, int milliseconds) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, milliseconds) == 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view command = argc > 1 ? argv[1] : "";
  CFNotificationCenterRef center = CFNotificationCenterGetDistributedCenter();
  if (command == "post" && (argc == 3 || argc == 4)) {
    CFNotificationCenterPostNotification(
        center, argv[2], argc == 4 ? std::optional<std::string_view>(argv[3]) : std::nullopt,
        nullptr, true);
    return 0;
  }
  if (command == "observe" && argc == 5) {
    static int observer;
    CFNotificationCenterAddObserver(center, &observer, MyPrintNotification, Argument(argv[2]),
                                    Argument(argv[3]),
                                    CFNotificationSuspensionBehaviorDeliverImmediately);
    std::printf("ready\n");
    std::fflush(stdout);
    const int wanted = std::stoi(argv[4]);
    while (gReceived < wanted) {
      if (!WaitReadable(CFNotificationCenterGetFileDescriptor(center), 10000)) return 1;
      CFNotificationCenterDispatch(center);
    }
    return 0;
  }
  if (command == "offline" && argc == 2) {
    static int observer;
    CFNotificationCenterAddObserver(center, &observer, MyPrintNotification, std::nullopt,
                                    std::nullopt,
                                    CFNotificationSuspensionBehaviorDeliverImmediately);
    CFNotificationCenterPostNotification(center, "Preferences Changed", "x", nullptr, true);
    CFNotificationCenterPostNotification(center, "Preferences Changed", std::nullopt, nullptr,
                                         false);
    const int fd = CFNotificationCenterGetFileDescriptor(center);
    CFNotificationCenterDispatch(center);
    CFNotificationCenterRemoveEveryObserver(center, &observer);
    return fd >= 0 && !WaitReadable(fd, 200) && gReceived == 0 ? 0 : 1;
  }
  std::fprintf(stderr, "usage: %s post NAME [OBJECT] | observe NAME OBJECT COUNT | offline\n",
               argv[0]);
  return 2;
}
