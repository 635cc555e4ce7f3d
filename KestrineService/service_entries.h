// The service entries of the user's file managers: what makes the twelve
// commands appear on a selection's menu in Dolphin, Nautilus, Caja, Nemo,
// Thunar and the file managers that read the desktop's file-manager actions
// (PCManFM-Qt and others).
// Each entry runs `KestrineService "<command>" <selected paths...>`.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One file to write: its path, its content, and whether it must be
// executable.
struct ServiceEntryFile {
  std::string path;
  std::string content;
  bool executable = false;
};

// The files for `executable`, below the user's data folder
// (${XDG_DATA_HOME:-~/.local/share}) and config folder
// (${XDG_CONFIG_HOME:-~/.config}):
// - Dolphin: <data>/kio/servicemenus/kestrine.desktop, one action per
//   command in a "Kestrine" submenu;
// - Nautilus: <data>/nautilus/scripts/Kestrine/<command>;
// - Caja: <config>/caja/scripts/Kestrine/<command>;
// - Nemo: <data>/nemo/actions/kestrine-<n>.nemo_action;
// - file-manager actions: <data>/file-manager/actions/kestrine-<n>.desktop,
//   one action per command, and kestrine.desktop, the "Kestrine" menu that
//   lists them.
std::vector<ServiceEntryFile> ServiceEntryFiles(const std::string& executable);

// Thunar's custom actions file, <config>/Thunar/uca.xml.
std::string ThunarCustomActionsPath();

// `existing` (the content of Thunar's custom actions file; empty when there
// is none) with one action per command in a "Kestrine" submenu, each with the
// unique id "kestrine-<n>". Kestrine's earlier actions are replaced, the
// user's own actions and everything else are kept byte for byte. None when
// `existing` is not empty and has no "</actions>" to add to.
std::optional<std::string> MergeThunarCustomActions(std::string_view existing,
                                                    const std::string& executable);

// Writes the entries that are missing or differ (atomically, each through a
// temporary file) and leaves identical ones untouched, so running it again
// changes nothing. Thunar's custom actions file is merged, not replaced: the
// file as it was is kept beside it as "uca.xml.bak" before it is changed; an
// unreadable or malformed file is left alone. Returns the number of files
// written, or -1 with a message on standard error when one could not be.
int NSUpdateDynamicServices(const std::string& executable);

// Quotes `argument` for an Exec line of a desktop entry.
std::string QuoteDesktopExecArgument(std::string_view argument);

// Quotes `argument` for a POSIX shell.
std::string QuoteShellArgument(std::string_view argument);
