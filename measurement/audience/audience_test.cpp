#include "measurement/audience/audience.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "measurement/audience/audience_test_support.h"
#include "measurement/foundation/monitor_capture.h"
#include "measurement/foundation/test_support.h"

namespace measurement::testing {
namespace {

using Words = std::vector<uint64_t>;

// Audience 1: two event filters on "level_up" and a dynamic property filter.
constexpr const char* kLevelAudience = R"(
  audience_id: 1
  event_filters {
    filter_id: 0 event_name: 'level_up'
    filters { parameter_name: 'level' number_filter { comparison_type: 2 comparison_value: '2' } }
  }
  event_filters {
    filter_id: 1 event_name: 'level_up'
    filters { parameter_name: 'mode' string_filter { match_type: 5 expression: 'hard' } }
  }
  property_filters {
    filter_id: 2 property_name: 'tier' dynamic: true
    filter { string_filter { match_type: 1 expression: '^gold' } }
  })";

TEST_F(AudienceTest, SavesEvaluatesAndBundlesResults) {
  ASSERT_TRUE(save(
      {kLevelAudience, "audience_id: 2 event_filters { filter_id: 0 event_name: 'purchase' }"}));

  ASSERT_TRUE(logEvent("level_up", {{"level", integer(3)}, {"mode", text("easy")}}));
  ref::ResultData afterEvent = stored(1);
  EXPECT_EQ(words(afterEvent.status()), (Words{0b011}));
  EXPECT_EQ(words(afterEvent.results()), (Words{0b001}));
  EXPECT_FALSE(hasResult(2));

  ASSERT_TRUE(setProperty("tier", text("Gold plus")));
  std::vector<ref::AudienceLeafFilterResult> first = bundle();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].audience_id(), 1);
  EXPECT_TRUE(first[0].first_report());
  EXPECT_FALSE(first[0].has_previous_results());
  EXPECT_EQ(words(first[0].current_results().status()), (Words{0b111}));
  EXPECT_EQ(words(first[0].current_results().results()), (Words{0b101}));

  // Nothing changed: reported again, no longer first, without previous data.
  std::vector<ref::AudienceLeafFilterResult> second = bundle();
  ASSERT_EQ(second.size(), 1u);
  EXPECT_FALSE(second[0].first_report());
  EXPECT_FALSE(second[0].has_previous_results());

  // A dynamic property filter turns false; the bundle carries what was reported before.
  ASSERT_TRUE(setProperty("tier", text("silver"), 200));
  std::vector<ref::AudienceLeafFilterResult> third = bundle();
  ASSERT_EQ(third.size(), 1u);
  EXPECT_EQ(words(third[0].current_results().results()), (Words{0b001}));
  ASSERT_TRUE(third[0].has_previous_results());
  EXPECT_EQ(words(third[0].previous_results().results()), (Words{0b101}));
  ASSERT_EQ(third[0].current_results().dynamic_filter_timestamps_size(), 1);
  EXPECT_EQ(third[0].current_results().dynamic_filter_timestamps(0).eval_timestamp(), 100);
}

TEST_F(AudienceTest, EventFiltersKeepHoldingAndUnknownLeavesBitsAlone) {
  ASSERT_TRUE(save({R"(audience_id: 1
      event_filters { filter_id: 0 event_name: 'level_up' dynamic: true
        filters { parameter_name: 'level' number_filter { comparison_type: 2 comparison_value: '2' } } }
      event_filters { filter_id: 1 event_name: 'level_up'
        filters { parameter_name: 'score' number_filter { comparison_type: 2 comparison_value: '0' } } }
      event_filters { filter_id: 2 event_name: 'level_up' })"}));

  // "score" is missing: filter 1 cannot be evaluated and keeps no bit; filter 2 has no
  // conditions and holds for every event of its name.
  ASSERT_TRUE(logEvent("level_up", {{"level", integer(3)}}, 100));
  EXPECT_EQ(words(stored(1).status()), (Words{0b101}));
  EXPECT_EQ(words(stored(1).results()), (Words{0b101}));

  // A failing event leaves the dynamic filter true without a new time.
  ASSERT_TRUE(logEvent("level_up", {{"level", integer(1)}}, 200));
  ref::ResultData data = stored(1);
  EXPECT_EQ(words(data.results()), (Words{0b101}));
  ASSERT_EQ(data.dynamic_filter_timestamps_size(), 1);
  EXPECT_EQ(data.dynamic_filter_timestamps(0).eval_timestamp(), 100);

  // Filter 2 holds and is plain: it is not looked at again (no log of any kind for it).
  MonitorCapture capture;
  ASSERT_TRUE(logEvent("level_up", {{"score", integer(5)}}, 300));
  EXPECT_EQ(words(stored(1).results()), (Words{0b111}));
  EXPECT_TRUE(capture.contains(7009)) << "the dynamic filter lacks 'level'";
}

TEST_F(AudienceTest, PropertyFiltersTurnFalseOnlyWhenDynamicAndNotSessionScoped) {
  struct Case {
    const char* flags;
    bool holdsAfterChange;
  };
  const std::vector<Case> cases = {
      {"dynamic: true", false},
      {"", true},
      {"sequence: true", true},
      {"dynamic: true session_scoped: true", true},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(save({(std::string("audience_id: 7 property_filters { filter_id: 0 "
                                   "property_name: 'tier' ") +
                       c.flags + " filter { string_filter { match_type: 2 expression: 'gold' } } }")
                          .c_str()}));
    ASSERT_TRUE(setProperty("tier", text("gold"), 100));
    ASSERT_TRUE(setProperty("tier", text("bronze"), 200));
    EXPECT_EQ(words(stored(7).results()), (Words{c.holdsAfterChange ? 1u : 0u})) << c.flags;
    EXPECT_EQ(words(stored(7).status()), (Words{1})) << c.flags;
    database_->deleteFilterResults({FilterResult(7, os::Data{1}, std::nullopt)}, nullptr);
  }
}

TEST_F(AudienceTest, EvaluatesABundlesUserAttributeMessages) {
  ASSERT_TRUE(save({R"(audience_id: 1
      property_filters { filter_id: 0 property_name: 'tier' dynamic: true
        filter { number_filter { comparison_type: 2 comparison_value: '1.5' } } })"}));
  auto attribute = [](const char* text) {
    return message<APMPBUserAttribute, ref::UserAttribute>(text);
  };
  // The double value is read before the integer one; the float value never.
  ASSERT_TRUE(audience_->evaluateFiltersForNanoUserProperty(
      attribute("name: 'tier' set_timestamp_millis: 7900 double_value: 2.5 int_value: 1"), nullptr,
      std::nullopt));
  ref::ResultData data = stored(1);
  EXPECT_EQ(words(data.results()), (Words{1}));
  ASSERT_EQ(data.dynamic_filter_timestamps_size(), 1);
  EXPECT_EQ(data.dynamic_filter_timestamps(0).eval_timestamp(), 7) << "the set time by default";

  ASSERT_TRUE(audience_->evaluateFiltersForNanoUserProperty(
      attribute("name: 'tier' set_timestamp_millis: 9000 int_value: 1"), nullptr, 20.0));
  EXPECT_EQ(words(stored(1).results()), (Words{0}));

  MonitorCapture capture;
  EXPECT_FALSE(audience_->evaluateFiltersForNanoUserProperty(
      attribute("name: 'tier' float_value: 3"), nullptr, std::nullopt));
  EXPECT_TRUE(capture.contains(6039));
}

TEST_F(AudienceTest, CountsEventsOfTheSessionForSessionScopedFilters) {
  ASSERT_TRUE(save({R"(audience_id: 3
      event_filters { filter_id: 0 event_name: 'level_up'
        event_count_filter { comparison_type: 2 comparison_value: '2' } }
      event_filters { filter_id: 1 event_name: 'level_up' session_scoped: true
        event_count_filter { comparison_type: 2 comparison_value: '2' } })"}));
  EventAggregates aggregates = *EventAggregates::initWithName("level_up", 5, 1, 1, 100);
  ASSERT_TRUE(audience_->evaluateFiltersForEventName("level_up", {}, aggregates, 100, nullptr));
  EXPECT_EQ(words(stored(3).status()), (Words{0b11}));
  EXPECT_EQ(words(stored(3).results()), (Words{0b01}));
}

TEST_F(AudienceTest, ASessionStartClearsSessionScopedBitsAndTimes) {
  ASSERT_TRUE(save({R"(audience_id: 1
      event_filters { filter_id: 0 event_name: 'level_up' session_scoped: true }
      event_filters { filter_id: 1 event_name: 'level_up' dynamic: true })",
                    R"(audience_id: 2
      event_filters { filter_id: 3 event_name: 'level_up' session_scoped: true })"}));
  ASSERT_TRUE(logEvent("level_up", {}, 100));
  ASSERT_EQ(stored(1).dynamic_filter_timestamps_size(), 2);

  ASSERT_TRUE(audience_->clearEvaluationResultsForSessionScopedFilters());
  ref::ResultData data = stored(1);
  EXPECT_EQ(words(data.status()), (Words{0b10}));
  ASSERT_EQ(data.dynamic_filter_timestamps_size(), 1);
  EXPECT_EQ(data.dynamic_filter_timestamps(0).filter_id(), 1);
  // The old current data became the previous data.
  auto result = **database_->filterResultForAudienceID(1, nullptr);
  EXPECT_EQ(words(reference<ref::ResultData>(*result.previousResults()).status()), (Words{0b11}));
  // Every evaluated filter of audience 2 was session-scoped: its result is gone.
  EXPECT_FALSE(hasResult(2));

  // A result that no longer decodes holds no bit either: it goes too, rather than staying to be
  // refused at every bundle.
  ASSERT_TRUE(database_->updateFilterResults({FilterResult(1, os::Data{0xff, 0xff}, std::nullopt)},
                                             nullptr));
  ASSERT_TRUE(audience_->clearEvaluationResultsForSessionScopedFilters());
  EXPECT_FALSE(hasResult(1));
}

TEST_F(AudienceTest, BundlingUnchangedResultsKeepsOnlyTheLastTimeOfTheFirstSequence) {
  ASSERT_TRUE(save({R"(audience_id: 4
      event_filters { filter_id: 0 event_name: 'level_up' sequence: true }
      event_filters { filter_id: 1 event_name: 'level_up' sequence: true })"}));
  AudienceTimestampsCache cache;
  for (double time : {100.0, 200.0, 300.0}) ASSERT_TRUE(logEvent("level_up", {}, time, &cache));
  ASSERT_EQ(stored(4).sequence_filter_timestamps(0).eval_timestamps_size(), 3);

  std::vector<ref::AudienceLeafFilterResult> first = bundle();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].current_results().sequence_filter_timestamps(0).eval_timestamps_size(), 3);
  std::vector<ref::AudienceLeafFilterResult> second = bundle();
  ASSERT_EQ(second.size(), 1u);
  const ref::ResultData& reported = second[0].current_results();
  ASSERT_EQ(reported.sequence_filter_timestamps(0).eval_timestamps_size(), 1);
  EXPECT_EQ(reported.sequence_filter_timestamps(0).eval_timestamps(0), 300);
  EXPECT_EQ(reported.sequence_filter_timestamps(1).eval_timestamps_size(), 3);
  EXPECT_EQ(stored(4).sequence_filter_timestamps(0).eval_timestamps_size(), 1);
}

TEST_F(AudienceTest, SkipsStoredFiltersWithCorruptDataOrIDsOutOfRange) {
  auto record = [](int32_t filterID, os::Data data) {
    return EventFilter(5, filterID, "level_up", std::move(data), false, false, false);
  };
  const os::Data plain = bytesOf(reference<ref::EventFilter>("event_name: 'level_up'"));
  ASSERT_TRUE(database_->updateEventFilters(
      {record(-1, plain), record(5000, plain), record(3, os::Data{0xff, 0xff}), record(4, plain)},
      nullptr));

  MonitorCapture capture;
  ASSERT_TRUE(logEvent("level_up", {}));
  int corrupt = 0;
  for (const MonitorRecord& logged : capture.records()) corrupt += logged.code == 6035;
  EXPECT_EQ(corrupt, 3);
  EXPECT_EQ(words(stored(5).status()), (Words{1u << 4}));
}

TEST_F(AudienceTest, ClearingNeverReachesPastTheStoredLists) {
  ScopedEngineSettings settings({{"measurement.audience.filter_max_count_per_audience", "100"}});
  ASSERT_TRUE(save({R"(audience_id: 6
      event_filters { filter_id: 0 event_name: 'level_up' }
      event_filters { filter_id: 99 event_name: 'other' session_scoped: true })"}));
  ASSERT_TRUE(logEvent("level_up", {}));
  ASSERT_EQ(stored(6).status_size(), 1);
  ASSERT_TRUE(audience_->clearEvaluationResultsForSessionScopedFilters());
  EXPECT_EQ(words(stored(6).status()), (Words{1}));
}

TEST_F(AudienceTest, ATimedOutExpressionLeavesTheFilterUnknownUntilTheNextEvent) {
  ASSERT_TRUE(save({R"(audience_id: 8
      event_filters { filter_id: 0 event_name: 'search'
        filters { parameter_name: 'term'
                  string_filter { match_type: 1 expression: '(a+)+$' case_sensitive: true } } })"}));
  MonitorCapture capture;
  ASSERT_TRUE(logEvent("search", {{"term", Value(std::string(30, 'a') + "b")}}));
  EXPECT_TRUE(capture.contains(9006));
  EXPECT_FALSE(hasResult(8));
  ASSERT_TRUE(logEvent("search", {{"term", text("aaa")}}));
  EXPECT_EQ(words(stored(8).results()), (Words{1}));
}

TEST_F(AudienceTest, WritesOneOutcomeWithTheCachedTimesAndKeepsPreviousResults) {
  const os::Data previous = bytesOf(reference<ref::ResultData>("status: 1 results: 0"));
  FilterResult current(3, bytesOf(reference<ref::ResultData>("status: 1 results: 1")), previous);
  AudienceTimestampsCache cache;
  cache.populateCachedTimestamps(current, 3);
  cache.addEvaluationTimestamp(42.9, EventFilter(3, 64, "e", os::Data{1}, false, true, false));

  FilterResult grown = Audience::updatedFilterResultWithFilterID(64, 3, current, true, cache);
  EXPECT_EQ(grown.previousResults(), previous);
  ref::ResultData data = reference<ref::ResultData>(grown.currentResults());
  EXPECT_EQ(words(data.status()), (Words{1, 1}));
  EXPECT_EQ(words(data.results()), (Words{1, 1}));
  ASSERT_EQ(data.dynamic_filter_timestamps_size(), 1);
  EXPECT_EQ(data.dynamic_filter_timestamps(0).eval_timestamp(), 42);
  EXPECT_EQ(data.sequence_filter_timestamps_size(), 0);

  // Unknown clears the status bit; a result that was never stored starts from nothing.
  data = reference<ref::ResultData>(
      Audience::updatedFilterResultWithFilterID(0, 3, grown, std::nullopt, cache).currentResults());
  EXPECT_EQ(words(data.status()), (Words{0, 1}));
  FilterResult fresh = Audience::updatedFilterResultWithFilterID(2, 9, std::nullopt, false, cache);
  EXPECT_EQ(fresh.previousResults(), std::nullopt);
  EXPECT_EQ(words(reference<ref::ResultData>(fresh.currentResults()).status()), (Words{0b100}));
}

TEST_F(AudienceTest, ReadsAFilterBitOnlyWhereBothListsHoldIt) {
  auto result = [](const char* text) {
    return std::optional<FilterResult>(
        FilterResult(1, bytesOf(reference<ref::ResultData>(text)), std::nullopt));
  };
  struct Case {
    std::optional<FilterResult> result;
    int32_t filterID;
    bool expected;
    bool reportedIncomplete;
  };
  const std::vector<Case> cases = {
      {std::nullopt, 0, false, false},
      {FilterResult(1, os::Data(), std::nullopt), 0, false, false},
      {result("status: 1 results: 1"), 0, true, false},
      {result("status: 1 results: 0"), 0, false, false},
      {result("status: [0, 1] results: [0, 1]"), 64, true, false},
      {result("status: [0, 1] results: [0]"), 64, false, false},
      {result("status: 9223372036854775808 results: 9223372036854775808"), 63, true, false},
      {result("status: 1"), 0, false, true},
      // Bytes that do not decode have neither list.
      {FilterResult(1, os::Data{0xff, 0xff}, std::nullopt), 0, false, true},
  };
  for (const Case& c : cases) {
    MonitorCapture capture;
    EXPECT_EQ(Audience::isFilterResultTrueForFilterID(c.result, c.filterID), c.expected)
        << c.filterID;
    EXPECT_EQ(capture.contains(6023), c.reportedIncomplete) << c.filterID;
  }
}

// A dynamic filter of `audienceID` that holds at an event whose "mode" is `expression`.
std::string modeFilter(int32_t audienceID, const char* expression) {
  return "audience_id: " + std::to_string(audienceID) +
         " event_filters { filter_id: 0 event_name: 'level_up' dynamic: true filters { "
         "parameter_name: 'mode' string_filter { match_type: 5 expression: '" +
         expression + "' } } }";
}

TEST_F(AudienceTest, EvaluationSeesEveryChangeOfTheStoredFilters) {
  const Parameters hard{{"mode", text("hard")}};
  auto evaluatedAt = [&](int32_t audienceID) -> int64_t {
    ref::ResultData data = stored(audienceID);
    return data.dynamic_filter_timestamps_size() == 1
               ? data.dynamic_filter_timestamps(0).eval_timestamp()
               : -1;
  };
  ASSERT_TRUE(save({modeFilter(1, "easy")}));
  ASSERT_TRUE(logEvent("level_up", hard, 100));
  EXPECT_EQ(words(stored(1).results()), Words{0});

  // New definitions between two events.
  ASSERT_TRUE(save({modeFilter(2, "hard")}));
  ASSERT_TRUE(logEvent("level_up", hard, 101));
  EXPECT_EQ(words(stored(2).results()), Words{1});

  // Definitions saved and evaluated in a transaction that is rolled back: the next event is
  // evaluated against the stored ones again.
  EXPECT_FALSE(database_->performTransaction([&] {
    EXPECT_TRUE(save({modeFilter(3, "hard")}));
    EXPECT_TRUE(logEvent("level_up", hard, 102));
    EXPECT_TRUE(hasResult(3));
    return false;
  }));
  ASSERT_TRUE(logEvent("level_up", hard, 103));
  EXPECT_FALSE(hasResult(3));
  EXPECT_EQ(evaluatedAt(2), 103);

  // Filters written or deleted by the database's own operations.
  const os::Data filter = bytesOf(reference<ref::EventFilter>(
      "filter_id: 0 event_name: 'level_up' dynamic: true filters { parameter_name: 'mode' "
      "string_filter { match_type: 5 expression: 'hard' } }"));
  ASSERT_TRUE(database_->updateEventFilters(
      {EventFilter(4, 0, "level_up", filter, false, true, false)}, nullptr));
  ASSERT_TRUE(logEvent("level_up", hard, 104));
  EXPECT_EQ(evaluatedAt(4), 104);
  ASSERT_TRUE(database_->deleteAllEventFilters(nullptr));
  ASSERT_TRUE(logEvent("level_up", hard, 105));
  EXPECT_EQ(evaluatedAt(4), 104);

  // A reset empties everything.
  ASSERT_TRUE(save({modeFilter(5, "hard")}));
  ASSERT_TRUE(logEvent("level_up", hard, 106));
  ASSERT_TRUE(database_->reset(nullptr));
  ASSERT_TRUE(logEvent("level_up", hard, 107));
  EXPECT_FALSE(hasResult(5));
}

}  // namespace
}  // namespace measurement::testing
