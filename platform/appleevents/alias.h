// Alias records: the data of an 'alis' descriptor, naming one file-system
// item by its absolute path.
//
// Layout, every number big-endian:
//   "alis" (4 bytes), version 1 (2 bytes), 0 (2 bytes),
//   path length (4 bytes), then the path's bytes (absolute, no NUL).
// The record is a plain byte string that the caller owns.
//
// Resolving an alias never asks the user anything and never mounts a
// volume: an alias whose target is gone simply fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/MacTypes.h"
#include "platform/files/files.h"

// Mount flags for FSResolveAliasWithMountFlags. Resolution is never
// interactive here, so the flag is accepted for its documentation value.
constexpr std::uint32_t kResolveAliasFileNoUI = 0x00000001;

// Makes an alias record for the absolute `path`, which need not exist yet.
// Returns noErr; paramErr when the path is not absolute, holds a NUL byte or
// is longer than 1 MiB. `*alias` is untouched on failure.
OSErr FSNewAliasFromPath(std::string_view path, std::string* alias);

// Makes an alias record for the item `target` names. Returns noErr, or the
// status of FSRefMakePath (fnfErr when the item is gone, paramErr for a bad
// reference); `*alias` is untouched on failure.
OSErr FSNewAlias(const FSRef& target, std::string* alias);

// The path an alias record holds, without looking at the file system; none
// when the record is malformed.
std::optional<std::string> FSCopyAliasPath(std::string_view alias);

// Resolves `alias` into `target` with FSPathMakeRef on its path. `fromFile`
// (for relative aliases) is ignored and may be null; `wasChanged`, when not
// null, is set to false: records are never updated. Returns noErr; paramErr
// for a malformed record; otherwise the status of FSPathMakeRef (fnfErr when
// the target is gone). `*target` is untouched on failure.
OSErr FSResolveAliasWithMountFlags(const FSRef* fromFile, std::string_view alias, FSRef* target,
                                   bool* wasChanged, std::uint32_t mountFlags);
