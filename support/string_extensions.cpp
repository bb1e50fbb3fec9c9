#include "support/string_extensions.h"

#include <sys/stat.h>

#include <vector>

#include "os/bundle/bundle.h"
#include "os/crypto/crypto.h"
#include "os/files/files.h"
#include "os/files/paths.h"
#include "os/value/exception.h"
#include "os/value/json.h"
#include "support/base64_codec.h"
#include "support/internal/hex_digit.h"

namespace ExtendTool {
namespace {

using support_internal::hexDigitValue;

Bytes utf8Bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string lowercaseHex(Bytes bytes) {
  std::string hex = dataToHex(bytes);
  for (char& c : hex) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  }
  return hex;
}

bool isOrdered(std::string_view text, std::string_view other, os::text::Order wanted, bool orSame) {
  os::text::Order order = os::text::compare(text, other, os::text::kNumeric);
  return order == wanted || (orSame && order == os::text::Order::Same);
}

void appendUnit(os::Data& bytes, uint32_t unit, size_t width, bool bigEndian) {
  for (size_t i = 0; i < width; ++i) {
    size_t shift = 8 * (bigEndian ? width - 1 - i : i);
    bytes.push_back(static_cast<uint8_t>(unit >> shift));
  }
}

}  // namespace

std::optional<std::string> stringFromBase64String(std::string_view base64) {
  std::optional<os::Data> bytes = Base64Codec::dataFromBase64String(base64);
  if (!bytes) return std::nullopt;
  std::string text(bytes->begin(), bytes->end());
  if (!os::text::isValidUtf8(text)) return std::nullopt;
  return text;
}

std::optional<std::string> base64String(std::string_view text) {
  return Base64Codec::base64StringFromData(utf8Bytes(text));
}

bool containsString(std::string_view text, std::string_view needle,
                    os::text::CompareOptions options) {
  return os::text::rangeOf(text, needle, options).found();
}

bool containsString(std::string_view text, std::string_view needle) {
  return containsString(text, needle, os::text::kNoOptions);
}

bool contains(std::string_view text, std::string_view needle) {
  return containsString(text, needle);
}

bool startWithString(std::string_view text, std::string_view prefix,
                     os::text::CompareOptions options) {
  return os::text::rangeOf(text, prefix, options).location == 0;
}

bool startWithString(std::string_view text, std::string_view prefix) {
  return startWithString(text, prefix, os::text::kNoOptions);
}

std::string getAppSupportPath() {
  os::Bundle bundle = os::Bundle::main();
  std::filesystem::path folder =
      os::paths::applicationSupport() / bundle.bundleIdentifier() / bundle.name();
  os::files::createDirectory(folder, /*withIntermediates=*/true, nullptr);
  return folder.string();
}

std::string getParentDirectory(std::string_view path) {
  if (path.empty()) return "";
  // The platform's path components: a leading "/" and a trailing "/" are components of their own,
  // and empty components between runs of "/" are dropped.
  std::vector<std::string_view> components;
  if (path.front() == '/') components.push_back("/");
  bool hasNames = false;
  for (size_t start = 0; start < path.size();) {
    size_t slash = std::min(path.find('/', start), path.size());
    if (slash > start) {
      components.push_back(path.substr(start, slash - start));
      hasNames = true;
    }
    start = slash + 1;
  }
  const bool endsInSlash = path.back() == '/';
  if (endsInSlash && hasNames) components.push_back("/");
  if (components.size() == 1) return std::string(components.front());

  const size_t kept = components.size() - (endsInSlash ? 2 : 1);
  std::string parent;
  for (size_t i = 0; i < kept; ++i) {
    if (!parent.empty() && parent.back() != '/') parent.push_back('/');
    parent.append(components[i]);
  }
  return parent;
}

uint32_t typeOfPath(std::string_view path) {
  struct stat status;
  if (::lstat(std::string(path).c_str(), &status) != 0) return kPathTypeUnknown;
  switch (status.st_mode & S_IFMT) {
    case S_IFREG:
      return kPathTypeRegular;
    case S_IFLNK:
      return kPathTypeLink;
    case S_IFSOCK:
      return kPathTypeSocket;
    case S_IFIFO:
      return kPathTypeFifo;
    case S_IFCHR:
      return kPathTypeCharDevice;
    case S_IFDIR:
      return kPathTypeDirectory;
    case S_IFBLK:
      return kPathTypeBlockDevice;
    default:
      return kPathTypeUnknown;
  }
}

bool isAlias(std::string_view path) {
  return !path.empty() && os::files::isSymbolicLink(std::filesystem::path(path));
}

bool isNilOrEmpty(std::optional<std::string_view> text) { return !text || text->empty(); }

std::string generateGUID() { return os::crypto::uuidString(); }

os::Data hexToBytes(std::string_view hex) {
  std::u16string units = os::text::toUtf16(hex);
  os::Data bytes;
  bytes.reserve(units.size() / 2);
  for (size_t i = 0; i + 1 < units.size(); i += 2) {
    int high = hexDigitValue(units[i]);
    int low = hexDigitValue(units[i + 1]);
    if (high < 0) {
      bytes.push_back(0);
    } else {
      bytes.push_back(static_cast<uint8_t>(low < 0 ? high : high << 4 | low));
    }
  }
  return bytes;
}

std::string bytesToHex(const void* bytes, int64_t length) {
  if (bytes == nullptr || length < 1) return "";
  return dataToHex(Bytes(static_cast<const uint8_t*>(bytes), static_cast<size_t>(length)));
}

std::string intToHex(int32_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  uint32_t remaining = static_cast<uint32_t>(value);
  std::string hex;
  do {
    hex.insert(hex.begin(), kDigits[remaining % 16]);
    remaining /= 16;
  } while (remaining != 0);
  return hex;
}

std::string decimalTOBinary(int32_t value, int backLength) {
  std::string binary;
  for (uint32_t remaining = static_cast<uint32_t>(value); remaining != 0; remaining /= 2) {
    binary.insert(binary.begin(), remaining % 2 == 0 ? '0' : '1');
  }
  if (backLength > 0 && binary.size() < static_cast<size_t>(backLength)) {
    binary.insert(0, static_cast<size_t>(backLength) - binary.size(), '0');
  }
  return binary;
}

std::optional<std::string> getBinaryByhex(std::string_view hex) {
  std::string binary;
  binary.reserve(4 * hex.size());
  for (char c : hex) {
    int value = hexDigitValue(static_cast<unsigned char>(c));
    if (value < 0) return std::nullopt;
    for (int bit = 3; bit >= 0; --bit) binary.push_back((value >> bit) & 1 ? '1' : '0');
  }
  return binary;
}

std::string stringOfIndex(std::string_view text, size_t index) {
  std::optional<os::text::Range> sequence = os::text::rangeOfComposedCharacterSequence(text, index);
  if (!sequence || sequence->location != index) return "";
  return os::text::substring(text, *sequence).value_or("");
}

std::optional<os::Data> toDataByEncoding(std::string_view text, StringEncoding encoding) {
  if (encoding == StringEncoding::kUTF8) return os::Data(text.begin(), text.end());
  const std::u16string units = os::text::toUtf16(text);
  os::Data bytes;
  switch (encoding) {
    case StringEncoding::kASCII:
    case StringEncoding::kISOLatin1: {
      const char16_t highest = encoding == StringEncoding::kASCII ? 0x7F : 0xFF;
      for (char16_t unit : units) {
        if (unit > highest) return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(unit));
      }
      return bytes;
    }
    case StringEncoding::kUTF16:
    case StringEncoding::kUTF16BigEndian:
    case StringEncoding::kUTF16LittleEndian: {
      const bool bigEndian = encoding == StringEncoding::kUTF16BigEndian;
      if (encoding == StringEncoding::kUTF16) appendUnit(bytes, 0xFEFF, 2, bigEndian);
      for (char16_t unit : units) appendUnit(bytes, unit, 2, bigEndian);
      return bytes;
    }
    case StringEncoding::kUTF32:
    case StringEncoding::kUTF32BigEndian:
    case StringEncoding::kUTF32LittleEndian: {
      const bool bigEndian = encoding == StringEncoding::kUTF32BigEndian;
      if (encoding == StringEncoding::kUTF32) appendUnit(bytes, 0xFEFF, 4, bigEndian);
      // toUtf16 leaves no unpaired surrogate: a high one is always followed by a low one.
      for (size_t i = 0; i < units.size(); ++i) {
        uint32_t scalar = units[i];
        if (scalar >= 0xD800 && scalar <= 0xDBFF) {
          scalar = 0x10000 + ((scalar - 0xD800) << 10) + (units[++i] - 0xDC00);
        }
        appendUnit(bytes, scalar, 4, bigEndian);
      }
      return bytes;
    }
    default:
      return std::nullopt;
  }
}

std::optional<os::Value> jsonValue(std::string_view text) { return os::json::parse(text); }

bool isGreaterThan(std::string_view text, std::string_view other) {
  return isOrdered(text, other, os::text::Order::Descending, false);
}

bool isGreaterThanOrEqual(std::string_view text, std::string_view other) {
  return isOrdered(text, other, os::text::Order::Descending, true);
}

bool isMajorEqual(std::string_view text, std::string_view other) {
  return isGreaterThanOrEqual(text, other);
}

bool isLessThan(std::string_view text, std::string_view other) {
  return isOrdered(text, other, os::text::Order::Ascending, false);
}

bool isLessThanOrEqual(std::string_view text, std::string_view other) {
  return isOrdered(text, other, os::text::Order::Ascending, true);
}

os::text::Range rangeOfString(std::string_view text, std::string_view needle, int64_t occurrence) {
  if (occurrence < 1) return os::text::kNotFoundRange;
  os::text::Range found = os::text::rangeOf(text, needle, os::text::kLiteral);
  const size_t length = os::text::utf16Length(text);
  for (int64_t seen = 1; seen < occurrence && found.found(); ++seen) {
    found = os::text::rangeOf(text, needle, os::text::kLiteral,
                              os::text::Range{found.end(), length - found.end()});
  }
  return found;
}

os::Data sha1(std::string_view text) { return os::crypto::sha1(text); }

std::string sha1HexString(std::string_view text) { return lowercaseHex(os::crypto::sha1(text)); }

std::string md5HexString(std::string_view text) { return lowercaseHex(os::crypto::md5(text)); }

std::string MD5FromData(Bytes data) { return lowercaseHex(os::crypto::md5(data)); }

std::string md5(std::string_view text) { return sha1HexString(text); }

std::string sha1Hex(std::string_view text) { return md5HexString(text); }

std::optional<std::string> AES256EncryptWithKey(std::string_view text, std::string_view key) {
  std::optional<os::Data> sealed = AES256EncryptWithKey(utf8Bytes(text), key);
  if (!sealed) return std::nullopt;
  return base64Encoding(*sealed);
}

std::optional<std::string> AES256DecryptWithKey(std::string_view text, std::string_view key) {
  std::optional<os::Data> plain = AES256DecryptWithKey(dataWithBase64EncodedString(text), key);
  if (!plain) return std::nullopt;
  std::string decrypted(plain->begin(), plain->end());
  if (!os::text::isValidUtf8(decrypted)) return std::nullopt;
  return decrypted;
}

std::optional<os::Data> jsonString(const os::Value& object) {
  std::optional<std::string> json = os::json::serialize(object);
  if (!json) return std::nullopt;
  return os::Data(json->begin(), json->end());
}

void checkNotNull(const void* object, std::string_view name) {
  if (object == nullptr) throw os::Exception("NullPointer", std::string(name));
}

}  // namespace ExtendTool
