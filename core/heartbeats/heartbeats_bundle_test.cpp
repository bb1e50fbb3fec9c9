#include "core/heartbeats/heartbeats_bundle.h"

#include <gtest/gtest.h>

namespace heartbeats {
namespace {

constexpr double kDay1 = 1765238400;  // 2025-12-09 00:00:00 UTC
double day(int n) { return kDay1 + (n - 1) * kSecondsPerDay; }
Heartbeat heartbeat(const std::string& agent, int n) {
  return {agent, day(n), 0, {TimePeriod::daily}};
}

TEST(HeartbeatsBundle, AFreshBundleHasEmptySlotsAndEveryPeriodNeverAdded) {
  HeartbeatsBundle bundle(30);
  EXPECT_EQ(bundle.capacity, 30);
  EXPECT_EQ(bundle.buffer.circularQueue().size(), 30u);
  EXPECT_EQ(bundle.buffer.tailIndex(), 0);
  EXPECT_EQ(bundle.lastAddedHeartbeatDates,
            (std::map<TimePeriod, double>{{TimePeriod::daily, kDistantPast}}));
}

TEST(HeartbeatsBundle, AppendMarksThePeriodsAndForgetsTheDateOfAnOverwrittenHeartbeat) {
  HeartbeatsBundle bundle(2);
  bundle.append(heartbeat("a", 1));
  bundle.append(heartbeat("a", 2));
  EXPECT_EQ(bundle.lastAddedHeartbeatDates.at(TimePeriod::daily), day(2));

  // A heartbeat with no periods of its own overwrites day 1's slot: a period last added on the
  // overwritten date goes back to the distant past.
  bundle.lastAddedHeartbeatDates[TimePeriod::daily] = day(1);
  bundle.append({"b", day(3), 0, {}});
  EXPECT_EQ(bundle.lastAddedHeartbeatDates.at(TimePeriod::daily), kDistantPast);
  EXPECT_EQ(bundle.buffer.elements(),
            (std::vector<Heartbeat>{{"b", day(3), 0, {}}, heartbeat("a", 2)}));
}

TEST(HeartbeatsBundle, AppendToARingWithItsTailOutOfRangeStartsAfreshWithADiagnostic) {
  std::vector<std::optional<Heartbeat>> slots(30, heartbeat("old", 1));
  HeartbeatsBundle bundle(30, {{TimePeriod::daily, day(1)}}, RingBuffer<Heartbeat>(slots, 30));
  bundle.append(heartbeat("agent/1", 5));
  ASSERT_EQ(bundle.buffer.elements().size(), 1u);
  EXPECT_EQ(bundle.buffer.elements()[0],
            (Heartbeat{"agent/1 error/Out-of-bounds-push-at-index-30-to-ring-buffer-withend-index-"
                       "of-30.",
                       day(5),
                       0,
                       {TimePeriod::daily}}));
  EXPECT_EQ(bundle.buffer.tailIndex(), 1);
  EXPECT_EQ(bundle.lastAddedHeartbeatDates.at(TimePeriod::daily), day(5));
}

TEST(HeartbeatsBundle, AppendAtCapacityZeroChangesNothing) {
  HeartbeatsBundle bundle(0);
  bundle.append(heartbeat("a", 1));
  EXPECT_EQ(bundle, HeartbeatsBundle(0));
}

TEST(HeartbeatsBundle, RemoveHeartbeatTakesOutOneDateAndKeepsTheOthersInRingOrder) {
  HeartbeatsBundle bundle(4);
  for (int n : {1, 2, 3}) bundle.append(heartbeat("a", n));
  EXPECT_EQ(bundle.removeHeartbeat(day(2)), heartbeat("a", 2));
  // Day 3 was popped, then pushed back into day 2's slot.
  EXPECT_EQ(bundle.buffer.elements(),
            (std::vector<Heartbeat>{heartbeat("a", 1), heartbeat("a", 3)}));
  EXPECT_EQ(bundle.buffer.tailIndex(), 2);
  EXPECT_EQ(bundle.lastAddedHeartbeatDates.at(TimePeriod::daily), day(3));
}

TEST(HeartbeatsBundle, RemoveHeartbeatOfAnAbsentDateKeepsTheContentInRingOrder) {
  HeartbeatsBundle bundle(3);
  for (int n : {1, 2}) bundle.append(heartbeat("a", n));
  EXPECT_EQ(bundle.removeHeartbeat(day(9)), std::nullopt);
  // The pops went round to the empty slot and the pushes started there: the tail moved, the
  // order from the tail on is the same.
  EXPECT_EQ(bundle.buffer.tailIndex(), 1);
  EXPECT_EQ(
      bundle.buffer.circularQueue(),
      (std::vector<std::optional<Heartbeat>>{heartbeat("a", 2), std::nullopt, heartbeat("a", 1)}));
}

TEST(HeartbeatsBundle, PayloadGroupsDatesByAgentInSlotOrderWithAgentsSorted) {
  HeartbeatsBundle bundle(4);
  bundle.append(heartbeat("zeta/1", 1));
  bundle.append(heartbeat("alpha/1", 2));
  bundle.append(heartbeat("zeta/1", 3));
  HeartbeatsPayload payload = bundle.makeHeartbeatsPayload();
  EXPECT_EQ(payload.version, 2);
  EXPECT_EQ(payload.userAgentPayloads, (std::vector<HeartbeatsPayload::UserAgentPayload>{
                                           {"alpha/1", {day(2)}}, {"zeta/1", {day(1), day(3)}}}));
}

}  // namespace
}  // namespace heartbeats
