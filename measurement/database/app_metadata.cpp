#include "measurement/database/app_metadata.h"

#include <limits>

#include "measurement/foundation/monitor.h"

namespace measurement {

std::optional<AppMetadata> AppMetadata::create(int32_t lastBundleIndex,
                                               double lastBundleStartTimestamp,
                                               double lastBundleEndTimestamp) {
  if (lastBundleIndex < 0) {
    monitor().log(MonitorLevel::kErrorSilent, 4000,
                  "Failed to create app metadata object. Received negative last bundle index.");
    return std::nullopt;
  }
  return AppMetadata(lastBundleIndex, lastBundleStartTimestamp, lastBundleEndTimestamp);
}

void AppMetadata::incrementLastBundleIndex() {
  lastBundleIndex_ =
      lastBundleIndex_ == std::numeric_limits<int32_t>::max() ? 0 : lastBundleIndex_ + 1;
  if (lastBundleIndex_ == 0) {
    monitor().log(MonitorLevel::kWarningSilent, 4001,
                  "Bundle index overflow. Bundle index reset to 0.");
  }
}

}  // namespace measurement
