// The user's home folder and the folders of the freedesktop base-directory
// convention, read from the environment at call time. Every lookup of an XDG_* variable goes
// through here; what a caller does when a folder is absent (its fallback
// below the home folder) stays with the caller, as callers differ there.
#pragma once

#include <optional>
#include <string>
#include <vector>

// The current user's home folder: $HOME when it is an absolute path, else
// the home folder of the effective user's password entry; none when neither
// gives an absolute path. Trailing slashes are dropped ("/" stays "/"). Every
// part finds the home folder through this one function.
std::optional<std::string> NSHomeDirectory();

// $XDG_CONFIG_HOME verbatim (trailing slashes kept) when it is an absolute
// path; none when it is unset, empty or relative, as the convention asks.
std::optional<std::string> XdgConfigHome();

// $XDG_DATA_HOME, with the rule of XdgConfigHome.
std::optional<std::string> XdgDataHome();

// The absolute folders of $XDG_CONFIG_DIRS in order, split at ':'; empty and
// relative entries are passed over. "/etc/xdg" when the variable is unset or
// empty (a value with no absolute entry gives no folder, not the default).
std::vector<std::string> XdgConfigDirs();

// The folders of $XDG_DATA_DIRS with the rule of XdgConfigDirs; the default
// is "/usr/local/share" then "/usr/share".
std::vector<std::string> XdgDataDirs();

// $XDG_RUNTIME_DIR verbatim when it is an absolute path; none when it is
// unset, empty or relative. For folders that Kestrine makes and trusts.
std::optional<std::string> XdgRuntimeDir();

// $XDG_RUNTIME_DIR verbatim when it is set and not empty, even relative;
// none otherwise. For finding other programs' sockets (session bus, sound
// and display servers), which those programs' own libraries look up this
// way, so that Kestrine finds what they find.
std::optional<std::string> XdgRuntimeDirAsSet();
