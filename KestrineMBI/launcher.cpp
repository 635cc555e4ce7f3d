// KestrineMBI as installed in bin/: reads the command line and runs, with no
// toolkit, what needs none (--version, --help, --choose, usage errors), so
// that a keyboard shortcut's --choose starts fast. For the tray, --menu and
// --preferences it becomes the toolkit's program, installed beside it in
// libexec/kestrine/ under the same name, in the same process (same id, so
// that callers who started it still know it).
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "KestrineMBI/command_line.h"

namespace {

// The toolkit's program, found from this program's own file: bin/ and
// libexec/kestrine/ are siblings in the build folder as in the install.
std::string ToolkitProgram() {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return KESTRINE_MBI_TOOLKIT_PROGRAM;
  std::string folder(self, static_cast<std::size_t>(length));
  folder.erase(folder.rfind('/') + 1);
  return folder + "../" KESTRINE_MBI_TOOLKIT_PROGRAM;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const std::optional<int> status = RunWithoutToolkit(argc, argv, &options)) return *status;
  const std::string program = ToolkitProgram();
  execv(program.c_str(), argv);
  std::fprintf(stderr, "KestrineMBI: cannot start %s: %s\n", program.c_str(), std::strerror(errno));
  return 1;
}
