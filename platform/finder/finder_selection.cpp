#include "platform/finder/finder_selection.h"

#include "platform/appleevents/alias.h"
#include "platform/finder/finder_protocol.h"

namespace {

// The 'setd' event for the Finder's selection, with its direct object and
// nothing else.
AppleEvent NewSetSelectionEvent() {
  AEDesc address;
  AECreateDesc(typeApplSignature, &kFinderCreatorType, sizeof kFinderCreatorType, &address);
  AppleEvent event;
  AECreateAppleEvent(kAECoreSuite, kAESetData, &address, kAutoGenerateReturnID, kAnyTransactionID,
                     &event);
  const AEDesc specifier = FinderSelectionSpecifier();
  AEPutParamDesc(&event, keyDirectObject, &specifier);
  return event;
}

OSErr Send(const AppleEvent& event, AESendMode sendMode, std::int32_t timeOutInTicks) {
  AppleEvent reply;
  const OSErr status =
      AESend(&event, &reply, sendMode, kAENormalPriority, timeOutInTicks, nullptr, nullptr);
  if (status != noErr || (sendMode & kAEReplyModeMask) == kAENoReply) return status;
  std::int32_t number = noErr;
  AEGetParamPtr(&reply, keyErrorNumber, typeSInt32, nullptr, &number, sizeof number, nullptr);
  return static_cast<OSErr>(number);
}

}  // namespace

OSErr FinderSetSelection(const std::vector<std::string>& paths, DescType kind,
                         AESendMode sendMode, std::int32_t timeOutInTicks, std::size_t* unusable) {
  AppleEvent event = NewSetSelectionEvent();
  AEDescList data;
  AECreateList(nullptr, 0, false, &data);
  std::string alias;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (const OSErr status = FSNewAliasFromPath(paths[i], &alias); status != noErr) {
      if (unusable != nullptr) *unusable = i;
      return status;
    }
    AEPutPtr(&data, 0, typeAlias, alias.data(), alias.size());
  }
  AEPutParamDesc(&event, keyAEData, &data);
  AEPutParamPtr(&event, keyFinderSelectionKind, typeType, &kind, sizeof kind);
  return Send(event, sendMode, timeOutInTicks);
}

OSErr FinderSetSelectionFailure(std::int32_t number) {
  AppleEvent event = NewSetSelectionEvent();
  AEPutParamPtr(&event, keyFinderSelectionFailure, typeSInt32, &number, sizeof number);
  return Send(event, kAEWaitReply, kAEDefaultTimeout);
}
