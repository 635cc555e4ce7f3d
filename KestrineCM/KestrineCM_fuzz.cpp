// Feeds arbitrary contexts and command IDs to the plug-in's menu build and
// handler, as a misbehaving host could. Input: a 4-byte command ID, then a
// flattened descriptor used as the context.
#include <ftw.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KestrineCM/KestrineCM.h"
#include "engine/path_forms.h"

namespace {

char gRoot[] = "/tmp/kestrine-fuzz-XXXXXX";

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

void RemoveRoot() { ::nftw(gRoot, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // A private user: settings, clipboard and prefixes of a temporary folder,
  // and no display, so the clipboard is a file.
  if (::mkdtemp(gRoot) == nullptr) std::abort();
  std::atexit(RemoveRoot);
  const std::string base = gRoot;
  ::setenv("HOME", base.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (base + "/config").c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", base.c_str(), 1);
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::int32_t commandID = 0;
  if (size >= sizeof commandID) {
    std::memcpy(&commandID, data, sizeof commandID);
    data += sizeof commandID;
    size -= sizeof commandID;
  }
  // A folder listing of whatever an alias names (the root, say) would walk
  // the whole disk; the walk has tests of its own.
  if (commandID == kCopyFolderPaths) commandID = kCopyPosixPath;

  AEDesc context;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const bool parsed = AEUnflattenDesc(bytes, &context) == noErr;
  if (!parsed) AECreateDesc(typeText, data, size, &context);

  AEDescList commands;
  AECreateList(nullptr, 0, false, &commands);
  KestrineCMExamineContext(nullptr, &context, &commands);
  KestrineCMExamineContext(nullptr, nullptr, &commands);
  KestrineCMExamineContext(nullptr, &context, nullptr);
  KestrineCMHandleSelection(nullptr, &context, commandID);
  KestrineCMHandleSelection(nullptr, nullptr, commandID);
  KestrineCMPostMenuCleanup(nullptr);
  return 0;
}
