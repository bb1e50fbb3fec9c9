// The launch link: a link the application was opened with, kept in the application's preferences
// from did-finish-launching until the engine's start-up reports it as a campaign.
//
//   storeDeepLink(MeasurementUserDefaults::shared(), "app://open?utm_source=news");
//   if (isStoredDeepLinkOlderThan(defaults, ttl)) clearStoredDeepLink(defaults);
#pragma once

#include <cstdint>
#include <string_view>

#include "measurement/foundation/config_store.h"

namespace measurement {

inline constexpr const char* kStoredDeepLinkKey = "/vedodo/measurement/deep_link";
inline constexpr const char* kStoredDeepLinkTimestampKey =
    "/vedodo/measurement/deep_link_timestamp_seconds";

// Stores the link with the current time.
void storeDeepLink(ConfigStore& defaults, std::string_view link);
void clearStoredDeepLink(ConfigStore& defaults);
// A time is stored and lies more than `interval` seconds from now, either way.
bool isStoredDeepLinkOlderThan(ConfigStore& defaults, double interval);
// The start of the hour before the one holding `milliseconds`.
int64_t previousHourStartMillis(int64_t milliseconds);

}  // namespace measurement
