// Whether the session has a window server that an application could show
// its windows on, asked before any toolkit starts (a toolkit that finds none
// ends the process).
#pragma once

#include <optional>
#include <string>

// None when a window server answers: the Wayland compositor whose socket
// WAYLAND_DISPLAY names (inside XDG_RUNTIME_DIR unless it is a path) accepts
// a connection, or DISPLAY names an X server, which must accept a connection
// on its socket when it is local ("[unix]:N[.S]"; its abstract socket, else
// /tmp/.X11-unix/XN), or on TCP port 6000 + N of HOST for "HOST:N[.S]"
// (within two seconds).
// Otherwise what is missing, for a message, such as "DISPLAY and
// WAYLAND_DISPLAY are not set".
std::optional<std::string> MissingWindowServer();
