#include "core/heartbeats/bundle_coding.h"

#include <gtest/gtest.h>

namespace heartbeats {
namespace {

constexpr double kDay = 1765238400;  // 2025-12-09, 786931200 s after 2001-01-01

TEST(BundleCoding, WritesTheStoredLayoutWithReferenceDateSeconds) {
  HeartbeatsBundle fresh(2);
  EXPECT_EQ(encodeBundle(fresh),
            R"({"buffer":{"circularQueue":[null,null],"tailIndex":0},"capacity":2,)"
            R"("lastAddedHeartbeatDates":[1,-63114076800.0]})");

  HeartbeatsBundle bundle(3);
  bundle.append({"a/1", kDay, 0, {TimePeriod::daily}});
  EXPECT_EQ(encodeBundle(bundle),
            R"({"buffer":{"circularQueue":[{"agent":"a/1","date":786931200.0,"timePeriods":[1],)"
            R"("version":0},null,null],"tailIndex":1},"capacity":3,)"
            R"("lastAddedHeartbeatDates":[1,786931200.0]})");
}

TEST(BundleCoding, ReadsBackWhatItWrites) {
  HeartbeatsBundle bundle(3);
  for (int n = 0; n < 4; ++n)
    bundle.append({"a/1", kDay + n * kSecondsPerDay, 0, {TimePeriod::daily}});
  EXPECT_EQ(decodeBundle(*encodeBundle(bundle)), bundle);
}

TEST(BundleCoding, ReadsIntegerDatesNullSlotsAndAnEmptyDateMap) {
  std::optional<HeartbeatsBundle> bundle = decodeBundle(
      R"({"capacity":2,"lastAddedHeartbeatDates":[],"buffer":{"tailIndex":1,)"
      R"("circularQueue":[{"agent":"x","date":786931200,"version":0,"timePeriods":[1]},null]}})");
  ASSERT_TRUE(bundle);
  EXPECT_TRUE(bundle->lastAddedHeartbeatDates.empty());
  EXPECT_EQ(bundle->buffer.circularQueue(),
            (std::vector<std::optional<Heartbeat>>{Heartbeat{"x", kDay, 0, {TimePeriod::daily}},
                                                   std::nullopt}));
  EXPECT_EQ(bundle->buffer.tailIndex(), 1);
}

TEST(BundleCoding, RefusesDocumentsThatDoNotHoldTheLayout) {
  const std::string heartbeat = R"({"agent":"x","date":1,"version":0,"timePeriods":[1]})";
  auto document = [](const std::string& lastAdded, const std::string& slot,
                     const std::string& tail = "0") {
    return R"({"capacity":1,"lastAddedHeartbeatDates":)" + lastAdded +
           R"(,"buffer":{"circularQueue":[)" + slot + R"(],"tailIndex":)" + tail + "}}";
  };
  ASSERT_TRUE(decodeBundle(document("[1,0]", heartbeat)));
  const std::string cases[] = {
      "",
      "[]",
      "{}",
      "not json",
      document("[2,0]", "null"),         // an unknown period
      document("[1]", "null"),           // a period without its date
      document("[1,\"x\"]", "null"),     // a date that is no number
      document("{}", "null"),            // a map written as an object
      document("[1,0]", "null", "0.5"),  // a tail index that is no integer
      document("[1,0]", "7"),            // a slot that is neither null nor a heartbeat
      document("[1,0]", R"({"agent":"x","date":1,"version":0,"timePeriods":[3]})"),
      document("[1,0]", R"({"agent":"x","date":1,"version":0})"),
      document("[1,0]", R"({"agent":1,"date":1,"version":0,"timePeriods":[1]})"),
      R"({"lastAddedHeartbeatDates":[],"buffer":{"circularQueue":[],"tailIndex":0}})",
      R"({"capacity":1,"lastAddedHeartbeatDates":[],"buffer":{"tailIndex":0}})",
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(decodeBundle(text), std::nullopt);
  }
}

TEST(BundleCoding, AnAgentThatIsNotUtf8HasNoJsonForm) {
  HeartbeatsBundle bundle(1);
  bundle.append({"\xFF", kDay, 0, {TimePeriod::daily}});
  EXPECT_EQ(encodeBundle(bundle), std::nullopt);
}

}  // namespace
}  // namespace heartbeats
