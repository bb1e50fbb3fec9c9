#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "measurement/audience/audience.h"
#include "measurement/audience/audience_test_support.h"
#include "measurement/foundation/monitor_capture.h"
#include "measurement/foundation/test_support.h"

namespace measurement::testing {
namespace {

constexpr const char* kNumber = "number_filter { comparison_type: 1 comparison_value: '1' }";

std::string eventFilter(int filterID, const std::string& extra = "") {
  return "event_filters { filter_id: " + std::to_string(filterID) + " event_name: 'e' " + extra +
         " }";
}

TEST_F(AudienceTest, ValidatesEachAudienceInOrder) {
  struct Case {
    std::string audience;
    int64_t code;
    const char* description;
  };
  const std::string param = "filters { parameter_name: 'p' " + std::string(kNumber) + " }";
  const std::vector<Case> cases = {
      {eventFilter(0), 9, "Missing audience ID"},
      {"audience_id: -1 " + eventFilter(0), 9, "Audience ID is negative"},
      {"audience_id: 5 " + eventFilter(0), 9, "Duplicate audience ID"},
      {"audience_id: 1", 9, "Audience filter count out of range"},
      {"audience_id: 1 event_filters { filter_id: 0 }", 10, "Event filter missing event name"},
      {"audience_id: 1 event_filters { event_name: 'e' }", 10, "Missing event filter ID"},
      {"audience_id: 1 " + eventFilter(10), 10, "Event filter ID is out of range"},
      {"audience_id: 1 " + eventFilter(-1), 10, "Event filter ID is out of range"},
      {"audience_id: 1 " + eventFilter(2) + eventFilter(2), 10, "Duplicate event filter ID"},
      {"audience_id: 1 " +
           eventFilter(0,
                       "event_count_filter { comparison_type: 1 comparison_value: '1' "
                       "float_comparison: true }"),
       10, "Event filter has float event count filter"},
      {"audience_id: 1 " + eventFilter(0, "event_count_filter { comparison_type: 1 }"), 10,
       "Event filter has invalid event count filter"},
      {"audience_id: 1 " + eventFilter(0, "filters { " + std::string(kNumber) + " }"), 10,
       "Event filter missing parameter name"},
      {"audience_id: 1 " + eventFilter(0, "filters { parameter_name: 'p' }"), 10,
       "Event filter must have exactly one of number or string filter"},
      {"audience_id: 1 " + eventFilter(0, "filters { parameter_name: 'p' " + std::string(kNumber) +
                                              " string_filter { match_type: 2 expression: 'a' } }"),
       10, "Event filter must have exactly one of number or string filter"},
      {"audience_id: 1 " +
           eventFilter(0, "filters { parameter_name: 'p' number_filter { comparison_type: 9 } }"),
       10, "Event filter has invalid number filter"},
      {"audience_id: 1 " + eventFilter(0,
                                       "filters { parameter_name: 'p' string_filter { "
                                       "match_type: 1 expression: '(' } }"),
       10, "Event filter has invalid string filter"},
      {"audience_id: 1 property_filters { filter_id: 0 }", 11,
       "Property filter missing property name"},
      {"audience_id: 1 property_filters { property_name: 'p' }", 11, "Missing property filter ID"},
      {"audience_id: 1 property_filters { filter_id: 10 property_name: 'p' }", 11,
       "Property filter ID is out of range"},
      {"audience_id: 1 " + eventFilter(3) + " property_filters { filter_id: 3 property_name: 'p' }",
       11, "Duplicate property filter ID"},
      {"audience_id: 1 property_filters { filter_id: 0 property_name: 'p' }", 11,
       "Property filter has no filter"},
      {"audience_id: 1 property_filters { filter_id: 0 property_name: 'p' filter { } }", 11,
       "Property filter must have exactly one of number or string filter"},
      {"audience_id: 1 property_filters { filter_id: 0 property_name: 'p' filter { "
       "number_filter { comparison_type: 0 } } }",
       11, "Property filter must have exactly one of number or string filter"},
      {"audience_id: 1 property_filters { filter_id: 0 property_name: 'p' filter { "
       "string_filter { match_type: 6 } } }",
       11, "Property filter has invalid string filter"},
  };
  for (const Case& c : cases) {
    os::Error error;
    EXPECT_FALSE(Audience::validateAudience(audienceMessage(c.audience), {5}, &error))
        << c.audience;
    EXPECT_EQ(error.domain, kMeasurementErrorDomain);
    EXPECT_EQ(error.code, c.code) << c.audience;
    EXPECT_EQ(error.description, c.description) << c.audience;
  }

  // The limits: ids run to one below the filter count setting, which a count may reach.
  std::string tenFilters = "audience_id: 1 ";
  for (int id = 0; id < 10; ++id) tenFilters += eventFilter(id, param);
  EXPECT_TRUE(Audience::validateAudience(audienceMessage(tenFilters), {}, nullptr));
  EXPECT_FALSE(
      Audience::validateAudience(audienceMessage(tenFilters + eventFilter(10)), {}, nullptr));
  ScopedEngineSettings settings({{"measurement.audience.parameter_max_count_filter", "1"}});
  os::Error error;
  EXPECT_FALSE(Audience::validateAudience(
      audienceMessage("audience_id: 1 " + eventFilter(0, param + param)), {}, &error));
  EXPECT_EQ(error.description, "Event filter parameters filters count out of range");
}

TEST_F(AudienceTest, SavesValidAudiencesWithInternalNamesAndSkipsInvalidOnes) {
  MonitorCapture capture;
  ASSERT_TRUE(save({R"(audience_id: 1
      event_filters { filter_id: 0 event_name: 'screen_view'
        filters { parameter_name: 'engagement_time_msec'
                  number_filter { comparison_type: 2 comparison_value: '10' } } }
      property_filters { filter_id: 1 property_name: 'first_open_time'
        filter { number_filter { comparison_type: 2 comparison_value: '0' } } })",
                    "audience_id: 1 event_filters { filter_id: 0 event_name: 'dup' }",
                    "audience_id: 2 event_filters { filter_id: 0 event_name: 'x' } "
                    "property_filters { filter_id: 0 property_name: 'p' filter { " +
                        std::string(kNumber) + " } }"}));
  int invalid = 0;
  for (const MonitorRecord& record : capture.records()) invalid += record.code == 6009;
  EXPECT_EQ(invalid, 2);

  EXPECT_EQ(rawQuery(path_, "SELECT audience_id, filter_id, event_name FROM event_filters"),
            (RawRows{{"1", "0", "_vs"}}));
  EXPECT_EQ(rawQuery(path_, "SELECT audience_id, filter_id, property_name FROM property_filters"),
            (RawRows{{"1", "1", "_fot"}}));
  std::vector<EventFilter> filters = *database_->eventFiltersForEventName("_vs", nullptr);
  ASSERT_EQ(filters.size(), 1u);
  ref::EventFilter data = reference<ref::EventFilter>(filters[0].data());
  EXPECT_EQ(data.event_name(), "_vs");
  EXPECT_EQ(data.filters(0).parameter_name(), "_et");

  // The stored filter evaluates events under their internal names.
  ASSERT_TRUE(logEvent("_vs", {{"_et", integer(11)}}));
  EXPECT_EQ(words(stored(1).results()), (std::vector<uint64_t>{1}));
}

TEST_F(AudienceTest, TooManyAudiencesChangeNothingAndReportSuccess) {
  ASSERT_TRUE(save({"audience_id: 1 event_filters { filter_id: 0 event_name: 'e' }"}));
  std::vector<APMPBAudience> audiences;
  for (int id = 0; id < 101; ++id) {
    audiences.push_back(
        audienceMessage("audience_id: " + std::to_string(id + 10) + " " + eventFilter(0)));
  }
  MonitorCapture capture;
  EXPECT_TRUE(audience_->updateAudiences(audiences));
  EXPECT_TRUE(capture.contains(6008));
  EXPECT_EQ(rawQuery(path_, "SELECT audience_id FROM event_filters"), (RawRows{{"1"}}));
}

TEST_F(AudienceTest, DeletesOnlyStaleResultsAndOnlyOverTheLimit) {
  ASSERT_TRUE(save({"audience_id: 1 event_filters { filter_id: 0 event_name: 'e' }",
                    "audience_id: 2 event_filters { filter_id: 0 event_name: 'e' }"}));
  ASSERT_TRUE(logEvent("e", {}));
  ASSERT_TRUE(hasResult(1) && hasResult(2));

  // A configuration without audiences removes the definitions; the results stay, as the
  // stale check runs against the definitions still stored.
  ScopedEngineSettings settings({{"measurement.audience.filter_result_max_count", "1"}});
  MonitorCapture capture;
  ASSERT_TRUE(save({}));
  EXPECT_TRUE(capture.contains(6016));
  EXPECT_FALSE(capture.contains(6018)) << "nothing stale is not a failure";
  EXPECT_EQ(rawQuery(path_, "SELECT count(*) FROM event_filters"), (RawRows{{"0"}}));
  EXPECT_TRUE(hasResult(1) && hasResult(2));

  // Now neither the stored nor the new definitions name audience 2.
  ASSERT_TRUE(save({"audience_id: 1 event_filters { filter_id: 0 event_name: 'e' }"}));
  EXPECT_TRUE(hasResult(1));
  EXPECT_FALSE(hasResult(2));
}

TEST_F(AudienceTest, KeepsResultsWhenMoreThanTheLimitAndNoneIsStale) {
  ASSERT_TRUE(save({"audience_id: 1 event_filters { filter_id: 0 event_name: 'e' }",
                    "audience_id: 2 event_filters { filter_id: 0 event_name: 'e' }"}));
  ASSERT_TRUE(logEvent("e", {}));
  ScopedEngineSettings settings({{"measurement.audience.filter_result_max_count", "1"}});
  ASSERT_TRUE(database_->performTransaction([&] {
    return save({"audience_id: 1 event_filters { filter_id: 0 event_name: 'f' }",
                 "audience_id: 2 event_filters { filter_id: 0 event_name: 'f' }"});
  }));
  EXPECT_EQ(rawQuery(path_, "SELECT DISTINCT event_name FROM event_filters"), (RawRows{{"f"}}));
  EXPECT_TRUE(hasResult(1) && hasResult(2));
}

}  // namespace
}  // namespace measurement::testing
