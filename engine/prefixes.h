// The prefix table: the user's own texts that a path can be rendered behind.
//
// Entries come first from "Prefixes.txt" in the resources folder of the
// bundle "com.corvane.KestrineCM", then from the setting `Prefixes`. Entry i
// has the slash form, ID 1000 + i (for i below 1000), and the backslash
// form, ID 2000 + i; get_clipboard_data renders both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/files/files.h"
#include "platform/preferences/preferences.h"

// The process-wide table, or none. An entry is none when the setting held
// something other than a string there; its forms render nothing. Touched only
// from the main thread.
extern std::optional<PrefArray> gPrefixes;

// Rebuilds the table: the file's entries, then the setting's.
void LoadPrefixes();

// Whether `commandID` names a command with the table as it is loaded: one of
// the twelve fixed commands, or a prefix form of an entry that is a text
// (1000 + i for i below 1000, 2000 + i), whether or not menus offer it.
bool CommandIDExists(std::int32_t commandID);

// Drops the table, then sets it to the entries of "Prefixes.txt", or leaves
// none when the bundle, its resources folder or the file is missing or
// cannot be read.
void LoadPrefixesFromTextFile();

// Cuts the text of a prefix file into entries: at every line feed when it
// holds one, else at every carriage return, else one entry. Nothing is
// trimmed; a line break at the end yields an empty last entry. An empty text
// yields no entry, so an empty file adds no prefix.
PrefArray SplitPrefixText(std::string_view text);

// The slash form of entry `index` (below 1000) and the backslash form of
// entry `index`: the result length, or 0 with "" in the buffer.
std::int32_t RenderSlashPrefixForm(const FSRef& ref, char* buffer, std::size_t capacity,
                                   std::size_t index);
std::int32_t RenderBackslashPrefixForm(const FSRef& ref, char* buffer, std::size_t capacity,
                                       std::size_t index);
