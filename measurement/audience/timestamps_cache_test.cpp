#include "measurement/audience/timestamps_cache.h"

#include <gtest/gtest.h>

#include <vector>

#include "measurement/audience/test_support.h"
#include "measurement/foundation/monitor_capture.h"

namespace measurement {
namespace {

using testing::bytesOf;
using testing::reference;
namespace ref = testing::ref;

class TimestampsCacheTest : public testing::SandboxedTest {
 protected:
  // What the cache writes for the audience, as the reference decodes it.
  static ref::ResultData written(const AudienceTimestampsCache& cache, int32_t audienceID) {
    APMPBResultData data;
    APMPBSetArray(data, kResultData_dynamic_filter_timestamps,
                  cache.dynamicTimestampsForAudienceID(audienceID));
    if (auto sequence = cache.sequenceTimestampsForAudienceID(audienceID)) {
      APMPBSetArray(data, kResultData_sequence_filter_timestamps, *sequence);
    }
    return reference<ref::ResultData>(data.protoBuffer().value_or(os::Data()));
  }
};

EventFilter eventFilter(int32_t filterID, bool dynamic, bool sequence) {
  return EventFilter(1, filterID, "_e", os::Data{1}, false, dynamic, sequence);
}
PropertyFilter propertyFilter(int32_t filterID) {
  return PropertyFilter(1, filterID, "_ltv", os::Data{1}, false, false, true);
}

TEST_F(TimestampsCacheTest, SequenceEventTimesKeepOnePerWholeSecond) {
  SequenceTimestampsCache sequence(1);
  MonitorCapture capture;
  sequence.addEventFilterTimestamp(100.2, 3);
  sequence.addEventFilterTimestamp(100.9, 3);
  EXPECT_EQ(sequence.sequenceTimestampsForFilterID(3), (std::vector<double>{100.2}));
  sequence.addEventFilterTimestamp(101.0, 3);
  EXPECT_FALSE(capture.contains(42000));
  // Earlier than the last: logged and still appended.
  sequence.addEventFilterTimestamp(50.0, 3);
  EXPECT_TRUE(capture.contains(42000));
  EXPECT_EQ(sequence.sequenceTimestampsForFilterID(3), (std::vector<double>{100.2, 101.0, 50.0}));
  EXPECT_EQ(sequence.sequenceTimestampsForFilterID(4), std::nullopt);

  ASSERT_EQ(sequence.sequenceFilterResultTimestamps().size(), 1u);
  ref::SequenceFilterResultTimestamp entry = reference<ref::SequenceFilterResultTimestamp>(
      *sequence.sequenceFilterResultTimestamps()[0].protoBuffer());
  EXPECT_EQ(entry.filter_id(), 3);
  EXPECT_EQ(std::vector<int64_t>(entry.eval_timestamps().begin(), entry.eval_timestamps().end()),
            (std::vector<int64_t>{50, 100, 101}));
}

TEST_F(TimestampsCacheTest, ASequencePropertyFilterKeepsOnlyItsLastTime) {
  AudienceTimestampsCache cache;
  MonitorCapture capture;
  for (double time : {10.0, 30.0, 20.0}) cache.addEvaluationTimestamp(time, propertyFilter(2));
  EXPECT_TRUE(capture.contains(42001));
  ref::ResultData data = written(cache, 1);
  ASSERT_EQ(data.sequence_filter_timestamps_size(), 1);
  EXPECT_EQ(data.sequence_filter_timestamps(0).eval_timestamps_size(), 1);
  EXPECT_EQ(data.sequence_filter_timestamps(0).eval_timestamps(0), 20);
}

TEST_F(TimestampsCacheTest, ADynamicFilterKeepsItsLatestTimeOnceLoaded) {
  AudienceTimestampsCache cache;
  cache.addEvaluationTimestamp(30, eventFilter(2, true, false));
  EXPECT_EQ(written(cache, 1).dynamic_filter_timestamps_size(), 0) << "not loaded";

  cache.populateCachedTimestamps(std::nullopt, 1);
  MonitorCapture capture;
  cache.addEvaluationTimestamp(50.7, eventFilter(2, true, false));
  EXPECT_FALSE(capture.contains(6037));
  cache.addEvaluationTimestamp(40, eventFilter(2, true, false));
  EXPECT_TRUE(capture.contains(6037));
  cache.addEvaluationTimestamp(50.7, eventFilter(2, true, false));
  EXPECT_EQ(capture.records().size(), 2u);
  // Neither flag: nothing kept.
  cache.addEvaluationTimestamp(60, eventFilter(10, false, false));
  // An absent filter counts as time 0: a time of 0 is refused and leaves no entry behind.
  cache.addEvaluationTimestamp(0, eventFilter(3, true, false));
  EXPECT_EQ(capture.records().size(), 3u);
  ref::ResultData data = written(cache, 1);
  ASSERT_EQ(data.dynamic_filter_timestamps_size(), 1);
  EXPECT_EQ(data.dynamic_filter_timestamps(0).eval_timestamp(), 50);
}

TEST_F(TimestampsCacheTest, LoadsStoredTimesOnceAndWritesThemInFilterIDOrder) {
  ref::ResultData stored = reference<ref::ResultData>(
      "dynamic_filter_timestamps { filter_id: 10 eval_timestamp: 7 } "
      "dynamic_filter_timestamps { filter_id: 2 eval_timestamp: 9 } "
      "sequence_filter_timestamps { filter_id: 10 eval_timestamps: [10, 20, 30] } "
      "sequence_filter_timestamps { filter_id: 2 } ");
  AudienceTimestampsCache cache;
  cache.populateCachedTimestamps(FilterResult(1, bytesOf(stored), std::nullopt), 1);
  // A second load of the same audience changes nothing.
  cache.populateCachedTimestamps(FilterResult(1, os::Data(), std::nullopt), 1);
  cache.addEvaluationTimestamp(45, eventFilter(2, false, true));

  ref::ResultData data = written(cache, 1);
  ASSERT_EQ(data.dynamic_filter_timestamps_size(), 2);
  EXPECT_EQ(data.dynamic_filter_timestamps(0).filter_id(), 2);
  EXPECT_EQ(data.dynamic_filter_timestamps(1).filter_id(), 10);
  ASSERT_EQ(data.sequence_filter_timestamps_size(), 2);
  EXPECT_EQ(data.sequence_filter_timestamps(0).filter_id(), 2);
  EXPECT_EQ(data.sequence_filter_timestamps(0).eval_timestamps_size(), 1);
  EXPECT_EQ(data.sequence_filter_timestamps(1).filter_id(), 10);
  ASSERT_EQ(data.sequence_filter_timestamps(1).eval_timestamps_size(), 1);
  EXPECT_EQ(data.sequence_filter_timestamps(1).eval_timestamps(0), 30);

  EXPECT_TRUE(cache.dynamicTimestampsForAudienceID(8).empty());
  EXPECT_EQ(cache.sequenceTimestampsForAudienceID(8), std::nullopt);
}

}  // namespace
}  // namespace measurement
