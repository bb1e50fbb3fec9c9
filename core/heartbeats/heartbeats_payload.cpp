#include "core/heartbeats/heartbeats_payload.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace heartbeats {

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

}  // namespace heartbeats
