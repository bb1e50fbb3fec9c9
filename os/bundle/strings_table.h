// Localisation tables in the platform's ".strings" format, which libplist cannot read:
//
//   /* The title of the first screen. */
//   "INSTALL_TITLE" = "Install %@";
//   "QUIT";                          // the value is the key itself
//   greeting = "Hello\nWorld";       // unquoted words may stand for quoted strings
//
//   os::Error error;
//   if (auto table = os::strings::parse(bytes, &error)) {
//     auto it = table->find("INSTALL_TITLE");
//   }
//
// Encodings, detected from the bytes:
//  - a UTF-16 byte-order mark (FF FE or FE FF) selects UTF-16 little- or big-endian;
//  - without a mark, the bytes are UTF-16 when they have an even length and begin with an ASCII
//    character in UTF-16 (a zero byte beside a non-zero byte below 0x80, the zero first for
//    big-endian), as every table does that begins with white space, a comment, a quote or a
//    word; UTF-8 text never holds a zero byte there;
//  - anything else is UTF-8, with or without its byte-order mark (EF BB BF), and must be
//    well-formed. An unpaired surrogate in UTF-16 text becomes U+FFFD.
// Bytes that begin (after white space) with "<?xml" or "<plist", or with "bplist00", are a
// property list instead, read through os::plist: it must be a dictionary of strings.
//
// Grammar: a sequence of `key = value;` or `key;` (value = key). Keys and values are quoted
// strings or unquoted words of ASCII letters, digits and `_ . - $ : /`. Comments `/* ... */`
// and `// ...` may stand between any two tokens. Escapes in quoted strings: \n \t \r \" \\ \'
// \a \b \f \v; \Uxxxx or \uxxxx (one to four hex digits, a UTF-16 code unit; a surrogate pair
// written as two escapes combines into one character); octal \N, \NN or \NNN (the code point
// of that value, so \351 is "é"). A later duplicate key replaces the earlier value.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "os/value/error.h"

namespace os::strings {

// Key → text, both UTF-8. Lookups may use a std::string_view.
using Table = std::map<std::string, std::string, std::less<>>;

// Parses the bytes of a strings table. Malformed input gives nullopt and an error in
// os::plist::kErrorDomain with code os::plist::kReadCorruptError whose description names the
// reason, and for a syntax error its line ("Unterminated quoted string starting on line 3"); a
// property list that does not parse keeps os::plist's error.
std::optional<Table> parse(std::string_view bytes, Error* error = nullptr);

}  // namespace os::strings
