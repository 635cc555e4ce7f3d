// How the folder iterator learns the kind of one directory entry. Internal
// to the file services.
#pragma once

namespace files_internal {

enum class EntryKind {
  kFolder,  // A folder; never a symbolic link, whatever it leads to.
  kOther,   // Anything else, or an entry whose kind cannot be learnt.
  kGone,    // Deleted since the folder was read.
};

// The kind of the entry `name` of the open folder `folder_fd`, from `d_type`
// (a DT_ value of <dirent.h>) when the file system gives it, else from one
// fstatat(2) that does not follow links.
EntryKind KindOfEntry(int folder_fd, const char* name, unsigned char d_type);

}  // namespace files_internal
