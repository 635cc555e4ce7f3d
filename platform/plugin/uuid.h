// UUID objects: 16 bytes that name plug-in types, interfaces and factories.
//
// A CFUUIDRef is a shared pointer to an immutable UUID object. Copying the
// pointer retains the object and destroying or resetting it releases it; an
// object made by a Create function is freed with its last reference. The
// objects of CFUUIDGetConstantUUIDWithBytes live until the process ends.
// Two UUIDs are equal when their bytes are (CFEqual), whichever way they were
// made; pointer equality holds only among constant objects of one copy of
// this library.
//
// Text form: 8-4-4-4-12 hexadecimal digits, the first byte first, as in
// "2F6522E9-3E66-11D5-80A7-003065B300BC".
//
// Every function here is safe to call from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// The allocator argument of the creating functions. Every allocation uses
// the ordinary heap; the argument is ignored.
using CFAllocatorRef = const void*;
constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;

// The 16 bytes of a UUID, first byte first. A plain value, passed by value
// where the plug-in interfaces pass a UUID.
struct CFUUIDBytes {
  std::uint8_t byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7;
  std::uint8_t byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15;
  friend bool operator==(const CFUUIDBytes&, const CFUUIDBytes&) = default;
};
static_assert(sizeof(CFUUIDBytes) == 16);

// One UUID object. Made only by the functions below.
class CFUUID final {
 public:
  explicit CFUUID(CFUUIDBytes bytes) : bytes_(bytes) {}
  CFUUID(const CFUUID&) = delete;
  CFUUID& operator=(const CFUUID&) = delete;

  // The object's 16 bytes.
  CFUUIDBytes bytes() const { return bytes_; }

 private:
  const CFUUIDBytes bytes_;
};

using CFUUIDRef = std::shared_ptr<const CFUUID>;

// The process-wide UUID object for these 16 bytes: the same object (same
// pointer) for equal bytes on every call, made on the first and never freed.
// Returns null only when memory runs out.
CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef allocator, CFUUIDBytes bytes);
inline CFUUIDRef CFUUIDGetConstantUUIDWithBytes(
    CFAllocatorRef allocator, std::uint8_t byte0, std::uint8_t byte1, std::uint8_t byte2,
    std::uint8_t byte3, std::uint8_t byte4, std::uint8_t byte5, std::uint8_t byte6,
    std::uint8_t byte7, std::uint8_t byte8, std::uint8_t byte9, std::uint8_t byte10,
    std::uint8_t byte11, std::uint8_t byte12, std::uint8_t byte13, std::uint8_t byte14,
    std::uint8_t byte15) {
  return CFUUIDGetConstantUUIDWithBytes(
      allocator, CFUUIDBytes{byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7, byte8, byte9,
                             byte10, byte11, byte12, byte13, byte14, byte15});
}

// A new UUID object holding `bytes`, owned by the caller. Returns null only
// when memory runs out.
CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef allocator, CFUUIDBytes bytes);

// A new UUID object from its text form (hexadecimal digits in either case),
// owned by the caller; null when the text is not exactly 8-4-4-4-12 digits.
CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef allocator, std::string_view text);

// The text form of `uuid`, upper-case: 36 characters. "" for null.
std::string CFUUIDCreateString(CFAllocatorRef allocator, const CFUUIDRef& uuid);

// The bytes of `uuid`; all zero for null.
CFUUIDBytes CFUUIDGetUUIDBytes(const CFUUIDRef& uuid);

// Whether the two UUIDs hold the same bytes. Two nulls are equal; a null is
// equal to nothing else.
bool CFEqual(const CFUUIDRef& a, const CFUUIDRef& b);

// The bytes of a UUID's text form; none when it is malformed.
std::optional<CFUUIDBytes> CFUUIDBytesFromString(std::string_view text);
