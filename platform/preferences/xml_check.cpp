#include "platform/preferences/xml_check.h"

#include <cstdint>
#include <cstdlib>

#include <vector>

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Texts with entity references are cut into parts of about this many bytes.
constexpr std::size_t kTextPart = 256;

constexpr std::string_view kPartBreak = "<!---->";

// What a single-quoted literal of the document type declaration may not
// hold: the parser reads it as markup.
constexpr std::string_view kLiteralUnsafe = "\"<>[]";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsNameStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' ||
         static_cast<unsigned char>(c) >= 0x80;
}

bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

bool HasAny(std::string_view text, std::string_view characters) {
  return text.find_first_of(characters) != std::string_view::npos;
}

class Checker final {
 public:
  Checker(std::string_view text, const XmlCheckLimits& limits) : text_(text), limits_(limits) {}

  std::optional<std::string> Run() {
    if (text_.find('\0') != std::string_view::npos) return std::nullopt;
    if (text_.starts_with(kByteOrderMark)) pos_ = copied_ = kByteOrderMark.size();
    while (pos_ < text_.size()) {
      if (!Step()) return std::nullopt;
    }
    if (!rootClosed_) return std::nullopt;
    out_.append(text_.substr(copied_));
    return std::move(out_);
  }

 private:
  struct Element {
    std::string_view name;
    std::size_t children = 0;
  };

  bool At(std::string_view token) const { return text_.substr(pos_).starts_with(token); }

  // Moves past the next `token` at or after `from`; false when there is none.
  bool SkipPast(std::string_view token, std::size_t from, std::string_view* body = nullptr) {
    const std::size_t end = text_.find(token, from);
    if (end == std::string_view::npos) return false;
    if (body) *body = text_.substr(from, end - from);
    pos_ = end + token.size();
    return true;
  }

  bool SkipBlanks() {
    const std::size_t start = pos_;
    while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
    return pos_ > start;
  }

  std::string_view ReadName() {
    const std::size_t start = pos_;
    if (pos_ < text_.size() && IsNameStart(text_[pos_])) {
      while (pos_ < text_.size() && IsNameChar(text_[pos_])) ++pos_;
    }
    return text_.substr(start, pos_ - start);
  }

  // A quoted value or literal at `pos_`. The parser skips double-quoted
  // strings but reads single-quoted ones as markup, so those may hold none
  // of `unsafeInSingle`.
  bool SkipQuoted(std::string_view unsafeInDouble, std::string_view unsafeInSingle) {
    if (pos_ >= text_.size()) return false;
    const char quote = text_[pos_];
    if (quote != '"' && quote != '\'') return false;
    std::string_view value;
    if (!SkipPast(std::string_view(&quote, 1), pos_ + 1, &value)) return false;
    return !HasAny(value, quote == '"' ? unsafeInDouble : unsafeInSingle);
  }

  bool Step() {
    if (text_[pos_] != '<') return Text();
    if (rootClosed_) return false;
    if (At("<!--")) return SkipPast("-->", pos_ + 4);
    if (At("<![CDATA[")) return !stack_.empty() && SkipPast("]]>", pos_ + 9);
    if (At("<?")) return ProcessingInstruction();
    if (At("<!DOCTYPE")) return Doctype();
    if (At("</")) return EndTag();
    return StartTag();
  }

  // Character data up to the next '<'. Outside the root element only blanks
  // may stand.
  bool Text() {
    std::size_t end = text_.find('<', pos_);
    if (end == std::string_view::npos) end = text_.size();
    const std::string_view run = text_.substr(pos_, end - pos_);
    if (stack_.empty()) {
      for (char c : run) {
        if (!IsBlank(c)) return false;
      }
    } else if (run.size() > kTextPart && run.find('&') != std::string_view::npos) {
      SplitText(end);
    }
    pos_ = end;
    return true;
  }

  // Puts a part break after every kTextPart bytes or so of the text that
  // ends at `end`, never inside a reference.
  void SplitText(std::size_t end) {
    const std::string_view upToEnd = text_.substr(0, end);
    std::size_t partStart = pos_;
    for (std::size_t at = pos_; at < end;) {
      if (text_[at] == '&') {
        const std::size_t semicolon = upToEnd.find(';', at);
        // The parser refuses a reference without its ';' anyway.
        if (semicolon == std::string_view::npos) return;
        at = semicolon + 1;
      } else {
        ++at;
      }
      if (at - partStart >= kTextPart && at < end) {
        out_.append(text_.substr(copied_, at - copied_));
        out_.append(kPartBreak);
        copied_ = partStart = at;
      }
    }
  }

  // The parser skips double-quoted strings while it looks for "?>"; with an
  // even number of quotes it stops where XML does.
  bool ProcessingInstruction() {
    std::string_view body;
    if (!SkipPast("?>", pos_ + 2, &body)) return false;
    std::size_t quotes = 0;
    for (char c : body) quotes += c == '"';
    return quotes % 2 == 0;
  }

  bool Doctype() {
    if (seenRoot_ || seenDoctype_) return false;
    seenDoctype_ = true;
    pos_ += 9;
    return DeclarationEnd(true);
  }

  // Declarations, comments, processing instructions and parameter-entity
  // references, up to "]>". The parser ends the subset at the first "]>"
  // outside double quotes, so no other ']' may stand outside them.
  bool InternalSubset() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == ']') {
        if (!At("]>")) return false;
        pos_ += 2;
        return true;
      }
      if (c == '"' || c == '\'') {
        if (!SkipQuoted("", kLiteralUnsafe)) return false;
      } else if (At("<!--") || At("<?")) {
        const bool comment = At("<!--");
        std::string_view body;
        if (!SkipPast(comment ? "-->" : "?>", pos_ + (comment ? 4 : 2), &body) || HasAny(body, "\"]")) {
          return false;
        }
      } else if (At("<!ENTITY") || At("<!ELEMENT") || At("<!ATTLIST") || At("<!NOTATION")) {
        pos_ += 2;
        if (!DeclarationEnd(false)) return false;
      } else if (c == '<' || c == '>') {
        return false;
      } else {
        ++pos_;
      }
    }
    return false;
  }

  // Moves past the '>' that ends a declaration, over quoted literals. With
  // `subset`, a '[' opens the internal subset, whose "]>" ends it instead.
  bool DeclarationEnd(bool subset) {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '"' || c == '\'') {
        if (!SkipQuoted("", kLiteralUnsafe)) return false;
      } else if (c == '>') {
        ++pos_;
        return true;
      } else if (subset && c == '[') {
        ++pos_;
        return InternalSubset();
      } else if (c == '<' || c == ']') {
        return false;
      } else {
        ++pos_;
      }
    }
    return false;
  }

  bool StartTag() {
    ++pos_;
    const std::string_view name = ReadName();
    if (name.empty() || rootClosed_ || (stack_.empty() && name != "plist")) return false;
    for (;;) {
      const bool blank = SkipBlanks();
      if (At(">") || At("/>")) break;
      if (!blank || ReadName().empty()) return false;
      SkipBlanks();
      if (!At("=")) return false;
      ++pos_;
      SkipBlanks();
      if (!SkipQuoted("<", "<>\"")) return false;
    }
    const bool empty = At("/>");
    pos_ += empty ? 2 : 1;
    if (!stack_.empty()) {
      Element& parent = stack_.back();
      ++parent.children;
      if (parent.name == "dict" && parent.children > 2 * limits_.maxDictionaryItems) return false;
    }
    seenRoot_ = true;
    if (empty) {
      rootClosed_ = stack_.empty();
      return true;
    }
    stack_.push_back(Element{name, 0});
    return static_cast<int>(stack_.size()) <= limits_.maxNesting;
  }

  bool EndTag() {
    pos_ += 2;
    const std::string_view name = ReadName();
    SkipBlanks();
    if (!At(">") || stack_.empty() || stack_.back().name != name) return false;
    ++pos_;
    stack_.pop_back();
    rootClosed_ = stack_.empty();
    return true;
  }

  std::string_view text_;
  const XmlCheckLimits& limits_;
  std::size_t pos_ = 0;
  std::size_t copied_ = 0;  // Bytes of `text_` already in `out_`.
  std::string out_;
  std::vector<Element> stack_;
  bool seenDoctype_ = false;
  bool seenRoot_ = false;
  bool rootClosed_ = false;
};

}  // namespace

std::optional<std::string> CheckedPlistXml(std::string_view text, const XmlCheckLimits& limits) {
  return Checker(text, limits).Run();
}

plist_t PlistFromCheckedMemory(std::string_view bytes) {
  if (bytes.size() > UINT32_MAX) return nullptr;
  plist_t root = nullptr;
  if (plist_is_binary(bytes.data(), static_cast<std::uint32_t>(bytes.size())) != 0) {
    plist_from_bin(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    return root;
  }
  const std::optional<std::string> checked = CheckedPlistXml(bytes, XmlCheckLimits{});
  if (!checked) return nullptr;
  plist_from_xml(checked->data(), static_cast<std::uint32_t>(checked->size()), &root);
  return root;
}

std::optional<std::string> PlistStringValue(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  char* value = nullptr;
  plist_get_string_val(node, &value);
  if (value == nullptr) return std::nullopt;
  std::string text(value);
  std::free(value);
  return text;
}
