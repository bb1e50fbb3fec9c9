#include "measurement/model/event_aggregates.h"

#include <gtest/gtest.h>

#include <limits>

#include "measurement/foundation/monitor_capture.h"
#include "measurement/model/test_support.h"

namespace measurement {
namespace {

class EventAggregatesTest : public MonitorDrainingTest {};

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

TEST_F(EventAggregatesTest, StartsWithTheSamplingDefaults) {
  std::optional<EventAggregates> tally = EventAggregates::initWithName("_vs", 1, 2, 3, 10.5);
  ASSERT_TRUE(tally);
  EXPECT_EQ(tally->lifetimeCount(), 1);
  EXPECT_EQ(tally->currentBundleCount(), 2);
  EXPECT_EQ(tally->currentSessionCount(), 3);
  EXPECT_EQ(tally->lastFireTimestamp(), 10.5);
  EXPECT_EQ(tally->lastBundledTimestamp(), 0);
  EXPECT_EQ(tally->lastSampledComplexEventID(), std::nullopt);
  EXPECT_EQ(tally->lastSamplingRate(), 1);
  EXPECT_FALSE(tally->lastExemptFromSampling());
  EXPECT_EQ(tally->lastBundledDay(), 0);
}

TEST_F(EventAggregatesTest, RefusesBadNamesAndNegativeCounts) {
  MonitorCapture capture;
  EXPECT_FALSE(EventAggregates::initWithName("bad name", 0, 0, 0, 0));
  EXPECT_FALSE(capture.contains(17000));
  EXPECT_FALSE(EventAggregates::initWithName("_vs", 0, 0, -1, 0));
  EXPECT_TRUE(capture.contains(17000));
  EXPECT_TRUE(EventAggregates::initWithName("_vs", 0, 0, 0, 0));
}

TEST_F(EventAggregatesTest, CountsWrapToZeroAtTheInt32Maximum) {
  MonitorCapture capture;
  std::optional<EventAggregates> tally = EventAggregates::initWithName("_e", kMax, kMax, kMax, 0);
  struct Case {
    void (EventAggregates::*increment)();
    int32_t (EventAggregates::*count)() const;
    int64_t code;
  } cases[] = {
      {&EventAggregates::incrementLifetimeCount, &EventAggregates::lifetimeCount, 17001},
      {&EventAggregates::incrementCurrentBundleCount, &EventAggregates::currentBundleCount, 17002},
      {&EventAggregates::incrementCurrentSessionCount, &EventAggregates::currentSessionCount,
       17003},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_FALSE(capture.contains(c.code));
    ((*tally).*c.increment)();
    EXPECT_EQ(((*tally).*c.count)(), 0);
    EXPECT_TRUE(capture.contains(c.code));
    ((*tally).*c.increment)();
    EXPECT_EQ(((*tally).*c.count)(), 1);
  }
}

}  // namespace
}  // namespace measurement
