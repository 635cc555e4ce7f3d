// Writing the build syntax: the printer of AEPrintDescToHandle.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/appleevents/appleevent.h"
#include "platform/appleevents/desc_access.h"
#include "platform/corefoundation/cf_string.h"
#include "platform/corefoundation/cf_utf16.h"

namespace {

using A = AEDescAccess;
using Form = AEDescAccess::Form;

// Writes descriptors in the build syntax.
class Printer final {
 public:
  explicit Printer(std::string* out) : out_(*out) {}

  void Print(const AEDesc& desc) {
    switch (A::FormOf(desc)) {
      case Form::kList:
        out_.push_back('[');
        for (std::size_t i = 0; i < A::Items(desc).size(); ++i) {
          if (i > 0) out_ += ", ";
          Print(A::Items(desc)[i]);
        }
        out_.push_back(']');
        return;
      case Form::kRecord:
        if (desc.descriptorType() != typeAERecord) PrintCode(desc.descriptorType());
        out_.push_back('{');
        PrintKeyed(A::Keys(desc), A::Items(desc), "", true);
        out_.push_back('}');
        return;
      case Form::kEvent:
        PrintEvent(desc);
        return;
      case Form::kBytes:
        PrintBytes(desc);
        return;
    }
  }

 private:
  // Prints the items as "key:value" joined by ", ", each key after `mark`,
  // leaving out the class and id when `skipHead`; `first` tells whether
  // nothing stands before them inside the braces.
  void PrintKeyed(const std::vector<AEKeyword>& keys, const std::vector<AEDesc>& items,
                  std::string_view mark, bool first, bool skipHead = false) {
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (skipHead && (keys[i] == keyEventClassAttr || keys[i] == keyEventIDAttr)) continue;
      if (!first) out_ += ", ";
      first = false;
      out_ += mark;
      PrintCode(keys[i]);
      out_.push_back(':');
      Print(items[i]);
    }
  }

  // The class and id as "'core'\'getd'", then the parameters and the other
  // attributes in braces; when the class or id is not a code, "'aevt'" and
  // every attribute.
  void PrintEvent(const AEDesc& event) {
    const auto& keys = A::AttributeKeys(event);
    const auto& attributes = A::Attributes(event);
    auto code = [&](AEKeyword key) -> std::optional<std::uint32_t> {
      for (std::size_t i = 0; i < keys.size(); ++i) {
        if (keys[i] == key && A::FormOf(attributes[i]) == Form::kBytes &&
            attributes[i].descriptorType() == typeType && A::Data(attributes[i]).size() == 4) {
          std::uint32_t value = 0;
          std::memcpy(&value, A::Data(attributes[i]).data(), 4);
          return value;
        }
      }
      return std::nullopt;
    };
    const auto eventClass = code(keyEventClassAttr);
    const auto eventID = code(keyEventIDAttr);
    const bool head = eventClass && eventID;
    if (head) {
      PrintCode(*eventClass);
      out_.push_back('\\');
      PrintCode(*eventID);
    } else {
      PrintCode(typeAppleEvent);
    }
    out_.push_back('{');
    PrintKeyed(A::Keys(event), A::Items(event), "", true);
    PrintKeyed(keys, attributes, "&", A::Items(event).empty(), head);
    out_.push_back('}');
  }

  void PrintBytes(const AEDesc& desc) {
    const DescType type = desc.descriptorType();
    const std::string& data = A::Data(desc);
    if (type == typeNull) {
      out_ += "'null'()";
      return;
    }
    if (type == typeSInt32 && data.size() == 4) {
      out_ += std::to_string(Load<std::int32_t>(data));
      return;
    }
    if (type == typeIEEE64BitFloatingPoint && data.size() == 8 &&
        std::isfinite(Load<double>(data))) {
      PrintReal(Load<double>(data));
      return;
    }
    if (type == typeUnicodeText) {
      if (const auto text = CFStringCreateWithCharacterBytes(data)) {
        PrintText(*text);
        return;
      }
    }
    if (type == typeText && IsValidUTF8(data)) {
      PrintCode(type);
      out_.push_back('(');
      PrintText(data);
      out_.push_back(')');
      return;
    }
    if (type == typeEnumerated && data.size() == 4) {
      PrintCode(Load<std::uint32_t>(data));
      return;
    }
    PrintCode(type);
    out_.push_back('(');
    if ((type == typeType || type == typeKeyword || type == typeApplSignature) &&
        data.size() == 4) {
      PrintCode(Load<std::uint32_t>(data));
    } else if (type == typeSInt16 && data.size() == 2) {
      out_ += std::to_string(Load<std::int16_t>(data));
    } else if (type == typeSInt64 && data.size() == 8) {
      out_ += std::to_string(Load<std::int64_t>(data));
    } else if (type == typeUInt32 && data.size() == 4) {
      out_ += std::to_string(Load<std::uint32_t>(data));
    } else if (type == typeBoolean && data.size() == 1 &&
               static_cast<unsigned char>(data[0]) <= 1) {
      out_ += std::to_string(static_cast<unsigned char>(data[0]));
    } else if (!data.empty()) {
      PrintHex(data);
    }
    out_.push_back(')');
  }

  template <typename T>
  static T Load(const std::string& data) {
    T value{};
    std::memcpy(&value, data.data(), sizeof value);
    return value;
  }

  // The shortest text that reads back to `value`, always with a fraction or
  // an exponent so that it reads back as a real.
  void PrintReal(double value) {
    char buffer[64];
    const auto printed = std::to_chars(buffer, buffer + sizeof buffer, value);
    const std::string_view text(buffer, static_cast<std::size_t>(printed.ptr - buffer));
    out_ += text;
    if (text.find_first_of(".e") == std::string_view::npos) out_ += ".0";
  }

  void PrintHex(std::string_view data) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out_.push_back('$');
    for (const char c : data) {
      out_.push_back(kHex[static_cast<unsigned char>(c) >> 4]);
      out_.push_back(kHex[static_cast<unsigned char>(c) & 0xF]);
    }
    out_.push_back('$');
  }

  void PrintEscapedByte(unsigned char byte) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out_ += "\\x";
    out_.push_back(kHex[byte >> 4]);
    out_.push_back(kHex[byte & 0xF]);
  }

  void PrintCode(std::uint32_t code) {
    out_.push_back('\'');
    for (int shift = 24; shift >= 0; shift -= 8) {
      const auto byte = static_cast<unsigned char>(code >> shift);
      if (byte == '\'' || byte == '\\') {
        out_.push_back('\\');
        out_.push_back(static_cast<char>(byte));
      } else if (byte >= 0x20 && byte < 0x7F) {
        out_.push_back(static_cast<char>(byte));
      } else {
        PrintEscapedByte(byte);
      }
    }
    out_.push_back('\'');
  }

  // Prints valid UTF-8 `text` in double quotes.
  void PrintText(std::string_view text) {
    out_.push_back('"');
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      if (c == '"' || c == '\\') {
        out_.push_back('\\');
        out_.push_back(c);
      } else if (c == '\n') {
        out_ += "\\n";
      } else if (c == '\r') {
        out_ += "\\r";
      } else if (c == '\t') {
        out_ += "\\t";
      } else if (byte < 0x20 || byte == 0x7F) {
        PrintEscapedByte(byte);
      } else {
        out_.push_back(c);
      }
    }
    out_.push_back('"');
  }

  std::string& out_;
};

}  // namespace

OSErr AEPrintDescToHandle(const AEDesc* desc, std::string* text) {
  if (desc == nullptr) return errAENotAEDesc;
  if (text == nullptr) return paramErr;
  const OSErr status = AEGuarded([&] {
    std::string printed;
    Printer(&printed).Print(*desc);
    *text = std::move(printed);
    return noErr;
  });
  if (status != noErr) text->clear();
  return status;
}
