// The system alert sound.
#pragma once

#include <optional>
#include <string>
#include <vector>

// Sounds the desktop's alert. When a sound server is reachable it starts a
// player for the session's alert sound ("canberra-gtk-play -i bell", else
// pw-play or paplay on the freedesktop bell sound file when that exists) in
// a session of its own, with its input and output on /dev/null, and returns
// at once without waiting for the sound. Otherwise, when standard error is a
// terminal, it writes the terminal bell ("\a") there. Otherwise it does
// nothing. Never blocks on the sound, never fails visibly, leaves errno as it
// found it; safe to call from any thread.
void NSBeep();

// What NSBeep looks at to choose a player.
struct NSBeepEnvironment {
  std::string searchPath;                  // PATH: folders separated by ':'.
  std::optional<std::string> runtimeDir;   // XDG_RUNTIME_DIR when set and not empty.
  std::optional<std::string> pulseServer;  // PULSE_SERVER.
  std::string soundFile;                   // The bell sound file to play.
};

// The environment of the calling process, with the freedesktop bell sound
// file "/usr/share/sounds/freedesktop/stereo/bell.oga".
NSBeepEnvironment NSBeepCurrentEnvironment();

// The command NSBeep would run in `environment`, program first as an
// absolute path; none when no sound server is reachable (PULSE_SERVER set,
// or a "pulse/native" or "pipewire-0" socket in the runtime folder) or no
// player is found in the search path.
std::optional<std::vector<std::string>> NSBeepPlayerCommand(const NSBeepEnvironment& environment);
