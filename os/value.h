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

  // The platform's description: strings bare at top level and quoted inside collections when
  // they hold anything but letters, digits and "_" ; numbers as %g-style texts; booleans 1/0;
  // data as <0a1b 2c3d>; dates as "2001-01-01 00:00:00 +0000"; arrays "(\n    a,\n    b\n)";
  // dictionaries "{\n    key = value;\n}".
  std::string description() const;

  // Deep equality. Numbers compare by value across Integer, Unsigned and Real; a Boolean equals
  // only a Boolean.
  friend bool operator==(const Value& a, const Value& b);

 private:
  std::variant<std::monostate, bool, int64_t, uint64_t, double, std::string, os::Data, os::Date,
               os::Array, os::Dictionary>
      storage_;
};

// The shared null value that lookups return for a missing entry.
const Value& nullValue();

}  // namespace os
