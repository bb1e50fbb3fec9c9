// Extensions of text (UTF-8 std::string): base64 forwards, containment and prefix tests, paths
// and file types, hexadecimal and binary text, numeric comparison, occurrence search, digests,
// string encryption and JSON. They are free functions in the namespace ExtendTool that take the
// text first; every length, index and range counts UTF-16 code units, as the platform counts them.
//
//   std::string address = ExtendTool::stringFromBase64String(encoded).value_or(encoded);
//   if (ExtendTool::containsString(volumeName, "Brevalo")) ...
//   if (ExtendTool::isGreaterThan("1.10", "1.9")) ...   // true: digits compare by value
//
// ExtendTool::containsString is the one "does this text contain that one" of the whole process:
// every subsystem that asks calls this function (there is no platform method beside it that
// could answer differently).
//
// The hexadecimal text of data is ExtendTool::dataToHex in support/data_extensions.h. Everything
// here is stateless and thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "os/text/text.h"
#include "os/value/value.h"
#include "support/data_extensions.h"

namespace ExtendTool {

// --- Base64 ---

// The text that `base64` encodes (decoded by Base64Codec's lenient rules); nullopt when the
// decoded bytes are not UTF-8. Empty text gives "".
std::optional<std::string> stringFromBase64String(std::string_view base64);
// The base64 text of `text`'s UTF-8 bytes (Base64Codec::base64StringFromData).
std::optional<std::string> base64String(std::string_view text);

// --- Containment ---

// True when the platform search with `options` finds `needle` in `text`; an empty needle is never
// found.
bool containsString(std::string_view text, std::string_view needle,
                    os::text::CompareOptions options);
bool containsString(std::string_view text, std::string_view needle);
// The same as containsString(text, needle).
bool contains(std::string_view text, std::string_view needle);

// True when the first occurrence of `prefix` that the search with `options` finds starts at
// index 0 (so false when the prefix occurs only later, or is empty).
bool startWithString(std::string_view text, std::string_view prefix,
                     os::text::CompareOptions options);
bool startWithString(std::string_view text, std::string_view prefix);

// --- Paths and files ---

// <Application Support>/<main bundle identifier>/<main bundle name>, created with its parent
// folders when missing (a failure to create it is ignored); the path is returned either way.
std::string getAppSupportPath();

// `path` without its last path component: "/a/b" and "/a/b/" give "/a", "/" gives "/", a single
// relative name is returned as it is, "a/" and "" give "". Runs of "/" count as one.
std::string getParentDirectory(std::string_view path);

// Four-character codes of the kinds of file-system entry, read from the most significant byte.
inline constexpr uint32_t kPathTypeRegular = 0x72656775;      // "regu"
inline constexpr uint32_t kPathTypeLink = 0x6C696E6B;         // "link"
inline constexpr uint32_t kPathTypeSocket = 0x736F636B;       // "sock"
inline constexpr uint32_t kPathTypeFifo = 0x6669666F;         // "fifo"
inline constexpr uint32_t kPathTypeCharDevice = 0x63686172;   // "char"
inline constexpr uint32_t kPathTypeDirectory = 0x64697265;    // "dire"
inline constexpr uint32_t kPathTypeBlockDevice = 0x626C636B;  // "blck"
inline constexpr uint32_t kPathTypeUnknown = 0x756E6B6E;      // "unkn"

// The kind of the entry at `path`, a symbolic link itself not followed; kPathTypeUnknown when it
// cannot be examined (missing, no permission).
uint32_t typeOfPath(std::string_view path);

// True when the entry at `path` is an alias file. The only aliases Linux has are symbolic links
// (which the platform counts as alias files too), so: true when `path` is a symbolic link.
bool isAlias(std::string_view path);

// --- Text and numbers ---

// True for nullopt or "".
bool isNilOrEmpty(std::optional<std::string_view> text);

// A new random UUID, upper-case, 8-4-4-4-12.
std::string generateGUID();

// Each pair of characters read as a hexadecimal byte; a final unpaired character is ignored. A pair
// that is not two hexadecimal digits gives the value of its leading hexadecimal digit, or 0 when
// it does not start with one ("1z" is 1, "zz" is 0).
os::Data hexToBytes(std::string_view hex);

// Upper-case hexadecimal of the `length` bytes at `bytes`, two digits per byte; "" for a length
// below 1 or null bytes.
std::string bytesToHex(const void* bytes, int64_t length);

// Upper-case hexadecimal without leading zeros ("0" for 0, "FF" for 255). A negative value gives
// its 32-bit two's-complement pattern ("FFFFFFFF" for -1).
std::string intToHex(int32_t value);

// Binary digits of `value`, most significant first, left-padded with "0" to `backLength` (a longer
// result is not cut). 0 has no digits of its own, so it gives `backLength` zeros. A negative value
// gives its 32 bits of two's complement.
std::string decimalTOBinary(int32_t value, int backLength);

// Each hexadecimal digit (either case) replaced by its four binary digits ("A" is "1010");
// nullopt when `hex` holds anything else.
std::optional<std::string> getBinaryByhex(std::string_view hex);

// The composed character sequence (user-perceived character) that begins exactly at UTF-16
// offset `index`; "" when `text` is empty, when the offset falls inside a sequence or lies beyond
// the end.
std::string stringOfIndex(std::string_view text, size_t index);

// The platform's string encodings, with its values.
enum class StringEncoding : uint64_t {
  kASCII = 1,
  kUTF8 = 4,
  kISOLatin1 = 5,
  kUTF16 = 10,  // byte-order mark, then the host's order (little-endian)
  kUTF16BigEndian = 0x90000100,
  kUTF16LittleEndian = 0x94000100,
  kUTF32 = 0x8c000100,  // byte-order mark, then the host's order (little-endian)
  kUTF32BigEndian = 0x98000100,
  kUTF32LittleEndian = 0x9c000100,
};

// `text` in `encoding`; nullopt when a character has no form in it (é in ASCII) or the encoding
// is none of the above.
std::optional<os::Data> toDataByEncoding(std::string_view text, StringEncoding encoding);

// The JSON value (array or dictionary at the top) that `text` holds; nullopt on a parse error.
std::optional<os::Value> jsonValue(std::string_view text);

// --- Numeric comparison ---
// `text` against `other` by the platform's comparison with the numeric option: runs of digits
// compare by value, so "1.10" is greater than "1.9" and "file10" than "file9".

bool isGreaterThan(std::string_view text, std::string_view other);
bool isGreaterThanOrEqual(std::string_view text, std::string_view other);
// The same as isGreaterThanOrEqual.
bool isMajorEqual(std::string_view text, std::string_view other);
bool isLessThan(std::string_view text, std::string_view other);
bool isLessThanOrEqual(std::string_view text, std::string_view other);

// --- Search ---

// The UTF-16 range of the `occurrence`-th (counted from 1) non-overlapping occurrence of `needle`,
// searched literally; os::text::kNotFoundRange when there are fewer, or `occurrence` is below 1.
os::text::Range rangeOfString(std::string_view text, std::string_view needle, int64_t occurrence);

// --- Digests, all over the whole of `text`'s UTF-8 bytes ---

// SHA-1, 20 raw bytes.
os::Data sha1(std::string_view text);
// SHA-1 as 40 lower-case hexadecimal digits.
std::string sha1HexString(std::string_view text);
// MD5 as 32 lower-case hexadecimal digits.
std::string md5HexString(std::string_view text);
// MD5 of `data` as 32 lower-case hexadecimal digits.
std::string MD5FromData(Bytes data);

// Old names kept for their callers; each computes what its twin above computes, which is not
// what its own name says.
// sha1HexString(text): SHA-1 hexadecimal, despite the name.
std::string md5(std::string_view text);
// md5HexString(text): MD5 hexadecimal, despite the name.
std::string sha1Hex(std::string_view text);

// --- Encryption ---

// `text`'s UTF-8 bytes through AES256EncryptWithKey(data, key) (support/data_extensions.h), as
// base64 without line breaks.
std::optional<std::string> AES256EncryptWithKey(std::string_view text, std::string_view key);
// The reverse: `text` decoded by dataWithBase64EncodedString, decrypted by
// AES256DecryptWithKey(data, key) and read as UTF-8; nullopt when a step fails or the bytes are
// not UTF-8.
std::optional<std::string> AES256DecryptWithKey(std::string_view text, std::string_view key);

// --- Objects ---

// `object` as compact JSON bytes; nullopt when it cannot be written (the top level must be an
// array or a dictionary).
std::optional<os::Data> jsonString(const os::Value& object);

// Raises the platform exception "NullPointer" (throws os::Exception) with the reason `name` when
// `object` is null; otherwise does nothing.
//
//   ExtendTool::checkNotNull(delegate.lock().get(), "delegate");
void checkNotNull(const void* object, std::string_view name);

}  // namespace ExtendTool
