#include "measurement/database/daily_counts.h"

#include <algorithm>
#include <limits>

namespace measurement {
namespace {

// A counter stops at the int32 maximum instead of overflowing.
void add(int32_t& counter, int32_t amount) {
  int64_t sum = int64_t{counter} + amount;
  counter = static_cast<int32_t>(std::min<int64_t>(sum, std::numeric_limits<int32_t>::max()));
}

}  // namespace

DailyCounts::DailyCounts(int32_t day, int32_t conversionsCount, int32_t allEventsCount,
                         int32_t publicEventsCount, int32_t errorEventsCount, int32_t realtimeCount,
                         int32_t dcuRealtimeCount)
    : day_(day),
      conversionsCount_(conversionsCount),
      allEventsCount_(allEventsCount),
      publicEventsCount_(publicEventsCount),
      errorEventsCount_(errorEventsCount),
      realtimeCount_(realtimeCount),
      dcuRealtimeCount_(dcuRealtimeCount) {}

void DailyCounts::moveToDay(int32_t day) {
  if (day != day_) resetWithNewDay(day);
}

void DailyCounts::incrementCountsForCurrentDay(int32_t day, bool isPublicEvent, bool isConversion,
                                               int32_t count) {
  moveToDay(day);
  if (isConversion) add(conversionsCount_, 1);
  add(allEventsCount_, count);
  if (isPublicEvent) add(publicEventsCount_, count);
}

void DailyCounts::incrementErrorEventsCountForCurrentDay(int32_t day) {
  moveToDay(day);
  add(allEventsCount_, 1);
  add(errorEventsCount_, 1);
}

void DailyCounts::incrementRealtimeCountsForCurrentDay(int32_t day) {
  moveToDay(day);
  add(realtimeCount_, 1);
}

void DailyCounts::incrementDCURealtimeCountsForCurrentDay(int32_t day) {
  moveToDay(day);
  add(dcuRealtimeCount_, 1);
}

void DailyCounts::decrementAllEventsCount() {
  if (allEventsCount_ > 0) allEventsCount_ -= 1;
}

void DailyCounts::resetWithNewDay(int32_t day) {
  day_ = day;
  conversionsCount_ = 0;
  allEventsCount_ = 0;
  publicEventsCount_ = 0;
  errorEventsCount_ = 0;
  realtimeCount_ = 0;
  dcuRealtimeCount_ = 0;
}

}  // namespace measurement
