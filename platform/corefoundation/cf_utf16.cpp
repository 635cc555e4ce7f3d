#include "platform/corefoundation/cf_utf16.h"

#include <cstdint>
#include <cstring>

#include "platform/corefoundation/cf_string.h"

std::optional<std::u16string> CFStringGetCharacters(std::string_view text) {
  std::u16string units;
  units.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const DecodedCharacter decoded = DecodeUTF8At(text, i);
    if (decoded.length == 0) return std::nullopt;
    i += decoded.length;
    if (decoded.code_point >= 0x10000) {
      const char32_t code = decoded.code_point - 0x10000;
      units += static_cast<char16_t>(0xD800 + (code >> 10));
      units += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      units += static_cast<char16_t>(decoded.code_point);
    }
  }
  return units;
}

std::optional<std::string> CFStringCreateWithCharacters(std::u16string_view characters) {
  std::string text;
  text.reserve(characters.size());
  for (std::size_t i = 0; i < characters.size(); ++i) {
    std::uint32_t code = characters[i];
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (i + 1 >= characters.size()) return std::nullopt;
      const std::uint32_t low = characters[i + 1];
      if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    } else if (code >= 0xDC00 && code <= 0xDFFF) {
      return std::nullopt;
    }
    AppendUTF8(code, &text);
  }
  return text;
}

std::optional<std::string> CFStringGetCharacterBytes(std::string_view text) {
  const std::optional<std::u16string> units = CFStringGetCharacters(text);
  if (!units) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(units->data()), units->size() * 2);
}

std::optional<std::string> CFStringCreateWithCharacterBytes(std::string_view bytes) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  std::u16string units(bytes.size() / 2, u'\0');
  std::memcpy(units.data(), bytes.data(), bytes.size());
  return CFStringCreateWithCharacters(units);
}

void AppendUTF8(char32_t c, std::string* text) {
  if (c < 0x80) {
    *text += static_cast<char>(c);
  } else if (c < 0x800) {
    *text += static_cast<char>(0xC0 | (c >> 6));
    *text += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *text += static_cast<char>(0xE0 | (c >> 12));
    *text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *text += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *text += static_cast<char>(0xF0 | (c >> 18));
    *text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *text += static_cast<char>(0x80 | (c & 0x3F));
  }
}
