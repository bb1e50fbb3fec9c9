// Digests and fingerprints of bytes, query strings and deep-link arguments, TCF bit strings and
// UTF-32 lengths, shared by the measurement code.
//
//   int64_t fingerprint = apm_64LSBMD5(metadataBytes);   // identifies stored events' metadata
//   apm_queryString({{"platform", "linux"}, {"gmp_version", 102800}});
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "os/value/value.h"

namespace measurement {

// The 16-byte MD5 digest of `bytes`.
os::Data apm_MD5Data(std::span<const uint8_t> bytes);
// The last 8 bytes (all of them when fewer) as a big-endian unsigned integer, as int64; 0 for none.
int64_t apm_64LeastSignificantBits(std::span<const uint8_t> bytes);
// Bytes 8 to 15 of the MD5 digest as a big-endian 64-bit integer.
int64_t apm_64LSBMD5(std::span<const uint8_t> bytes);

// "key=value" pairs joined by "&", in the dictionary's (sorted) order; keys and values are their
// descriptions, percent-encoded with the URL query's allowed characters (so "&", "=" and "+"
// stay as they are and a blank becomes "%20"). "" for an empty dictionary.
std::string apm_queryString(const os::Dictionary& dictionary);

// Arguments "a=1&b=2" as a dictionary of strings; for a repeated key the first occurrence wins, a
// piece without "=" is a key with the value "", and a key or value that cannot be unescaped
// becomes "".
std::map<std::string, std::string> apm_dictionaryWithHttpArgumentsString(std::string_view text);

// Every "+" as a blank, then percent escapes removed; std::nullopt for a malformed escape.
std::optional<std::string> apm_stringByUnescapingFromURLArgument(std::string_view text);

// The MD5 digest of the UTF-8 bytes as 32 lower-case hexadecimal digits; std::nullopt when
// `text` is not valid UTF-8.
std::optional<std::string> apm_MD5String(std::string_view text);

// Whether `index` lies inside `bits` and the character there is "1".
bool isBitEnabledAtIndex(std::string_view bits, int64_t index);

// The number of Unicode scalar values (a character outside the Basic Multilingual Plane counts 1).
size_t apm_UTF32Length(std::string_view text);
// The UTF-32 little-endian form of `text` from its start: whole characters only, at most
// `maxBytes` bytes, no terminator. Ill-formed UTF-8 reads as U+FFFD.
os::Data apm_getUTF32Bytes(std::string_view text, size_t maxBytes);

}  // namespace measurement
