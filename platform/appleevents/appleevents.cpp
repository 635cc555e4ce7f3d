#include "platform/appleevents/appleevents.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "platform/appleevents/alias.h"
#include "platform/files/files.h"

// Gives the functions of this file the representation of AEDesc.
struct AEDescAccess {
  static DescType& Type(AEDesc& desc) { return desc.type_; }
  static std::string& Data(AEDesc& desc) { return desc.data_; }
  static const std::string& Data(const AEDesc& desc) { return desc.data_; }
  static std::vector<AEKeyword>& Keys(AEDesc& desc) { return desc.keys_; }
  static const std::vector<AEKeyword>& Keys(const AEDesc& desc) { return desc.keys_; }
  static std::vector<AEDesc>& Items(AEDesc& desc) { return desc.items_; }
  static const std::vector<AEDesc>& Items(const AEDesc& desc) { return desc.items_; }
};

namespace {

using A = AEDescAccess;

constexpr std::string_view kFlatPrefix = "AEF1";
constexpr std::size_t kMaxDataSize = std::numeric_limits<std::uint32_t>::max();
// The smallest flattened item: a type and a count or length.
constexpr std::size_t kMinListItemSize = 8;
constexpr std::size_t kMinRecordItemSize = 12;

bool IsContainer(DescType type) { return type == typeAEList || type == typeAERecord; }

// Runs `operation`, turning memory exhaustion into memFullErr.
template <typename Operation>
OSErr Guarded(Operation&& operation) noexcept {
  try {
    return operation();
  } catch (const std::bad_alloc&) {
    return memFullErr;
  } catch (const std::length_error&) {
    return memFullErr;
  }
}

// How many container levels `desc` has: 0 for a scalar, 1 for a flat list.
int Depth(const AEDesc& desc) {
  if (!IsContainer(desc.descriptorType())) return 0;
  int deepest = 0;
  for (const AEDesc& item : A::Items(desc)) deepest = std::max(deepest, Depth(item));
  return deepest + 1;
}

void AppendU32(std::string& out, std::uint32_t value) {
  const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                         static_cast<char>(value >> 8), static_cast<char>(value)};
  out.append(bytes, 4);
}

std::size_t EncodedSize(const AEDesc& desc);

// The size of a container's data: its count and flattened items.
std::size_t ContainerBodySize(const AEDesc& desc) {
  std::size_t size = 4;
  const bool isRecord = desc.descriptorType() == typeAERecord;
  for (const AEDesc& item : A::Items(desc)) size += (isRecord ? 4 : 0) + EncodedSize(item);
  return size;
}

// The size of the flattened descriptor: type, then count or length, then the rest.
std::size_t EncodedSize(const AEDesc& desc) {
  if (IsContainer(desc.descriptorType())) return 4 + ContainerBodySize(desc);
  return 8 + A::Data(desc).size();
}

void AppendDesc(std::string& out, const AEDesc& desc);

void AppendContainerBody(std::string& out, const AEDesc& desc) {
  const auto& items = A::Items(desc);
  const auto& keys = A::Keys(desc);
  const bool isRecord = desc.descriptorType() == typeAERecord;
  AppendU32(out, static_cast<std::uint32_t>(items.size()));
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (isRecord) AppendU32(out, keys[i]);
    AppendDesc(out, items[i]);
  }
}

void AppendDesc(std::string& out, const AEDesc& desc) {
  AppendU32(out, desc.descriptorType());
  if (IsContainer(desc.descriptorType())) {
    AppendContainerBody(out, desc);
  } else {
    AppendU32(out, static_cast<std::uint32_t>(A::Data(desc).size()));
    out.append(A::Data(desc));
  }
}

// The descriptor's data as AEGetDescData hands it out.
std::string DataBytes(const AEDesc& desc) {
  if (!IsContainer(desc.descriptorType())) return A::Data(desc);
  std::string body;
  body.reserve(ContainerBodySize(desc));
  AppendContainerBody(body, desc);
  return body;
}

// Reads flattened descriptors, checking every count and length against the
// bytes left before it trusts it.
class FlatReader final {
 public:
  explicit FlatReader(std::string_view bytes) : rest_(bytes) {}

  bool AtEnd() const { return rest_.empty(); }

  bool ReadPrefix() {
    if (rest_.substr(0, kFlatPrefix.size()) != kFlatPrefix) return false;
    rest_.remove_prefix(kFlatPrefix.size());
    return true;
  }

  // Reads one descriptor that sits inside `enclosingDepth` containers.
  bool ReadDesc(int enclosingDepth, AEDesc* out) {
    std::uint32_t type = 0;
    if (!ReadU32(&type)) return false;
    if (IsContainer(type)) return ReadContainerBody(type, enclosingDepth, out);
    std::uint32_t length = 0;
    if (!ReadU32(&length) || length > rest_.size()) return false;
    if (type == typeNull && length != 0) return false;
    A::Type(*out) = type;
    A::Data(*out).assign(rest_.data(), length);
    rest_.remove_prefix(length);
    return true;
  }

  // Reads a count and the items of a list or record.
  bool ReadContainerBody(DescType type, int enclosingDepth, AEDesc* out) {
    if (enclosingDepth + 1 > kAEMaxNestingDepth) return false;
    const bool isRecord = type == typeAERecord;
    std::uint32_t count = 0;
    if (!ReadU32(&count)) return false;
    if (count > rest_.size() / (isRecord ? kMinRecordItemSize : kMinListItemSize)) return false;
    AEDesc container;
    A::Type(container) = type;
    auto& items = A::Items(container);
    auto& keys = A::Keys(container);
    items.reserve(count);
    if (isRecord) keys.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      if (isRecord) {
        std::uint32_t key = 0;
        if (!ReadU32(&key)) return false;
        keys.push_back(key);
      }
      items.emplace_back();
      if (!ReadDesc(enclosingDepth + 1, &items.back())) return false;
    }
    if (isRecord) {
      std::vector<AEKeyword> sorted = keys;
      std::sort(sorted.begin(), sorted.end());
      if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) return false;
    }
    *out = std::move(container);
    return true;
  }

 private:
  bool ReadU32(std::uint32_t* value) {
    if (rest_.size() < 4) return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(rest_.data());
    *value = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
             (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
    rest_.remove_prefix(4);
    return true;
  }

  std::string_view rest_;
};

OSErr MakeDesc(DescType type, const void* dataPtr, std::size_t dataSize, AEDesc* out) {
  if (dataPtr == nullptr && dataSize > 0) return paramErr;
  if (dataSize > kMaxDataSize) return paramErr;
  if (type == typeNull && dataSize > 0) return paramErr;
  const std::string_view bytes(static_cast<const char*>(dataPtr), dataSize);
  AEDesc made;
  if (IsContainer(type)) {
    FlatReader reader(bytes);
    if (!reader.ReadContainerBody(type, 0, &made) || !reader.AtEnd()) return paramErr;
  } else {
    A::Type(made) = type;
    A::Data(made).assign(bytes);
  }
  *out = std::move(made);
  return noErr;
}

OSErr Coerce(const AEDesc& desc, DescType toType, AEDesc* out) {
  const DescType fromType = desc.descriptorType();
  if (toType == typeFSRef && fromType == typeFSRef && A::Data(desc).size() != sizeof(FSRef)) {
    return errAECoercionFail;
  }
  if (toType == typeWildCard || toType == fromType) {
    *out = desc;
    return noErr;
  }
  if (fromType == typeAlias && toType == typeFSRef) {
    FSRef ref;
    if (FSResolveAliasWithMountFlags(nullptr, A::Data(desc), &ref, nullptr,
                                     kResolveAliasFileNoUI) != noErr) {
      return errAECoercionFail;
    }
    return MakeDesc(typeFSRef, &ref, sizeof ref, out);
  }
  if (fromType == typeFSRef && toType == typeAlias && A::Data(desc).size() == sizeof(FSRef)) {
    FSRef ref;
    std::memcpy(&ref, A::Data(desc).data(), sizeof ref);
    std::string alias;
    if (FSNewAlias(ref, &alias) != noErr) return errAECoercionFail;
    return MakeDesc(typeAlias, alias.data(), alias.size(), out);
  }
  if (toType == typeAEList && fromType != typeNull && !IsContainer(fromType)) {
    AEDesc list;
    A::Type(list) = typeAEList;
    A::Items(list).push_back(desc);
    *out = std::move(list);
    return noErr;
  }
  return errAECoercionFail;
}

// Copies the descriptor's data out as the Ptr getters do.
void CopyOut(const AEDesc& desc, DescType* typeCode, void* dataPtr, std::size_t maximumSize,
             std::size_t* actualSize) {
  const std::string bytes = DataBytes(desc);
  if (typeCode != nullptr) *typeCode = desc.descriptorType();
  if (actualSize != nullptr) *actualSize = bytes.size();
  if (maximumSize > 0) std::memcpy(dataPtr, bytes.data(), std::min(maximumSize, bytes.size()));
}

// Index of `keyword` in `record`, or none.
std::optional<std::size_t> FindKey(const AERecord& record, AEKeyword keyword) {
  const auto& keys = A::Keys(record);
  const auto found = std::find(keys.begin(), keys.end(), keyword);
  if (found == keys.end()) return std::nullopt;
  return static_cast<std::size_t>(found - keys.begin());
}

OSErr PutInList(AEDescList* list, long index, AEDesc item) {
  if (list->descriptorType() != typeAEList) return errAEWrongDataType;
  auto& items = A::Items(*list);
  const long count = static_cast<long>(items.size());
  if (index < 0 || index > count + 1) return errAEBadListItem;
  if (Depth(item) + 1 > kAEMaxNestingDepth) return paramErr;
  if (index == 0 || index == count + 1) {
    items.push_back(std::move(item));
  } else {
    items[static_cast<std::size_t>(index - 1)] = std::move(item);
  }
  return noErr;
}

OSErr PutInRecord(AERecord* record, AEKeyword keyword, AEDesc item) {
  if (record->descriptorType() != typeAERecord) return errAEWrongDataType;
  if (Depth(item) + 1 > kAEMaxNestingDepth) return paramErr;
  if (const auto at = FindKey(*record, keyword)) {
    A::Items(*record)[*at] = std::move(item);
  } else {
    A::Items(*record).push_back(std::move(item));
    A::Keys(*record).push_back(keyword);
  }
  return noErr;
}

// Finds item `index` of a list or record and coerces it into `out`.
OSErr GetNth(const AEDescList& list, long index, DescType desiredType, AEKeyword* keyword,
             AEDesc* out) {
  if (!IsContainer(list.descriptorType())) return errAEWrongDataType;
  const auto& items = A::Items(list);
  if (index < 1 || index > static_cast<long>(items.size())) return errAEBadListItem;
  const auto at = static_cast<std::size_t>(index - 1);
  AEDesc coerced;
  if (Coerce(items[at], desiredType, &coerced) != noErr) return errAECoercionFail;
  if (keyword != nullptr) {
    *keyword = list.descriptorType() == typeAERecord ? A::Keys(list)[at] : typeWildCard;
  }
  *out = std::move(coerced);
  return noErr;
}

OSErr GetParam(const AERecord& record, AEKeyword keyword, DescType desiredType, AEDesc* out) {
  if (record.descriptorType() != typeAERecord) return errAEWrongDataType;
  const auto at = FindKey(record, keyword);
  if (!at) return errAEDescNotFound;
  AEDesc coerced;
  if (Coerce(A::Items(record)[*at], desiredType, &coerced) != noErr) return errAECoercionFail;
  *out = std::move(coerced);
  return noErr;
}

}  // namespace

AEDesc::AEDesc(AEDesc&& other) noexcept
    : type_(other.type_),
      data_(std::move(other.data_)),
      keys_(std::move(other.keys_)),
      items_(std::move(other.items_)) {
  other.type_ = typeNull;
  other.data_.clear();
  other.keys_.clear();
  other.items_.clear();
}

AEDesc& AEDesc::operator=(AEDesc&& other) noexcept {
  if (this == &other) return *this;
  type_ = other.type_;
  data_ = std::move(other.data_);
  keys_ = std::move(other.keys_);
  items_ = std::move(other.items_);
  other.type_ = typeNull;
  other.data_.clear();
  other.keys_.clear();
  other.items_.clear();
  return *this;
}

bool operator==(const AEDesc& a, const AEDesc& b) {
  return a.type_ == b.type_ && a.data_ == b.data_ && a.keys_ == b.keys_ && a.items_ == b.items_;
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
  return Guarded([&] {
    const OSErr status = MakeDesc(typeCode, dataPtr, dataSize, result);
    if (status != noErr) AEInitializeDescInplace(result);
    return status;
  });
}

OSErr AECreateList(const void*, std::size_t, bool isRecord, AEDescList* resultList) {
  if (resultList == nullptr) return paramErr;
  AEDesc list;
  A::Type(list) = isRecord ? typeAERecord : typeAEList;
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
  return Guarded([&] {
    *result = AEDesc(*source);
    return noErr;
  });
}

OSErr AECountItems(const AEDescList* list, long* count) {
  if (list == nullptr) return errAENotAEDesc;
  if (count == nullptr) return paramErr;
  *count = 0;
  if (!IsContainer(list->descriptorType())) return errAEWrongDataType;
  *count = static_cast<long>(A::Items(*list).size());
  return noErr;
}

OSErr AEPutDesc(AEDescList* list, long index, const AEDesc* desc) {
  if (list == nullptr || desc == nullptr) return errAENotAEDesc;
  return Guarded([&] { return PutInList(list, index, AEDesc(*desc)); });
}

OSErr AEPutPtr(AEDescList* list, long index, DescType typeCode, const void* dataPtr,
               std::size_t dataSize) {
  if (list == nullptr) return errAENotAEDesc;
  return Guarded([&] {
    AEDesc item;
    const OSErr status = MakeDesc(typeCode, dataPtr, dataSize, &item);
    if (status != noErr) return status;
    return PutInList(list, index, std::move(item));
  });
}

OSErr AEGetNthDesc(const AEDescList* list, long index, DescType desiredType, AEKeyword* keyword,
                   AEDesc* result) {
  if (list == nullptr) return errAENotAEDesc;
  if (result == nullptr) return paramErr;
  return Guarded([&] {
    const OSErr status = GetNth(*list, index, desiredType, keyword, result);
    if (status != noErr) AEInitializeDescInplace(result);
    return status;
  });
}

OSErr AEGetNthPtr(const AEDescList* list, long index, DescType desiredType, AEKeyword* keyword,
                  DescType* typeCode, void* dataPtr, std::size_t maximumSize,
                  std::size_t* actualSize) {
  if (list == nullptr) return errAENotAEDesc;
  if (dataPtr == nullptr && maximumSize > 0) return paramErr;
  return Guarded([&] {
    AEDesc item;
    const OSErr status = GetNth(*list, index, desiredType, keyword, &item);
    if (status != noErr) return status;
    CopyOut(item, typeCode, dataPtr, maximumSize, actualSize);
    return noErr;
  });
}

OSErr AEPutParamPtr(AERecord* record, AEKeyword keyword, DescType typeCode, const void* dataPtr,
                    std::size_t dataSize) {
  if (record == nullptr) return errAENotAEDesc;
  if (record->descriptorType() != typeAERecord) return errAEWrongDataType;
  return Guarded([&] {
    AEDesc item;
    const OSErr status = MakeDesc(typeCode, dataPtr, dataSize, &item);
    if (status != noErr) return status;
    return PutInRecord(record, keyword, std::move(item));
  });
}

OSErr AEPutParamDesc(AERecord* record, AEKeyword keyword, const AEDesc* desc) {
  if (record == nullptr || desc == nullptr) return errAENotAEDesc;
  return Guarded([&] { return PutInRecord(record, keyword, AEDesc(*desc)); });
}

OSErr AEGetParamDesc(const AERecord* record, AEKeyword keyword, DescType desiredType,
                     AEDesc* result) {
  if (record == nullptr) return errAENotAEDesc;
  if (result == nullptr) return paramErr;
  return Guarded([&] {
    const OSErr status = GetParam(*record, keyword, desiredType, result);
    if (status != noErr) AEInitializeDescInplace(result);
    return status;
  });
}

OSErr AEGetParamPtr(const AERecord* record, AEKeyword keyword, DescType desiredType,
                    DescType* typeCode, void* dataPtr, std::size_t maximumSize,
                    std::size_t* actualSize) {
  if (record == nullptr) return errAENotAEDesc;
  if (dataPtr == nullptr && maximumSize > 0) return paramErr;
  return Guarded([&] {
    AEDesc item;
    const OSErr status = GetParam(*record, keyword, desiredType, &item);
    if (status != noErr) return status;
    CopyOut(item, typeCode, dataPtr, maximumSize, actualSize);
    return noErr;
  });
}

OSErr AEDeleteParam(AERecord* record, AEKeyword keyword) {
  if (record == nullptr) return errAENotAEDesc;
  if (record->descriptorType() != typeAERecord) return errAEWrongDataType;
  const auto at = FindKey(*record, keyword);
  if (!at) return errAEDescNotFound;
  A::Items(*record).erase(A::Items(*record).begin() + static_cast<std::ptrdiff_t>(*at));
  A::Keys(*record).erase(A::Keys(*record).begin() + static_cast<std::ptrdiff_t>(*at));
  return noErr;
}

std::size_t AEGetDescDataSize(const AEDesc* desc) {
  if (desc == nullptr) return 0;
  if (IsContainer(desc->descriptorType())) return ContainerBodySize(*desc);
  return A::Data(*desc).size();
}

OSErr AEGetDescData(const AEDesc* desc, void* dataPtr, std::size_t maximumSize) {
  if (desc == nullptr) return errAENotAEDesc;
  if (dataPtr == nullptr && maximumSize > 0) return paramErr;
  if (!IsContainer(desc->descriptorType())) {
    const std::string& data = A::Data(*desc);
    if (maximumSize > 0) std::memcpy(dataPtr, data.data(), std::min(maximumSize, data.size()));
    return noErr;
  }
  return Guarded([&] {
    CopyOut(*desc, nullptr, dataPtr, maximumSize, nullptr);
    return noErr;
  });
}

OSErr AECoerceDesc(const AEDesc* desc, DescType toType, AEDesc* result) {
  if (desc == nullptr) return errAENotAEDesc;
  if (result == nullptr) return paramErr;
  return Guarded([&] {
    AEDesc coerced;
    const OSErr status = Coerce(*desc, toType, &coerced);
    *result = std::move(coerced);
    return status;
  });
}

std::string AEFlattenDesc(const AEDesc& desc) {
  try {
    std::string out;
    out.reserve(kFlatPrefix.size() + EncodedSize(desc));
    out.append(kFlatPrefix);
    AppendDesc(out, desc);
    return out;
  } catch (const std::bad_alloc&) {
    return std::string();
  } catch (const std::length_error&) {
    return std::string();
  }
}

OSErr AEUnflattenDesc(std::string_view bytes, AEDesc* result) {
  if (result == nullptr) return paramErr;
  return Guarded([&] {
    FlatReader reader(bytes);
    AEDesc read;
    if (!reader.ReadPrefix() || !reader.ReadDesc(0, &read) || !reader.AtEnd()) {
      AEInitializeDescInplace(result);
      return paramErr;
    }
    *result = std::move(read);
    return noErr;
  });
}
