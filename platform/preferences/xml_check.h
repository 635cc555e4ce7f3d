// The check an XML property list passes before it reaches libplist's parser.
//
// That parser recurses once per nesting level, takes time that grows with
// the square of a text's length times its entity references, and with the
// square of a dictionary's size; and it reads a few constructs otherwise
// than XML does (it skips only double-quoted strings inside markup). A file
// that could exhaust the stack or stall its reader, or whose markup the two
// readings would split differently, is refused here and reads as damaged.
// Used by every reader of property lists: the preferences store, bundles
// and plug-ins, which also share the owner of a node tree and the string
// getter below.
#pragma once

#include <plist/plist.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct XmlCheckLimits {
  int maxNesting = 256;                    // Open elements at once, the root included.
  std::size_t maxDictionaryItems = 16384;  // Key and value pairs in one dict.
};

// The text to hand to the parser for the file `text`, or none when `text` is
// not one XML document of balanced, matching elements whose root element is
// "plist", with nothing but blanks after it, within `limits`. The answer is `text` without
// a leading UTF-8 byte-order mark, and with empty comments put between the
// pieces of a long text that holds entity references, so that the parser
// decodes it in short parts. Understood: elements and attributes (values in
// ' or "), character data and references, comments, CDATA sections,
// processing instructions, and a document type declaration before the root,
// with an internal subset. Refused besides, where the parser would split the
// markup otherwise: NUL bytes; '<' in an attribute value; '>' or '"' in a
// single-quoted value or literal (nor '<', '[' or ']' in such a literal); an
// odd number of '"' in a processing instruction; '"' or ']' in a comment or
// processing instruction of the internal subset; and an internal subset that
// does not end with "]>" at its first ']' outside double quotes.
std::optional<std::string> CheckedPlistXml(std::string_view text, const XmlCheckLimits& limits);

// Parses the property list `bytes`: a binary one as it is, an XML one only
// when it passes CheckedPlistXml with the default limits. Returns null when
// `bytes` is neither; the caller frees the result with plist_free.
plist_t PlistFromCheckedMemory(std::string_view bytes);

// Owns one libplist node tree.
struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// The text of the string node `node`, or none when it is null or not a
// string.
std::optional<std::string> PlistStringValue(plist_t node);
