#include "platform/files/open_folders.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace files_internal {

namespace {

// One entry per open iterator of this thread, innermost last; a walk holds
// one per level, so the search from the back finds the parent at once.
thread_local std::vector<std::pair<NodeIndex, int>> tOpenFolders;

}  // namespace

OpenFolderRegistration::OpenFolderRegistration(NodeIndex node, int fd) : fd_(fd) {
  tOpenFolders.emplace_back(node, fd);
}

OpenFolderRegistration::~OpenFolderRegistration() {
  const auto it = std::find_if(tOpenFolders.rbegin(), tOpenFolders.rend(),
                               [this](const auto& entry) { return entry.second == fd_; });
  if (it != tOpenFolders.rend()) tOpenFolders.erase(std::next(it).base());
}

std::optional<int> OpenFolderOfParent(const RefLocation& location) {
  if (!location.child_form()) return std::nullopt;
  for (auto it = tOpenFolders.rbegin(); it != tOpenFolders.rend(); ++it) {
    if (it->first == location.node) return it->second;
  }
  return std::nullopt;
}

}  // namespace files_internal
