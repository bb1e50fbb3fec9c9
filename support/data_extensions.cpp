#include "support/data_extensions.h"

#include <algorithm>
#include <cstring>

#include "os/value/json.h"
#include "os/value/plist.h"
#include "support/base64_codec.h"
#include "support/internal/hex_digit.h"

namespace ExtendTool {
namespace {

using support_internal::hexDigitValue;

std::string_view asText(Bytes data) {
  return {reinterpret_cast<const char*>(data.data()), data.size()};
}

// A cipher key from a text: its UTF-8 bytes, cut to `size` and filled up with zero bytes.
os::Data keyFromText(std::string_view text, size_t size) {
  os::Data key(size, 0);
  std::memcpy(key.data(), text.data(), std::min(text.size(), size));
  return key;
}

constexpr size_t kAES256KeySize = 32;
constexpr size_t kAES128KeySize = 16;
constexpr size_t kBlockSize = 16;

enum class Direction { kEncrypt, kDecrypt };

// AES-256 with PKCS#7 padding and a key made from a text; CBC runs with an all-zero IV.
std::optional<os::Data> textKeyedAES256(Direction direction, os::crypto::Mode mode, Bytes data,
                                        std::string_view key) {
  const os::Data keyBytes = keyFromText(key, kAES256KeySize);
  return direction == Direction::kEncrypt
             ? os::crypto::aesEncrypt(mode, os::crypto::Padding::PKCS7, keyBytes, {}, data)
             : os::crypto::aesDecrypt(mode, os::crypto::Padding::PKCS7, keyBytes, {}, data);
}

}  // namespace

bool bytesEqual(const os::Data* data, const os::Data* other) {
  if (data == nullptr || other == nullptr) return data == other;
  return *data == *other;
}

os::Data sha1(Bytes data) { return os::crypto::sha1(data); }
os::Data sha256(Bytes data) { return os::crypto::sha256(data); }
os::Data MD5Digest(Bytes data) { return os::crypto::md5(data); }

std::optional<os::Value> dataToDictionary(Bytes data) { return os::plist::parse(asText(data)); }
std::optional<os::Value> dataToMutableDictionary(Bytes data) { return dataToDictionary(data); }

os::Array dataToArray(Bytes data) { return {os::Value(os::Data(data.begin(), data.end()))}; }
os::Array dataToMutableArray(Bytes data) { return dataToArray(data); }

std::optional<os::Value> jsonDataToArrayOrNSDictionary(Bytes data) {
  return os::json::parse(asText(data), nullptr, /*allowFragments=*/true);
}

std::string dataToHex(Bytes data) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(2 * data.size());
  for (uint8_t byte : data) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0x0F]);
  }
  return hex;
}

std::optional<os::Data> dataWithHexString(std::string_view hex) {
  // Every hexadecimal digit is one byte of UTF-8 and one UTF-16 unit, so counting bytes here
  // answers as counting characters would: a text with anything else in it fails either way.
  if (hex.size() % 2 != 0) return std::nullopt;
  os::Data bytes;
  bytes.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int high = hexDigitValue(hex[i]);
    int low = hexDigitValue(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return bytes;
}

bool hasPrefixBytes(Bytes data, const void* pattern, size_t length) {
  if (pattern == nullptr || length == 0 || data.size() < length) return false;
  return std::memcmp(data.data(), pattern, length) == 0;
}

bool hasSuffixBytes(Bytes data, const void* pattern, size_t length) {
  if (pattern == nullptr || length == 0 || data.size() < length) return false;
  return std::memcmp(data.data() + data.size() - length, pattern, length) == 0;
}

os::text::Range rangeOfNullTerminatedBytesFrom(Bytes data, int32_t start) {
  if (start < 0 || static_cast<size_t>(start) >= data.size()) return os::text::kNotFoundRange;
  auto zero = std::find(data.begin() + start, data.end(), uint8_t{0});
  if (zero == data.end()) return os::text::kNotFoundRange;
  return {static_cast<size_t>(start), static_cast<size_t>(zero - (data.begin() + start))};
}

std::string detectImageSuffix(Bytes data) {
  if (data.empty()) return "";
  switch (data[0]) {
    case 0x42:
      return ".bmp";
    case 0x47:
      return ".gif";
    case 0x49:
    case 0x4D:
      return ".tiff";
    case 0x89:
      return ".png";
    case 0xFF:
      return ".jpg";
    default:
      return "";
  }
}

std::optional<os::Data> dataWithBase64String(std::string_view text) {
  return Base64Codec::dataFromBase64String(text);
}

std::optional<std::string> base64String(Bytes data) {
  return Base64Codec::base64StringFromData(data);
}

os::Data initWithBase64EncodedString(std::optional<std::string_view> text) {
  os::Data output;
  if (!text) return output;
  if (std::any_of(text->begin(), text->end(), [](char c) { return (c & 0x80) != 0; })) {
    return output;  // no ASCII form
  }
  output.reserve(text->size() / 4 * 3 + 2);
  uint32_t pending = 0;
  int pendingCount = 0;
  for (char c : *text) {
    if (c == '=') {
      // The end: whatever is pending gives the bytes it can, the rest of the text is ignored.
      pending <<= 6 * (4 - pendingCount);
      if (pendingCount >= 1) output.push_back(static_cast<uint8_t>(pending >> 16));
      if (pendingCount == 3) output.push_back(static_cast<uint8_t>(pending >> 8));
      return output;
    }
    int value = base64AlphabetValue(static_cast<uint8_t>(c));
    if (value < 0) continue;
    pending = pending << 6 | static_cast<uint32_t>(value);
    if (++pendingCount == 4) {
      output.push_back(static_cast<uint8_t>(pending >> 16));
      output.push_back(static_cast<uint8_t>(pending >> 8));
      output.push_back(static_cast<uint8_t>(pending));
      pending = 0;
      pendingCount = 0;
    }
  }
  return output;  // values left without an "=" are dropped
}

os::Data dataWithBase64EncodedString(std::optional<std::string_view> text) {
  return initWithBase64EncodedString(text);
}

std::string base64EncodingWithLineLength(Bytes data, unsigned lineLength) {
  std::string plain = standardBase64(data);
  // The column count grows by 4 per group in 16 bits: a line length it cannot reach gives none.
  constexpr unsigned kLongestReachableLine = 65532;
  if (lineLength == 0 || lineLength > kLongestReachableLine) return plain;
  const size_t line = (lineLength + 3) / 4 * 4;
  std::string wrapped;
  wrapped.reserve(plain.size() + plain.size() / line + 1);
  for (size_t at = 0; at < plain.size(); at += line) {
    wrapped.append(plain, at, line);
    if (at + line <= plain.size()) wrapped.push_back('\n');
  }
  return wrapped;
}

std::string base64Encoding(Bytes data) { return base64EncodingWithLineLength(data, 0); }

std::optional<os::Data> AES256EncryptWithKey(Bytes data, std::string_view key) {
  return textKeyedAES256(Direction::kEncrypt, os::crypto::Mode::CBC, data, key);
}

std::optional<os::Data> AES256DecryptWithKey(Bytes data, std::string_view key) {
  return textKeyedAES256(Direction::kDecrypt, os::crypto::Mode::CBC, data, key);
}

std::optional<os::Data> mediaAES256EncryptWithKey(Bytes data, std::string_view key) {
  return textKeyedAES256(Direction::kEncrypt, os::crypto::Mode::ECB, data, key);
}

std::optional<os::Data> mediaAES256DecryptWithKey(Bytes data, std::string_view key) {
  return textKeyedAES256(Direction::kDecrypt, os::crypto::Mode::ECB, data, key);
}

std::optional<os::Data> AES128EncryptWithKey(Bytes data, std::string_view key,
                                             std::string_view iv) {
  os::Data padded(data.begin(), data.end());
  padded.resize(data.size() + kBlockSize - data.size() % kBlockSize, 0);
  return os::crypto::aesEncrypt(os::crypto::Mode::CBC, os::crypto::Padding::None,
                                keyFromText(key, kAES128KeySize), keyFromText(iv, kBlockSize),
                                padded);
}

std::optional<os::Data> AES128DecryptWithKey(Bytes data, std::string_view key,
                                             std::string_view iv) {
  return os::crypto::aesDecrypt(os::crypto::Mode::CBC, os::crypto::Padding::None,
                                keyFromText(key, kAES128KeySize), keyFromText(iv, kBlockSize),
                                data);
}

std::optional<os::Data> AES256EncryptWithKey(Bytes data, std::span<const uint8_t, 32> key,
                                             std::span<const uint8_t, 16> iv) {
  return os::crypto::aesEncrypt(os::crypto::Mode::CBC, os::crypto::Padding::PKCS7, key, iv, data);
}

std::optional<os::Data> AES256DecryptWithKey(Bytes data, std::span<const uint8_t, 32> key,
                                             std::span<const uint8_t, 16> iv, bool withPadding) {
  Bytes wholeBlocks = data.first(data.size() - data.size() % kBlockSize);
  if (!withPadding) {
    return os::crypto::aesDecrypt(os::crypto::Mode::CBC, os::crypto::Padding::PKCS7, key, iv,
                                  wholeBlocks);
  }
  std::optional<os::Data> plain = os::crypto::aesDecrypt(
      os::crypto::Mode::CBC, os::crypto::Padding::None, key, iv, wholeBlocks);
  if (!plain) return std::nullopt;
  return removePadding(plain->data(), plain->size(), kBlockSize);
}

std::optional<os::Data> removePadding(const uint8_t* bytes, uint64_t length, uint32_t blockSize) {
  if (bytes == nullptr || length == 0) return std::nullopt;
  const uint8_t padding = bytes[length - 1];
  const uint8_t* end = bytes + length;
  if (padding > 0 && padding <= blockSize && padding <= length &&
      std::all_of(end - padding, end, [padding](uint8_t byte) { return byte == padding; })) {
    end -= padding;
  }
  return os::Data(bytes, end);
}

std::optional<os::Data> aes_wrap_key(Bytes key, Bytes keyEncryptionKey) {
  return os::crypto::wrapKey(keyEncryptionKey, key);
}

std::optional<os::Data> aes_unwrap_key(Bytes wrappedKey, Bytes keyEncryptionKey) {
  return os::crypto::unwrapKey(keyEncryptionKey, wrappedKey);
}

}  // namespace ExtendTool
