// Property lists, XML and binary, through libplist (2.2 on Debian 12). Every Value kind but
// null has a property-list form; booleans, signed and unsigned integers, reals, dates and data
// keep their kinds in both directions.
//
// This layer converts between bytes and values only; reading and (atomically) writing files is
// os/files' job:
//
//   auto value = os::plist::parse(bytes, &error);   // XML or binary, detected
//   auto bytes = os::plist::serialize(value, os::plist::Format::Binary, &error);
//
// What each kind becomes, and the limits:
//  - Integers: any int64 and any uint64. A property list has one integer kind below 2^63, so an
//    Unsigned up to INT64_MAX reads back as Integer (equal by value); above INT64_MAX it is
//    written as the 16-byte binary integer (as the platform and Python's plistlib write it) or
//    as its decimal text, and reads back as Unsigned. Integers beyond 64 bits are refused.
//  - Reals: exact in binary (a real that a float holds exactly is written in 4 bytes); XML
//    writes "%.17g", "nan", "+infinity", "-infinity".
//  - Dates: binary keeps the exact double (seconds since 2001-01-01, any finite value); XML
//    keeps whole seconds (floored) for the years 1 to 9999. libplist 2.2's date functions take
//    int32 seconds (1933 to 2069) and round through microseconds; this layer goes around them
//    through the binary form, so neither limit applies.
//  - Strings and keys: UTF-8 (non-ASCII is written as UTF-16 in binary); invalid UTF-8 and the
//    NUL character are refused both ways (libplist cannot store NUL); in XML the control
//    characters other than tab, newline and return are refused when writing (XML 1.0 cannot
//    carry them; Python's plistlib refuses them too).
//  - Null cannot be written; UID objects (keyed archives) and binary null objects are refused
//    when reading.
//  - Arrays and dictionaries nested more than 512 levels deep are refused in both directions:
//    libplist 2.2 recurses without limit and overflows the stack on deep input.
//
// Reading checks the bytes before libplist sees them. Binary: the trailer, every offset and
// length and reference must stay inside the object area, keys must be strings, there may be no
// reference cycle, and shared containers may not expand beyond a bound (libplist would expand
// them exponentially). XML: libplist 2.2's reader is lax ("<real>abc</real>" reads as 0, a bad
// date as 1970, "010" as octal 8, text after the end is ignored, a second top-level value
// nests inside the first), so the grammar is checked first: an optional <plist> root around
// exactly one value, <key>/value pairs in <dict>, decimal or 0x integers without a leading
// zero, decimal reals (or nan/inf/infinity), dates YYYY-MM-DDTHH:MM:SSZ, padded base64. A UTF-8
// byte-order mark is skipped; OpenStep (old-style text) property lists are not read.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "os/value/error.h"
#include "os/value/value.h"

namespace os::plist {

enum class Format { Xml, Binary };

// Error domain of property-list failures; the code is 3840 (the platform's "property list
// read corrupt") for unreadable input and 3851 for values that cannot be written. The
// description names the reason (libplist 2.2 itself reports none, only a null result: the
// reasons come from the checks above, e.g. "object 3: offset 912 points outside the object
// area (8 to 700)" or "XML property list: <real> holds an invalid real (at byte 57)"); the
// reason alone is also in userInfo["NSDebugDescription"].
inline constexpr const char* kErrorDomain = "NSCocoaErrorDomain";
inline constexpr int kReadCorruptError = 3840;
inline constexpr int kWriteInvalidError = 3851;

// Parses XML or binary property-list bytes (binary when they start with "bplist"). On failure
// returns nullopt and an error whose description carries the reason; `format`, when given, is
// set to the format read on success. Empty input is an error.
std::optional<Value> parse(std::string_view bytes, Error* error = nullptr,
                           Format* format = nullptr);
// Serialises `value`. A null anywhere in it, or anything the limits above refuse, cannot be
// written: nullopt and an error whose reason names the place (e.g. "$.list[2]").
std::optional<std::string> serialize(const Value& value, Format format, Error* error = nullptr);

// Whether `value` has a property-list form as far as its kinds go: it is not null, and no array
// or dictionary inside it holds a null. (serialize may still refuse it for its limits.)
bool hasPropertyListForm(const Value& value);

}  // namespace os::plist
