#include "platform/plugin/uuid.h"

#include <array>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "platform/corefoundation/cf_string.h"
#include "platform/memory_guard.h"

namespace {

using ByteArray = std::array<std::uint8_t, 16>;

ByteArray ToArray(const CFUUIDBytes& bytes) {
  ByteArray array;
  std::memcpy(array.data(), &bytes, array.size());
  return array;
}

// The constant UUID objects. Never destroyed, so that they outlive every
// static object that may hold one.
struct ConstantTable {
  std::mutex mutex;
  std::map<ByteArray, CFUUIDRef> objects;
};

ConstantTable& Constants() {
  static ConstantTable* table = new ConstantTable;
  return *table;
}

bool IsDashPosition(std::size_t position) {
  return position == 8 || position == 13 || position == 18 || position == 23;
}

}  // namespace

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, CFUUIDBytes bytes) {
  return GuardMemory(CFUUIDRef(), [&] {
    ConstantTable& table = Constants();
    const std::lock_guard lock(table.mutex);
    CFUUIDRef& object = table.objects[ToArray(bytes)];
    if (!object) object = std::make_shared<const CFUUID>(bytes);
    return object;
  });
}

CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef, CFUUIDBytes bytes) {
  return GuardMemory(CFUUIDRef(), [&] { return std::make_shared<const CFUUID>(bytes); });
}

std::optional<CFUUIDBytes> CFUUIDBytesFromString(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  ByteArray array{};
  std::size_t nibble = 0;
  for (std::size_t position = 0; position < text.size(); ++position) {
    if (IsDashPosition(position)) {
      if (text[position] != '-') return std::nullopt;
      continue;
    }
    const int value = HexDigitValue(text[position]);
    if (value < 0) return std::nullopt;
    array[nibble / 2] = static_cast<std::uint8_t>((array[nibble / 2] << 4) | value);
    ++nibble;
  }
  CFUUIDBytes bytes;
  std::memcpy(&bytes, array.data(), array.size());
  return bytes;
}

CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef allocator, std::string_view text) {
  const std::optional<CFUUIDBytes> bytes = CFUUIDBytesFromString(text);
  if (!bytes) return nullptr;
  return CFUUIDCreateFromUUIDBytes(allocator, *bytes);
}

std::string CFUUIDCreateString(CFAllocatorRef, const CFUUIDRef& uuid) {
  if (!uuid) return std::string();
  static constexpr char kHex[] = "0123456789ABCDEF";
  const ByteArray array = ToArray(uuid->bytes());
  std::string text;
  return GuardMemory(std::string(), [&] {
    text.reserve(36);
    for (std::size_t i = 0; i < array.size(); ++i) {
      if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
      text.push_back(kHex[array[i] >> 4]);
      text.push_back(kHex[array[i] & 0xF]);
    }
    return text;
  });
}

CFUUIDBytes CFUUIDGetUUIDBytes(const CFUUIDRef& uuid) {
  if (!uuid) return CFUUIDBytes{};
  return uuid->bytes();
}

bool CFEqual(const CFUUIDRef& a, const CFUUIDRef& b) {
  if (!a || !b) return !a && !b;
  return a->bytes() == b->bytes();
}
