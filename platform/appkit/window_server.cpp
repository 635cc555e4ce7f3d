#include "platform/appkit/window_server.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/xdg/xdg.h"

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

// Whether a TCP server on `host` accepts a connection on `port` within two
// seconds.
bool TCPAnswers(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  bool connected = false;
  for (const addrinfo* address = found; address != nullptr && !connected; address = address->ai_next) {
    const int fd = socket(address->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) continue;
    if (connect(fd, address->ai_addr, address->ai_addrlen) == 0) {
      connected = true;
    } else if (errno == EINPROGRESS) {
      pollfd ready{fd, POLLOUT, 0};
      int error = 0;
      socklen_t length = sizeof error;
      connected = poll(&ready, 1, 2000) == 1 &&
                  getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    close(fd);
  }
  freeaddrinfo(found);
  return connected;
}

bool WaylandAnswers(std::string_view display) {
  if (display.starts_with("/")) return Answers(display);
  const std::optional<std::string> runtime = XdgRuntimeDirAsSet();
  return runtime && Answers(*runtime + "/" + std::string(display));
}

bool X11Answers(std::string_view display) {
  const std::size_t colon = display.rfind(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view host = display.substr(0, colon);
  std::string_view number = display.substr(colon + 1);
  number = number.substr(0, number.find('.'));
  if (number.empty() || number.size() > 5 ||
      number.find_first_not_of("0123456789") != std::string_view::npos) {
    return false;
  }
  // A display on another host, or forwarded to a local port as ssh does, is
  // an X server listening on TCP port 6000 + N.
  if (!host.empty() && host != "unix") {
    return TCPAnswers(std::string(host), 6000 + std::stoi(std::string(number)));
  }
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
