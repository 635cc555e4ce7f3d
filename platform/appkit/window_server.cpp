#include "platform/appkit/window_server.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

std::string_view Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Whether a stream socket at `path` (abstract when it begins with NUL)
// accepts a connection.
bool Answers(std::string_view path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  const bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
  close(fd);
  return connected;
}

bool WaylandAnswers(std::string_view display) {
  if (display.starts_with("/")) return Answers(display);
  const std::string_view runtime = Environment("XDG_RUNTIME_DIR");
  return !runtime.empty() && Answers(std::string(runtime) + "/" + std::string(display));
}

bool X11Answers(std::string_view display) {
  const std::size_t colon = display.rfind(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view host = display.substr(0, colon);
  if (!host.empty() && host != "unix") return true;
  std::string_view number = display.substr(colon + 1);
  number = number.substr(0, number.find('.'));
  if (number.empty() || number.find_first_not_of("0123456789") != std::string_view::npos) return false;
  const std::string socket = "/tmp/.X11-unix/X" + std::string(number);
  return Answers(std::string(1, '\0') + socket) || Answers(socket);
}

}  // namespace

std::optional<std::string> MissingWindowServer() {
  const std::string_view wayland = Environment("WAYLAND_DISPLAY");
  const std::string_view x11 = Environment("DISPLAY");
  if (wayland.empty() && x11.empty()) return "DISPLAY and WAYLAND_DISPLAY are not set";
  if (!wayland.empty() && WaylandAnswers(wayland)) return std::nullopt;
  if (!x11.empty() && X11Answers(x11)) return std::nullopt;
  std::string missing;
  if (!wayland.empty()) missing = "no Wayland compositor answers at \"" + std::string(wayland) + "\"";
  if (!x11.empty()) {
    if (!missing.empty()) missing += ", and ";
    missing += "no X server answers at \"" + std::string(x11) + "\"";
  }
  return missing;
}
