#include "measurement/database/daily_counts.h"

#include <gtest/gtest.h>

#include <functional>

namespace measurement {
namespace {

TEST(DailyCounts, CountsEachKindOfEventAndStartsOverOnANewDay) {
  const DailyCounts start(10, 1, 2, 3, 4, 5, 6);
  struct Case {
    const char* name;
    std::function<void(DailyCounts&)> change;
    DailyCounts expected;
  };
  const Case cases[] = {
      {"public conversion of 3", [](auto& c) { c.incrementCountsForCurrentDay(10, true, true, 3); },
       DailyCounts(10, 2, 5, 6, 4, 5, 6)},
      {"private event", [](auto& c) { c.incrementCountsForCurrentDay(10, false, false); },
       DailyCounts(10, 1, 3, 3, 4, 5, 6)},
      {"error event", [](auto& c) { c.incrementErrorEventsCountForCurrentDay(10); },
       DailyCounts(10, 1, 3, 3, 5, 5, 6)},
      {"real-time", [](auto& c) { c.incrementRealtimeCountsForCurrentDay(10); },
       DailyCounts(10, 1, 2, 3, 4, 6, 6)},
      {"dcu real-time", [](auto& c) { c.incrementDCURealtimeCountsForCurrentDay(10); },
       DailyCounts(10, 1, 2, 3, 4, 5, 7)},
      {"public event on the next day",
       [](auto& c) { c.incrementCountsForCurrentDay(11, true, false); },
       DailyCounts(11, 0, 1, 1, 0, 0, 0)},
      {"error event on an earlier day",
       [](auto& c) { c.incrementErrorEventsCountForCurrentDay(9); },
       DailyCounts(9, 0, 1, 0, 1, 0, 0)},
      {"real-time on the next day", [](auto& c) { c.incrementRealtimeCountsForCurrentDay(11); },
       DailyCounts(11, 0, 0, 0, 0, 1, 0)},
      {"one event fewer", [](auto& c) { c.decrementAllEventsCount(); },
       DailyCounts(10, 1, 1, 3, 4, 5, 6)},
      {"reset", [](auto& c) { c.resetWithNewDay(12); }, DailyCounts(12, 0, 0, 0, 0, 0, 0)},
      {"counting stops at the int32 maximum",
       [](auto& c) { c.incrementCountsForCurrentDay(10, true, false, 2147483647); },
       DailyCounts(10, 1, 2147483647, 2147483647, 4, 5, 6)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DailyCounts counts = start;
    c.change(counts);
    EXPECT_EQ(counts, c.expected);
  }
  DailyCounts empty(3, 0, 0, 0, 0, 0, 0);
  empty.decrementAllEventsCount();
  EXPECT_EQ(empty.allEventsCount(), 0);
}

}  // namespace
}  // namespace measurement
