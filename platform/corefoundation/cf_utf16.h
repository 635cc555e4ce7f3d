// Conversion between UTF-8 text and UTF-16 code units, as menu titles carry
// them.
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
