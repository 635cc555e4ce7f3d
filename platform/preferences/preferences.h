// Per-user application preferences, shared by every process of the user.
//
// A domain (an application identifier such as "com.corvane.KestrineCM") is
// one XML property list at ${XDG_CONFIG_HOME:-$HOME/.config}/<domain>.plist,
// so users and tests can edit it with ordinary plist tools.
//
// Each process keeps a view of the domain, loaded on first use. Reads answer
// from that view; writes change it and are remembered until the next
// synchronize. CFPreferencesAppSynchronize brings the view up to date with
// the file (one stat(2) when the file has not changed) and, when the process
// has unsaved writes, merges them into what is on disk under an advisory
// lock and replaces the file atomically, so processes writing different keys
// lose nothing.
//
// A file that is empty, cut short, cannot be parsed (binary property lists
// included), or whose top level is not a dictionary, reads as an empty
// domain; so does one that is not well-formed XML, nests more than 256
// elements deep, holds a dictionary of more than 16,384 keys, or uses markup
// that the parser would read otherwise than XML (see xml_check.h). A UTF-8
// byte-order mark at the start is accepted; the store writes none. Before
// the next write a damaged file is renamed aside to
// "<file>.damaged-<seconds>" rather than overwritten. A file that exists but
// cannot be read (a folder in its place, no permission) also reads as empty,
// but is never replaced: writes fail. Values of kinds this
// API does not model (numbers, dates, data, dictionaries) are kept in the
// file untouched and read as PrefOther.
//
// All functions are safe to call from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// An array's elements: a string, or none for an element of another type.
using PrefArray = std::vector<std::optional<std::string>>;

// A stored value of a kind other than boolean, string or array.
struct PrefOther {
  std::string typeName;  // "integer", "real", "date", "data", "dict" ...
  friend bool operator==(const PrefOther&, const PrefOther&) = default;
};

using PrefValue = std::variant<bool, std::string, PrefArray, PrefOther>;

// The value of `key` in the process's view of `applicationID`, or none when
// the key is absent.
std::optional<PrefValue> CFPreferencesCopyAppValue(std::string_view key,
                                                   std::string_view applicationID);

// Sets `key` in the process's view; none removes it. A PrefOther value is
// ignored (there is nothing to store), and so is a key or text holding a NUL
// character, which the file cannot carry. The none elements of an array are
// left out. Takes effect on disk at the next CFPreferencesAppSynchronize.
void CFPreferencesSetAppValue(std::string_view key, std::optional<PrefValue> value,
                              std::string_view applicationID);

// Writes pending changes and reloads the view from disk (see above). Returns
// false when pending changes could not be written (they stay pending); a
// missing or damaged file is not a failure.
bool CFPreferencesAppSynchronize(std::string_view applicationID);

// The file that holds `applicationID`, from the environment at call time:
// $XDG_CONFIG_HOME when it is an absolute path, else $HOME/.config (the
// password file's home when HOME is unset or relative). Empty when the
// identifier cannot name a file (empty, ".", "..", or holding '/' or NUL) or
// no home folder is known; every call on such a domain does nothing (reads
// give none, synchronize gives false).
std::string CFPreferencesFilePath(std::string_view applicationID);
