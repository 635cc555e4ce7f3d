// Fuzzes the Finder's handling of one incoming message: whatever the bytes,
// the server either drops the connection or answers with an event that
// reads back, and never faults.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/appleevents/aeipc.h"
#include "platform/appleevents/appleevent.h"
#include "platform/finder/finder_serve.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // No display: the selection comes from the messages alone.
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  InstallFinderHandlers();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view message(reinterpret_cast<const char*>(data), size);
  std::string reply;
  if (!AEServerHandleMessage(message, &reply)) return 0;
  AppleEvent answer;
  if (AEUnflattenDesc(reply, &answer) != noErr || answer.descriptorType() != typeAppleEvent) {
    std::abort();
  }
  return 0;
}
