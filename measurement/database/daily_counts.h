// DailyCounts: the counters of the events logged on one day, kept in row 1 of app_metadata,
// which the engine compares with its daily limits. A day is a number the caller chooses
// (Database::currentDayNumber()); counting under another day first zeroes every counter.
//
//   DailyCounts counts = *database.dailyCounts(&error).value();
//   counts.incrementCountsForCurrentDay(database.currentDayNumber(), isPublic, isConversion);
//   database.updateDailyCounts(counts, &error);
#pragma once

#include <cstdint>

namespace measurement {

class DailyCounts {
 public:
  // The seven values as given, unchecked.
  DailyCounts(int32_t day, int32_t conversionsCount, int32_t allEventsCount,
              int32_t publicEventsCount, int32_t errorEventsCount, int32_t realtimeCount,
              int32_t dcuRealtimeCount);

  // A conversion adds 1 to the conversions (whatever `count`); every event adds `count` to all
  // events, and a public one to the public events too.
  void incrementCountsForCurrentDay(int32_t day, bool isPublicEvent, bool isConversion,
                                    int32_t count = 1);
  // Adds 1 to all events and to error events.
  void incrementErrorEventsCountForCurrentDay(int32_t day);
  void incrementRealtimeCountsForCurrentDay(int32_t day);
  void incrementDCURealtimeCountsForCurrentDay(int32_t day);
  // One event fewer, never below 0.
  void decrementAllEventsCount();
  // The new day with every counter at 0.
  void resetWithNewDay(int32_t day);

  int32_t day() const { return day_; }
  int32_t conversionsCount() const { return conversionsCount_; }
  int32_t allEventsCount() const { return allEventsCount_; }
  int32_t publicEventsCount() const { return publicEventsCount_; }
  int32_t errorEventsCount() const { return errorEventsCount_; }
  int32_t realtimeCount() const { return realtimeCount_; }
  int32_t dcuRealtimeCount() const { return dcuRealtimeCount_; }

  friend bool operator==(const DailyCounts&, const DailyCounts&) = default;

 private:
  void moveToDay(int32_t day);

  int32_t day_;
  int32_t conversionsCount_;
  int32_t allEventsCount_;
  int32_t publicEventsCount_;
  int32_t errorEventsCount_;
  int32_t realtimeCount_;
  int32_t dcuRealtimeCount_;
};

}  // namespace measurement
