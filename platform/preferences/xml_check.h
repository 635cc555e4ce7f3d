// The check an XML property list passes before it reaches libplist's parser.
//
// That parser recurses once per nesting level, takes time that grows with
// the square of a text's length times its entity references, and with the
// square of a dictionary's size; and it reads a few constructs otherwise
// than XML does (it skips only double-quoted strings inside markup). A file
// that could exhaust the stack or stall its reader, or whose markup the two
// readings would split differently, is refused here and reads as damaged.
// Internal to the preferences store.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

struct XmlCheckLimits {
  int maxNesting = 256;                  // Open elements at once, the root included.
  std::size_t maxDictionaryItems = 16384;  // Key and value pairs in one dict.
};

// The text to hand to the parser for the file `text`, or none when `text` is
// not one well-formed XML document whose root element is "plist", with
// nothing but blanks after it, within `limits`. The answer is `text` without
// a leading UTF-8 byte-order mark, and with empty comments put between the
// pieces of a long text that holds entity references, so that the parser
// decodes it in short parts. Understood: elements and attributes (values in
// ' or "), character data and references, comments, CDATA sections,
// processing instructions, and a document type declaration before the root,
// with an internal subset. Refused also: NUL bytes, '<' in an attribute
// value, '>' or '"' in a single-quoted value or literal, an odd number of '"'
// in a processing instruction, and a ']' that the parser would take for the
// end of the internal subset anywhere but at its end ("]>").
std::optional<std::string> CheckedPlistXml(std::string_view text, const XmlCheckLimits& limits);
