// Reading the build syntax: a recursive-descent parser whose recursion is
// bounded by the nesting it allows.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/appleevents/appleevent.h"
#include "platform/appleevents/desc_access.h"
#include "platform/corefoundation/cf_string.h"
#include "platform/corefoundation/cf_utf16.h"

namespace {

using A = AEDescAccess;
using Form = AEDescAccess::Form;

constexpr std::string_view kOpenQuote = "\xE2\x80\x9C";   // “
constexpr std::string_view kCloseQuote = "\xE2\x80\x9D";  // ”
constexpr std::string_view kOpenGuillemet = "\xC2\xAB";   // «
constexpr std::string_view kCloseGuillemet = "\xC2\xBB";  // »

bool IsIdentStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool IsIdentChar(char c) { return IsIdentStart(c) || (c >= '0' && c <= '9'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

AEDesc BytesDesc(DescType type, const void* data, std::size_t size) {
  AEDesc desc;
  A::Type(desc) = type;
  if (size > 0) A::Data(desc).assign(static_cast<const char*>(data), size);
  return desc;
}

// What one term of the text is, before a cast or the default gives it a type.
struct Term {
  enum class Kind { kNone, kInteger, kReal, kText, kCode, kHex, kDesc, kCast };
  Kind kind = Kind::kNone;
  std::size_t pos = 0;
  std::int64_t integer = 0;
  double real = 0;
  std::uint32_t code = 0;
  std::string bytes;  // The UTF-8 of a text, the bytes of hex data.
  AEDesc desc;        // A record, a list, or a cast's result.
};

class Parser final {
 public:
  explicit Parser(std::string_view src) : src_(src) {}

  const AEBuildError& error() const { return error_; }

  // Reads the whole text as one value.
  bool ParseDesc(AEDesc* out) {
    if (!CheckLength()) return false;
    Term term;
    if (!ParseTerm(0, &term) || !TermToDesc(&term)) return false;
    SkipBlanks();
    if (pos_ != src_.size()) return Fail(kAEBuildTrailingText);
    *out = std::move(term.desc);
    return true;
  }

  // Reads the whole text as "key: value, ..." into the parameters of `event`.
  bool ParseParameters(AppleEvent* event) {
    if (!CheckLength()) return false;
    SkipBlanks();
    if (pos_ == src_.size()) return true;
    std::unordered_set<AEKeyword> seen;
    for (;;) {
      if (!ParseKeyedItem(1, event, &seen)) return false;
      SkipBlanks();
      if (pos_ == src_.size()) return true;
      if (src_[pos_] != ',') return Fail(kAEBuildBadToken);
      ++pos_;
    }
  }

 private:
  bool CheckLength() {
    if (src_.size() <= kAEBuildMaxSourceSize) return true;
    pos_ = kAEBuildMaxSourceSize;
    return Fail(kAEBuildTooLong);
  }

  bool Fail(AEBuildErrorCode code) { return FailAt(code, pos_); }
  bool FailAt(AEBuildErrorCode code, std::size_t pos) {
    error_ = {code, static_cast<std::uint32_t>(pos)};
    return false;
  }

  void SkipBlanks() {
    while (pos_ < src_.size() &&
           (src_[pos_] == ' ' || src_[pos_] == '\t' || src_[pos_] == '\r' || src_[pos_] == '\n')) {
      ++pos_;
    }
  }

  bool At(std::string_view token) const { return src_.substr(pos_, token.size()) == token; }

  // Reads a term inside `depth` enclosing containers; a cast only when
  // `castAllowed`, so that casts never nest and every recursion opens a
  // container.
  bool ParseTerm(int depth, Term* term, bool castAllowed = true) {
    SkipBlanks();
    term->pos = pos_;
    if (pos_ == src_.size()) return Fail(kAEBuildUnexpectedEnd);
    const char c = src_[pos_];
    if (c == '{' || c == '[') {
      term->kind = Term::Kind::kDesc;
      return ParseCollection(depth, c == '{', &term->desc);
    }
    if (c == '"' || At(kOpenQuote)) {
      term->kind = Term::Kind::kText;
      return ParseText(&term->bytes);
    }
    if (c == '$' || At(kOpenGuillemet)) {
      term->kind = Term::Kind::kHex;
      return ParseHex(&term->bytes);
    }
    if (c == '-' || IsDigit(c)) return ParseNumber(term);
    if (c == '\'' || IsIdentStart(c)) {
      if (!ParseCode(&term->code)) return false;
      const std::size_t afterCode = pos_;
      SkipBlanks();
      if (pos_ < src_.size() && (src_[pos_] == '(' || src_[pos_] == '{')) {
        if (!castAllowed) return FailAt(kAEBuildBadCast, term->pos);
        term->kind = Term::Kind::kCast;
        return ParseCast(depth, term);
      }
      pos_ = afterCode;
      term->kind = Term::Kind::kCode;
      return true;
    }
    return Fail(kAEBuildBadToken);
  }

  // Gives an uncast term its default type.
  bool TermToDesc(Term* term) {
    switch (term->kind) {
      case Term::Kind::kInteger: {
        if (term->integer < std::numeric_limits<std::int32_t>::min() ||
            term->integer > std::numeric_limits<std::int32_t>::max()) {
          return FailAt(kAEBuildBadNumber, term->pos);
        }
        const auto value = static_cast<std::int32_t>(term->integer);
        term->desc = BytesDesc(typeSInt32, &value, sizeof value);
        return true;
      }
      case Term::Kind::kReal:
        term->desc = BytesDesc(typeIEEE64BitFloatingPoint, &term->real, sizeof term->real);
        return true;
      case Term::Kind::kText: {
        const std::string units = *CFStringGetCharacterBytes(term->bytes);
        term->desc = BytesDesc(typeUnicodeText, units.data(), units.size());
        return true;
      }
      case Term::Kind::kCode:
        term->desc = BytesDesc(typeEnumerated, &term->code, sizeof term->code);
        return true;
      case Term::Kind::kHex:
        return FailAt(kAEBuildUncastHex, term->pos);
      case Term::Kind::kDesc:
      case Term::Kind::kCast:
        return true;
      case Term::Kind::kNone:
        break;
    }
    return FailAt(kAEBuildBadToken, term->pos);
  }

  // Reads "key: value" and appends it to `record` (or an event's
  // parameters), which sits at `depth` and has the keys `seen`.
  bool ParseKeyedItem(int depth, AEDesc* record, std::unordered_set<AEKeyword>* seen) {
    SkipBlanks();
    const std::size_t keyPos = pos_;
    if (pos_ == src_.size()) return Fail(kAEBuildUnexpectedEnd);
    if (src_[pos_] != '\'' && !IsIdentStart(src_[pos_])) return Fail(kAEBuildBadToken);
    AEKeyword key = 0;
    if (!ParseCode(&key)) return false;
    SkipBlanks();
    if (pos_ == src_.size() || src_[pos_] != ':') return Fail(kAEBuildMissingColon);
    ++pos_;
    Term value;
    if (!ParseTerm(depth, &value) || !TermToDesc(&value)) return false;
    if (!seen->insert(key).second) return FailAt(kAEBuildDuplicateKey, keyPos);
    // The parser has kept the nesting within bounds as it went.
    A::Keys(*record).push_back(key);
    A::Items(*record).push_back(std::move(value.desc));
    return true;
  }

  // Reads a record "{key: value, ...}" or a list "[value, ...]", with
  // `pos_` at its opening bracket.
  bool ParseCollection(int depth, bool isRecord, AEDesc* out) {
    if (depth + 1 > kAEMaxNestingDepth) return Fail(kAEBuildTooDeep);
    ++pos_;
    const char close = isRecord ? '}' : ']';
    AEDesc collection;
    AECreateList(nullptr, 0, isRecord, &collection);
    std::unordered_set<AEKeyword> seen;
    SkipBlanks();
    const bool empty = pos_ < src_.size() && src_[pos_] == close;
    while (!empty) {
      if (isRecord) {
        if (!ParseKeyedItem(depth + 1, &collection, &seen)) return false;
      } else {
        Term item;
        if (!ParseTerm(depth + 1, &item) || !TermToDesc(&item)) return false;
        A::Items(collection).push_back(std::move(item.desc));
      }
      SkipBlanks();
      if (pos_ == src_.size()) return Fail(kAEBuildMissingClose);
      if (src_[pos_] == close) break;
      if (src_[pos_] != ',') return Fail(kAEBuildBadToken);
      ++pos_;
    }
    ++pos_;
    *out = std::move(collection);
    return true;
  }

  // Reads "T(...)" or "T{...}" whose code `term->code` has been read, with
  // `pos_` at the bracket.
  bool ParseCast(int depth, Term* term) {
    const DescType type = term->code;
    const std::size_t typePos = term->pos;
    Term argument;
    if (src_[pos_] == '{') {
      argument.kind = Term::Kind::kDesc;
      argument.pos = pos_;
      if (!ParseCollection(depth, true, &argument.desc)) return false;
    } else {
      ++pos_;  // '('
      SkipBlanks();
      if (pos_ < src_.size() && src_[pos_] == ')') {
        argument.pos = pos_;
      } else {
        if (!ParseTerm(depth, &argument, false)) return false;
        SkipBlanks();
        if (pos_ == src_.size() || src_[pos_] != ')') return Fail(kAEBuildMissingClose);
      }
      ++pos_;  // ')'
    }
    return ApplyCast(type, typePos, &argument, &term->desc);
  }

  bool ApplyCast(DescType type, std::size_t typePos, Term* argument, AEDesc* out) {
    const bool container =
        type == typeAEList || type == typeAERecord || type == typeAppleEvent;
    switch (argument->kind) {
      case Term::Kind::kNone:
        if (container) break;
        *out = BytesDesc(type, nullptr, 0);
        return true;
      case Term::Kind::kInteger:
        return CastInteger(type, *argument, typePos, out);
      case Term::Kind::kReal:
        if (type != typeIEEE64BitFloatingPoint) break;
        *out = BytesDesc(type, &argument->real, sizeof argument->real);
        return true;
      case Term::Kind::kText:
        if (type == typeText) {
          *out = BytesDesc(type, argument->bytes.data(), argument->bytes.size());
          return true;
        }
        if (type != typeUnicodeText) break;
        return TermToDesc(argument) && (*out = std::move(argument->desc), true);
      case Term::Kind::kCode:
        if (container || type == typeNull) break;
        *out = BytesDesc(type, &argument->code, sizeof argument->code);
        return true;
      case Term::Kind::kHex:
        if (container || (type == typeNull && !argument->bytes.empty())) break;
        *out = BytesDesc(type, argument->bytes.data(), argument->bytes.size());
        return true;
      case Term::Kind::kDesc:
        if (A::FormOf(argument->desc) == Form::kList) {
          if (type != typeAEList) break;
          *out = std::move(argument->desc);
          return true;
        }
        if (type == typeAEList || type == typeWildCard) break;
        if (AECoerceDesc(&argument->desc, type, out) != noErr) break;
        return true;
      case Term::Kind::kCast:  // Refused while parsing.
        break;
    }
    return FailAt(kAEBuildBadCast, typePos);
  }

  bool CastInteger(DescType type, const Term& argument, std::size_t typePos, AEDesc* out) {
    const std::int64_t value = argument.integer;
    auto fits = [&](std::int64_t low, std::int64_t high) {
      return value >= low && value <= high;
    };
    if (type == typeSInt32 || type == typeSInt16 || type == typeBoolean) {
      const bool isLong = type == typeSInt32;
      const bool isShort = type == typeSInt16;
      if (isLong && fits(INT32_MIN, INT32_MAX)) {
        const auto v = static_cast<std::int32_t>(value);
        *out = BytesDesc(type, &v, sizeof v);
        return true;
      }
      if (isShort && fits(INT16_MIN, INT16_MAX)) {
        const auto v = static_cast<std::int16_t>(value);
        *out = BytesDesc(type, &v, sizeof v);
        return true;
      }
      if (!isLong && !isShort && fits(0, 1)) {
        const auto v = static_cast<std::uint8_t>(value);
        *out = BytesDesc(type, &v, sizeof v);
        return true;
      }
      return FailAt(kAEBuildBadNumber, argument.pos);
    }
    if (type == typeUInt32) {
      if (!fits(0, UINT32_MAX)) return FailAt(kAEBuildBadNumber, argument.pos);
      const auto v = static_cast<std::uint32_t>(value);
      *out = BytesDesc(type, &v, sizeof v);
      return true;
    }
    if (type == typeSInt64) {
      *out = BytesDesc(type, &value, sizeof value);
      return true;
    }
    if (type == typeIEEE64BitFloatingPoint) {
      const auto v = static_cast<double>(value);
      *out = BytesDesc(type, &v, sizeof v);
      return true;
    }
    return FailAt(kAEBuildBadCast, typePos);
  }

  bool ParseNumber(Term* term) {
    const std::size_t start = pos_;
    if (src_[pos_] == '-') ++pos_;
    if (pos_ == src_.size() || !IsDigit(src_[pos_])) return Fail(kAEBuildBadNumber);
    while (pos_ < src_.size() && IsDigit(src_[pos_])) ++pos_;
    bool real = false;
    if (pos_ < src_.size() && src_[pos_] == '.') {
      real = true;
      ++pos_;
      if (pos_ == src_.size() || !IsDigit(src_[pos_])) return Fail(kAEBuildBadNumber);
      while (pos_ < src_.size() && IsDigit(src_[pos_])) ++pos_;
    }
    if (pos_ < src_.size() && (src_[pos_] == 'e' || src_[pos_] == 'E')) {
      real = true;
      ++pos_;
      if (pos_ < src_.size() && (src_[pos_] == '+' || src_[pos_] == '-')) ++pos_;
      if (pos_ == src_.size() || !IsDigit(src_[pos_])) return Fail(kAEBuildBadNumber);
      while (pos_ < src_.size() && IsDigit(src_[pos_])) ++pos_;
    }
    const char* first = src_.data() + start;
    const char* last = src_.data() + pos_;
    std::from_chars_result parsed{};
    if (real) {
      term->kind = Term::Kind::kReal;
      parsed = std::from_chars(first, last, term->real);
      if (parsed.ec == std::errc() && !std::isfinite(term->real)) {
        parsed.ec = std::errc::result_out_of_range;
      }
    } else {
      term->kind = Term::Kind::kInteger;
      parsed = std::from_chars(first, last, term->integer);
    }
    if (parsed.ec != std::errc() || parsed.ptr != last) return FailAt(kAEBuildBadNumber, start);
    return true;
  }

  // Reads a quoted or bare four-character code.
  bool ParseCode(std::uint32_t* code) {
    const std::size_t start = pos_;
    std::string bytes;
    if (src_[pos_] == '\'') {
      ++pos_;
      for (;;) {
        if (pos_ == src_.size()) return FailAt(kAEBuildBadCode, start);
        const char c = src_[pos_++];
        if (c == '\'') break;
        if (c == '\\') {
          if (pos_ == src_.size()) return FailAt(kAEBuildBadCode, start);
          const char escaped = src_[pos_++];
          if (escaped == '\'' || escaped == '\\') {
            bytes.push_back(escaped);
          } else if (escaped == 'x' && pos_ + 2 <= src_.size() && HexDigitValue(src_[pos_]) >= 0 &&
                     HexDigitValue(src_[pos_ + 1]) >= 0) {
            bytes.push_back(
                static_cast<char>(HexDigitValue(src_[pos_]) * 16 + HexDigitValue(src_[pos_ + 1])));
            pos_ += 2;
          } else {
            return FailAt(kAEBuildBadCode, pos_ - 2);
          }
        } else {
          bytes.push_back(c);
        }
        if (bytes.size() > 4) return FailAt(kAEBuildBadCode, start);
      }
    } else {
      while (pos_ < src_.size() && IsIdentChar(src_[pos_])) bytes.push_back(src_[pos_++]);
    }
    if (bytes.empty() || bytes.size() > 4) return FailAt(kAEBuildBadCode, start);
    bytes.resize(4, ' ');
    *code = 0;
    for (const char c : bytes) *code = (*code << 8) | static_cast<unsigned char>(c);
    return true;
  }

  // Reads "..." or “...” into its UTF-8 text.
  bool ParseText(std::string* text) {
    const bool typographic = At(kOpenQuote);
    const std::string_view close = typographic ? kCloseQuote : std::string_view("\"");
    pos_ += typographic ? kOpenQuote.size() : 1;
    std::size_t runStart = pos_;
    for (;;) {
      if (pos_ == src_.size()) return Fail(kAEBuildBadText);
      if (At(close)) break;
      if (src_[pos_] != '\\') {
        ++pos_;
        continue;
      }
      text->append(src_.substr(runStart, pos_ - runStart));
      if (pos_ + 1 == src_.size()) return Fail(kAEBuildBadText);
      const char escaped = src_[pos_ + 1];
      switch (escaped) {
        case '"':
        case '\\':
          text->push_back(escaped);
          pos_ += 2;
          break;
        case 'n':
          text->push_back('\n');
          pos_ += 2;
          break;
        case 'r':
          text->push_back('\r');
          pos_ += 2;
          break;
        case 't':
          text->push_back('\t');
          pos_ += 2;
          break;
        case 'x': {
          if (pos_ + 4 > src_.size() || HexDigitValue(src_[pos_ + 2]) < 0 ||
              HexDigitValue(src_[pos_ + 3]) < 0) {
            return Fail(kAEBuildBadText);
          }
          AppendUTF8(static_cast<char32_t>(HexDigitValue(src_[pos_ + 2]) * 16 +
                                           HexDigitValue(src_[pos_ + 3])),
                     text);
          pos_ += 4;
          break;
        }
        default:
          return Fail(kAEBuildBadText);
      }
      runStart = pos_;
    }
    text->append(src_.substr(runStart, pos_ - runStart));
    pos_ += close.size();
    if (!IsValidUTF8(*text)) return FailAt(kAEBuildBadText, runStart);
    return true;
  }

  // Reads $...$ or «...» into its bytes.
  bool ParseHex(std::string* bytes) {
    const bool guillemets = At(kOpenGuillemet);
    const std::string_view close = guillemets ? kCloseGuillemet : std::string_view("$");
    pos_ += guillemets ? kOpenGuillemet.size() : 1;
    int pending = -1;
    for (;;) {
      if (pos_ == src_.size()) return Fail(kAEBuildBadHex);
      if (At(close)) break;
      const char c = src_[pos_];
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
        ++pos_;
        continue;
      }
      const int digit = HexDigitValue(c);
      if (digit < 0) return Fail(kAEBuildBadHex);
      if (pending < 0) {
        pending = digit;
      } else {
        bytes->push_back(static_cast<char>(pending * 16 + digit));
        pending = -1;
      }
      ++pos_;
    }
    if (pending >= 0) return Fail(kAEBuildBadHex);
    pos_ += close.size();
    return true;
  }

  std::string_view src_;
  std::size_t pos_ = 0;
  AEBuildError error_{kAEBuildNoError, 0};
};

}  // namespace

OSErr AEBuildDesc(AEDesc* dst, AEBuildError* error, std::string_view src) {
  if (dst == nullptr) return paramErr;
  AEInitializeDescInplace(dst);
  return AEGuarded([&] {
    Parser parser(src);
    AEDesc built;
    if (!parser.ParseDesc(&built)) {
      if (error != nullptr) *error = parser.error();
      return errAEBuildSyntaxError;
    }
    if (error != nullptr) *error = {kAEBuildNoError, 0};
    *dst = std::move(built);
    return noErr;
  });
}

OSErr AEBuildAppleEvent(AEEventClass theClass, AEEventID theID, DescType addressType,
                        const void* addressData, std::size_t addressLength, AEReturnID returnID,
                        AETransactionID transactionID, AppleEvent* result, AEBuildError* error,
                        std::string_view paramsFmt) {
  if (result == nullptr) return paramErr;
  AEInitializeDescInplace(result);
  return AEGuarded([&] {
    AEAddressDesc address;
    OSErr status = AECreateDesc(addressType, addressData, addressLength, &address);
    if (status != noErr) return status;
    AppleEvent event;
    status = AECreateAppleEvent(theClass, theID, &address, returnID, transactionID, &event);
    if (status != noErr) return status;
    Parser parser(paramsFmt);
    if (!parser.ParseParameters(&event)) {
      if (error != nullptr) *error = parser.error();
      return errAEBuildSyntaxError;
    }
    if (error != nullptr) *error = {kAEBuildNoError, 0};
    *result = std::move(event);
    return noErr;
  });
}
