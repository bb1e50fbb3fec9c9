#include "measurement/foundation/value.h"

#include <cmath>
#include <functional>

#include "measurement/foundation/monitor.h"

namespace measurement {
namespace {

// Logs why `object` cannot make a value of the kind asked for: null, or another kind.
void logRefusal(const os::Value& object, int64_t nullCode, std::string_view nullMessage,
                int64_t otherCode, std::string_view otherMessage) {
  if (object.isNull()) {
    monitor().log(MonitorLevel::kError, nullCode, nullMessage);
  } else {
    monitor().log(MonitorLevel::kError, otherCode, otherMessage, object);
  }
}

}  // namespace

std::optional<Value> Value::valueFromObject(const os::Value& object, bool allowArray) {
  switch (object.type()) {
    case os::Value::Type::Null:
      monitor().log(MonitorLevel::kError, 35000, "Cannot create Value type with nil value");
      return std::nullopt;
    case os::Value::Type::String:
      return std::make_optional<Value>(*object.asString());
    case os::Value::Type::Real:
      return std::make_optional<Value>(*object.asReal());
    case os::Value::Type::Boolean:
    case os::Value::Type::Integer:
    case os::Value::Type::Unsigned:
      return std::make_optional<Value>(object.integerValue());
    case os::Value::Type::Array:
      if (allowArray) return std::make_optional<Value>(*object.asArray());
      break;
    default:
      break;
  }
  monitor().log(MonitorLevel::kError, 35001,
                "Cannot create Value type with unsupported value. The Value has to be "
                "NSNumber, NSString or NSArray (if supported). Value",
                object);
  return std::nullopt;
}

std::optional<Value> Value::initWithString(const os::Value& object) {
  if (const std::string* text = object.asString()) return std::make_optional<Value>(*text);
  logRefusal(object, 35002, "Cannot create String value with nil", 35003,
             "Cannot create String value with non-string value. Value");
  return std::nullopt;
}

std::optional<Value> Value::initWithArray(const os::Value& object) {
  if (const os::Array* items = object.asArray()) return std::make_optional<Value>(*items);
  logRefusal(object, 35004, "Cannot create Array value with nil", 35005,
             "Cannot create Array value with non-array value. Value");
  return std::nullopt;
}

double Value::doubleValue() const {
  const double* value = std::get_if<double>(&storage_);
  return value ? *value : 0.0;
}

int64_t Value::int64Value() const {
  const int64_t* value = std::get_if<int64_t>(&storage_);
  return value ? *value : 0;
}

const os::Array* Value::arrayValue() const {
  const auto* items = std::get_if<std::shared_ptr<const os::Array>>(&storage_);
  return items ? items->get() : nullptr;
}

os::Value Value::object() const {
  return std::visit(
      [](const auto& stored) -> os::Value {
        using Stored = std::decay_t<decltype(stored)>;
        if constexpr (std::is_same_v<Stored, std::shared_ptr<const os::Array>>) {
          return *stored;
        } else {
          return stored;
        }
      },
      storage_);
}

std::string Value::description() const { return object().description(); }

bool operator==(const Value& a, const Value& b) {
  if (a.valueType() != b.valueType()) return false;
  switch (a.valueType()) {
    case Value::Kind::kDouble: {
      // Two NaNs are equal, as the platform's numbers have it, so that equality is reflexive.
      double x = a.doubleValue(), y = b.doubleValue();
      return x == y || (std::isnan(x) && std::isnan(y));
    }
    case Value::Kind::kInt64:
      return a.int64Value() == b.int64Value();
    case Value::Kind::kString:
      return *a.stringValue() == *b.stringValue();
    case Value::Kind::kArray:
      return *a.arrayValue() == *b.arrayValue();
  }
  return false;
}

size_t Value::hash() const {
  size_t stored = 0;
  switch (valueType()) {
    case Kind::kDouble: {
      double value = doubleValue();
      // Equal doubles hash alike: every NaN one way, -0.0 as 0.0.
      stored = std::isnan(value) ? 0x7ff8 : std::hash<double>{}(value == 0 ? 0.0 : value);
      break;
    }
    case Kind::kInt64:
      stored = std::hash<int64_t>{}(int64Value());
      break;
    case Kind::kString:
      stored = std::hash<std::string>{}(*stringValue());
      break;
    case Kind::kArray:
      // Arrays that compare equal have the same count; their elements have no hash of their own.
      stored = arrayValue()->size();
      break;
  }
  return stored ^ (static_cast<size_t>(valueType()) * 31);
}

}  // namespace measurement
