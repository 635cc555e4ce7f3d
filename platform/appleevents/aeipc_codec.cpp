// The messages that carry Apple events between processes: each is its
// length in four bytes, then the flattened descriptor.
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/appleevents/aeipc_internal.h"
#include "platform/appleevents/desc_access.h"
#include "platform/files/files.h"

namespace {

using A = AEDescAccess;

bool HoldsFileReference(const AEDesc& desc) {
  if (desc.descriptorType() == typeFSRef && A::FormOf(desc) == A::Form::kBytes) return true;
  for (const AEDesc& item : A::Items(desc)) {
    if (HoldsFileReference(item)) return true;
  }
  for (const AEDesc& attribute : A::Attributes(desc)) {
    if (HoldsFileReference(attribute)) return true;
  }
  return false;
}

// Rewrites every file reference in `desc`, in place: to the item's path on
// the way out, from a path to this process's reference on the way in.
void TranslateFileReferences(AEDesc& desc, bool outgoing) {
  if (desc.descriptorType() == typeFSRef && A::FormOf(desc) == A::Form::kBytes) {
    std::string& data = A::Data(desc);
    FSRef ref{};
    if (outgoing) {
      std::optional<std::string> path;
      if (data.size() == sizeof ref) {
        std::memcpy(&ref, data.data(), sizeof ref);
        path = FSRefCopyPathUnchecked(ref);
      }
      data = path.value_or("");
    } else if (!data.empty() && data[0] == '/' && FSPathMakeRef(data, &ref) == noErr) {
      data.assign(reinterpret_cast<const char*>(&ref), sizeof ref);
    } else {
      data.clear();
    }
    return;
  }
  for (AEDesc& item : A::Items(desc)) TranslateFileReferences(item, outgoing);
  for (AEDesc& attribute : A::Attributes(desc)) TranslateFileReferences(attribute, outgoing);
}

}  // namespace

namespace aeipc_internal {

OSErr AppendMessage(const AEDesc& desc, std::string* message) {
  std::string flat;
  if (HoldsFileReference(desc)) {
    AEDesc wire = desc;
    TranslateFileReferences(wire, true);
    flat = AEFlattenDesc(wire);
  } else {
    flat = AEFlattenDesc(desc);
  }
  if (flat.empty()) return memFullErr;
  if (flat.size() > kAEMaxMessageSize) return paramErr;
  const auto size = static_cast<std::uint32_t>(flat.size());
  message->reserve(message->size() + 4 + flat.size());
  for (int shift = 24; shift >= 0; shift -= 8) message->push_back(static_cast<char>(size >> shift));
  message->append(flat);
  return noErr;
}

OSErr EncodeMessage(const AEDesc& desc, std::string* message) {
  message->clear();
  return AppendMessage(desc, message);
}

OSErr DecodeMessage(std::string_view body, AEDesc* desc) {
  if (const OSErr status = AEUnflattenDesc(body, kAEMaxMessageDescriptors, desc);
      status != noErr) {
    return status;
  }
  TranslateFileReferences(*desc, false);
  return noErr;
}

std::size_t AnnouncedLength(std::string_view head) {
  std::size_t length = 0;
  for (int i = 0; i < 4; ++i) length = length << 8 | static_cast<unsigned char>(head[i]);
  return length;
}

}  // namespace aeipc_internal
