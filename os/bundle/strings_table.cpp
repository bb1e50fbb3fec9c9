#include "os/bundle/strings_table.h"

#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <string>

#include "os/text/text.h"
#include "os/value/plist.h"

namespace os::strings {
namespace {

bool failAt(Error* error, const std::string& reason, int line) {
  return fail(error, Error(plist::kErrorDomain, plist::kReadCorruptError,
                           reason + " on line " + std::to_string(line)));
}

void appendUtf8(std::string& out, UChar32 codePoint) {
  char buffer[U8_MAX_LENGTH];
  int32_t length = 0;
  U8_APPEND_UNSAFE(buffer, length, codePoint);
  out.append(buffer, static_cast<size_t>(length));
}

enum class Encoding { Utf8, Utf16LittleEndian, Utf16BigEndian };

// Picks the encoding and strips a byte-order mark (see the header for the rules).
Encoding detectEncoding(std::string_view& bytes) {
  auto startsWith = [&](std::string_view prefix) {
    return bytes.substr(0, prefix.size()) == prefix;
  };
  if (startsWith("\xFF\xFE")) {
    bytes.remove_prefix(2);
    return Encoding::Utf16LittleEndian;
  }
  if (startsWith("\xFE\xFF")) {
    bytes.remove_prefix(2);
    return Encoding::Utf16BigEndian;
  }
  if (startsWith("\xEF\xBB\xBF")) {
    bytes.remove_prefix(3);
    return Encoding::Utf8;
  }
  if (bytes.size() >= 2 && bytes.size() % 2 == 0) {
    auto isAscii = [](char c) { return c != '\0' && static_cast<uint8_t>(c) < 0x80; };
    if (isAscii(bytes[0]) && bytes[1] == '\0') return Encoding::Utf16LittleEndian;
    if (bytes[0] == '\0' && isAscii(bytes[1])) return Encoding::Utf16BigEndian;
  }
  return Encoding::Utf8;
}

std::optional<std::string> utf16ToUtf8(std::string_view bytes, bool bigEndian, Error* error) {
  if (bytes.size() % 2 != 0) {
    fail(error, Error(plist::kErrorDomain, plist::kReadCorruptError,
                      "UTF-16 text that ends in the middle of a code unit"));
    return std::nullopt;
  }
  std::u16string units(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) {
    auto first = static_cast<uint8_t>(bytes[2 * i]);
    auto second = static_cast<uint8_t>(bytes[2 * i + 1]);
    units[i] = static_cast<char16_t>(bigEndian ? (first << 8 | second) : (second << 8 | first));
  }
  return text::fromUtf16(units);
}

bool isWordCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '.' || c == '-' || c == '$' || c == ':' || c == '/';
}

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A recursive-descent reader of UTF-8 table text that keeps the current line for its errors.
class Parser {
 public:
  Parser(std::string_view text, Error* error) : text_(text), error_(error) {}

  std::optional<Table> parse() {
    Table table;
    while (true) {
      if (!skipSpaceAndComments()) return std::nullopt;
      if (atEnd()) return table;
      std::optional<std::string> key = readString("a key");
      if (!key) return std::nullopt;
      const int keyLine = line_;
      if (!skipSpaceAndComments()) return std::nullopt;
      if (consume(';')) {
        std::string value = *key;
        table.insert_or_assign(std::move(*key), std::move(value));
        continue;
      }
      if (!consume('=')) {
        failAt(error_, "Missing '=' or ';' after the key \"" + *key + "\"", keyLine);
        return std::nullopt;
      }
      if (!skipSpaceAndComments()) return std::nullopt;
      std::optional<std::string> value = readString("a value after '='");
      if (!value) return std::nullopt;
      const int valueLine = line_;
      if (!skipSpaceAndComments()) return std::nullopt;
      if (!consume(';')) {
        failAt(error_, "Missing ';' after the value of \"" + *key + "\"", valueLine);
        return std::nullopt;
      }
      table.insert_or_assign(std::move(*key), std::move(*value));
    }
  }

 private:
  bool atEnd() const { return position_ >= text_.size(); }
  char peek(size_t ahead = 0) const {
    return position_ + ahead < text_.size() ? text_[position_ + ahead] : '\0';
  }

  // Moves past one byte, counting lines ("\r\n" counts once, a lone "\r" too).
  char advance() {
    const char c = text_[position_++];
    if (c == '\n' || (c == '\r' && peek() != '\n')) ++line_;
    return c;
  }

  bool consume(char expected) {
    if (atEnd() || peek() != expected) return false;
    advance();
    return true;
  }

  // False (with the error set) for a comment that never ends.
  bool skipSpaceAndComments() {
    while (!atEnd()) {
      const char c = peek();
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
        advance();
      } else if (c == '/' && peek(1) == '/') {
        while (!atEnd() && peek() != '\n' && peek() != '\r') advance();
      } else if (c == '/' && peek(1) == '*') {
        const int startLine = line_;
        advance();
        advance();
        while (!(peek() == '*' && peek(1) == '/')) {
          if (atEnd()) return failAt(error_, "Unterminated comment starting", startLine);
          advance();
        }
        advance();
        advance();
      } else {
        break;
      }
    }
    return true;
  }

  // The UTF-8 character at the current position, for error messages.
  std::string currentCharacter() const {
    const size_t length = 1 + U8_COUNT_TRAIL_BYTES(static_cast<uint8_t>(peek()));
    return std::string(text_.substr(position_, length));
  }

  std::optional<std::string> readString(const std::string& what) {
    if (atEnd()) {
      failAt(error_, "Missing " + what + " at the end of the text", line_);
      return std::nullopt;
    }
    if (peek() == '"') return readQuoted();
    if (!isWordCharacter(peek())) {
      failAt(error_,
             "Unexpected character '" + currentCharacter() + "' where " + what + " was expected",
             line_);
      return std::nullopt;
    }
    std::string word;
    while (!atEnd() && isWordCharacter(peek())) word += advance();
    return word;
  }

  std::optional<std::string> readQuoted() {
    const int startLine = line_;
    advance();
    std::string result;
    while (true) {
      if (atEnd()) {
        failAt(error_, "Unterminated quoted string starting", startLine);
        return std::nullopt;
      }
      const char c = advance();
      if (c == '"') return result;
      if (c != '\\') {
        result += c;
      } else if (!readEscape(result, startLine)) {
        return std::nullopt;
      }
    }
  }

  // Reads the escape after a backslash into `out`.
  bool readEscape(std::string& out, int stringStartLine) {
    if (atEnd()) return failAt(error_, "Unterminated quoted string starting", stringStartLine);
    const char c = peek();
    switch (c) {
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case '"':
        out += '"';
        break;
      case '\\':
        out += '\\';
        break;
      case '\'':
        out += '\'';
        break;
      case 'a':
        out += '\a';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'v':
        out += '\v';
        break;
      case 'U':
      case 'u':
        return readUnicodeEscape(out);
      default:
        if (c >= '0' && c <= '7') {
          UChar32 codePoint = 0;
          for (int digits = 0; digits < 3 && peek() >= '0' && peek() <= '7'; ++digits) {
            codePoint = codePoint * 8 + (advance() - '0');
          }
          appendUtf8(out, codePoint);
          return true;
        }
        return failAt(error_, "Invalid escape sequence '\\" + currentCharacter() + "'", line_);
    }
    advance();
    return true;
  }

  // At the "U" or "u" of an escape: one to four hex digits, a UTF-16 code unit. A high
  // surrogate must be followed at once by the escape of its low surrogate.
  std::optional<uint16_t> readCodeUnit() {
    advance();
    int value = 0;
    int digits = 0;
    while (digits < 4 && hexDigitValue(peek()) >= 0) {
      value = value * 16 + hexDigitValue(advance());
      ++digits;
    }
    if (digits == 0) {
      failAt(error_, "Invalid escape sequence: \\U without hexadecimal digits", line_);
      return std::nullopt;
    }
    return static_cast<uint16_t>(value);
  }

  bool readUnicodeEscape(std::string& out) {
    const std::optional<uint16_t> unit = readCodeUnit();
    if (!unit) return false;
    if (!U16_IS_SURROGATE(*unit)) {
      appendUtf8(out, *unit);
      return true;
    }
    if (U16_IS_SURROGATE_LEAD(*unit) && peek() == '\\' && (peek(1) == 'U' || peek(1) == 'u')) {
      advance();
      const std::optional<uint16_t> trail = readCodeUnit();
      if (!trail) return false;
      if (U16_IS_TRAIL(*trail)) {
        appendUtf8(out, U16_GET_SUPPLEMENTARY(*unit, *trail));
        return true;
      }
    }
    return failAt(error_, "Invalid escape sequence: unpaired UTF-16 surrogate", line_);
  }

  std::string_view text_;
  Error* error_;
  size_t position_ = 0;
  int line_ = 1;
};

bool isPropertyList(std::string_view bytes) {
  if (bytes.substr(0, 8) == "bplist00") return true;
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  const size_t start = bytes.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos) return false;
  bytes.remove_prefix(start);
  return bytes.substr(0, 5) == "<?xml" || bytes.substr(0, 6) == "<plist";
}

std::optional<Table> parsePropertyList(std::string_view bytes, Error* error) {
  std::optional<Value> value = plist::parse(bytes, error);
  if (!value) return std::nullopt;
  const Dictionary* dictionary = value->asDictionary();
  if (dictionary == nullptr) {
    fail(error, Error(plist::kErrorDomain, plist::kReadCorruptError,
                      "The property list is not a dictionary of strings"));
    return std::nullopt;
  }
  Table table;
  for (const auto& [key, entry] : *dictionary) {
    const std::string* text = entry.asString();
    if (text == nullptr) {
      fail(error, Error(plist::kErrorDomain, plist::kReadCorruptError,
                        "The property list's value for \"" + key + "\" is not a string"));
      return std::nullopt;
    }
    table.emplace(key, *text);
  }
  return table;
}

}  // namespace

std::optional<Table> parse(std::string_view bytes, Error* error) {
  if (isPropertyList(bytes)) return parsePropertyList(bytes, error);
  const Encoding encoding = detectEncoding(bytes);
  if (encoding == Encoding::Utf8) {
    if (!text::isValidUtf8(bytes)) {
      fail(error, Error(plist::kErrorDomain, plist::kReadCorruptError,
                        "The text is neither UTF-8 nor UTF-16"));
      return std::nullopt;
    }
    return Parser(bytes, error).parse();
  }
  std::optional<std::string> decoded =
      utf16ToUtf8(bytes, encoding == Encoding::Utf16BigEndian, error);
  if (!decoded) return std::nullopt;
  return Parser(*decoded, error).parse();
}

}  // namespace os::strings
