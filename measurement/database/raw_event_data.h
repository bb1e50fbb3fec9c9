// A raw event read back from the raw_events table, with the row it came from and the
// fingerprint of the metadata it shares with its neighbours. Made only through make(), which
// refuses what no stored row can be.
#pragma once

#include <cstdint>
#include <optional>

#include "measurement/model/event.h"

namespace measurement {

class RawEventData {
 public:
  // std::nullopt, logged, for a negative row id (28001); an absent event cannot be passed.
  static std::optional<RawEventData> make(Event rawEvent, int64_t rowID,
                                          int64_t metadataFingerprint);

  const Event& rawEvent() const { return rawEvent_; }
  int64_t rowID() const { return rowID_; }
  int64_t metadataFingerprint() const { return metadataFingerprint_; }

  friend bool operator==(const RawEventData&, const RawEventData&) = default;

 private:
  RawEventData(Event rawEvent, int64_t rowID, int64_t metadataFingerprint)
      : rawEvent_(std::move(rawEvent)), rowID_(rowID), metadataFingerprint_(metadataFingerprint) {}

  Event rawEvent_;
  int64_t rowID_;
  int64_t metadataFingerprint_;
};

// An upload bundle waiting in the queue table, and its row there.
struct QueuedBundle {
  APMPBMeasurementBundle bundle;
  int64_t rowID;
};

}  // namespace measurement
