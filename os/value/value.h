// os::Value is the dynamic object of the system: what the desktop platform kept in its
// dictionaries, arrays, numbers, strings, data and dates (property lists, JSON documents,
// parameter dictionaries, user info of errors and notifications).
//
// A boolean stays a boolean: Value(true) is never the integer 1, and the two compare unequal.
// Signed and unsigned integers are separate kinds so that a uint64 above INT64_MAX survives a
// round trip; numeric comparison and the numeric accessors treat them as one number.
//
//   os::Value params = os::Dictionary{{"ea", "Launch"}, {"count", 3}, {"pro", true}};
//   if (const std::string* action = params["ea"].asString()) { ... }
//   int64_t count = params["count"].integerValue();   // 3
//   params.description();                            // the platform's description text
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace os {

class Value;

using Data = std::vector<uint8_t>;
using Array = std::vector<Value>;
// Keys are kept sorted, which makes serialisation and descriptions deterministic.
using Dictionary = std::map<std::string, Value, std::less<>>;

// A point in time: seconds since 1970-01-01 00:00:00 UTC.
struct Date {
  double secondsSince1970 = 0;
  friend bool operator==(const Date&, const Date&) = default;
};

class Value {
 public:
  enum class Type { Null, Boolean, Integer, Unsigned, Real, String, Data, Date, Array, Dictionary };

  Value() = default;
  // Copies, moves and destruction are defined in value.cpp: inlined into callers, g++ 12 at -O2
  // reports false -Wmaybe-uninitialized warnings in std::variant's move of a freshly built
  // Value (as in `array.push_back(5)`), which -Werror turns into errors.
  Value(const Value& other);
  Value(Value&& other) noexcept;
  Value& operator=(const Value& other);
  Value& operator=(Value&& other) noexcept;
  ~Value();
  Value(std::nullptr_t) {}
  Value(bool value) : storage_(value) {}
  Value(int value) : storage_(int64_t{value}) {}
  Value(long value) : storage_(int64_t{value}) {}
  Value(long long value) : storage_(int64_t{value}) {}
  Value(unsigned value) : storage_(uint64_t{value}) {}
  Value(unsigned long value) : storage_(uint64_t{value}) {}
  Value(unsigned long long value) : storage_(uint64_t{value}) {}
  Value(double value) : storage_(value) {}
  Value(const char* value) : storage_(std::string(value)) {}
  Value(std::string_view value) : storage_(std::string(value)) {}
  Value(std::string value) : storage_(std::move(value)) {}
  Value(os::Data value) : storage_(std::move(value)) {}
  Value(os::Date value) : storage_(value) {}
  Value(os::Array value) : storage_(std::move(value)) {}
  Value(os::Dictionary value) : storage_(std::move(value)) {}

  Type type() const { return static_cast<Type>(storage_.index()); }
  bool isNull() const { return type() == Type::Null; }
  bool isBool() const { return type() == Type::Boolean; }
  // Integer, Unsigned or Real (not Boolean).
  bool isNumber() const;
  // Integer or Unsigned.
  bool isInteger() const;
  bool isString() const { return type() == Type::String; }
  bool isData() const { return type() == Type::Data; }
  bool isDate() const { return type() == Type::Date; }
  bool isArray() const { return type() == Type::Array; }
  bool isDictionary() const { return type() == Type::Dictionary; }

  // Typed access: a pointer to the held value, or nullptr when the value is of another kind.
  const bool* asBool() const { return std::get_if<bool>(&storage_); }
  const int64_t* asInteger() const { return std::get_if<int64_t>(&storage_); }
  const uint64_t* asUnsigned() const { return std::get_if<uint64_t>(&storage_); }
  const double* asReal() const { return std::get_if<double>(&storage_); }
  const std::string* asString() const { return std::get_if<std::string>(&storage_); }
  const os::Data* asData() const { return std::get_if<os::Data>(&storage_); }
  const os::Date* asDate() const { return std::get_if<os::Date>(&storage_); }
  const os::Array* asArray() const { return std::get_if<os::Array>(&storage_); }
  const os::Dictionary* asDictionary() const { return std::get_if<os::Dictionary>(&storage_); }
  os::Array* asArray() { return std::get_if<os::Array>(&storage_); }
  os::Dictionary* asDictionary() { return std::get_if<os::Dictionary>(&storage_); }

  // The platform's coercions of numbers and numeric strings (boolValue, longLongValue,
  // doubleValue): booleans and numbers convert, strings are parsed from their leading number
  // ("12abc" is 12, "YES"/"true" are true), everything else gives false or 0.
  //  - boolValue: a number is true when non-zero (NaN included); a string, after leading blanks,
  //    an optional sign and leading zeros, is true when it goes on with one of "YyTt" or a digit
  //    1-9 (NSString.boolValue: "YES", "true", "y", "7", "-1", "007" are true; "0.5", "no" and
  //    "" are false).
  //  - integerValue/unsignedValue: reals truncate toward zero; out of range saturates (an
  //    Unsigned above INT64_MAX gives INT64_MAX, a negative gives unsignedValue 0, NaN gives 0);
  //    a string gives its leading decimal integer after blanks and a sign ("12abc" 12, "3.9" 3,
  //    "1e3" 1), saturating.
  //  - doubleValue: a string gives its leading decimal number with fraction and exponent
  //    ("1e3" 1000, ".5" 0.5), +-HUGE_VAL on overflow, 0 on underflow or when there is none;
  //    independent of the C locale.
  bool boolValue() const;
  int64_t integerValue() const;
  uint64_t unsignedValue() const;
  double doubleValue() const;
  // A string as itself, a number or boolean as its description; nullopt for other kinds.
  std::optional<std::string> stringValue() const;

  // Dictionary lookup; a missing key, or a value that is not a dictionary, gives null.
  const Value& operator[](std::string_view key) const;
  // Array element; an index out of range, or a value that is not an array, gives null.
  const Value& operator[](size_t index) const;
  // Number of elements of an array or entries of a dictionary, else 0.
  size_t count() const;

  // The platform's description (NSArray/NSDictionary descriptionWithLocale:indent:):
  //  - top level: a string as itself; integers in decimal; reals in the fewest digits that read
  //    back as the same double, laid out as "%.17g" ("0.1", "3", "1200", "1e+17", "nan",
  //    "inf"); booleans "1"/"0";
  //    data "<0a1b2c3d 4e5f>" (lower-case hex, a blank after every 4 bytes, "<>" when empty);
  //    dates "2001-01-01 00:00:00 +0000" (UTC, seconds floored); null "<null>".
  //  - arrays "(\n    a,\n    b\n)", dictionaries "{\n    key = value;\n}" with keys in
  //    sorted (byte) order; "()" and "{}" when empty.
  //  - inside a collection, every key and every non-collection element is quoted when its text
  //    is empty or holds anything but ASCII letters, digits and "_./$:" (so "a-b", "-1",
  //    "1e+100", "<null>", data and dates are quoted, as the platform quotes them); quoting
  //    escapes '"' and '\\' and writes newline, return and tab as \n, \r, \t and other control
  //    characters as \U00XX; non-ASCII text is kept as UTF-8 (the platform wrote \Uxxxx).
  //  - a nested collection starts with its own indentation, four spaces per level, as on the
  //    platform: {a = (1);} prints "{\n    a =     (\n        1\n    );\n}".
  std::string description() const;

  // Deep equality. Numbers compare by exact value across Integer, Unsigned and Real (1 == 1u
  // == 1.0, but 2^53 + 1 != 2^53 as a double); NaN equals NaN, as NSNumber's isEqual: has it,
  // so that equality is reflexive. A Boolean equals only a Boolean; strings, data, dates,
  // arrays and dictionaries compare deeply.
  friend bool operator==(const Value& a, const Value& b);

 private:
  std::variant<std::monostate, bool, int64_t, uint64_t, double, std::string, os::Data, os::Date,
               os::Array, os::Dictionary>
      storage_;
};

// The shared null value that lookups return for a missing entry.
const Value& nullValue();

// Writes description(); also what test frameworks print for a Value.
std::ostream& operator<<(std::ostream& out, const Value& value);
// Writes the kind's name ("Integer", "Dictionary", ...).
std::ostream& operator<<(std::ostream& out, Value::Type type);

}  // namespace os
