#include "platform/appleevents/alias.h"

#include <new>
#include <vector>

#include "platform/memory_guard.h"

namespace {

constexpr std::string_view kAliasMagic = "alis";
constexpr std::uint16_t kAliasVersion = 1;
constexpr std::size_t kAliasHeaderSize = 12;
constexpr std::size_t kMaxAliasPath = 1 << 20;

bool IsAliasablePath(std::string_view path) {
  return !path.empty() && path.front() == '/' && path.size() <= kMaxAliasPath &&
         path.find('\0') == std::string_view::npos;
}

std::uint32_t ReadBigEndian(std::string_view bytes, std::size_t offset, std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
  }
  return value;
}

}  // namespace

OSErr FSNewAliasFromPath(std::string_view path, std::string* alias) {
  if (alias == nullptr || !IsAliasablePath(path)) return paramErr;
  return GuardMemory(memFullErr, [&]() -> OSErr {
    const auto length = static_cast<std::uint32_t>(path.size());
    std::string record(kAliasMagic);
    const char header[8] = {0,
                            static_cast<char>(kAliasVersion),
                            0,
                            0,
                            static_cast<char>(length >> 24),
                            static_cast<char>(length >> 16),
                            static_cast<char>(length >> 8),
                            static_cast<char>(length)};
    record.append(header, sizeof header);
    record.append(path);
    *alias = std::move(record);
    return noErr;
  });
}

OSErr FSNewAlias(const FSRef& target, std::string* alias) {
  if (alias == nullptr) return paramErr;
  return GuardMemory(memFullErr, [&]() -> OSErr {
    // Paths have no fixed bound on Linux; grow the buffer until it fits.
    for (std::size_t capacity = 4096; capacity <= 2 * kMaxAliasPath; capacity *= 2) {
      std::vector<char> buffer(capacity);
      const OSStatus status = FSRefMakePath(target, buffer.data(), buffer.size());
      if (status == errFSBadBuffer) continue;
      if (status != noErr) return static_cast<OSErr>(status);
      return FSNewAliasFromPath(buffer.data(), alias);
    }
    return bdNamErr;
  });
}

std::optional<std::string> FSCopyAliasPath(std::string_view alias) {
  if (alias.size() < kAliasHeaderSize || alias.substr(0, 4) != kAliasMagic) return std::nullopt;
  if (ReadBigEndian(alias, 4, 2) != kAliasVersion || ReadBigEndian(alias, 6, 2) != 0) {
    return std::nullopt;
  }
  if (ReadBigEndian(alias, 8, 4) != alias.size() - kAliasHeaderSize) return std::nullopt;
  const std::string_view path = alias.substr(kAliasHeaderSize);
  if (!IsAliasablePath(path)) return std::nullopt;
  return GuardMemory(std::optional<std::string>(), [&]() -> std::optional<std::string> {
    return std::string(path);
  });
}

OSErr FSResolveAliasWithMountFlags(const FSRef*, std::string_view alias, FSRef* target,
                                   bool* wasChanged, std::uint32_t) {
  if (target == nullptr) return paramErr;
  const std::optional<std::string> path = FSCopyAliasPath(alias);
  if (!path) return paramErr;
  FSRef resolved;
  const OSErr status = FSPathMakeRef(*path, &resolved);
  if (status != noErr) return status;
  if (wasChanged != nullptr) *wasChanged = false;
  *target = resolved;
  return noErr;
}
