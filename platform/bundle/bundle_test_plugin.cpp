// A stand-in for a plug-in's shared object and for a program: each reports
// the bundle it finds for an identifier.
#include <cstdio>
#include <string>

#include "platform/bundle/bundle.h"

// The folder of the bundle known as `identifier`, or "" when it is unknown;
// valid until the next call.
extern "C" __attribute__((visibility("default"))) const char* BundleTestFind(const char* identifier) {
  static std::string path;
  path = CFBundleGetBundleWithIdentifier(identifier).value_or(CFBundle{}).path;
  return path.c_str();
}

// As a program: prints the folder of the bundle known as argv[1].
int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::fputs(BundleTestFind(argv[1]), stdout);
  return 0;
}
