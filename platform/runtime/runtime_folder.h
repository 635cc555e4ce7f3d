// The per-user private folder that Kestrine's processes share: the
// clipboard file, the process registry and the event sockets live in it.
//
// The folder is $XDG_RUNTIME_DIR/kestrine, or, when XDG_RUNTIME_DIR is unset
// or not absolute, <home>/.cache/kestrine/run in the user's home folder
// (NSHomeDirectory), where no other user can make it first. It must be a
// real folder (not a link), owned by the effective user, and closed to
// everyone else (no permission bits for group or others); anything else is
// refused, so that nothing of ours is ever written through a folder another
// user controls.
#pragma once

#include <string>

#include "platform/MacTypes.h"

// The path of the private folder, from the environment at call time; empty
// when XDG_RUNTIME_DIR is unset and the home folder is unknown. Every
// process of Kestrine finds the folder through this one function.
std::string KestrineRuntimeFolderPath();

// Opens the folder at `path` read-only as a descriptor (close-on-exec) into
// `*fd`, making it with mode 0700 when missing (its parent must exist).
// Refuses, after logging one line naming the folder, a folder that is a link
// or a mount of something else than a folder, belongs to another user, or
// gives any permission to group or others: afpAccessDenied. Other failures
// return the errno status, also after one line. `*fd` is -1 on failure; the
// caller owns the descriptor on success.
OSStatus OpenPrivateFolder(const std::string& path, int* fd);

// OpenPrivateFolder on KestrineRuntimeFolderPath(). Below the home folder,
// the missing folders above it are made with mode 0700 first; the home
// folder itself is never made. Without a path: fnfErr after one line.
OSStatus OpenKestrineRuntimeFolder(int* fd);

// The status of a failed making or writing of the runtime folder, the
// clipboard file or a helper program: OSErrFromErrno, except that EROFS
// gives afpAccessDenied, ELOOP dirNFErr, and EINVAL, EFAULT and EBADF ioErr.
OSStatus StatusFromErrno(int error);
