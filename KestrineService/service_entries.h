// The service entries of the user's file managers: what makes the twelve
// commands appear on a selection's menu in Dolphin, Nautilus, Caja and Nemo.
// Each entry runs `KestrineService "<command>" <selected paths...>`.
#pragma once

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
// - Nemo: <data>/nemo/actions/kestrine-<n>.nemo_action.
std::vector<ServiceEntryFile> ServiceEntryFiles(const std::string& executable);

// Writes the entries that are missing or differ (atomically, each through a
// temporary file) and leaves identical ones untouched, so running it again
// changes nothing. Returns the number of files written, or -1 with a message
// on standard error when one could not be.
int NSUpdateDynamicServices(const std::string& executable);

// Quotes `argument` for an Exec line of a desktop entry.
std::string QuoteDesktopExecArgument(std::string_view argument);

// Quotes `argument` for a POSIX shell.
std::string QuoteShellArgument(std::string_view argument);
