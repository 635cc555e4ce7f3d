// The folders this thread is iterating, so that calls on their entries can
// name an entry relative to its open folder instead of walking the whole
// path again. Internal to the file services.
#pragma once

#include <optional>

#include "platform/files/node_table.h"

namespace files_internal {

// Makes `fd`, an open folder whose node is `node`, known to this thread
// until the object goes away. The descriptor must outlive the object.
class OpenFolderRegistration final {
 public:
  OpenFolderRegistration(NodeIndex node, int fd);
  ~OpenFolderRegistration();
  OpenFolderRegistration(const OpenFolderRegistration&) = delete;
  OpenFolderRegistration& operator=(const OpenFolderRegistration&) = delete;

 private:
  int fd_;
};

// The descriptor of the open folder that holds a child-form location, when
// this thread is iterating that folder; `location.name` is then the item's
// path relative to it. None otherwise: use the absolute path.
std::optional<int> OpenFolderOfParent(const RefLocation& location);

}  // namespace files_internal
