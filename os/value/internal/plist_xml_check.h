// XML property lists are checked before libplist sees them. libplist 2.2's XML reader is
// lax: it takes "<real>abc</real>" as 0, a malformed date as 1970, ignores text after the end,
// nests a second top-level value inside the first, and reads "010" as octal. This check
// accepts the property-list grammar only: an optional <plist> root around exactly one value,
// dictionaries of <key>/value pairs, decimal (or 0x hex) integers that fit in 64 bits, decimal
// reals (or nan/inf), dates as YYYY-MM-DDTHH:MM:SSZ and padded base64 data.
//
// For use inside os_value only: os::plist::parse runs it before libplist sees the bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace os::internal {

// Nullopt when `text` (without a byte-order mark) is a well-formed XML property list, else the
// reason it is not, for the error's description.
std::optional<std::string> checkXmlPlist(std::string_view text);

}  // namespace os::internal
