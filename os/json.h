// JSON documents as os::Value, through nlohmann-json. JSON true/false become booleans,
// integers become Integer (or Unsigned above INT64_MAX), other numbers Real. Data and dates
// have no JSON form and are refused when writing, as the platform's serializer refuses them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "os/error.h"
#include "os/value.h"

namespace os::json {

// The platform's JSON error: Cocoa domain, code 3840, the parser's reason in the description.
inline constexpr int kInvalidJSONError = 3840;

struct WriteOptions {
  bool prettyPrinted = false;
  bool sortedKeys = true;     // dictionaries are always sorted; kept for callers that ask for it
  bool escapeSlashes = true;  // the platform writes "/" as "\/" unless told not to
};

// Parses a JSON text. `allowFragments` accepts a top-level scalar.
std::optional<Value> parse(std::string_view text, Error* error = nullptr,
                           bool allowFragments = false);
std::optional<std::string> serialize(const Value& value, const WriteOptions& options = {},
                                     Error* error = nullptr);
// True when `value` can be written as JSON: arrays and dictionaries of strings, numbers,
// booleans and null (top level an array or dictionary unless `allowFragments`).
bool isValidJSONObject(const Value& value, bool allowFragments = false);

}  // namespace os::json
