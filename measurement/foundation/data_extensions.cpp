#include "measurement/foundation/data_extensions.h"

#include <fmt/format.h>
#include <unicode/utf8.h>

#include <algorithm>

#include "os/crypto/crypto.h"
#include "os/net/url.h"
#include "os/text/text.h"

namespace measurement {

os::Data apm_MD5Data(std::span<const uint8_t> bytes) { return os::crypto::md5(bytes); }

int64_t apm_64LeastSignificantBits(std::span<const uint8_t> bytes) {
  const std::span<const uint8_t> last = bytes.size() > 8 ? bytes.last(8) : bytes;
  uint64_t value = 0;
  for (uint8_t byte : last) value = value << 8 | byte;
  return static_cast<int64_t>(value);
}

int64_t apm_64LSBMD5(std::span<const uint8_t> bytes) {
  return apm_64LeastSignificantBits(apm_MD5Data(bytes));
}

std::string apm_queryString(const os::Dictionary& dictionary) {
  std::string query;
  for (const auto& [key, value] : dictionary) {
    if (!query.empty()) query += "&";
    const std::string valueText = value.isString() ? *value.asString() : value.description();
    query += os::url::percentEncode(key, os::url::kQueryAllowed) + "=" +
             os::url::percentEncode(valueText, os::url::kQueryAllowed);
  }
  return query;
}

std::optional<std::string> apm_stringByUnescapingFromURLArgument(std::string_view text) {
  std::string spaced(text);
  for (char& c : spaced) {
    if (c == '+') c = ' ';
  }
  return os::url::percentDecode(spaced);
}

std::map<std::string, std::string> apm_dictionaryWithHttpArgumentsString(std::string_view text) {
  std::map<std::string, std::string> arguments;
  const auto unescaped = [](std::string_view piece) {
    return apm_stringByUnescapingFromURLArgument(piece).value_or("");
  };
  size_t begin = 0;
  while (begin <= text.size()) {
    const size_t separator = std::min(text.find('&', begin), text.size());
    const std::string_view piece = text.substr(begin, separator - begin);
    begin = separator + 1;
    if (piece.empty()) continue;
    const size_t equals = piece.find('=');
    // try_emplace keeps the first occurrence of a repeated key.
    if (equals == std::string_view::npos) {
      arguments.try_emplace(unescaped(piece), "");
    } else {
      arguments.try_emplace(unescaped(piece.substr(0, equals)),
                            unescaped(piece.substr(equals + 1)));
    }
  }
  return arguments;
}

std::optional<std::string> apm_MD5String(std::string_view text) {
  if (!os::text::isValidUtf8(text)) return std::nullopt;
  std::string hex;
  for (uint8_t byte : os::crypto::md5(text)) hex += fmt::format("{:02x}", byte);
  return hex;
}

bool isBitEnabledAtIndex(std::string_view bits, int64_t index) {
  return index >= 0 && static_cast<uint64_t>(index) < bits.size() && bits[index] == '1';
}

size_t apm_UTF32Length(std::string_view text) { return os::text::unicodeScalarCount(text); }

os::Data apm_getUTF32Bytes(std::string_view text, size_t maxBytes) {
  os::Data bytes;
  int32_t offset = 0;
  const auto length = static_cast<int32_t>(text.size());
  while (offset < length && bytes.size() + 4 <= maxBytes) {
    UChar32 scalar;
    U8_NEXT(text.data(), offset, length, scalar);
    if (scalar < 0) scalar = 0xFFFD;
    for (int shift = 0; shift < 32; shift += 8)
      bytes.push_back(static_cast<uint8_t>(scalar >> shift));
  }
  return bytes;
}

}  // namespace measurement
