// Conversion between program entities, runtime values and host values (os::Value: event
// parameters, module results).
//
//   Value statement = runtimeValueFromRuntimeEntity(entity, &error);
//   Value map = runtimeValueFromHost(os::Dictionary{{"a", 1}}, scope, &error);   // tracked map
//   std::optional<os::Value> host = hostFromRuntimeValue(map, &error);          // {a = 1.0}
//
// Host to runtime: null to null, booleans to booleans, every number to a number, strings,
// dictionaries to tracked maps and arrays to tracked arrays; data and dates fail with runtime
// error 13. Runtime to host: null is "nothing" (nullopt: the caller leaves the entry out),
// undefined is "", maps and arrays convert deeply (a value that contains itself stops the
// conversion with runtime error 10), anything else becomes a double when its number form is a
// number and its string form otherwise; statement and control values fail with error 5.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>

#include "measurement/runtime/value.h"
#include "measurement/wire/schema/apmpb.h"
#include "os/value/value.h"

namespace measurement::runtime {

// Gives equal literal texts one shared string value, so that name lookups mostly compare
// pointers.
class StringInterner {
 public:
  Ref<APMPStringValue> intern(std::u16string text);

 private:
  std::unordered_map<std::u16string, Ref<APMPStringValue>> strings_;
};

// Entity to value: literals become values (absent fields read "", NaN, false); statements become
// statement values with converted arguments. Runtime error 12 for a type other than 1-4, 14 for a
// statement without a name.
Value runtimeValueFromRuntimeEntity(const APMPBRuntimeEntity& entity, os::Error* error,
                                    StringInterner* interner = nullptr);

Value runtimeValueFromHost(const os::Value& host, APMPScope& scope, os::Error* error);
std::optional<os::Value> hostFromRuntimeValue(const Value& value, os::Error* error);
// The properties of a map (or function) whose values convert to something.
os::Dictionary dictionaryFromMapValue(const APMPContainerValue& map, os::Error* error);

}  // namespace measurement::runtime
