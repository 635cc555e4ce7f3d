#include "MoreAppleEvents/MoreFinderEvents.h"

#include <cstdio>
#include <string>

namespace {

const OSType gFinderSignature = kFinderCreatorType;

}  // namespace

OSStatus MoreFEGetSelection(AEIdleUPP idleProc, AEDescList* listOut) {
  if (idleProc == nullptr || listOut == nullptr) return paramErr;
  MoreAENullDesc(listOut);
  AppleEvent event;
  AEBuildError buildError;
  OSStatus status = AEBuildAppleEvent(
      kAECoreSuite, kAEGetData, typeApplSignature, &gFinderSignature, sizeof gFinderSignature,
      kAutoGenerateReturnID, kAnyTransactionID, &event, &buildError,
      "'----':obj {want:type('prop'),from:'null'(),form:'prop',seld:type('sele')}");
  if (status != noErr) return status;
  std::string text;
  if (AEPrintDescToHandle(&event, &text) == noErr) {
    std::printf("\n-MoreFEGetSelection: tAppleEvent=\"%s\".", text.c_str());
    std::fflush(stdout);
  }
  status = MoreAESendEventReturnAEDescList(idleProc, &event, listOut);
  MoreAEDisposeDesc(&event);
  return status;
}

OSStatus MoreFEGetObjectAsAlias(const AEDesc* objectDesc, Handle* aliasHandle,
                                AEIdleUPP idleProc) {
  if (objectDesc == nullptr || aliasHandle == nullptr || idleProc == nullptr ||
      objectDesc->descriptorType() != typeObjectSpecifier || aliasHandle->has_value()) {
    return paramErr;
  }
  AppleEvent event;
  OSStatus status = MoreAECreateAppleEventSignatureTarget(kFinderFileType, kFinderCreatorType,
                                                          kAECoreSuite, kAEGetData, &event);
  if (status != noErr) return status;
  const DescType aliasType = typeAlias;
  status = AEPutParamDesc(&event, keyDirectObject, objectDesc);
  if (status == noErr) {
    status = AEPutParamPtr(&event, keyAERequestedType, typeType, &aliasType, sizeof aliasType);
  }
  AEDesc aliasDesc;
  if (status == noErr) status = MoreAESendEventReturnAEDesc(idleProc, &event, typeAlias, &aliasDesc);
  if (status == noErr) status = MoreAECopyDescriptorDataToHandle(&aliasDesc, aliasHandle);
  MoreAEDisposeDesc(&event);
  MoreAEDisposeDesc(&aliasDesc);
  return status;
}
