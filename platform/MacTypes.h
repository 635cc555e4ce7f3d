// Status codes and small scalar types shared by every platform service.
//
// Every platform call that can fail returns a status: 0 (noErr) for success,
// a negative code otherwise. The codes keep the values that callers test for.
#pragma once

#include <cstdint>

using OSErr = std::int16_t;
using OSStatus = std::int32_t;
using ItemCount = std::uint32_t;

constexpr OSErr noErr = 0;
constexpr OSErr paramErr = -50;            // A bad argument.
constexpr OSErr fnfErr = -43;              // No such file or folder.
constexpr OSErr dirNFErr = -120;           // A path component is missing or not a folder.
constexpr OSErr bdNamErr = -37;            // A name or path the file system refuses (too long).
constexpr OSErr tmfoErr = -42;             // Too many files open.
constexpr OSErr ioErr = -36;               // Any other I/O failure.
constexpr OSErr memFullErr = -108;         // Out of memory.
constexpr OSErr nsvErr = -35;              // No such volume.
constexpr OSErr errFSNoMoreItems = -1417;  // A folder iterator has no more entries.
constexpr OSErr errFSBadBuffer = -1427;    // A caller's buffer is too small.
constexpr OSErr afpAccessDenied = -5000;   // Permission denied.
constexpr OSStatus coreFoundationUnknownErr = -4960;
