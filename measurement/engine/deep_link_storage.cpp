#include "measurement/engine/deep_link_storage.h"

#include <cmath>
#include <string>

#include "os/process/clock.h"

namespace measurement {

constexpr int64_t kMillisecondsPerHour = 3600000;

void storeDeepLink(ConfigStore& defaults, std::string_view link) {
  defaults.setObject(os::Value(std::string(link)), kStoredDeepLinkKey);
  defaults.setObject(os::Value(os::clock::now()), kStoredDeepLinkTimestampKey);
}

void clearStoredDeepLink(ConfigStore& defaults) {
  defaults.setObject(os::Value(), kStoredDeepLinkKey);
  defaults.setObject(os::Value(), kStoredDeepLinkTimestampKey);
}

bool isStoredDeepLinkOlderThan(ConfigStore& defaults, double interval) {
  os::Value stored = defaults.objectForKey(kStoredDeepLinkTimestampKey);
  if (!stored.isNumber()) return false;
  return std::abs(os::clock::now() - stored.doubleValue()) > interval;
}

int64_t previousHourStartMillis(int64_t milliseconds) {
  return milliseconds / kMillisecondsPerHour * kMillisecondsPerHour - kMillisecondsPerHour;
}

}  // namespace measurement
