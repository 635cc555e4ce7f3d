// Fuzzes the build syntax. The first byte picks the reader: odd for an
// event's parameter list, even for one value. A refused text must leave the
// null descriptor and an error inside the text; an accepted one must print
// back to text that reads to an equal descriptor, and an event must flatten
// and read back equal.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/appleevents/appleevent.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// What AEPrintDescToHandle writes for `desc` reads back to it.
void CheckPrintRoundTrip(const AEDesc& desc) {
  std::string text;
  Check(AEPrintDescToHandle(&desc, &text) == noErr);
  AEDesc again;
  AEBuildError error{};
  Check(AEBuildDesc(&again, &error, text) == noErr);
  Check(again == desc);
}

void CheckRefused(OSErr status, const AEDesc& result, const AEBuildError& error,
                  std::size_t size) {
  Check(status == errAEBuildSyntaxError);
  Check(result == AEDesc());
  Check(error.fError != kAEBuildNoError && error.fErrorPos <= size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool event = (data[0] & 1) != 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  AEBuildError error{};
  if (!event) {
    AEDesc desc;
    const OSErr status = AEBuildDesc(&desc, &error, text);
    if (status != noErr) {
      CheckRefused(status, desc, error, text.size());
      return 0;
    }
    CheckPrintRoundTrip(desc);
    return 0;
  }

  const std::uint32_t signature = MakeFourCharCode("MACS");
  AppleEvent appleEvent;
  const OSErr status =
      AEBuildAppleEvent(MakeFourCharCode("core"), MakeFourCharCode("getd"), typeApplSignature,
                        &signature, sizeof signature, 1, 0, &appleEvent, &error, text);
  if (status != noErr) {
    CheckRefused(status, appleEvent, error, text.size());
    return 0;
  }
  AEDesc read;
  Check(AEUnflattenDesc(AEFlattenDesc(appleEvent), &read) == noErr);
  Check(read == appleEvent);
  std::string printed;
  Check(AEPrintDescToHandle(&appleEvent, &printed) == noErr);
  long count = 0;
  Check(AECountItems(&appleEvent, &count) == noErr);
  for (long index = 1; index <= count; ++index) {
    AEDesc parameter;
    Check(AEGetNthDesc(&appleEvent, index, typeWildCard, nullptr, &parameter) == noErr);
    CheckPrintRoundTrip(parameter);
  }
  return 0;
}
