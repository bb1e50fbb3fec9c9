#include "measurement/database/raw_event_data.h"

#include "measurement/foundation/monitor.h"

namespace measurement {

std::optional<RawEventData> RawEventData::make(Event rawEvent, int64_t rowID,
                                               int64_t metadataFingerprint) {
  if (rowID < 0) {
    monitor().log(MonitorLevel::kWarningSampled, 28001,
                  "Failed to create raw event data. Received invalid row ID. Row ID", rowID);
    return std::nullopt;
  }
  return RawEventData(std::move(rawEvent), rowID, metadataFingerprint);
}

}  // namespace measurement
