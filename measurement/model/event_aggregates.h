// EventAggregates: the running tally the engine keeps for each event name (one stored row per
// name): how many events of the name were logged in total, in the upload bundle being built and
// in the current session, when the last one fired and was bundled, and the sampling state last
// applied to the name.
//
//   std::optional<EventAggregates> tally = EventAggregates::initWithName("_vs", 1, 1, 1, now);
//   tally->incrementLifetimeCount();
//
// The counts change only through the increments, which wrap from the int32 maximum to 0 (logged).
// The fields after lastFireTimestamp belong to the database and the bundling code; this record
// only carries them. A value used by one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace measurement {

class EventAggregates {
 public:
  // std::nullopt when the name is not a valid internal event name (the validator logs) or a
  // count is negative (17000).
  static std::optional<EventAggregates> initWithName(std::string_view name, int32_t lifetimeCount,
                                                     int32_t currentBundleCount,
                                                     int32_t currentSessionCount,
                                                     double lastFireTimestamp);

  const std::string& name() const { return name_; }
  int32_t lifetimeCount() const { return lifetimeCount_; }
  int32_t currentBundleCount() const { return currentBundleCount_; }
  int32_t currentSessionCount() const { return currentSessionCount_; }
  double lastFireTimestamp() const { return lastFireTimestamp_; }
  double lastBundledTimestamp() const { return lastBundledTimestamp_; }
  const std::optional<int64_t>& lastSampledComplexEventID() const {
    return lastSampledComplexEventID_;
  }
  int32_t lastSamplingRate() const { return lastSamplingRate_; }
  bool lastExemptFromSampling() const { return lastExemptFromSampling_; }
  int32_t lastBundledDay() const { return lastBundledDay_; }

  void incrementLifetimeCount();
  void incrementCurrentBundleCount();
  void incrementCurrentSessionCount();

  void setLastFireTimestamp(double timestamp) { lastFireTimestamp_ = timestamp; }
  void setLastBundledTimestamp(double timestamp) { lastBundledTimestamp_ = timestamp; }
  void setLastSampledComplexEventID(std::optional<int64_t> id) { lastSampledComplexEventID_ = id; }
  void setLastSamplingRate(int32_t rate) { lastSamplingRate_ = rate; }
  void setLastExemptFromSampling(bool exempt) { lastExemptFromSampling_ = exempt; }
  void setLastBundledDay(int32_t day) { lastBundledDay_ = day; }

  friend bool operator==(const EventAggregates&, const EventAggregates&) = default;

 private:
  EventAggregates() = default;

  std::string name_;
  int32_t lifetimeCount_ = 0;
  int32_t currentBundleCount_ = 0;
  int32_t currentSessionCount_ = 0;
  double lastFireTimestamp_ = 0;
  double lastBundledTimestamp_ = 0;
  std::optional<int64_t> lastSampledComplexEventID_;
  int32_t lastSamplingRate_ = 1;
  bool lastExemptFromSampling_ = false;
  int32_t lastBundledDay_ = 0;
};

}  // namespace measurement
