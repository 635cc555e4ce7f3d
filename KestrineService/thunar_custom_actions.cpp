#include "KestrineService/thunar_custom_actions.h"

#include <expat.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "KestrineService/service_commands.h"
#include "KestrineService/service_entries.h"

namespace {

std::string EscapeXML(std::string_view text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '&': escaped += "&amp;"; break;
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '"': escaped += "&quot;"; break;
      case '\'': escaped += "&apos;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

std::string ThunarUniqueID(std::string_view command) { return "kestrine-" + Slug(command); }

// The state of one parse: the element depth, and the <action> being read.
struct ThunarScan {
  XML_Parser parser = nullptr;
  ThunarLayout layout;
  std::string root;
  int depth = 0;
  std::size_t actionBegin = 0;
  bool inUniqueID = false;
  std::string uniqueID;
  std::string refusal;  // Why the file is not to be edited, though it parses.
};

std::size_t ByteIndex(XML_Parser parser) {
  return static_cast<std::size_t>(XML_GetCurrentByteIndex(parser));
}

void XMLCALL OnStart(void* data, const XML_Char* name, const XML_Char** /*attributes*/) {
  ThunarScan& scan = *static_cast<ThunarScan*>(data);
  ++scan.depth;
  const std::string_view element = name;
  if (scan.depth == 1) {
    scan.root = element;
    scan.layout.rootTagBegin = ByteIndex(scan.parser);
    scan.layout.rootTagEnd =
        scan.layout.rootTagBegin + static_cast<std::size_t>(XML_GetCurrentByteCount(scan.parser));
  } else if (scan.depth == 2 && element == "action") {
    scan.actionBegin = ByteIndex(scan.parser);
    scan.uniqueID.clear();
  } else if (scan.depth == 3 && element == "unique-id") {
    scan.inUniqueID = true;
  }
}

// Kestrine's actions are UTF-8 text, spliced in as bytes.
void XMLCALL OnDeclaration(void* data, const XML_Char* /*version*/, const XML_Char* encoding,
                           int /*standalone*/) {
  ThunarScan& scan = *static_cast<ThunarScan*>(data);
  if (encoding == nullptr) return;
  std::string name(encoding);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (name != "UTF-8" && name != "US-ASCII") {
    scan.refusal = "it is in the encoding " + std::string(encoding) + ", not UTF-8";
    XML_StopParser(scan.parser, XML_FALSE);
  }
}

// Text that an entity brings has no place of its own in the file.
void XMLCALL OnEntity(void* data, const XML_Char* name, int /*isParameter*/,
                      const XML_Char* /*value*/, int /*length*/, const XML_Char* /*base*/,
                      const XML_Char* /*system*/, const XML_Char* /*publicID*/,
                      const XML_Char* /*notation*/) {
  ThunarScan& scan = *static_cast<ThunarScan*>(data);
  scan.refusal = "it declares the XML entity \"" + std::string(name) + "\"";
  XML_StopParser(scan.parser, XML_FALSE);
}

void XMLCALL OnText(void* data, const XML_Char* text, int length) {
  ThunarScan& scan = *static_cast<ThunarScan*>(data);
  if (scan.inUniqueID) scan.uniqueID.append(text, static_cast<std::size_t>(length));
}

bool IsKestrineUniqueID(std::string_view id) {
  const std::size_t first = id.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return false;
  id = id.substr(first, id.find_last_not_of(" \t\r\n") + 1 - first);
  for (std::string_view command : ServiceUserDataStrings()) {
    if (id == ThunarUniqueID(command)) return true;
  }
  return false;
}

void XMLCALL OnEnd(void* data, const XML_Char* name) {
  ThunarScan& scan = *static_cast<ThunarScan*>(data);
  const std::size_t at = ByteIndex(scan.parser);
  // 0 for the end of an empty-element tag such as <action/>.
  const auto count = static_cast<std::size_t>(XML_GetCurrentByteCount(scan.parser));
  if (scan.depth == 3) {
    scan.inUniqueID = false;
  } else if (scan.depth == 2 && std::string_view(name) == "action" && count > 0 &&
             IsKestrineUniqueID(scan.uniqueID)) {
    scan.layout.ours.emplace_back(scan.actionBegin, at + count);
  } else if (scan.depth == 1 && count > 0) {
    scan.layout.rootEndTag = at;
  }
  --scan.depth;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::string ThunarActions(const std::string& executable) {
  std::string actions;
  for (std::string_view command : ServiceUserDataStrings()) {
    const std::string name(command);
    actions += "<action>\n\t<icon>edit-copy</icon>\n\t<name>" + EscapeXML(name) +
               "</name>\n\t<submenu>Kestrine</submenu>\n\t<unique-id>" + ThunarUniqueID(command) +
               "</unique-id>\n\t<command>" +
               EscapeXML(QuoteShellArgument(executable) + " " + QuoteShellArgument(name) + " %F") +
               "</command>\n\t<description>Kestrine: " + EscapeXML(name) +
               " of the selected items</description>\n\t<range></range>\n\t<patterns>*</patterns>"
               "\n\t<directories/>\n\t<audio-files/>\n\t<image-files/>\n\t<other-files/>"
               "\n\t<text-files/>\n\t<video-files/>\n</action>\n";
  }
  return actions;
}

// The layout of `text`, or none with the reason in `why`.
std::optional<ThunarLayout> ScanThunarCustomActions(std::string_view text, std::string* why) {
  const std::unique_ptr<std::remove_pointer_t<XML_Parser>, void (*)(XML_Parser)> parser(
      XML_ParserCreate(nullptr), XML_ParserFree);
  if (!parser) throw std::bad_alloc();
  ThunarScan scan;
  scan.parser = parser.get();
  XML_SetUserData(parser.get(), &scan);
  XML_SetElementHandler(parser.get(), OnStart, OnEnd);
  XML_SetCharacterDataHandler(parser.get(), OnText);
  XML_SetXmlDeclHandler(parser.get(), OnDeclaration);
  XML_SetEntityDeclHandler(parser.get(), OnEntity);
  // Fed in pieces, since a length is an int; byte indexes count from the start.
  constexpr std::size_t kPiece = 1 << 20;
  bool parsed = true;
  do {
    const std::size_t size = std::min(text.size(), kPiece);
    parsed = XML_Parse(parser.get(), text.data(), static_cast<int>(size),
                       size == text.size()) == XML_STATUS_OK;
    text.remove_prefix(size);
  } while (parsed && !text.empty());
  if (!scan.refusal.empty()) {
    if (why != nullptr) *why = scan.refusal;
    return std::nullopt;
  }
  if (!parsed) {
    if (why != nullptr) {
      *why = "it is not well-formed XML (line " +
             std::to_string(XML_GetCurrentLineNumber(parser.get())) + ", column " +
             std::to_string(XML_GetCurrentColumnNumber(parser.get()) + 1) + ": " +
             XML_ErrorString(XML_GetErrorCode(parser.get())) + ")";
    }
    return std::nullopt;
  }
  if (scan.root != "actions") {
    if (why != nullptr) *why = "its top element is <" + scan.root + ">, not <actions>";
    return std::nullopt;
  }
  return scan.layout;
}

// `existing` without Kestrine's actions, with `actions` (if any) added at
// the end of the <actions> element; none, with why, when it does not parse.
std::optional<std::string> EditThunarCustomActions(std::string_view existing,
                                                   const std::optional<std::string>& actions,
                                                   std::string* why, int* removed) {
  if (existing.empty()) {
    if (!actions) return std::string();
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n" + *actions + "</actions>\n";
  }
  const std::optional<ThunarLayout> layout = ScanThunarCustomActions(existing, why);
  if (!layout) return std::nullopt;
  if (removed != nullptr) *removed = static_cast<int>(layout->ours.size());
  std::string edited;
  std::size_t at = 0;
  for (auto [begin, end] : layout->ours) {
    // An action on lines of its own goes with its indent and line break.
    std::size_t lineBegin = begin;
    while (lineBegin > 0 && IsBlank(existing[lineBegin - 1])) --lineBegin;
    std::size_t lineEnd = end;
    while (lineEnd < existing.size() && IsBlank(existing[lineEnd])) ++lineEnd;
    if ((lineBegin == 0 || existing[lineBegin - 1] == '\n') && lineEnd < existing.size() &&
        existing[lineEnd] == '\n') {
      begin = std::max(lineBegin, at);
      end = lineEnd + 1;
    }
    edited.append(existing.substr(at, begin - at));
    at = end;
  }
  if (actions) {
    if (!layout->rootEndTag) {
      // <actions/> opens and closes at once.
      edited.append(existing.substr(at, layout->rootTagBegin - at));
      edited += "<actions>\n" + *actions + "</actions>";
      at = layout->rootTagEnd;
    } else {
      // Before the line of </actions> when nothing else stands on it.
      std::size_t insert = *layout->rootEndTag;
      while (insert > at && IsBlank(existing[insert - 1])) --insert;
      if (insert > 0 && existing[insert - 1] != '\n') insert = *layout->rootEndTag;
      edited.append(existing.substr(at, insert - at));
      if (!edited.empty() && edited.back() != '\n') edited += '\n';
      edited += *actions;
      at = insert;
    }
  }
  edited.append(existing.substr(at));
  return edited;
}

std::optional<std::string> MergeThunarCustomActions(std::string_view existing,
                                                    const std::string& executable,
                                                    std::string* why) {
  return EditThunarCustomActions(existing, ThunarActions(executable), why);
}

std::optional<std::string> RemoveThunarCustomActions(std::string_view existing, std::string* why) {
  return EditThunarCustomActions(existing, std::nullopt, why);
}
