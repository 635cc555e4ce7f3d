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

constexpr std::string_view kFlatPrefix = "AEF1";
constexpr std::string_view kFlatPrefix2 = "AEF2";
constexpr std::size_t kMaxDataSize = std::numeric_limits<std::uint32_t>::max();
// Leads the data of a list or record that only the second flattened form can
// hold; no list or record of the first form can count that many items.
constexpr std::uint32_t kSecondFormMark = 0xFFFFFFFF;

// Types whose descriptors are always the container of that kind.
bool IsContainerType(DescType type) {
  return type == typeAEList || type == typeAERecord || type == typeAppleEvent;
}

// Whether the first flattened form cannot hold `desc`.
bool NeedsSecondForm(const AEDesc& desc) {
  switch (A::FormOf(desc)) {
    case Form::kBytes:
      return false;
    case Form::kEvent:
      return true;
    case Form::kRecord:
      if (desc.descriptorType() != typeAERecord) return true;
      break;
    case Form::kList:
      break;
  }
  return std::any_of(A::Items(desc).begin(), A::Items(desc).end(), NeedsSecondForm);
}

void AppendU32(std::string& out, std::uint32_t value) {
  const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                         static_cast<char>(value >> 8), static_cast<char>(value)};
  out.append(bytes, 4);
}

std::size_t EncodedSize(const AEDesc& desc, bool second);

std::size_t KeyedItemsSize(const std::vector<AEDesc>& items, bool second) {
  std::size_t size = 4;
  for (const AEDesc& item : items) size += 4 + EncodedSize(item, second);
  return size;
}

// The size of a container's body in the flattened form.
std::size_t BodySize(const AEDesc& desc, bool second) {
  switch (A::FormOf(desc)) {
    case Form::kList: {
      std::size_t size = 4;
      for (const AEDesc& item : A::Items(desc)) size += EncodedSize(item, second);
      return size;
    }
    case Form::kRecord:
      return KeyedItemsSize(A::Items(desc), second);
    case Form::kEvent:
      return KeyedItemsSize(A::Items(desc), true) + KeyedItemsSize(A::Attributes(desc), true);
    case Form::kBytes:
      break;
  }
  return 4 + A::Data(desc).size();
}

// The size of the flattened descriptor: type, form byte, then the body.
std::size_t EncodedSize(const AEDesc& desc, bool second) {
  return 4 + (second ? 1 : 0) + BodySize(desc, second);
}

void AppendDesc(std::string& out, const AEDesc& desc, bool second);

void AppendKeyed(std::string& out, const std::vector<AEKeyword>& keys,
                 const std::vector<AEDesc>& items, bool second) {
  AppendU32(out, static_cast<std::uint32_t>(items.size()));
  for (std::size_t i = 0; i < items.size(); ++i) {
    AppendU32(out, keys[i]);
    AppendDesc(out, items[i], second);
  }
}

void AppendBody(std::string& out, const AEDesc& desc, bool second) {
  switch (A::FormOf(desc)) {
    case Form::kList:
      AppendU32(out, static_cast<std::uint32_t>(A::Items(desc).size()));
      for (const AEDesc& item : A::Items(desc)) AppendDesc(out, item, second);
      return;
    case Form::kRecord:
      AppendKeyed(out, A::Keys(desc), A::Items(desc), second);
      return;
    case Form::kEvent:
      AppendKeyed(out, A::Keys(desc), A::Items(desc), true);
      AppendKeyed(out, A::AttributeKeys(desc), A::Attributes(desc), true);
      return;
    case Form::kBytes:
      AppendU32(out, static_cast<std::uint32_t>(A::Data(desc).size()));
      out.append(A::Data(desc));
      return;
  }
}

void AppendDesc(std::string& out, const AEDesc& desc, bool second) {
  AppendU32(out, desc.descriptorType());
  if (second) out.push_back(static_cast<char>(A::FormOf(desc)));
  AppendBody(out, desc, second);
}

// Whether the data of a list or record is written in the second form.
bool DataInSecondForm(const AEDesc& desc) {
  return A::FormOf(desc) == Form::kEvent || NeedsSecondForm(desc);
}

std::size_t DataSize(const AEDesc& desc) {
  if (A::FormOf(desc) == Form::kBytes) return A::Data(desc).size();
  if (A::FormOf(desc) == Form::kEvent) return BodySize(desc, true);
  if (NeedsSecondForm(desc)) return 4 + BodySize(desc, true);
  return BodySize(desc, false);
}

// The descriptor's data as AEGetDescData hands it out.
std::string DataBytes(const AEDesc& desc) {
  if (A::FormOf(desc) == Form::kBytes) return A::Data(desc);
  std::string body;
  body.reserve(DataSize(desc));
  const bool second = DataInSecondForm(desc);
  if (second && A::FormOf(desc) != Form::kEvent) AppendU32(body, kSecondFormMark);
  AppendBody(body, desc, second);
  return body;
}

// Reads flattened descriptors, checking every count and length against the
// bytes left before it trusts it.
class FlatReader final {
 public:
  FlatReader(std::string_view bytes, bool second,
             std::size_t maxDescriptors = std::numeric_limits<std::size_t>::max())
      : rest_(bytes), second_(second), descriptorsLeft_(maxDescriptors) {}

  bool AtEnd() const { return rest_.empty(); }

  // Reads one descriptor that sits inside `enclosingDepth` containers.
  bool ReadDesc(int enclosingDepth, AEDesc* out) {
    std::uint32_t type = 0;
    if (!ReadU32(&type)) return false;
    Form form = Form::kBytes;
    if (second_) {
      if (rest_.empty()) return false;
      const auto byte = static_cast<unsigned char>(rest_.front());
      rest_.remove_prefix(1);
      if (byte > static_cast<unsigned char>(Form::kEvent)) return false;
      form = static_cast<Form>(byte);
    } else if (type == typeAEList) {
      form = Form::kList;
    } else if (type == typeAERecord) {
      form = Form::kRecord;
    } else if (type == typeAppleEvent) {
      return false;
    }
    return ReadBody(type, form, enclosingDepth, out);
  }

  // Reads the body of a descriptor of `type` and `form`.
  bool ReadBody(DescType type, Form form, int enclosingDepth, AEDesc* out) {
    if (!FormFits(type, form) || descriptorsLeft_ == 0) return false;
    --descriptorsLeft_;
    if (form == Form::kBytes) {
      std::uint32_t length = 0;
      if (!ReadU32(&length) || length > rest_.size()) return false;
      if (type == typeNull && length != 0) return false;
      A::Type(*out) = type;
      A::FormOf(*out) = Form::kBytes;
      A::Data(*out).assign(rest_.data(), length);
      rest_.remove_prefix(length);
      return true;
    }
    if (enclosingDepth + 1 > kAEMaxNestingDepth) return false;
    AEDesc container;
    A::Type(container) = type;
    A::FormOf(container) = form;
    const int depth = enclosingDepth + 1;
    bool read = false;
    if (form == Form::kList) {
      read = ReadList(depth, &A::Items(container));
    } else {
      read = ReadKeyed(depth, &A::Keys(container), &A::Items(container));
      if (read && form == Form::kEvent) {
        read = ReadKeyed(depth, &A::AttributeKeys(container), &A::Attributes(container));
      }
    }
    if (!read) return false;
    *out = std::move(container);
    return true;
  }

  // Whether a descriptor of `type` may have `form`.
  static bool FormFits(DescType type, Form form) {
    switch (form) {
      case Form::kBytes:
        return !IsContainerType(type);
      case Form::kList:
        return type == typeAEList;
      case Form::kRecord:
        return type == typeAERecord || (!IsContainerType(type) && !A::IsScalarType(type));
      case Form::kEvent:
        return type == typeAppleEvent;
    }
    return false;
  }

 private:
  // The smallest flattened item: a type, a form byte, a count or length.
  std::size_t MinItemSize() const { return second_ ? 9 : 8; }

  bool ReadList(int depth, std::vector<AEDesc>* items) {
    std::uint32_t count = 0;
    if (!ReadU32(&count)) return false;
    if (count > rest_.size() / MinItemSize() || count > descriptorsLeft_) return false;
    items->reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      items->emplace_back();
      if (!ReadDesc(depth, &items->back())) return false;
    }
    return true;
  }

  bool ReadKeyed(int depth, std::vector<AEKeyword>* keys, std::vector<AEDesc>* items) {
    std::uint32_t count = 0;
    if (!ReadU32(&count)) return false;
    if (count > rest_.size() / (4 + MinItemSize()) || count > descriptorsLeft_) return false;
    keys->reserve(count);
    items->reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t key = 0;
      if (!ReadU32(&key)) return false;
      keys->push_back(key);
      items->emplace_back();
      if (!ReadDesc(depth, &items->back())) return false;
    }
    std::vector<AEKeyword> sorted = *keys;
    std::sort(sorted.begin(), sorted.end());
    return std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
  }

  bool ReadU32(std::uint32_t* value) {
    if (rest_.size() < 4) return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(rest_.data());
    *value = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
             (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
    rest_.remove_prefix(4);
    return true;
  }

  std::string_view rest_;
  bool second_;
  std::size_t descriptorsLeft_;  // How many more descriptors may be read.
};

OSErr MakeDesc(DescType type, const void* dataPtr, std::size_t dataSize, AEDesc* out) {
  if (dataPtr == nullptr && dataSize > 0) return paramErr;
  if (dataSize > kMaxDataSize) return paramErr;
  if (type == typeNull && dataSize > 0) return paramErr;
  std::string_view bytes(static_cast<const char*>(dataPtr), dataSize);
  AEDesc made;
  if (IsContainerType(type)) {
    const Form form = type == typeAEList     ? Form::kList
                      : type == typeAERecord ? Form::kRecord
                                             : Form::kEvent;
    bool second = form == Form::kEvent;
    if (!second && bytes.size() >= 4 && bytes.substr(0, 4) == "\xFF\xFF\xFF\xFF") {
      second = true;
      bytes.remove_prefix(4);
    }
    FlatReader reader(bytes, second);
    if (!reader.ReadBody(type, form, 0, &made) || !reader.AtEnd()) return paramErr;
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
    if (toType != typeAERecord && !FlatReader::FormFits(toType, Form::kRecord)) {
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
  const std::string bytes = DataBytes(desc);
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

AEDesc::AEDesc(AEDesc&& other) noexcept
    : type_(other.type_),
      form_(other.form_),
      data_(std::move(other.data_)),
      keys_(std::move(other.keys_)),
      items_(std::move(other.items_)),
      attributeKeys_(std::move(other.attributeKeys_)),
      attributes_(std::move(other.attributes_)) {
  other.type_ = typeNull;
  other.form_ = Form::kBytes;
  other.data_.clear();
  other.keys_.clear();
  other.items_.clear();
  other.attributeKeys_.clear();
  other.attributes_.clear();
}

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
  return AEGuarded([&] {
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
  return AEGuarded([&] {
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
  return AEGuarded([&] {
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
  if (!A::IsKeyed(*record)) return errAEWrongDataType;
  return AEGuarded([&] {
    AEDesc item;
    const OSErr status = MakeDesc(typeCode, dataPtr, dataSize, &item);
    if (status != noErr) return status;
    return PutInRecord(record, keyword, std::move(item));
  });
}

OSErr AEPutParamDesc(AERecord* record, AEKeyword keyword, const AEDesc* desc) {
  if (record == nullptr || desc == nullptr) return errAENotAEDesc;
  return AEGuarded([&] { return PutInRecord(record, keyword, AEDesc(*desc)); });
}

OSErr AEGetParamDesc(const AERecord* record, AEKeyword keyword, DescType desiredType,
                     AEDesc* result) {
  if (record == nullptr) return errAENotAEDesc;
  if (result == nullptr) return paramErr;
  return AEGuarded([&] {
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
  return AEGuarded([&] {
    AEDesc item;
    const OSErr status = GetParam(*record, keyword, desiredType, &item);
    if (status != noErr) return status;
    CopyOut(item, typeCode, dataPtr, maximumSize, actualSize);
    return noErr;
  });
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
  return DataSize(*desc);
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

std::string AEFlattenDesc(const AEDesc& desc) {
  try {
    const bool second = NeedsSecondForm(desc);
    std::string out;
    out.reserve(kFlatPrefix.size() + EncodedSize(desc, second));
    out.append(second ? kFlatPrefix2 : kFlatPrefix);
    AppendDesc(out, desc, second);
    return out;
  } catch (const std::bad_alloc&) {
    return std::string();
  } catch (const std::length_error&) {
    return std::string();
  }
}

OSErr AEUnflattenDesc(std::string_view bytes, AEDesc* result) {
  return AEUnflattenDesc(bytes, std::numeric_limits<std::size_t>::max(), result);
}

OSErr AEUnflattenDesc(std::string_view bytes, std::size_t maxDescriptors, AEDesc* result) {
  if (result == nullptr) return paramErr;
  return AEGuarded([&] {
    const std::string_view prefix = bytes.substr(0, kFlatPrefix.size());
    const bool known = prefix == kFlatPrefix || prefix == kFlatPrefix2;
    FlatReader reader(bytes.substr(prefix.size()), prefix == kFlatPrefix2, maxDescriptors);
    AEDesc read;
    if (!known || !reader.ReadDesc(0, &read) || !reader.AtEnd()) {
      AEInitializeDescInplace(result);
      return paramErr;
    }
    *result = std::move(read);
    return noErr;
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
  return AEGuarded([&] {
    const OSErr status = GetAttribute(*theAppleEvent, keyword, desiredType, result);
    if (status != noErr) AEInitializeDescInplace(result);
    return status;
  });
}

OSErr AEGetAttributePtr(const AppleEvent* theAppleEvent, AEKeyword keyword,
                        DescType desiredType, DescType* typeCode, void* dataPtr,
                        std::size_t maximumSize, std::size_t* actualSize) {
  if (theAppleEvent == nullptr) return errAENotAEDesc;
  if (dataPtr == nullptr && maximumSize > 0) return paramErr;
  return AEGuarded([&] {
    AEDesc item;
    const OSErr status = GetAttribute(*theAppleEvent, keyword, desiredType, &item);
    if (status != noErr) return status;
    CopyOut(item, typeCode, dataPtr, maximumSize, actualSize);
    return noErr;
  });
}

OSErr AEPutAttributePtr(AppleEvent* theAppleEvent, AEKeyword keyword, DescType typeCode,
                        const void* dataPtr, std::size_t dataSize) {
  if (theAppleEvent == nullptr) return errAENotAEDesc;
  if (A::FormOf(*theAppleEvent) != Form::kEvent) return errAEWrongDataType;
  return AEGuarded([&] {
    AEDesc item;
    const OSErr status = MakeDesc(typeCode, dataPtr, dataSize, &item);
    if (status != noErr) return status;
    return PutAttribute(theAppleEvent, keyword, std::move(item));
  });
}

OSErr AEPutAttributeDesc(AppleEvent* theAppleEvent, AEKeyword keyword, const AEDesc* desc) {
  if (theAppleEvent == nullptr || desc == nullptr) return errAENotAEDesc;
  return AEGuarded([&] { return PutAttribute(theAppleEvent, keyword, AEDesc(*desc)); });
}
