// Conversion between UTF-8 text and UTF-16 code units, as menu titles and
// 'utxt' descriptors carry them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The UTF-16 code units of `text`, in host byte order; none when `text` is
// not valid UTF-8.
std::optional<std::u16string> CFStringGetCharacters(std::string_view text);

// The UTF-8 text of UTF-16 code units; none when they hold an unpaired
// surrogate.
std::optional<std::string> CFStringCreateWithCharacters(std::u16string_view characters);

// The same two for the bytes of UTF-16 code units in host byte order, as a
// descriptor's data holds them: CFStringGetCharacters as bytes, and
// CFStringCreateWithCharacters of bytes, none also for an odd byte count.
std::optional<std::string> CFStringGetCharacterBytes(std::string_view text);
std::optional<std::string> CFStringCreateWithCharacterBytes(std::string_view bytes);

// Appends the UTF-8 form of the code point `c` (at most U+10FFFF, no
// surrogate) to `*text`.
void AppendUTF8(char32_t c, std::string* text);
