#include "core/heartbeats/heartbeats_payload.h"

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/utilities/gzip.h"

namespace heartbeats {

std::string base64UrlWithoutPadding(const uint8_t* bytes, size_t length) {
  // EVP_EncodeBlock writes 4 characters per 3 bytes, padded, and a terminating NUL.
  std::string text(4 * ((length + 2) / 3) + 1, '\0');
  int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes,
                                static_cast<int>(length));
  text.resize(static_cast<size_t>(written));
  std::replace(text.begin(), text.end(), '/', '_');
  std::replace(text.begin(), text.end(), '+', '-');
  text.erase(std::remove(text.begin(), text.end(), '='), text.end());
  return text;
}

namespace {

// The value of `c` in the standard base64 alphabet, or -1.
int standardBase64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Standard base64 with "=" padding, as strict as `options` say.
std::optional<os::Data> standardBase64Decoded(std::string_view text,
                                              Base64DecodingOptions options) {
  os::Data bytes;
  uint32_t group = 0;
  size_t values = 0;
  size_t padding = 0;
  for (char c : text) {
    if (c == '=') {
      ++padding;
      continue;
    }
    int value = standardBase64Value(c);
    if (value < 0) {
      if (options == Base64DecodingOptions::ignoreUnknownCharacters) continue;
      return std::nullopt;
    }
    if (padding > 0) return std::nullopt;  // "=" before the end
    group = group << 6 | static_cast<uint32_t>(value);
    if (++values % 4 == 0) {
      bytes.insert(bytes.end(), {static_cast<uint8_t>(group >> 16),
                                 static_cast<uint8_t>(group >> 8), static_cast<uint8_t>(group)});
      group = 0;
    }
  }
  // A last group of 2 or 3 values gives 1 or 2 bytes; padding, where there is any, must complete
  // it exactly (it is missing only where skipped characters took its place in the length).
  const size_t pending = values % 4;
  if (pending == 1 || (padding > 0 && pending + padding != 4)) return std::nullopt;
  if (pending == 2) bytes.push_back(static_cast<uint8_t>(group >> 4));
  if (pending == 3) {
    bytes.push_back(static_cast<uint8_t>(group >> 10));
    bytes.push_back(static_cast<uint8_t>(group >> 2));
  }
  return bytes;
}

}  // namespace

std::optional<os::Data> base64UrlDecoded(std::string_view text, Base64DecodingOptions options) {
  std::string standard(text);
  std::replace(standard.begin(), standard.end(), '_', '/');
  std::replace(standard.begin(), standard.end(), '-', '+');
  standard.append((4 - standard.size() % 4) % 4, '=');
  return standardBase64Decoded(standard, options);
}

const HeartbeatsPayload& HeartbeatsPayload::emptyPayload() {
  static const HeartbeatsPayload empty;
  return empty;
}

std::string utcDayText(double date) {
  using namespace std::chrono;
  const sys_days day{days{static_cast<int64_t>(std::floor(date / 86400))}};
  const year_month_day ymd{day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
  return text;
}

std::optional<std::string> HeartbeatsPayload::jsonDocument() const {
  nlohmann::json heartbeats = nlohmann::json::array();
  for (const UserAgentPayload& entry : userAgentPayloads) {
    nlohmann::json dates = nlohmann::json::array();
    for (double date : entry.dates) dates.push_back(utcDayText(date));
    heartbeats.push_back({{"agent", entry.agent}, {"dates", std::move(dates)}});
  }
  try {
    return nlohmann::json{{"heartbeats", std::move(heartbeats)}, {"version", version}}.dump();
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

std::string HeartbeatsPayload::headerValue() const {
  std::string document = jsonDocument().value_or(*emptyPayload().jsonDocument());
  const auto* bytes = reinterpret_cast<const uint8_t*>(document.data());
  std::optional<os::Data> gzipped = VDUNSDataZlib::gul_dataByGzippingData({bytes, document.size()});
  if (!gzipped) return base64UrlWithoutPadding(bytes, document.size());
  return base64UrlWithoutPadding(gzipped->data(), gzipped->size());
}

}  // namespace heartbeats
