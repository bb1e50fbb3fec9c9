// Value (APMValue): the typed value of an event parameter or a user property. A 64-bit float,
// a 64-bit integer, a string, or an array (the "items" of e-commerce events, whose elements are
// dictionaries). Immutable once made; copies share the stored array.
//
//   std::optional<Value> v = Value::valueFromObject(os::Value(2.5));      // a double
//   Value::valueFromObject(os::Value(true))->int64Value();                 // 1
//   Value(1.0) == Value(int64_t{1});                                        // false: kinds differ
//
// Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "os/value/value.h"

namespace measurement {

class Value {
 public:
  enum class Kind : int64_t { kDouble = 0, kInt64 = 1, kString = 2, kArray = 3 };

  explicit Value(double value) : storage_(value) {}
  explicit Value(int64_t value) : storage_(value) {}
  explicit Value(std::string value) : storage_(std::move(value)) {}
  // Keeps its own copy of `items`: changing them afterwards does not change the value.
  explicit Value(os::Array items) : storage_(std::make_shared<const os::Array>(std::move(items))) {}

  // A string as a string, a Real as a double, an integer or boolean as an int64 (an unsigned
  // above the int64 range saturates), an array only when `allowArray`. Anything else (null,
  // data, dates, dictionaries, a refused array) logs and gives nullopt.
  static std::optional<Value> valueFromObject(const os::Value& object, bool allowArray = false);
  // A string value of `object`, or nullopt (logged) when it is null or not a string.
  static std::optional<Value> initWithString(const os::Value& object);
  // An array value of `object`, or nullopt (logged) when it is null or not an array.
  static std::optional<Value> initWithArray(const os::Value& object);

  Kind valueType() const { return static_cast<Kind>(storage_.index()); }
  bool isDouble() const { return valueType() == Kind::kDouble; }
  bool isInt64() const { return valueType() == Kind::kInt64; }
  bool isString() const { return valueType() == Kind::kString; }
  bool isArray() const { return valueType() == Kind::kArray; }

  // Each answers the value of its own kind only: 0.0, 0, nullptr for the others (an int64's
  // doubleValue is 0.0, a double's int64Value 0, never a conversion).
  double doubleValue() const;
  int64_t int64Value() const;
  const std::string* stringValue() const { return std::get_if<std::string>(&storage_); }
  const os::Array* arrayValue() const;

  // The stored object as a plain value (a double as Real, an int64 as Integer).
  os::Value object() const;
  // The stored object's description.
  std::string description() const;

  // Same kind and equal stored objects: the double 1.0 and the int64 1 differ; array elements
  // compare as plain values.
  friend bool operator==(const Value& a, const Value& b);
  // Consistent with ==: the stored object's hash XOR the kind times 31.
  size_t hash() const;

 private:
  std::variant<double, int64_t, std::string, std::shared_ptr<const os::Array>> storage_;
};

// Parameters of an event, by name.
using Parameters = std::map<std::string, Value, std::less<>>;

}  // namespace measurement

template <>
struct std::hash<measurement::Value> {
  size_t operator()(const measurement::Value& value) const { return value.hash(); }
};
