// The flattened form of descriptors: what AEFlattenDesc writes and
// AEUnflattenDesc reads, and the data of lists, records and events as
// AEGetDescData hands it out and AECreateDesc takes it.
//
// The first form ("AEF1") holds plain lists and records; the second ("AEF2")
// also records coerced to other types and events, with a form byte after
// each type.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/appleevents/appleevent.h"
#include "platform/appleevents/appleevents.h"
#include "platform/appleevents/desc_access.h"

namespace {

using A = AEDescAccess;
using Form = AEDescAccess::Form;

constexpr std::string_view kFlatPrefix = "AEF1";
constexpr std::string_view kFlatPrefix2 = "AEF2";
// Leads the data of a list or record that only the second flattened form can
// hold; no list or record of the first form can count that many items.
constexpr std::uint32_t kSecondFormMark = 0xFFFFFFFF;

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

}  // namespace

namespace aeflat {

bool IsContainerType(DescType type) {
  return type == typeAEList || type == typeAERecord || type == typeAppleEvent;
}

std::size_t DataSize(const AEDesc& desc) {
  if (A::FormOf(desc) == Form::kBytes) return A::Data(desc).size();
  if (A::FormOf(desc) == Form::kEvent) return BodySize(desc, true);
  if (NeedsSecondForm(desc)) return 4 + BodySize(desc, true);
  return BodySize(desc, false);
}

std::string DataBytes(const AEDesc& desc) {
  if (A::FormOf(desc) == Form::kBytes) return A::Data(desc);
  std::string body;
  body.reserve(DataSize(desc));
  const bool second = DataInSecondForm(desc);
  if (second && A::FormOf(desc) != Form::kEvent) AppendU32(body, kSecondFormMark);
  AppendBody(body, desc, second);
  return body;
}

}  // namespace aeflat

namespace {

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
        return !aeflat::IsContainerType(type);
      case Form::kList:
        return type == typeAEList;
      case Form::kRecord:
        return type == typeAERecord || (!aeflat::IsContainerType(type) && !A::IsScalarType(type));
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

}  // namespace

namespace aeflat {

bool FormFits(DescType type, Form form) { return FlatReader::FormFits(type, form); }

bool ReadContainerData(DescType type, std::string_view bytes, AEDesc* out) {
  const Form form = type == typeAEList     ? Form::kList
                    : type == typeAERecord ? Form::kRecord
                                           : Form::kEvent;
  bool second = form == Form::kEvent;
  if (!second && bytes.size() >= 4 && bytes.substr(0, 4) == "\xFF\xFF\xFF\xFF") {
    second = true;
    bytes.remove_prefix(4);
  }
  FlatReader reader(bytes, second);
  return reader.ReadBody(type, form, 0, out) && reader.AtEnd();
}

}  // namespace aeflat

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
