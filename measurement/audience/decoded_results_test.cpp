#include "measurement/audience/decoded_results.h"

#include <gtest/gtest.h>

#include "measurement/audience/audience_test_support.h"
#include "measurement/wire/access.h"

namespace measurement::testing {
namespace {

TEST(DecodedResultsCache, KeepsAMessageForExactlyItsBytes) {
  const os::Data written = bytesOf(reference<ref::ResultData>("status: 1 results: 1"));
  const os::Data other = bytesOf(reference<ref::ResultData>("status: 3 results: 2"));
  auto message = std::make_shared<const APMPBResultData>(*APMPBResultData::initWithBuffer(written));
  DecodedResultsCache cache;
  cache.keep(7, written, message);

  EXPECT_EQ(cache.decode(7, FilterResult(7, written, std::nullopt)), message);
  // Other bytes, or the same bytes of another audience, are decoded afresh.
  std::shared_ptr<const APMPBResultData> decoded = cache.decode(7, FilterResult(7, other, {}));
  ASSERT_TRUE(decoded);
  EXPECT_NE(decoded, message);
  EXPECT_EQ(decoded->protoBuffer(), other);
  EXPECT_NE(cache.decode(8, FilterResult(8, written, {})), message);
  // What was decoded last is kept in turn.
  EXPECT_EQ(cache.decode(7, FilterResult(7, other, {})), decoded);

  EXPECT_EQ(cache.decode(7, std::nullopt), nullptr);
  EXPECT_EQ(cache.decode(7, FilterResult(7, os::Data(), {})), nullptr);
  EXPECT_EQ(cache.decode(7, FilterResult(7, os::Data{0xff, 0xff}, {})), nullptr);
}

// Evaluating with the messages the evaluator kept from its own writes stores the same bytes as
// a fresh evaluator decoding them: every kind of time goes through the kept message.
TEST_F(AudienceTest, AKeptResultEvaluatesAsTheDecodedOne) {
  ASSERT_TRUE(save({R"(audience_id: 1
      event_filters { filter_id: 0 event_name: 'level_up' dynamic: true }
      event_filters { filter_id: 1 event_name: 'level_up' sequence: true }
      event_filters { filter_id: 2 event_name: 'level_up' session_scoped: true }
      event_filters { filter_id: 3 event_name: 'level_up' dynamic: true
        filters { parameter_name: 'mode' string_filter { match_type: 5 expression: 'hard' } } })"}));
  const Parameters easy{{"mode", text("easy")}};
  const Parameters hard{{"mode", text("hard")}};
  ASSERT_TRUE(logEvent("level_up", easy, 100));
  const FilterResult first = **database_->filterResultForAudienceID(1, nullptr);

  ASSERT_TRUE(logEvent("level_up", hard, 201.5));
  const os::Data kept = (**database_->filterResultForAudienceID(1, nullptr)).currentResults();

  ASSERT_TRUE(database_->updateFilterResults({first}, nullptr));
  Audience fresh(*database_);
  EventAggregates aggregates = *EventAggregates::initWithName("level_up", 1, 1, 1, 201.5);
  ASSERT_TRUE(fresh.evaluateFiltersForEventName("level_up", hard, aggregates, 201.5, nullptr));
  EXPECT_EQ((**database_->filterResultForAudienceID(1, nullptr)).currentResults(), kept);
  EXPECT_EQ(stored(1).sequence_filter_timestamps(0).eval_timestamps_size(), 2);
  EXPECT_EQ(stored(1).dynamic_filter_timestamps_size(), 3);
}

}  // namespace
}  // namespace measurement::testing
