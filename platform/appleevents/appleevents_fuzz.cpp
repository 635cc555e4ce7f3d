// Fuzzes the reader of flattened descriptors: whatever it accepts in the
// first form must flatten back to the very same bytes, in the second form
// to bytes that read back the same, and every item of it must be readable
// and coercible without a fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/appleevents/appleevents.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void Walk(const AEDesc& desc) {
  // The data of every descriptor makes the same descriptor again; a coerced
  // record comes back through a 'reco'.
  const std::size_t size = AEGetDescDataSize(&desc);
  std::vector<char> data(size);
  Check(AEGetDescData(&desc, data.data(), data.size()) == noErr);
  const DescType type = desc.descriptorType();
  long items = 0;
  const bool coercedRecord = type != typeAEList && type != typeAERecord &&
                             type != typeAppleEvent && AECountItems(&desc, &items) == noErr;
  AEDesc remade;
  Check(AECreateDesc(coercedRecord ? typeAERecord : type, data.data(), data.size(), &remade) ==
        noErr);
  if (coercedRecord) Check(AECoerceDesc(&remade, type, &remade) == noErr);
  Check(remade == desc);

  for (const DescType to : {typeWildCard, typeFSRef, typeAlias, typeAEList, typeSInt32,
                            typeSInt16, typeType, typeAERecord, typeObjectSpecifier}) {
    AEDesc coerced;
    const OSErr status = AECoerceDesc(&desc, to, &coerced);
    Check(status == noErr || (status == errAECoercionFail && coerced == AEDesc()));
  }

  long count = 0;
  if (AECountItems(&desc, &count) != noErr) return;
  Check(AEGetNthDesc(&desc, 0, typeWildCard, nullptr, &remade) == errAEBadListItem);
  Check(AEGetNthDesc(&desc, count + 1, typeWildCard, nullptr, &remade) == errAEBadListItem);
  for (long index = 1; index <= count; ++index) {
    AEKeyword key = 0;
    AEDesc item;
    Check(AEGetNthDesc(&desc, index, typeWildCard, &key, &item) == noErr);
    if (type != typeAEList) {
      AEDesc byKey;
      Check(AEGetParamDesc(&desc, key, typeWildCard, &byKey) == noErr);
      Check(byKey == item);
    }
    AEDesc asFile;
    const OSErr status = AEGetNthDesc(&desc, index, typeFSRef, nullptr, &asFile);
    Check(status == noErr || status == errAECoercionFail);
    if (status == noErr) Check(AEGetDescDataSize(&asFile) == 80);
    Walk(item);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  AEDesc desc;
  if (AEUnflattenDesc(bytes, &desc) != noErr) {
    Check(desc == AEDesc());
    return 0;
  }
  const std::string flat = AEFlattenDesc(desc);
  if (bytes.substr(0, 4) == "AEF1") {
    Check(flat == bytes);
  } else {
    AEDesc again;
    Check(AEUnflattenDesc(flat, &again) == noErr);
    Check(again == desc);
  }
  Walk(desc);
  return 0;
}
