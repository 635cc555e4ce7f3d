// Text services: UTF-8 checks, white-space trimming, percent escapes, the
// Mac OS Roman decoding, and conversion into a caller's byte buffer.
//
// Texts are std::string holding UTF-8. Functions that return a new text
// return none on failure; the caller owns what is returned.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool IsValidUTF8(std::string_view bytes);

// `bytes` with every byte that is not part of a well-formed UTF-8 sequence
// replaced by U+FFFD.
std::string MakeValidUTF8(std::string_view bytes);

// Removes white space (Unicode White_Space, line breaks included) from both
// ends of `text`, which must be valid UTF-8.
std::string CFStringTrimWhitespace(std::string_view text);

// Replaces every "%XX" escape by the byte it encodes and reads the result as
// UTF-8. Fails when a "%" is not followed by two hexadecimal digits or when
// the result is not valid UTF-8.
std::optional<std::string> CFURLCreateStringByReplacingPercentEscapes(std::string_view text);

// Escapes `text` (valid UTF-8) by RFC 2396: every byte of a character that is
// neither unreserved (letters, digits, - _ . ! ~ * ' ( )) nor reserved
// (; / ? : @ & = + $ ,) becomes "%" and two upper-case hexadecimal digits.
// Fails when `text` is not valid UTF-8.
std::optional<std::string> CFURLCreateStringByAddingPercentEscapes(std::string_view text);

// Decodes Mac OS Roman bytes (one character per byte) to UTF-8. Never fails:
// every byte has a character.
std::string CFStringCreateWithMacRoman(std::string_view bytes);

// Copies `text` and a NUL into `buffer`. Fails, leaving "" in the buffer
// (when capacity is at least 1), when `text` is not valid UTF-8 or it and
// its NUL do not fit in `capacity` bytes. Never writes a cut text.
bool CFStringGetCString(std::string_view text, char* buffer, std::size_t capacity);
