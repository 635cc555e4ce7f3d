// The service entries of the user's file managers: what makes the twelve
// commands appear on a selection's menu in Dolphin, Nautilus, Caja, Nemo,
// Thunar and the file managers that read the desktop's file-manager actions
// (PCManFM-Qt and others).
// Each entry runs `KestrineService "<command>" <selected paths...>`.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// The file managers Kestrine writes entries for. kFileManagerActions stands
// for those that read the desktop's file-manager actions.
enum class FileManager { kDolphin, kNautilus, kCaja, kNemo, kThunar, kFileManagerActions };

// The file manager's name as users know it ("Nautilus").
std::string_view FileManagerName(FileManager manager);

// The programs whose presence on PATH tells that `manager` is installed.
const std::vector<std::string_view>& FileManagerPrograms(FileManager manager);

// The line every entry file Kestrine writes carries, and by which it knows
// its own files from the user's.
inline constexpr std::string_view kServiceEntryMarker =
    "# Written by KestrineService; \"KestrineService --remove-entries\" removes it.\n";

// One file to write: its path, its content, and whether it must be
// executable.
struct ServiceEntryFile {
  std::string path;
  std::string content;
  bool executable = false;
  FileManager manager = FileManager::kDolphin;
  // A text of the content, apart from the marker, by which the files that
  // KestrineService wrote before it had the marker are known as its own.
  std::string signature;
};

// The files for `executable`, below the user's data folder
// (${XDG_DATA_HOME:-~/.local/share}) and config folder
// (${XDG_CONFIG_HOME:-~/.config}), each with kServiceEntryMarker and its
// signature:
// - Dolphin: <data>/kio/servicemenus/kestrine.desktop, one action per
//   command in a "Kestrine" submenu;
// - Nautilus: <data>/nautilus/scripts/Kestrine/<command>;
// - Caja: <config>/caja/scripts/Kestrine/<command>;
// - Nemo: <data>/nemo/actions/kestrine-<n>.nemo_action;
// - file-manager actions: <data>/file-manager/actions/kestrine-<n>.desktop,
//   one action per command, and kestrine.desktop, the "Kestrine" menu that
//   lists them.
std::vector<ServiceEntryFile> ServiceEntryFiles(const std::string& executable);

// The entries of `managers` for every user, below the system data folder
// `dataFolder` (such as /usr/share), where a package installs them: those of
// Dolphin, Nemo and the file-manager actions, named and written as
// ServiceEntryFiles has them, but without kServiceEntryMarker (the package
// removes them, not "--remove-entries") and none executable (Dolphin asks
// that only of the service menus in the user's folders). The other file
// managers read no system folder and get none.
std::vector<ServiceEntryFile> SystemServiceEntryFiles(const std::string& executable,
                                                      const std::string& dataFolder,
                                                      const std::set<FileManager>& managers);

// Whether the KestrineService at `executable` writes entries into the
// user's folders: not when it is the one installed for every user, that is
// when it is `installedExecutable` (the path the build installs it to) and
// that path is not below `home`; its entries then come with the package.
// A program in a home prefix, in a build folder or moved elsewhere writes
// them.
bool WritesUserEntries(const std::string& executable, const std::string& installedExecutable,
                       const std::string& home);

// Thunar's custom actions file, <config>/Thunar/uca.xml.
std::string ThunarCustomActionsPath();

// `existing` (the content of Thunar's custom actions file; empty for none)
// with one action per command in a "Kestrine" submenu, each with the unique
// id "kestrine-<n>", added at the end of its <actions> element. The actions
// with those twelve ids are replaced; every other byte is kept as it is.
// None, with the reason in `why`, when `existing` is not well-formed XML or
// its top element is not <actions>.
std::optional<std::string> MergeThunarCustomActions(std::string_view existing,
                                                    const std::string& executable,
                                                    std::string* why = nullptr);

// `existing` without the actions that MergeThunarCustomActions adds, every
// other byte kept; none, with the reason in `why`, as above.
std::optional<std::string> RemoveThunarCustomActions(std::string_view existing,
                                                     std::string* why = nullptr);

// What a run did, in lines for the user.
struct ServiceEntriesReport {
  std::vector<std::string> notes;     // What was found and done.
  std::vector<std::string> problems;  // What was left alone or failed.
  int written = 0;                    // Files written.
  int upToDate = 0;                   // Files that already held their content.
  int removed = 0;                    // Files removed.
};

// Where each file manager that can load Kestrine's extension module would
// load it from (the module file's path).
using ExtensionModulePaths = std::map<FileManager, std::string>;

// Writes the entries of the file managers that are installed (one of
// FileManagerPrograms on PATH) and leaves the others out:
// - A file manager whose module (in `modules`) is installed gets no entries,
//   since it shows Kestrine's menu already; its entries from earlier runs are
//   removed (for Thunar, Kestrine's actions in its custom actions file).
// - An entry file is written (atomically, through a temporary file) when it
//   is missing or differs; an identical one is left untouched, so running
//   it again changes nothing. A file at an entry's path without
//   kServiceEntryMarker is the user's: it is left alone, and said so.
// - Thunar's custom actions file is merged, not replaced (see
//   MergeThunarCustomActions), keeping its mode and owner, and written
//   through a link to the link's target; the file as it was is kept beside
//   it as "<name>.bak". Without one, the system's default (Thunar/uca.xml in
//   ${XDG_CONFIG_DIRS:-/etc/xdg}) is the start, so that its actions stay. A
//   file that is not a regular file or is not well-formed is left alone.
ServiceEntriesReport NSUpdateDynamicServices(const std::string& executable,
                                             const ExtensionModulePaths& modules);

// Removes every entry file that carries kServiceEntryMarker or its entry's
// signature, and Kestrine's
// actions from Thunar's custom actions file (keeping a backup as above);
// leaves everything else alone.
ServiceEntriesReport RemoveServiceEntries();

// Quotes `argument` for an Exec line of a desktop entry.
std::string QuoteDesktopExecArgument(std::string_view argument);

// The command's name in entry files and action IDs: lower case, with "-"
// for each space ("copy-posix-path").
std::string Slug(std::string_view command);

// Quotes `argument` for a POSIX shell.
std::string QuoteShellArgument(std::string_view argument);
