#include "platform/status/status_words.h"

#include "platform/appleevents/aeipc.h"
#include "platform/pasteboard/pasteboard.h"
#include "platform/processes/processes.h"

namespace {

struct Meaning {
  OSStatus status;
  const char* words;
};

constexpr Meaning kMeanings[] = {
    {noErr, "no error"},
    {paramErr, "bad argument"},
    {fnfErr, "no such file or folder"},
    {dirNFErr, "no such folder"},
    {bdNamErr, "name or path refused"},
    {tmfoErr, "too many files open"},
    {ioErr, "input or output failure"},
    {memFullErr, "out of memory"},
    {nsvErr, "no such volume"},
    {errFSNoMoreItems, "no more items"},
    {errFSBadBuffer, "buffer too small"},
    {afpAccessDenied, "permission denied"},
    {coreFoundationUnknownErr, "unknown failure"},
    {connectionInvalid, "no connection to the other process"},
    {errAEEventNotHandled, "event not handled"},
    {errAEReplyNotValid, "reply not valid"},
    {errAEWaitCanceled, "wait cancelled"},
    {errAETimeout, "no reply in time"},
    {errAEUnknownAddressType, "unknown address type"},
    {errAENoSuchObject, "no such object"},
    {errAEHandlerNotFound, "no such handler"},
    {errAEBuildSyntaxError, "syntax error in the event description"},
    {errAECoercionFail, "data of the wrong kind"},
    {errAEDescNotFound, "no such item"},
    {errAENotAEDesc, "no descriptor"},
    {errAEWrongDataType, "wrong data type"},
    {errAEBadListItem, "no such list item"},
    {badPasteboardSyncErr, "the clipboard changed meanwhile"},
    {badPasteboardFlavorErr, "no such clipboard flavor"},
    {notPasteboardOwnerErr, "not the clipboard's owner"},
    {procNotFound, "no such process"},
    {dupFNErr, "already registered"},
};

}  // namespace

std::string StatusWords(OSStatus status) {
  std::string text = "error " + std::to_string(status);
  for (const Meaning& meaning : kMeanings) {
    if (meaning.status == status) return text + ": " + meaning.words;
  }
  return text;
}
