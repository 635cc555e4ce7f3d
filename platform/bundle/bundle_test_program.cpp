// A stand-in program: prints the folder of the bundle known as argv[1], or
// nothing when the bundle is unknown.
#include <cstdio>

#include "platform/bundle/bundle.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::optional<CFBundle> bundle = CFBundleGetBundleWithIdentifier(argv[1]);
  if (bundle) std::fputs(bundle->path.c_str(), stdout);
  return 0;
}
