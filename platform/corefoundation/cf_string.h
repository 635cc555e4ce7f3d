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

// One UTF-8 character: its code point and the count of its bytes.
struct DecodedCharacter {
  char32_t code_point = 0;
  std::size_t length = 0;  // 0: no well-formed sequence starts here.
};

// Decodes the well-formed UTF-8 sequence at `bytes[pos]` (pos < size),
// rejecting overlong forms, surrogates and code points above U+10FFFF.
DecodedCharacter DecodeUTF8At(std::string_view bytes, std::size_t pos);

// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool IsValidUTF8(std::string_view bytes);

// `bytes` with every byte that is not part of a well-formed UTF-8 sequence
// replaced by U+FFFD.
std::string MakeValidUTF8(std::string_view bytes);

// The value of the hexadecimal digit `c` (0-9, a-f, A-F); -1 for any other
// character.
int HexDigitValue(char c);

// Whether `c` has the Unicode White_Space property (blanks, tabs, line
// breaks, the no-break and typographic spaces).
bool IsUnicodeWhiteSpace(char32_t c);

// Whether any well-formed UTF-8 character of `bytes` is white space. Bytes
// that are not part of a well-formed sequence are not white space.
bool ContainsWhiteSpace(std::string_view bytes);

// Removes white space (Unicode White_Space, line breaks included) from both
// ends of `text`, which should be valid UTF-8; bytes that are not part of a
// well-formed sequence count as text and stop the trimming.
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

// Escapes `bytes` by the rule above without asking for UTF-8: every byte
// that is neither unreserved nor reserved becomes "%XX". For file-system
// paths, whose bytes need not be UTF-8.
std::string PercentEscapeBytes(std::string_view bytes);

// Decodes Mac OS Roman bytes (one character per byte) to UTF-8 with the C
// library's "MACINTOSH" converter (0xDB is the euro sign, 0xF0 the Apple
// logo in the private use area). Never fails: every byte has a character;
// should the converter be missing, bytes above 0x7F become U+FFFD.
std::string CFStringCreateWithMacRoman(std::string_view bytes);

// Copies `text` and a NUL into `buffer`. Fails, leaving "" in the buffer
// (when capacity is at least 1), when `text` is not valid UTF-8, holds a NUL
// (a reader would see it cut), or it and its NUL do not fit in `capacity`
// bytes, or `buffer` is null. Never writes a cut text.
bool CFStringGetCString(std::string_view text, char* buffer, std::size_t capacity);
