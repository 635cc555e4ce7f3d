// The representation of AEDesc, for the implementation files of this
// library only.
#pragma once

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/appleevents/appleevents.h"

struct AEDescAccess {
  using Form = AEDesc::Form;

  static DescType& Type(AEDesc& desc) { return desc.type_; }
  static Form& FormOf(AEDesc& desc) { return desc.form_; }
  static Form FormOf(const AEDesc& desc) { return desc.form_; }
  static std::string& Data(AEDesc& desc) { return desc.data_; }
  static const std::string& Data(const AEDesc& desc) { return desc.data_; }
  static std::vector<AEKeyword>& Keys(AEDesc& desc) { return desc.keys_; }
  static const std::vector<AEKeyword>& Keys(const AEDesc& desc) { return desc.keys_; }
  static std::vector<AEDesc>& Items(AEDesc& desc) { return desc.items_; }
  static const std::vector<AEDesc>& Items(const AEDesc& desc) { return desc.items_; }
  static std::vector<AEKeyword>& AttributeKeys(AEDesc& desc) { return desc.attributeKeys_; }
  static const std::vector<AEKeyword>& AttributeKeys(const AEDesc& desc) {
    return desc.attributeKeys_;
  }
  static std::vector<AEDesc>& Attributes(AEDesc& desc) { return desc.attributes_; }
  static const std::vector<AEDesc>& Attributes(const AEDesc& desc) { return desc.attributes_; }

  // Whether `type` holds a byte string of a meaning of its own, so that no
  // record may be coerced to it.
  static bool IsScalarType(DescType type);
  // Whether `desc` holds keyed items: a record, coerced or not, or an event.
  static bool IsKeyed(const AEDesc& desc) {
    return desc.form_ == Form::kRecord || desc.form_ == Form::kEvent;
  }
  // How many levels of lists, records and events `desc` has: 0 for bytes.
  static int Depth(const AEDesc& desc);
};

// The flattened form (aeflatten.cpp), as the descriptor calls use it.
namespace aeflat {
// Whether descriptors of `type` are always the container of that kind.
bool IsContainerType(DescType type);
// Whether a descriptor of `type` may have `form`.
bool FormFits(DescType type, AEDescAccess::Form form);
// The size of `desc`'s data as AEGetDescData hands it out, and that data.
std::size_t DataSize(const AEDesc& desc);
std::string DataBytes(const AEDesc& desc);
// Reads `bytes`, data as AECreateDesc takes it for a list, record or event
// of `type`, into `*out`; false when they are not exactly one such body.
bool ReadContainerData(DescType type, std::string_view bytes, AEDesc* out);
}  // namespace aeflat

// Runs `operation`, turning memory exhaustion into memFullErr.
template <typename Operation>
OSErr AEGuarded(Operation&& operation) noexcept {
  try {
    return operation();
  } catch (const std::bad_alloc&) {
    return memFullErr;
  } catch (const std::length_error&) {
    return memFullErr;
  }
}
