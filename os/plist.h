// Property lists, XML and binary, through libplist. Every Value kind but null has a property-
// list form; booleans, signed and unsigned integers, reals, dates and data keep their kinds in
// both directions.
//
// This layer converts between bytes and values only; reading and (atomically) writing files is
// os/files' job:
//
//   auto value = os::plist::parse(bytes, &error);   // XML or binary, detected
//   auto bytes = os::plist::serialize(value, os::plist::Format::Binary, &error);
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "os/error.h"
#include "os/value.h"

namespace os::plist {

enum class Format { Xml, Binary };

// Error domain of property-list failures; the code is 3840 (the platform's "property list
// read corrupt") for unreadable input and 3851 for values that cannot be written.
inline constexpr const char* kErrorDomain = "NSCocoaErrorDomain";
inline constexpr int kReadCorruptError = 3840;
inline constexpr int kWriteInvalidError = 3851;

// Parses XML or binary property-list bytes (detected from their start). On failure returns
// nullopt and an error whose description carries the parser's reason.
std::optional<Value> parse(std::string_view bytes, Error* error = nullptr,
                           Format* format = nullptr);
// Serialises `value`. A null anywhere in it cannot be written: nullopt and an error.
std::optional<std::string> serialize(const Value& value, Format format, Error* error = nullptr);

}  // namespace os::plist
