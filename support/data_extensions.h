// Extensions of data (os::Data, or any bytes as a span): digests, property-list and JSON reading,
// hexadecimal text, AES in the modes this system's callers use, RFC 3394 key wrap, a second base64
// codec with line breaks, byte-pattern tests and image-type detection. They are free functions in
// the namespace ExtendTool that take the data first:
//
//   std::optional<os::Data> sealed = ExtendTool::AES256EncryptWithKey(plain, "key text");
//   std::string text = ExtendTool::base64Encoding(*sealed);       // no line breaks
//   std::string mail = ExtendTool::base64EncodingWithLineLength(*sealed, 76);
//   std::string hex = ExtendTool::dataToHex(ExtendTool::MD5Digest(plain));
//
// ExtendTool::base64Encoding is the one "base64 of data, without line breaks" of the whole
// process: every subsystem that needs it calls this function (there is no platform method beside
// it that could answer differently).
//
// No key is kept anywhere: every cipher takes its key (and IV) from the caller. Cipher and key-wrap
// failures return std::nullopt. Everything here is stateless and thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "os/crypto/crypto.h"
#include "os/text/text.h"
#include "os/value/value.h"

namespace ExtendTool {

using os::crypto::Bytes;

// --- Digests and comparison ---

// True when both are null, or both exist with the same length and the same bytes (a difference
// after a zero byte counts); false when only one is null.
bool bytesEqual(const os::Data* data, const os::Data* other);

// SHA-1 (20 bytes), SHA-256 (32 bytes) and MD5 (16 bytes) of the bytes, raw.
os::Data sha1(Bytes data);
os::Data sha256(Bytes data);
os::Data MD5Digest(Bytes data);

// --- Conversions ---

// The property list (XML or binary) that `data` holds, of any property-list type (not only a
// dictionary); nullopt when it is not one.
std::optional<os::Value> dataToDictionary(Bytes data);
// The same: our values have no separate mutable form.
std::optional<os::Value> dataToMutableDictionary(Bytes data);

// An array holding `data` itself as its only element.
os::Array dataToArray(Bytes data);
// The same: our values have no separate mutable form.
os::Array dataToMutableArray(Bytes data);

// The JSON value that `data` holds, a top-level string, number, boolean or null included;
// nullopt on a parse error.
std::optional<os::Value> jsonDataToArrayOrNSDictionary(Bytes data);

// Upper-case hexadecimal, two digits per byte, no separators ("" for no bytes).
std::string dataToHex(Bytes data);

// The bytes that `hex` spells, two hexadecimal digits (either case) per byte. nullopt when it
// has an odd number of characters or a pair is not two hexadecimal digits.
std::optional<os::Data> dataWithHexString(std::string_view hex);

// --- Byte patterns ---

// Whether `data` begins (ends) with the `length` bytes at `pattern`. False for a null pattern, a
// length of 0, or data shorter than the pattern.
bool hasPrefixBytes(Bytes data, const void* pattern, size_t length);
bool hasSuffixBytes(Bytes data, const void* pattern, size_t length);

// The byte range from `start` up to, not including, the first zero byte at or after it.
// os::text::kNotFoundRange when `start` is negative, at or past the end, or no zero byte follows.
os::text::Range rangeOfNullTerminatedBytesFrom(Bytes data, int32_t start);

// A file suffix guessed from the first byte: 0x42 ".bmp", 0x47 ".gif", 0x49 or 0x4D ".tiff",
// 0x89 ".png", 0xFF ".jpg"; "" for any other byte and for empty data.
std::string detectImageSuffix(Bytes data);

// --- Base64 ---

// The first codec's forwards (support/base64_codec.h): lenient decoding, plain encoding.
std::optional<os::Data> dataWithBase64String(std::string_view text);
std::optional<std::string> base64String(Bytes data);

// The second decoder, stricter about the end than the first: it reads the text's alphabet
// characters (skipping every other byte) four at a time, and stops at the first "=", where one or
// two pending values give one byte and three give two. Without an "=", one to three values left
// at the end are dropped. A null text, and a text with a character outside ASCII, give empty data.
os::Data initWithBase64EncodedString(std::optional<std::string_view> text);
// The same decoder, under the name that makes new data.
os::Data dataWithBase64EncodedString(std::optional<std::string_view> text);

// `data` as base64 text with "=" padding, broken into lines: after every group of four characters
// that brings the line to `lineLength` or beyond, a "\n" follows (so a line holds `lineLength`
// rounded up to a multiple of 4, and a "\n" ends the text when its last group completes a line).
// A line length of 0 means no breaks. The line's length is counted in 16 bits, so a line length
// above 65532 is never reached and gives no breaks either.
std::string base64EncodingWithLineLength(Bytes data, unsigned lineLength);
// `data` as base64 text without line breaks: the process's one such encoding (see above).
std::string base64Encoding(Bytes data);

// --- Ciphers ---
// The text-keyed ciphers take the key's UTF-8 bytes, cut to the key size (32 bytes for AES-256,
// 16 for AES-128) and filled up with zero bytes.

// AES-256 in CBC mode with an all-zero IV and PKCS#7 padding, over the whole of `data`.
// Decryption fails (nullopt) on a length that is not a multiple of 16 or on wrong padding.
std::optional<os::Data> AES256EncryptWithKey(Bytes data, std::string_view key);
std::optional<os::Data> AES256DecryptWithKey(Bytes data, std::string_view key);

// AES-256 in ECB mode with PKCS#7 padding, over the whole of `data`.
std::optional<os::Data> mediaAES256EncryptWithKey(Bytes data, std::string_view key);
std::optional<os::Data> mediaAES256DecryptWithKey(Bytes data, std::string_view key);

// AES-128 in CBC mode without cipher padding; the key and the IV are texts, each cut and
// zero-filled to 16 bytes. Encryption first appends 16 - (length mod 16) zero bytes (a whole zero
// block when the length is already a multiple of 16), so 16 bytes encrypt to 32. Decryption keeps
// those zero bytes, and fails on a length that is not a multiple of 16.
std::optional<os::Data> AES128EncryptWithKey(Bytes data, std::string_view key, std::string_view iv);
std::optional<os::Data> AES128DecryptWithKey(Bytes data, std::string_view key, std::string_view iv);

// AES-256 in CBC mode with raw key and IV bytes and PKCS#7 padding: every byte of `data` is
// encrypted, a trailing partial block padded like any other.
std::optional<os::Data> AES256EncryptWithKey(Bytes data, std::span<const uint8_t, 32> key,
                                             std::span<const uint8_t, 16> iv);
// The reverse, over `data` cut down to a multiple of 16 bytes; the padding is removed once.
// Without `withPadding` the cipher checks the PKCS#7 padding and fails (nullopt) when it is
// wrong; with it, the padding is removed by removePadding below, which keeps bytes that are not
// valid padding instead of failing (nullopt only for no input).
std::optional<os::Data> AES256DecryptWithKey(Bytes data, std::span<const uint8_t, 32> key,
                                             std::span<const uint8_t, 16> iv, bool withPadding);

// `length` bytes at `bytes` without their trailing padding: with n the last byte, the last n bytes
// are dropped when 0 < n <= blockSize, n <= length and all of them equal n; otherwise every byte is
// kept. nullopt for null bytes or a length of 0.
std::optional<os::Data> removePadding(const uint8_t* bytes, uint64_t length, uint32_t blockSize);

// `key` wrapped by the AES key wrap of RFC 3394 (default initial value) with the key-encryption
// key `keyEncryptionKey` (16 or 32 bytes): 8 bytes longer than `key`, which must be a multiple of
// 8 bytes and at least 16. nullopt when the wrap fails.
std::optional<os::Data> aes_wrap_key(Bytes key, Bytes keyEncryptionKey);
// The reverse: 8 bytes shorter than `wrappedKey`; nullopt when the unwrap fails (wrong sizes,
// wrong key-encryption key, altered bytes).
std::optional<os::Data> aes_unwrap_key(Bytes wrappedKey, Bytes keyEncryptionKey);

}  // namespace ExtendTool
