#include "os/value/value.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <ostream>

#include "os/value/value_utf8.h"

namespace os {
namespace {

constexpr double kTwoTo63 = 9223372036854775808.0;   // 2^63
constexpr double kTwoTo64 = 18446744073709551616.0;  // 2^64

// The blanks the platform's numeric string accessors skip before the number.
bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

size_t skipBlanks(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && isBlank(text[i])) ++i;
  return i;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The leading integer of `text` (blanks, optional sign, decimal digits) as a sign and a
// magnitude that saturates at UINT64_MAX. No digits gives zero.
struct LeadingInteger {
  bool negative = false;
  uint64_t magnitude = 0;
  bool saturated = false;
};

LeadingInteger leadingInteger(std::string_view text) {
  LeadingInteger result;
  size_t i = skipBlanks(text);
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) result.negative = text[i++] == '-';
  for (; i < text.size() && isDigit(text[i]); ++i) {
    uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    if (result.magnitude > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
      result.saturated = true;
      result.magnitude = std::numeric_limits<uint64_t>::max();
    } else if (!result.saturated) {
      result.magnitude = result.magnitude * 10 + digit;
    }
  }
  return result;
}

int64_t stringIntegerValue(std::string_view text) {
  LeadingInteger n = leadingInteger(text);
  constexpr uint64_t kMaxPositive = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (n.negative) {
    if (n.magnitude > kMaxPositive) return std::numeric_limits<int64_t>::min();
    return -static_cast<int64_t>(n.magnitude);
  }
  if (n.magnitude > kMaxPositive) return std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(n.magnitude);
}

uint64_t stringUnsignedValue(std::string_view text) {
  LeadingInteger n = leadingInteger(text);
  return n.negative ? 0 : n.magnitude;
}

// NSString.doubleValue: the leading decimal number (blanks, sign, digits, point, exponent);
// HUGE_VAL on overflow, 0 on underflow, 0 when the text does not start with a number.
double stringDoubleValue(std::string_view text) {
  size_t i = skipBlanks(text);
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const size_t start = i;
  size_t integerDigits = 0;       // significant digits before the point
  long leadingFractionZeros = 0;  // zeros after the point before the first significant digit
  bool seenSignificant = false;
  bool anyDigit = false;
  for (; i < text.size() && isDigit(text[i]); ++i) {
    anyDigit = true;
    if (text[i] != '0') seenSignificant = true;
    if (seenSignificant) ++integerDigits;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    for (; i < text.size() && isDigit(text[i]); ++i) {
      anyDigit = true;
      if (text[i] != '0') seenSignificant = true;
      if (!seenSignificant) ++leadingFractionZeros;
    }
  }
  if (!anyDigit) return 0;
  long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    size_t j = i + 1;
    bool negativeExponent = false;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) negativeExponent = text[j++] == '-';
    if (j < text.size() && isDigit(text[j])) {
      for (; j < text.size() && isDigit(text[j]); ++j) {
        if (exponent < 100000) exponent = exponent * 10 + (text[j] - '0');
      }
      if (negativeExponent) exponent = -exponent;
      i = j;
    }
  }
  double value = 0;
  auto [end, status] =
      std::from_chars(text.data() + start, text.data() + i, value, std::chars_format::general);
  (void)end;
  if (status == std::errc::result_out_of_range) {
    // Decimal magnitude of the number: positive for overflow, otherwise an underflow.
    long magnitude = integerDigits > 0 ? static_cast<long>(integerDigits) : -leadingFractionZeros;
    value = magnitude + exponent > 0 ? HUGE_VAL : 0.0;
  } else if (status != std::errc()) {
    value = 0;
  }
  return negative ? -value : value;
}

// NSString.boolValue: after blanks, an optional sign and leading zeros, true when the next
// character is one of "YyTt" or a digit 1-9.
bool stringBoolValue(std::string_view text) {
  size_t i = skipBlanks(text);
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  while (i < text.size() && text[i] == '0') ++i;
  if (i >= text.size()) return false;
  char c = text[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

int64_t realToInteger(double value) {
  if (std::isnan(value)) return 0;
  if (value >= kTwoTo63) return std::numeric_limits<int64_t>::max();
  if (value < -kTwoTo63) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);  // truncates toward zero
}

uint64_t realToUnsigned(double value) {
  if (std::isnan(value) || value <= -1.0) return 0;
  if (value >= kTwoTo64) return std::numeric_limits<uint64_t>::max();
  if (value < 0) return 0;
  return static_cast<uint64_t>(value);
}

// The shortest text that reads back as the same double, laid out as "%.17g" lays it out:
// 0.1 -> "0.1", 3.0 -> "3", 1200.0 -> "1200", 1e17 -> "1e+17", 1.5e-7 -> "1.5e-07".
std::string formatReal(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // to_chars with a precision is "%.*g" without the locale's decimal separator.
  char buffer[64];
  char* end = buffer;
  int precision = 1;
  for (; precision <= 17; ++precision) {
    end =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, precision)
            .ptr;
    double back = 0;
    std::from_chars(buffer, end, back, std::chars_format::general);
    if (back == value) break;
  }
  // "%.Ng" turns to an exponent from 10^N on, "%.17g" only from 10^17: an integral value with
  // fewer significant digits than integer digits is written out in full.
  double magnitude = std::fabs(value);
  if (magnitude >= std::pow(10.0, precision) && magnitude < 1e17) {
    end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 0).ptr;
  }
  return std::string(buffer, end);
}

std::string formatDate(const Date& date) {
  double seconds = std::floor(date.secondsSince1970);
  // Beyond +-10^15 s (30 million years) gmtime has no answer; such dates print clamped.
  constexpr double kLimit = 1e15;
  if (std::isnan(seconds)) seconds = 0;
  if (seconds > kLimit) seconds = kLimit;
  if (seconds < -kLimit) seconds = -kLimit;
  std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  if (!gmtime_r(&time, &parts)) return "<invalid date>";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04lld-%02d-%02d %02d:%02d:%02d +0000",
                static_cast<long long>(parts.tm_year) + 1900, parts.tm_mon + 1, parts.tm_mday,
                parts.tm_hour, parts.tm_min, parts.tm_sec);
  return buffer;
}

std::string formatData(const Data& data) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text = "<";
  for (size_t i = 0; i < data.size(); ++i) {
    if (i > 0 && i % 4 == 0) text += ' ';
    text += kHex[data[i] >> 4];
    text += kHex[data[i] & 0xf];
  }
  text += '>';
  return text;
}

// Inside a collection a leaf's text is quoted unless it is non-empty and made only of ASCII
// letters, digits and "_./$:".
bool needsQuotes(std::string_view text) {
  if (text.empty()) return true;
  for (char c : text) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c) || c == '_' ||
                 c == '.' || c == '/' || c == '$' || c == ':';
    if (!plain) return true;
  }
  return false;
}

void appendQuotedIfNeeded(std::string_view text, std::string& out) {
  if (!needsQuotes(text)) {
    out += text;
    return;
  }
  out += '"';
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\U%04x", static_cast<unsigned char>(c));
          out += escape;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

// The text of a non-collection value, as description() gives it at top level.
std::string leafText(const Value& value) {
  switch (value.type()) {
    case Value::Type::Null:
      return "<null>";
    case Value::Type::Boolean:
      return *value.asBool() ? "1" : "0";
    case Value::Type::Integer:
      return std::to_string(*value.asInteger());
    case Value::Type::Unsigned:
      return std::to_string(*value.asUnsigned());
    case Value::Type::Real:
      return formatReal(*value.asReal());
    case Value::Type::String:
      return *value.asString();
    case Value::Type::Data:
      return formatData(*value.asData());
    case Value::Type::Date:
      return formatDate(*value.asDate());
    case Value::Type::Array:
    case Value::Type::Dictionary:
      break;
  }
  return {};
}

std::string indentation(int level) { return std::string(static_cast<size_t>(level) * 4, ' '); }

// Appends the description of `value` as an element at nesting `level` (level 0 is top level).
// A collection starts with its own indentation, as the platform's descriptionWithLocale:indent:
// does, which gives the familiar "key =     {" of nested dictionaries.
void describe(const Value& value, int level, std::string& out) {
  if (const Array* array = value.asArray()) {
    const std::string indent = indentation(level);
    out += indent;
    if (array->empty()) {
      out += "()";
      return;
    }
    out += "(\n";
    for (size_t i = 0; i < array->size(); ++i) {
      out += indent;
      out += "    ";
      describe((*array)[i], level + 1, out);
      out += i + 1 < array->size() ? ",\n" : "\n";
    }
    out += indent;
    out += ')';
  } else if (const Dictionary* dictionary = value.asDictionary()) {
    const std::string indent = indentation(level);
    out += indent;
    if (dictionary->empty()) {
      out += "{}";
      return;
    }
    out += "{\n";
    for (const auto& [key, item] : *dictionary) {
      out += indent;
      out += "    ";
      appendQuotedIfNeeded(key, out);
      out += " = ";
      describe(item, level + 1, out);
      out += ";\n";
    }
    out += indent;
    out += '}';
  } else if (level == 0) {
    out += leafText(value);
  } else {
    appendQuotedIfNeeded(leafText(value), out);
  }
}

bool integerEqualsReal(int64_t integer, double real) {
  if (std::isnan(real) || real < -kTwoTo63 || real >= kTwoTo63 || std::trunc(real) != real) {
    return false;
  }
  return static_cast<int64_t>(real) == integer;
}

bool unsignedEqualsReal(uint64_t integer, double real) {
  if (std::isnan(real) || real < 0 || real >= kTwoTo64 || std::trunc(real) != real) return false;
  return static_cast<uint64_t>(real) == integer;
}

bool integerEqualsUnsigned(int64_t integer, uint64_t unsignedInteger) {
  return integer >= 0 && static_cast<uint64_t>(integer) == unsignedInteger;
}

}  // namespace

namespace internal {
namespace {

// The length of the well-formed UTF-8 sequence at `text[i]`, or 0 when it is ill-formed
// (overlong forms, surrogates and code points above U+10FFFF are ill-formed).
size_t utf8SequenceLength(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char c = byte(i);
  if (c < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xbf;  // the range of the second byte
  if (c >= 0xc2 && c <= 0xdf) {
    length = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    length = 3;
    if (c == 0xe0) low = 0xa0;
    if (c == 0xed) high = 0x9f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    length = 4;
    if (c == 0xf0) low = 0x90;
    if (c == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xbf) return 0;
  }
  return length;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    size_t length = utf8SequenceLength(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string sanitizeUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t length = utf8SequenceLength(text, i);
    if (length == 0) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      unsigned char c = static_cast<unsigned char>(text[i]);
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
      ++i;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

}  // namespace internal

Value::Value(const Value& other) = default;
Value::Value(Value&& other) noexcept = default;
Value& Value::operator=(const Value& other) = default;
Value& Value::operator=(Value&& other) noexcept = default;
Value::~Value() = default;

bool Value::isNumber() const {
  Type t = type();
  return t == Type::Integer || t == Type::Unsigned || t == Type::Real;
}

bool Value::isInteger() const {
  Type t = type();
  return t == Type::Integer || t == Type::Unsigned;
}

bool Value::boolValue() const {
  switch (type()) {
    case Type::Boolean:
      return *asBool();
    case Type::Integer:
      return *asInteger() != 0;
    case Type::Unsigned:
      return *asUnsigned() != 0;
    case Type::Real:
      return *asReal() != 0;
    case Type::String:
      return stringBoolValue(*asString());
    default:
      return false;
  }
}

int64_t Value::integerValue() const {
  switch (type()) {
    case Type::Boolean:
      return *asBool() ? 1 : 0;
    case Type::Integer:
      return *asInteger();
    case Type::Unsigned: {
      uint64_t value = *asUnsigned();
      constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
      return value > kMax ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(value);
    }
    case Type::Real:
      return realToInteger(*asReal());
    case Type::String:
      return stringIntegerValue(*asString());
    default:
      return 0;
  }
}

uint64_t Value::unsignedValue() const {
  switch (type()) {
    case Type::Boolean:
      return *asBool() ? 1 : 0;
    case Type::Integer: {
      int64_t value = *asInteger();
      return value < 0 ? 0 : static_cast<uint64_t>(value);
    }
    case Type::Unsigned:
      return *asUnsigned();
    case Type::Real:
      return realToUnsigned(*asReal());
    case Type::String:
      return stringUnsignedValue(*asString());
    default:
      return 0;
  }
}

double Value::doubleValue() const {
  switch (type()) {
    case Type::Boolean:
      return *asBool() ? 1.0 : 0.0;
    case Type::Integer:
      return static_cast<double>(*asInteger());
    case Type::Unsigned:
      return static_cast<double>(*asUnsigned());
    case Type::Real:
      return *asReal();
    case Type::String:
      return stringDoubleValue(*asString());
    default:
      return 0;
  }
}

std::optional<std::string> Value::stringValue() const {
  switch (type()) {
    case Type::String:
    case Type::Boolean:
    case Type::Integer:
    case Type::Unsigned:
    case Type::Real:
      return leafText(*this);
    default:
      return std::nullopt;
  }
}

const Value& Value::operator[](std::string_view key) const {
  if (const Dictionary* dictionary = asDictionary()) {
    auto found = dictionary->find(key);
    if (found != dictionary->end()) return found->second;
  }
  return nullValue();
}

const Value& Value::operator[](size_t index) const {
  if (const Array* array = asArray()) {
    if (index < array->size()) return (*array)[index];
  }
  return nullValue();
}

size_t Value::count() const {
  if (const Array* array = asArray()) return array->size();
  if (const Dictionary* dictionary = asDictionary()) return dictionary->size();
  return 0;
}

std::string Value::description() const {
  std::string out;
  describe(*this, 0, out);
  return out;
}

bool operator==(const Value& a, const Value& b) {
  using Type = Value::Type;
  const Type ta = a.type();
  const Type tb = b.type();
  if (a.isNumber() && b.isNumber()) {
    if (ta == Type::Real && tb == Type::Real) {
      double x = *a.asReal();
      double y = *b.asReal();
      return x == y || (std::isnan(x) && std::isnan(y));
    }
    if (ta == Type::Integer && tb == Type::Integer) return *a.asInteger() == *b.asInteger();
    if (ta == Type::Unsigned && tb == Type::Unsigned) return *a.asUnsigned() == *b.asUnsigned();
    if (ta == Type::Integer && tb == Type::Unsigned) {
      return integerEqualsUnsigned(*a.asInteger(), *b.asUnsigned());
    }
    if (ta == Type::Unsigned && tb == Type::Integer) {
      return integerEqualsUnsigned(*b.asInteger(), *a.asUnsigned());
    }
    if (ta == Type::Integer) return integerEqualsReal(*a.asInteger(), *b.asReal());
    if (tb == Type::Integer) return integerEqualsReal(*b.asInteger(), *a.asReal());
    if (ta == Type::Unsigned) return unsignedEqualsReal(*a.asUnsigned(), *b.asReal());
    return unsignedEqualsReal(*b.asUnsigned(), *a.asReal());
  }
  if (ta != tb) return false;
  switch (ta) {
    case Type::Null:
      return true;
    case Type::Boolean:
      return *a.asBool() == *b.asBool();
    case Type::String:
      return *a.asString() == *b.asString();
    case Type::Data:
      return *a.asData() == *b.asData();
    case Type::Date:
      return *a.asDate() == *b.asDate();
    case Type::Array:
      return *a.asArray() == *b.asArray();
    case Type::Dictionary:
      return *a.asDictionary() == *b.asDictionary();
    default:
      return false;  // numbers are handled above
  }
}

std::ostream& operator<<(std::ostream& out, const Value& value) {
  return out << value.description();
}

std::ostream& operator<<(std::ostream& out, Value::Type type) {
  static constexpr const char* kNames[] = {"Null",  "Boolean",   "Integer", "Unsigned",
                                           "Real",  "String",    "Data",    "Date",
                                           "Array", "Dictionary"};
  size_t index = static_cast<size_t>(type);
  return out << (index < std::size(kNames) ? kNames[index] : "Unknown");
}

const Value& nullValue() {
  static const Value null;
  return null;
}

}  // namespace os
