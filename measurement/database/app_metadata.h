// AppMetadata: the running index and time span of the last upload bundle, kept in row 1 of
// app_metadata. The engine reads it when it builds a bundle, advances the index and stores the
// new bundle's times.
//
//   std::optional<AppMetadata> metadata = AppMetadata::create(0, 0, 0);
//   metadata->incrementLastBundleIndex();   // 1: the first bundle of a new database
#pragma once

#include <cstdint>
#include <optional>

namespace measurement {

class AppMetadata {
 public:
  // nullopt for a negative index, after a monitor report (4000).
  static std::optional<AppMetadata> create(int32_t lastBundleIndex, double lastBundleStartTimestamp,
                                           double lastBundleEndTimestamp);

  // index + 1; 2147483647 wraps to 0, which the monitor hears (4001).
  void incrementLastBundleIndex();

  int32_t lastBundleIndex() const { return lastBundleIndex_; }
  // Seconds since 1970.
  double lastBundleStartTimestamp() const { return lastBundleStartTimestamp_; }
  void setLastBundleStartTimestamp(double seconds) { lastBundleStartTimestamp_ = seconds; }
  double lastBundleEndTimestamp() const { return lastBundleEndTimestamp_; }
  void setLastBundleEndTimestamp(double seconds) { lastBundleEndTimestamp_ = seconds; }

  friend bool operator==(const AppMetadata&, const AppMetadata&) = default;

 private:
  AppMetadata(int32_t index, double start, double end)
      : lastBundleIndex_(index), lastBundleStartTimestamp_(start), lastBundleEndTimestamp_(end) {}

  int32_t lastBundleIndex_;
  double lastBundleStartTimestamp_;
  double lastBundleEndTimestamp_;
};

}  // namespace measurement
