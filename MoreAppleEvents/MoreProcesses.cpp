#include "MoreAppleEvents/MoreProcesses.h"

OSErr MoreProcFindProcessBySignature(OSType creator, OSType fileType, ProcessSerialNumber* psn) {
  if (psn == nullptr) return paramErr;
  *psn = {0, kNoProcess};
  for (;;) {
    const OSErr status = GetNextProcess(psn);
    if (status != noErr) return status;
    ProcessInfoRec info;
    info.processInfoLength = kProcessInfoRecLength;
    info.processName = nullptr;
    if (GetProcessInformation(psn, &info) == noErr && info.processSignature == creator &&
        info.processType == fileType) {
      return noErr;
    }
  }
}
