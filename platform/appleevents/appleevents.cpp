#include "platform/appleevents/appleevents.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>

#include "platform/appleevents/alias.h"
#include "platform/appleevents/appleevent.h"
#include "platform/appleevents/desc_access.h"
#include "platform/files/files.h"

namespace {

using A = AEDescAccess;
using Form = AEDescAccess::Form;

constexpr std::size_t kMaxDataSize = std::numeric_limits<std::uint32_t>::max();

OSErr MakeDesc(DescType type, const void* dataPtr, std::size_t dataSize, AEDesc* out) {
  if (dataPtr == nullptr && dataSize > 0) return paramErr;
  if (dataSize > kMaxDataSize) return paramErr;
  if (type == typeNull && dataSize > 0) return paramErr;
  std::string_view bytes(static_cast<const char*>(dataPtr), dataSize);
  AEDesc made;
  if (aeflat::IsContainerType(type)) {
    if (!aeflat::ReadContainerData(type, bytes, &made)) return paramErr;
  } else {
    A::Type(made) = type;
    A::Data(made).assign(bytes);
  }
  *out = std::move(made);
  return noErr;
}

bool IsCodeType(DescType type) {
  return type == typeType || type == typeEnumerated || type == typeKeyword;
}

OSErr Coerce(const AEDesc& desc, DescType toType, AEDesc* out) {
  const DescType fromType = desc.descriptorType();
  const Form form = A::FormOf(desc);
  if (toType == typeFSRef && fromType == typeFSRef && A::Data(desc).size() != sizeof(FSRef)) {
    return errAECoercionFail;
  }
  if (toType == typeWildCard || toType == fromType) {
    *out = desc;
    return noErr;
  }
  if (form == Form::kRecord) {
    if (toType != typeAERecord && !aeflat::FormFits(toType, Form::kRecord)) {
      return errAECoercionFail;
    }
    AEDesc record(desc);
    A::Type(record) = toType;
    *out = std::move(record);
    return noErr;
  }
  if (form != Form::kBytes) return errAECoercionFail;
  const std::string& data = A::Data(desc);
  if (fromType == typeAlias && toType == typeFSRef) {
    FSRef ref;
    if (FSResolveAliasWithMountFlags(nullptr, data, &ref, nullptr, kResolveAliasFileNoUI) !=
        noErr) {
      return errAECoercionFail;
    }
    return MakeDesc(typeFSRef, &ref, sizeof ref, out);
  }
  if (fromType == typeFSRef && toType == typeAlias && data.size() == sizeof(FSRef)) {
    FSRef ref;
    std::memcpy(&ref, data.data(), sizeof ref);
    std::string alias;
    if (FSNewAlias(ref, &alias) != noErr) return errAECoercionFail;
    return MakeDesc(typeAlias, alias.data(), alias.size(), out);
  }
  if (fromType == typeSInt16 && toType == typeSInt32 && data.size() == 2) {
    std::int16_t value = 0;
    std::memcpy(&value, data.data(), 2);
    const std::int32_t wide = value;
    return MakeDesc(typeSInt32, &wide, sizeof wide, out);
  }
  if (fromType == typeSInt32 && toType == typeSInt16 && data.size() == 4) {
    std::int32_t value = 0;
    std::memcpy(&value, data.data(), 4);
    if (value < std::numeric_limits<std::int16_t>::min() ||
        value > std::numeric_limits<std::int16_t>::max()) {
      return errAECoercionFail;
    }
    const auto narrow = static_cast<std::int16_t>(value);
    return MakeDesc(typeSInt16, &narrow, sizeof narrow, out);
  }
  if (IsCodeType(fromType) && IsCodeType(toType) && data.size() == 4) {
    return MakeDesc(toType, data.data(), data.size(), out);
  }
  if (toType == typeAEList && fromType != typeNull) {
    AEDesc list;
    A::Type(list) = typeAEList;
    A::FormOf(list) = Form::kList;
    A::Items(list).push_back(desc);
    *out = std::move(list);
    return noErr;
  }
  return errAECoercionFail;
}

// Copies the descriptor's data out as the Ptr getters do.
void CopyOut(const AEDesc& desc, DescType* typeCode, void* dataPtr, std::size_t maximumSize,
             std::size_t* actualSize) {
  if (typeCode != nullptr) *typeCode = desc.descriptorType();
  if (A::FormOf(desc) == Form::kBytes) {
    const std::string& data = A::Data(desc);
    if (actualSize != nullptr) *actualSize = data.size();
    if (maximumSize > 0) std::memcpy(dataPtr, data.data(), std::min(maximumSize, data.size()));
    return;
  }
  const std::string bytes = aeflat::DataBytes(desc);
  if (actualSize != nullptr) *actualSize = bytes.size();
  if (maximumSize > 0) std::memcpy(dataPtr, bytes.data(), std::min(maximumSize, bytes.size()));
}

// Index of `keyword` among `keys`, or none.
std::optional<std::size_t> FindKey(const std::vector<AEKeyword>& keys, AEKeyword keyword) {
  const auto found = std::find(keys.begin(), keys.end(), keyword);
  if (found == keys.end()) return std::nullopt;
  return static_cast<std::size_t>(found - keys.begin());
}

OSErr PutInList(AEDescList* list, long index, AEDesc item) {
  if (list->descriptorType() != typeAEList) return errAEWrongDataType;
  auto& items = A::Items(*list);
  const long count = static_cast<long>(items.size());
  if (index < 0 || index > count + 1) return errAEBadListItem;
  if (A::Depth(item) + 1 > kAEMaxNestingDepth) return paramErr;
  if (index == 0 || index == count + 1) {
    items.push_back(std::move(item));
  } else {
    items[static_cast<std::size_t>(index - 1)] = std::move(item);
  }
  return noErr;
}

OSErr PutKeyed(std::vector<AEKeyword>& keys, std::vector<AEDesc>& items, AEKeyword keyword,
               AEDesc item) {
  if (A::Depth(item) + 1 > kAEMaxNestingDepth) return paramErr;
  if (const auto at = FindKey(keys, keyword)) {
    items[*at] = std::move(item);
  } else {
    items.push_back(std::move(item));
    keys.push_back(keyword);
  }
  return noErr;
}

OSErr PutInRecord(AERecord* record, AEKeyword keyword, AEDesc item) {
  if (!A::IsKeyed(*record)) return errAEWrongDataType;
  return PutKeyed(A::Keys(*record), A::Items(*record), keyword, std::move(item));
}

// Finds item `index` of a list or record and coerces it into `out`.
OSErr GetNth(const AEDescList& list, long index, DescType desiredType, AEKeyword* keyword,
             AEDesc* out) {
  if (A::FormOf(list) == Form::kBytes) return errAEWrongDataType;
  const auto& items = A::Items(list);
  if (index < 1 || index > static_cast<long>(items.size())) return errAEBadListItem;
  const auto at = static_cast<std::size_t>(index - 1);
  AEDesc coerced;
  if (Coerce(items[at], desiredType, &coerced) != noErr) return errAECoercionFail;
  if (keyword != nullptr) {
    *keyword = A::IsKeyed(list) ? A::Keys(list)[at] : typeWildCard;
  }
  *out = std::move(coerced);
  return noErr;
}

OSErr GetKeyed(const std::vector<AEKeyword>& keys, const std::vector<AEDesc>& items,
               AEKeyword keyword, DescType desiredType, AEDesc* out) {
  const auto at = FindKey(keys, keyword);
  if (!at) return errAEDescNotFound;
  AEDesc coerced;
  if (Coerce(items[*at], desiredType, &coerced) != noErr) return errAECoercionFail;
  *out = std::move(coerced);
  return noErr;
}

OSErr GetParam(const AERecord& record, AEKeyword keyword, DescType desiredType, AEDesc* out) {
  if (!A::IsKeyed(record)) return errAEWrongDataType;
  return GetKeyed(A::Keys(record), A::Items(record), keyword, desiredType, out);
}

OSErr GetAttribute(const AppleEvent& event, AEKeyword keyword, DescType desiredType,
                   AEDesc* out) {
  if (A::FormOf(event) != Form::kEvent) return errAEWrongDataType;
  return GetKeyed(A::AttributeKeys(event), A::Attributes(event), keyword, desiredType, out);
}

OSErr PutAttribute(AppleEvent* event, AEKeyword keyword, AEDesc item) {
  if (A::FormOf(*event) != Form::kEvent) return errAEWrongDataType;
  return PutKeyed(A::AttributeKeys(*event), A::Attributes(*event), keyword, std::move(item));
}

// The shapes the Ptr and Desc calls share: an item made from bytes and put,
// an item got into the caller's descriptor (null on failure), and an item
// got and copied out as bytes.
template <typename Put>
OSErr PutMade(DescType typeCode, const void* dataPtr, std::size_t dataSize, Put&& put) {
  return AEGuarded([&] {
    AEDesc item;
    const OSErr status = MakeDesc(typeCode, dataPtr, dataSize, &item);
    return status != noErr ? status : put(std::move(item));
  });
}

template <typename Get>
OSErr GetInto(AEDesc* result, Get&& get) {
  return AEGuarded([&] {
    const OSErr status = get(result);
    if (status != noErr) AEInitializeDescInplace(result);
    return status;
  });
}

template <typename Get>
OSErr GetCopiedOut(Get&& get, DescType* typeCode, void* dataPtr, std::size_t maximumSize,
                   std::size_t* actualSize) {
  return AEGuarded([&] {
    AEDesc item;
    const OSErr status = get(&item);
    if (status == noErr) CopyOut(item, typeCode, dataPtr, maximumSize, actualSize);
    return status;
  });
}

// The return id for the next event that asks for a generated one.
std::atomic<std::uint32_t> gReturnIDCounter{0};

AEReturnID NextReturnID() {
  return static_cast<AEReturnID>(gReturnIDCounter.fetch_add(1) % 32767 + 1);
}

}  // namespace

bool AEDescAccess::IsScalarType(DescType type) {
  static constexpr DescType kScalarTypes[] = {
      typeNull,       typeUnicodeText, typeText,       typeSInt32,   typeSInt16,
      typeSInt64,     typeUInt32,      typeBoolean,    typeType,     typeEnumerated,
      typeKeyword,    typeFSRef,       typeAlias,      typeWildCard, typeApplSignature,
      typeProcessSerialNumber,         typeIEEE64BitFloatingPoint};
  return std::find(std::begin(kScalarTypes), std::end(kScalarTypes), type) !=
         std::end(kScalarTypes);
}

int AEDescAccess::Depth(const AEDesc& desc) {
  if (desc.form_ == Form::kBytes) return 0;
  int deepest = 0;
  for (const AEDesc& item : desc.items_) deepest = std::max(deepest, Depth(item));
  for (const AEDesc& item : desc.attributes_) deepest = std::max(deepest, Depth(item));
  return deepest + 1;
}

// Moving leaves `other` the null descriptor.
AEDesc::AEDesc(AEDesc&& other) noexcept { *this = std::move(other); }

AEDesc& AEDesc::operator=(AEDesc&& other) noexcept {
  if (this == &other) return *this;
  type_ = other.type_;
  form_ = other.form_;
  data_ = std::move(other.data_);
  keys_ = std::move(other.keys_);
  items_ = std::move(other.items_);
  attributeKeys_ = std::move(other.attributeKeys_);
  attributes_ = std::move(other.attributes_);
  other.type_ = typeNull;
  other.form_ = Form::kBytes;
  other.data_.clear();
  other.keys_.clear();
  other.items_.clear();
  other.attributeKeys_.clear();
  other.attributes_.clear();
  return *this;
}

bool operator==(const AEDesc& a, const AEDesc& b) {
  return a.type_ == b.type_ && a.form_ == b.form_ && a.data_ == b.data_ && a.keys_ == b.keys_ &&
         a.items_ == b.items_ && a.attributeKeys_ == b.attributeKeys_ &&
         a.attributes_ == b.attributes_;
}

std::string FourCharCodeString(std::uint32_t code) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const auto byte = static_cast<unsigned char>(code >> shift);
    if (byte >= 0x20 && byte < 0x7F) {
      text.push_back(static_cast<char>(byte));
    } else {
      text += "\\x";
      text.push_back(kHex[byte >> 4]);
      text.push_back(kHex[byte & 0xF]);
    }
  }
  return text;
}

void AEInitializeDescInplace(AEDesc* desc) {
  if (desc != nullptr) *desc = AEDesc();
}

OSErr AECreateDesc(DescType typeCode, const void* dataPtr, std::size_t dataSize, AEDesc* result) {
  if (result == nullptr) return paramErr;
  return AEGuarded([&] {
    const OSErr status = MakeDesc(typeCode, dataPtr, dataSize, result);
    if (status != noErr) AEInitializeDescInplace(result);
    return status;
  });
}

OSErr AECreateList(const void*, std::size_t, bool isRecord, AEDescList* resultList) {
  if (resultList == nullptr) return paramErr;
  AEDesc list;
  A::Type(list) = isRecord ? typeAERecord : typeAEList;
  A::FormOf(list) = isRecord ? Form::kRecord : Form::kList;
  *resultList = std::move(list);
  return noErr;
}

OSErr AEDisposeDesc(AEDesc* desc) {
  if (desc == nullptr) return errAENotAEDesc;
  AEInitializeDescInplace(desc);
  return noErr;
}

OSErr AEDuplicateDesc(const AEDesc* source, AEDesc* result) {
  if (source == nullptr) return errAENotAEDesc;
  if (result == nullptr) return paramErr;
  return AEGuarded([&] {
    *result = AEDesc(*source);
    return noErr;
  });
}

OSErr AECountItems(const AEDescList* list, long* count) {
  if (list == nullptr) return errAENotAEDesc;
  if (count == nullptr) return paramErr;
  *count = 0;
  if (A::FormOf(*list) == Form::kBytes) return errAEWrongDataType;
  *count = static_cast<long>(A::Items(*list).size());
  return noErr;
}

OSErr AEPutDesc(AEDescList* list, long index, const AEDesc* desc) {
  if (list == nullptr || desc == nullptr) return errAENotAEDesc;
  return AEGuarded([&] { return PutInList(list, index, AEDesc(*desc)); });
}

OSErr AEPutPtr(AEDescList* list, long index, DescType typeCode, const void* dataPtr,
               std::size_t dataSize) {
  if (list == nullptr) return errAENotAEDesc;
  const auto put = [&](AEDesc item) { return PutInList(list, index, std::move(item)); };
  return PutMade(typeCode, dataPtr, dataSize, put);
}

OSErr AEGetNthDesc(const AEDescList* list, long index, DescType desiredType, AEKeyword* keyword,
                   AEDesc* result) {
  if (list == nullptr) return errAENotAEDesc;
  if (result == nullptr) return paramErr;
  const auto get = [&](AEDesc* into) { return GetNth(*list, index, desiredType, keyword, into); };
  return GetInto(result, get);
}

OSErr AEGetNthPtr(const AEDescList* list, long index, DescType desiredType, AEKeyword* keyword,
                  DescType* typeCode, void* dataPtr, std::size_t maximumSize,
                  std::size_t* actualSize) {
  if (list == nullptr) return errAENotAEDesc;
  if (dataPtr == nullptr && maximumSize > 0) return paramErr;
  const auto get = [&](AEDesc* into) { return GetNth(*list, index, desiredType, keyword, into); };
  return GetCopiedOut(get, typeCode, dataPtr, maximumSize, actualSize);
}

OSErr AEPutParamPtr(AERecord* record, AEKeyword keyword, DescType typeCode, const void* dataPtr,
                    std::size_t dataSize) {
  if (record == nullptr) return errAENotAEDesc;
  if (!A::IsKeyed(*record)) return errAEWrongDataType;
  const auto put = [&](AEDesc item) { return PutInRecord(record, keyword, std::move(item)); };
  return PutMade(typeCode, dataPtr, dataSize, put);
}

OSErr AEPutParamDesc(AERecord* record, AEKeyword keyword, const AEDesc* desc) {
  if (record == nullptr || desc == nullptr) return errAENotAEDesc;
  return AEGuarded([&] { return PutInRecord(record, keyword, AEDesc(*desc)); });
}

OSErr AEGetParamDesc(const AERecord* record, AEKeyword keyword, DescType desiredType,
                     AEDesc* result) {
  if (record == nullptr) return errAENotAEDesc;
  if (result == nullptr) return paramErr;
  const auto get = [&](AEDesc* into) { return GetParam(*record, keyword, desiredType, into); };
  return GetInto(result, get);
}

OSErr AEGetParamPtr(const AERecord* record, AEKeyword keyword, DescType desiredType,
                    DescType* typeCode, void* dataPtr, std::size_t maximumSize,
                    std::size_t* actualSize) {
  if (record == nullptr) return errAENotAEDesc;
  if (dataPtr == nullptr && maximumSize > 0) return paramErr;
  const auto get = [&](AEDesc* into) { return GetParam(*record, keyword, desiredType, into); };
  return GetCopiedOut(get, typeCode, dataPtr, maximumSize, actualSize);
}

OSErr AEDeleteParam(AERecord* record, AEKeyword keyword) {
  if (record == nullptr) return errAENotAEDesc;
  if (!A::IsKeyed(*record)) return errAEWrongDataType;
  const auto at = FindKey(A::Keys(*record), keyword);
  if (!at) return errAEDescNotFound;
  A::Items(*record).erase(A::Items(*record).begin() + static_cast<std::ptrdiff_t>(*at));
  A::Keys(*record).erase(A::Keys(*record).begin() + static_cast<std::ptrdiff_t>(*at));
  return noErr;
}

std::size_t AEGetDescDataSize(const AEDesc* desc) {
  if (desc == nullptr) return 0;
  return aeflat::DataSize(*desc);
}

OSErr AEGetDescData(const AEDesc* desc, void* dataPtr, std::size_t maximumSize) {
  if (desc == nullptr) return errAENotAEDesc;
  if (dataPtr == nullptr && maximumSize > 0) return paramErr;
  return AEGuarded([&] {
    CopyOut(*desc, nullptr, dataPtr, maximumSize, nullptr);
    return noErr;
  });
}

OSErr AECoerceDesc(const AEDesc* desc, DescType toType, AEDesc* result) {
  if (desc == nullptr) return errAENotAEDesc;
  if (result == nullptr) return paramErr;
  return AEGuarded([&] {
    AEDesc coerced;
    const OSErr status = Coerce(*desc, toType, &coerced);
    *result = std::move(coerced);
    return status;
  });
}

OSErr AECreateAppleEvent(AEEventClass theClass, AEEventID theID, const AEAddressDesc* target,
                         AEReturnID returnID, AETransactionID transactionID,
                         AppleEvent* result) {
  if (result == nullptr) return paramErr;
  if (target != nullptr && A::FormOf(*target) != Form::kBytes) return paramErr;
  return AEGuarded([&] {
    AppleEvent event;
    A::Type(event) = typeAppleEvent;
    A::FormOf(event) = Form::kEvent;
    if (returnID == kAutoGenerateReturnID) returnID = NextReturnID();
    auto put = [&](AEKeyword key, DescType type, const void* data, std::size_t size) {
      AEDesc value;
      MakeDesc(type, data, size, &value);
      PutAttribute(&event, key, std::move(value));
    };
    put(keyEventClassAttr, typeType, &theClass, sizeof theClass);
    put(keyEventIDAttr, typeType, &theID, sizeof theID);
    if (target != nullptr && target->descriptorType() != typeNull) {
      PutAttribute(&event, keyAddressAttr, AEDesc(*target));
    }
    put(keyReturnIDAttr, typeSInt16, &returnID, sizeof returnID);
    put(keyTransactionIDAttr, typeSInt32, &transactionID, sizeof transactionID);
    *result = std::move(event);
    return noErr;
  });
}

OSErr AEGetAttributeDesc(const AppleEvent* theAppleEvent, AEKeyword keyword,
                         DescType desiredType, AEDesc* result) {
  if (theAppleEvent == nullptr) return errAENotAEDesc;
  if (result == nullptr) return paramErr;
  const auto get = [&](AEDesc* into) {
    return GetAttribute(*theAppleEvent, keyword, desiredType, into);
  };
  return GetInto(result, get);
}

OSErr AEGetAttributePtr(const AppleEvent* theAppleEvent, AEKeyword keyword,
                        DescType desiredType, DescType* typeCode, void* dataPtr,
                        std::size_t maximumSize, std::size_t* actualSize) {
  if (theAppleEvent == nullptr) return errAENotAEDesc;
  if (dataPtr == nullptr && maximumSize > 0) return paramErr;
  const auto get = [&](AEDesc* into) {
    return GetAttribute(*theAppleEvent, keyword, desiredType, into);
  };
  return GetCopiedOut(get, typeCode, dataPtr, maximumSize, actualSize);
}

OSErr AEPutAttributePtr(AppleEvent* theAppleEvent, AEKeyword keyword, DescType typeCode,
                        const void* dataPtr, std::size_t dataSize) {
  if (theAppleEvent == nullptr) return errAENotAEDesc;
  if (A::FormOf(*theAppleEvent) != Form::kEvent) return errAEWrongDataType;
  const auto put = [&](AEDesc item) {
    return PutAttribute(theAppleEvent, keyword, std::move(item));
  };
  return PutMade(typeCode, dataPtr, dataSize, put);
}

OSErr AEPutAttributeDesc(AppleEvent* theAppleEvent, AEKeyword keyword, const AEDesc* desc) {
  if (theAppleEvent == nullptr || desc == nullptr) return errAENotAEDesc;
  return AEGuarded([&] { return PutAttribute(theAppleEvent, keyword, AEDesc(*desc)); });
}
