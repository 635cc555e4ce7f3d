#include "MoreAppleEvents/MoreAppleEvents.h"

#include <new>

#include "MoreAppleEvents/MoreProcesses.h"
#include "platform/memory_guard.h"

void MoreAENullDesc(AEDesc* desc) {
  if (desc != nullptr) AEInitializeDescInplace(desc);
}

void MoreAEDisposeDesc(AEDesc* desc) {
  if (desc != nullptr) AEDisposeDesc(desc);
}

OSStatus MoreAECreateAppleEventProcessTarget(const ProcessSerialNumber* psn,
                                             AEEventClass eventClass, AEEventID eventID,
                                             AppleEvent* appleEvent) {
  if (psn == nullptr || appleEvent == nullptr) return paramErr;
  AEDesc target;
  OSStatus status = AECreateDesc(typeProcessSerialNumber, psn, sizeof *psn, &target);
  if (status == noErr) {
    status = AECreateAppleEvent(eventClass, eventID, &target, kAutoGenerateReturnID,
                                kAnyTransactionID, appleEvent);
  }
  MoreAEDisposeDesc(&target);
  return status;
}

OSStatus MoreAECreateAppleEventSignatureTarget(OSType fileType, OSType creator,
                                               AEEventClass eventClass, AEEventID eventID,
                                               AppleEvent* appleEvent) {
  ProcessSerialNumber psn;
  const OSStatus status = MoreProcFindProcessBySignature(creator, fileType, &psn);
  if (status != noErr) return status;
  return MoreAECreateAppleEventProcessTarget(&psn, eventClass, eventID, appleEvent);
}

namespace {

// Sends `appleEvent` and waits for `*reply`; the send's failure, else the
// reply's non-zero error number, else noErr. An absent error number
// (errAEDescNotFound) counts as none.
OSStatus SendAndCheckReply(AEIdleUPP idleProc, const AppleEvent* appleEvent, AppleEvent* reply) {
  const OSStatus status = AESend(appleEvent, reply, kAEWaitReply, kAENormalPriority,
                                 kMoreAEReplyTimeoutTicks, idleProc, nullptr);
  if (status != noErr) return status;
  std::int16_t errorNumber = 0;
  DescType actualType = typeNull;
  std::size_t actualSize = 0;
  if (reply->descriptorType() != typeNull &&
      AEGetParamPtr(reply, keyErrorNumber, typeSInt16, &actualType, &errorNumber,
                    sizeof errorNumber, &actualSize) == noErr) {
    return errorNumber;
  }
  return noErr;
}

}  // namespace

OSStatus MoreAESendEventReturnAEDesc(AEIdleUPP idleProc, const AppleEvent* appleEvent,
                                     DescType desiredType, AEDesc* descOut) {
  if (idleProc == nullptr || descOut == nullptr) return paramErr;
  AppleEvent reply;
  OSStatus status = SendAndCheckReply(idleProc, appleEvent, &reply);
  if (status == noErr && reply.descriptorType() != typeNull) {
    status = AEGetParamDesc(&reply, keyDirectObject, desiredType, descOut);
  }
  MoreAEDisposeDesc(&reply);
  return status;
}

OSStatus MoreAESendEventNoReturnValue(AEIdleUPP idleProc, const AppleEvent* appleEvent) {
  AppleEvent reply;
  const OSStatus status = SendAndCheckReply(idleProc, appleEvent, &reply);
  MoreAEDisposeDesc(&reply);
  return status;
}

OSStatus MoreAESendEventReturnAEDescList(AEIdleUPP idleProc, const AppleEvent* appleEvent,
                                         AEDescList* descOut) {
  return MoreAESendEventReturnAEDesc(idleProc, appleEvent, typeAEList, descOut);
}

OSErr MoreAECopyDescriptorDataToHandle(const AEDesc* desc, Handle* handleOut) {
  if (desc == nullptr || handleOut == nullptr) return paramErr;
  handleOut->reset();
  return GuardMemory(memFullErr, [&] {
    std::string data(AEGetDescDataSize(desc), '\0');
    const OSErr status = AEGetDescData(desc, data.data(), data.size());
    if (status != noErr) return status;
    *handleOut = std::move(data);
    return OSErr{noErr};
  });
}
