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
