// A panel's side of the status item, for the tests, on the session bus:
//
//   sni_panel watch               owns org.kde.StatusNotifierWatcher, prints
//                                 "ready", then "registered SERVICE" for each
//                                 item that registers
//   sni_panel menu SERVICE [--no-about-to-show]
//                                 opens the item's menu as a panel does
//                                 (AboutToShow, then GetLayout) and prints
//                                 one line per item: "-" for a separator,
//                                 "[ID] LABEL", or "[ID] (disabled) LABEL"
//   sni_panel click SERVICE ID    sends the menu item ID a "clicked" event
//
// Exit status 0, or 1 with the failing call's error on standard error.
#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kWatcher = "org.kde.StatusNotifierWatcher";
constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char* kMenuInterface = "com.canonical.dbusmenu";

std::vector<std::string> gItems;

int Fail(const char* what, int r, const sd_bus_error* error = nullptr) {
  std::fprintf(stderr, "sni_panel: %s: %s\n", what,
               error != nullptr && error->message != nullptr ? error->message : std::strerror(-r));
  return 1;
}

int RegisterItem(sd_bus_message* call, void* /*userdata*/, sd_bus_error* /*error*/) {
  const char* service = nullptr;
  const int r = sd_bus_message_read(call, "s", &service);
  if (r < 0) return r;
  gItems.emplace_back(service);
  std::printf("registered %s\n", service);
  std::fflush(stdout);
  sd_bus_emit_signal(sd_bus_message_get_bus(call), "/StatusNotifierWatcher", kWatcher,
                     "StatusNotifierItemRegistered", "s", service);
  return sd_bus_reply_method_return(call, "");
}

int IgnoreHost(sd_bus_message* call, void* /*userdata*/, sd_bus_error* /*error*/) {
  return sd_bus_reply_method_return(call, "");
}

int GetItems(sd_bus* /*bus*/, const char* /*path*/, const char* /*interface*/, const char* /*property*/,
             sd_bus_message* reply, void* /*userdata*/, sd_bus_error* /*error*/) {
  int r = sd_bus_message_open_container(reply, 'a', "s");
  for (const std::string& item : gItems) {
    if (r >= 0) r = sd_bus_message_append(reply, "s", item.c_str());
  }
  return r < 0 ? r : sd_bus_message_close_container(reply);
}

// Qt looks for a registered host before it chooses the bus for its icons.
int GetHostRegistered(sd_bus* /*bus*/, const char* /*path*/, const char* /*interface*/,
                      const char* /*property*/, sd_bus_message* reply, void* /*userdata*/,
                      sd_bus_error* /*error*/) {
  return sd_bus_message_append(reply, "b", 1);
}

int GetProtocolVersion(sd_bus* /*bus*/, const char* /*path*/, const char* /*interface*/,
                       const char* /*property*/, sd_bus_message* reply, void* /*userdata*/,
                       sd_bus_error* /*error*/) {
  return sd_bus_message_append(reply, "i", 0);
}

const sd_bus_vtable kWatcherTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("RegisterStatusNotifierItem", "s", "", RegisterItem, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RegisterStatusNotifierHost", "s", "", IgnoreHost, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("RegisteredStatusNotifierItems", "as", GetItems, 0, 0),
    SD_BUS_PROPERTY("IsStatusNotifierHostRegistered", "b", GetHostRegistered, 0,
                    SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("ProtocolVersion", "i", GetProtocolVersion, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_SIGNAL("StatusNotifierItemRegistered", "s", 0),
    SD_BUS_SIGNAL("StatusNotifierItemUnregistered", "s", 0),
    SD_BUS_SIGNAL("StatusNotifierHostRegistered", "", 0),
    SD_BUS_VTABLE_END};

int Watch(sd_bus* bus) {
  int r = sd_bus_add_object_vtable(bus, nullptr, "/StatusNotifierWatcher", kWatcher, kWatcherTable, nullptr);
  if (r < 0) return Fail("export the watcher", r);
  r = sd_bus_request_name(bus, kWatcher, 0);
  if (r < 0) return Fail("own the watcher's name", r);
  std::puts("ready");
  std::fflush(stdout);
  for (;;) {
    r = sd_bus_process(bus, nullptr);
    if (r < 0) return Fail("serve", r);
    if (r == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) return Fail("wait", r);
  }
}

// The item's menu object, from its Menu property.
std::string MenuPath(sd_bus* bus, const char* service) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const char* path = nullptr;
  int r = sd_bus_get_property(bus, service, "/StatusNotifierItem", kItemInterface, "Menu", &error, &reply,
                              "o");
  // The reply comes positioned inside the property's variant.
  if (r >= 0) r = sd_bus_message_read(reply, "o", &path);
  std::string menu = r >= 0 ? path : "";
  if (r < 0) Fail("read the Menu property", r, &error);
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  return menu;
}

// Prints one child of the layout: (ia{sv}av) inside its variant.
int PrintItem(sd_bus_message* m) {
  int r = sd_bus_message_enter_container(m, 'r', "ia{sv}av");
  int id = 0;
  if (r >= 0) r = sd_bus_message_read(m, "i", &id);
  if (r >= 0) r = sd_bus_message_enter_container(m, 'a', "{sv}");
  std::string label;
  bool separator = false;
  bool enabled = true;
  while (r >= 0 && (r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* key = nullptr;
    char type = 0;
    const char* contents = nullptr;
    r = sd_bus_message_read(m, "s", &key);
    if (r >= 0) r = sd_bus_message_peek_type(m, &type, &contents);
    if (r >= 0) r = sd_bus_message_enter_container(m, 'v', contents);
    if (r >= 0 && std::strcmp(contents, "s") == 0) {
      const char* value = nullptr;
      r = sd_bus_message_read(m, "s", &value);
      if (r >= 0 && std::strcmp(key, "label") == 0) label = value;
      if (r >= 0 && std::strcmp(key, "type") == 0) separator = std::strcmp(value, "separator") == 0;
    } else if (r >= 0 && std::strcmp(contents, "b") == 0) {
      int value = 1;
      r = sd_bus_message_read(m, "b", &value);
      if (r >= 0 && std::strcmp(key, "enabled") == 0) enabled = value != 0;
    } else if (r >= 0) {
      r = sd_bus_message_skip(m, contents);
    }
    if (r >= 0) r = sd_bus_message_exit_container(m);
    if (r >= 0) r = sd_bus_message_exit_container(m);
  }
  if (r >= 0) r = sd_bus_message_exit_container(m);
  if (r >= 0) r = sd_bus_message_skip(m, "av");
  if (r >= 0) r = sd_bus_message_exit_container(m);
  if (r < 0) return r;
  if (separator) {
    std::puts("-");
  } else {
    std::printf("[%d] %s%s\n", id, enabled ? "" : "(disabled) ", label.c_str());
  }
  return 0;
}

int Menu(sd_bus* bus, const char* service, bool aboutToShow) {
  const std::string path = MenuPath(bus, service);
  if (path.empty()) return 1;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int r = 0;
  if (aboutToShow) {
    r = sd_bus_call_method(bus, service, path.c_str(), kMenuInterface, "AboutToShow", &error, &reply, "i", 0);
    sd_bus_message_unref(reply);
    reply = nullptr;
    if (r < 0) return Fail("AboutToShow", r, &error);
  }
  r = sd_bus_call_method(bus, service, path.c_str(), kMenuInterface, "GetLayout", &error, &reply, "iias",
                         0, -1, 0);
  if (r < 0) return Fail("GetLayout", r, &error);
  unsigned revision = 0;
  int id = 0;
  r = sd_bus_message_read(reply, "u", &revision);
  if (r >= 0) r = sd_bus_message_enter_container(reply, 'r', "ia{sv}av");
  if (r >= 0) r = sd_bus_message_read(reply, "i", &id);
  if (r >= 0) r = sd_bus_message_skip(reply, "a{sv}");
  if (r >= 0) r = sd_bus_message_enter_container(reply, 'a', "v");
  while (r >= 0 && (r = sd_bus_message_enter_container(reply, 'v', "(ia{sv}av)")) > 0) {
    r = PrintItem(reply);
    if (r >= 0) r = sd_bus_message_exit_container(reply);
  }
  sd_bus_message_unref(reply);
  return r < 0 ? Fail("read the layout", r) : 0;
}

int Click(sd_bus* bus, const char* service, int id) {
  const std::string path = MenuPath(bus, service);
  if (path.empty()) return 1;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const int r = sd_bus_call_method(bus, service, path.c_str(), kMenuInterface, "Event", &error, nullptr,
                                   "isvu", id, "clicked", "i", 0, 0U);
  return r < 0 ? Fail("Event", r, &error) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  sd_bus* bus = nullptr;
  int r = sd_bus_open_user(&bus);
  if (r < 0) return Fail("connect to the session bus", r);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "watch" && argc == 2) {
    r = Watch(bus);
  } else if (mode == "menu" &&
             (argc == 3 || (argc == 4 && std::strcmp(argv[3], "--no-about-to-show") == 0))) {
    r = Menu(bus, argv[2], argc == 3);
  } else if (mode == "click" && argc == 4) {
    r = Click(bus, argv[2], std::atoi(argv[3]));
  } else {
    std::fputs("usage: sni_panel watch | menu SERVICE [--no-about-to-show] | click SERVICE ID\n", stderr);
    r = 2;
  }
  sd_bus_flush_close_unref(bus);
  return r;
}
