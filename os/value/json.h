// JSON documents as os::Value, through nlohmann-json. JSON true/false become booleans,
// integers become Integer (or Unsigned above INT64_MAX; an integer beyond the 64-bit ranges
// becomes Real), other numbers Real, null Null. Data, dates and non-finite reals have no JSON
// form and are refused when writing, as the platform's serializer refuses them.
//
// Reading: strict RFC 8259 text in UTF-8 (a UTF-8 byte-order mark is skipped); invalid UTF-8,
// unpaired \u surrogates, numbers that overflow a double, trailing text and more than 512
// nested arrays/dictionaries are errors. Duplicate keys keep the last value.
//
// Writing: compact by default; `prettyPrinted` indents by two spaces per level and writes
// `"key": value`. Keys come out sorted. Non-ASCII text is written as UTF-8, control characters
// as \u00XX (or \n, \t, ...). Reals are written in the shortest form that reads back as the
// same double, always with a point or an exponent ("3.0", "0.1", "1e+16") so that they read
// back as Real; -0.0 stays "-0.0".
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "os/value/error.h"
#include "os/value/value.h"

namespace os::json {

// The platform's JSON error: Cocoa domain, code 3840, the parser's reason in the description
// and in userInfo["NSDebugDescription"]; a read error also has the 0-based byte offset of the
// failure in userInfo["NSJSONSerializationErrorIndex"] when the parser knows it. Values that
// cannot be written fail with the same domain and code.
inline constexpr int kInvalidJSONError = 3840;

struct WriteOptions {
  bool prettyPrinted = false;
  bool sortedKeys = true;     // dictionaries are always sorted; kept for callers that ask for it
  bool escapeSlashes = true;  // the platform writes "/" as "\/" unless told not to
  // Accept a top-level scalar (string, number, boolean, null), as the platform's
  // NSJSONWritingFragmentsAllowed; without it the top level must be an array or dictionary.
  bool fragmentsAllowed = false;
};

// Parses a JSON text. `allowFragments` accepts a top-level scalar.
std::optional<Value> parse(std::string_view text, Error* error = nullptr,
                           bool allowFragments = false);
// Serialises `value`; nullopt and an error (code 3840, the reason naming the offending place,
// such as "$.list[2]") when isValidJSONObject(value, options.fragmentsAllowed) is false.
std::optional<std::string> serialize(const Value& value, const WriteOptions& options = {},
                                     Error* error = nullptr);
// True when `value` can be written as JSON: arrays and dictionaries of strings, numbers,
// booleans and null (top level an array or dictionary unless `allowFragments`); reals must be
// finite and strings and keys valid UTF-8.
bool isValidJSONObject(const Value& value, bool allowFragments = false);

}  // namespace os::json
