#include "platform/corefoundation/cf_string.h"

#include <iconv.h>

#include <cstdint>
#include <cstring>

namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// The UTF-8 form of the Apple logo in Apple's own Mac OS Roman table (U+F8FF).
constexpr std::string_view kAppleLogo = "\xEF\xA3\xBF";
constexpr unsigned char kMacRomanAppleLogo = 0xF0;

// Decodes the well-formed sequence that ends just before `end`, if any.
DecodedCharacter DecodeBefore(std::string_view bytes, std::size_t end) {
  for (std::size_t length = 1; length <= 4 && length <= end; ++length) {
    const DecodedCharacter decoded = DecodeUTF8At(bytes, end - length);
    if (decoded.length == length) return decoded;
  }
  return {};
}

bool IsUnreservedOrReserved(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("-_.!~*'();/?:@&=+$,").find(static_cast<char>(c)) !=
         std::string_view::npos;
}

// Closes an iconv descriptor when it goes out of scope.
class IconvHandle final {
 public:
  IconvHandle(const char* to, const char* from) : handle_(iconv_open(to, from)) {}
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;
  ~IconvHandle() {
    if (valid()) iconv_close(handle_);
  }
  bool valid() const { return handle_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return handle_; }

 private:
  iconv_t handle_;
};

// Converts a run of Mac OS Roman bytes and appends it to `out`; false when
// the converter refuses.
bool AppendMacRomanRun(const IconvHandle& converter, std::string_view run, std::string* out) {
  if (run.empty()) return true;
  // Every Mac OS Roman character lies in the Basic Multilingual Plane, so it
  // takes at most three UTF-8 bytes.
  std::string converted(run.size() * 3, '\0');
  std::string input(run);
  char* in = input.data();
  std::size_t in_left = input.size();
  char* target = converted.data();
  std::size_t out_left = converted.size();
  if (iconv(converter.get(), &in, &in_left, &target, &out_left) == static_cast<std::size_t>(-1) ||
      in_left != 0) {
    return false;
  }
  converted.resize(converted.size() - out_left);
  out->append(converted);
  return true;
}

}  // namespace

DecodedCharacter DecodeUTF8At(std::string_view bytes, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) return {lead, 1};
  std::size_t length = 0;
  char32_t code_point = 0;
  unsigned char low = 0x80;   // Bounds of the second byte, which rule out
  unsigned char high = 0xBF;  // overlong forms, surrogates and > U+10FFFF.
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {};
  }
  if (pos + length > bytes.size()) return {};
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(pos + i);
    if (i == 1 ? (next < low || next > high) : (next < 0x80 || next > 0xBF)) return {};
    code_point = (code_point << 6) | (next & 0x3Fu);
  }
  return {code_point, length};
}

bool IsValidUTF8(std::string_view bytes) {
  // Paths are mostly ASCII: skip eight such bytes at a time.
  std::size_t pos = 0;
  for (std::uint64_t word = 0; pos + sizeof word <= bytes.size(); pos += sizeof word) {
    std::memcpy(&word, bytes.data() + pos, sizeof word);
    if ((word & 0x8080808080808080ull) != 0) break;
  }
  while (pos < bytes.size()) {
    const std::size_t length = DecodeUTF8At(bytes, pos).length;
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

std::string MakeValidUTF8(std::string_view bytes) {
  std::string result;
  result.reserve(bytes.size());
  for (std::size_t pos = 0; pos < bytes.size();) {
    const std::size_t length = DecodeUTF8At(bytes, pos).length;
    if (length == 0) {
      result.append(kReplacementCharacter);
      ++pos;
    } else {
      result.append(bytes.substr(pos, length));
      pos += length;
    }
  }
  return result;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsUnicodeWhiteSpace(char32_t c) {
  switch (c) {
    case 0x0009: case 0x000A: case 0x000B: case 0x000C: case 0x000D:
    case 0x0020: case 0x0085: case 0x00A0: case 0x1680:
    case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

bool ContainsWhiteSpace(std::string_view bytes) {
  for (std::size_t pos = 0; pos < bytes.size();) {
    const DecodedCharacter decoded = DecodeUTF8At(bytes, pos);
    if (decoded.length == 0) {
      ++pos;
      continue;
    }
    if (IsUnicodeWhiteSpace(decoded.code_point)) return true;
    pos += decoded.length;
  }
  return false;
}

std::string CFStringTrimWhitespace(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const DecodedCharacter decoded = DecodeUTF8At(text, begin);
    if (decoded.length == 0 || !IsUnicodeWhiteSpace(decoded.code_point)) break;
    begin += decoded.length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const DecodedCharacter decoded = DecodeBefore(text, end);
    if (decoded.length == 0 || !IsUnicodeWhiteSpace(decoded.code_point)) break;
    end -= decoded.length;
  }
  return std::string(text.substr(begin, end - begin));
}

std::optional<std::string> CFURLCreateStringByReplacingPercentEscapes(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size(); ++pos) {
    if (text[pos] != '%') {
      result.push_back(text[pos]);
      continue;
    }
    if (text.size() - pos < 3) return std::nullopt;
    const int high = HexDigitValue(text[pos + 1]);
    const int low = HexDigitValue(text[pos + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    result.push_back(static_cast<char>(high * 16 + low));
    pos += 2;
  }
  if (!IsValidUTF8(result)) return std::nullopt;
  return result;
}

std::string PercentEscapeBytes(std::string_view bytes) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsUnreservedOrReserved(byte)) {
      result.push_back(c);
    } else {
      result.push_back('%');
      result.push_back(kHexDigits[byte >> 4]);
      result.push_back(kHexDigits[byte & 0x0F]);
    }
  }
  return result;
}

std::optional<std::string> CFURLCreateStringByAddingPercentEscapes(std::string_view text) {
  if (!IsValidUTF8(text)) return std::nullopt;
  return PercentEscapeBytes(text);
}

std::string CFStringCreateWithMacRoman(std::string_view bytes) {
  const IconvHandle converter("UTF-8", "MACINTOSH");
  std::string result;
  result.reserve(bytes.size());
  std::size_t run_start = 0;
  const auto flush = [&](std::size_t run_end) {
    const std::string_view run = bytes.substr(run_start, run_end - run_start);
    if (converter.valid() && AppendMacRomanRun(converter, run, &result)) return;
    for (const char c : run) {
      if (static_cast<unsigned char>(c) < 0x80) {
        result.push_back(c);
      } else {
        result.append(kReplacementCharacter);
      }
    }
  };
  for (std::size_t pos = 0; pos < bytes.size(); ++pos) {
    // The C library maps the Apple logo to another private-use character
    // than Apple's table does; the text comes from Mac files, so follow Apple.
    if (static_cast<unsigned char>(bytes[pos]) == kMacRomanAppleLogo) {
      flush(pos);
      result.append(kAppleLogo);
      run_start = pos + 1;
    }
  }
  flush(bytes.size());
  return result;
}

bool CFStringGetCString(std::string_view text, char* buffer, std::size_t capacity) {
  if (buffer == nullptr) return false;
  if (capacity == 0) return false;
  if (text.size() >= capacity || !IsValidUTF8(text) ||
      text.find('\0') != std::string_view::npos) {
    buffer[0] = '\0';
    return false;
  }
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  return true;
}
