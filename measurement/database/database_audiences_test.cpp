#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <tuple>

#include "measurement/database/database_test_support.h"
#include "measurement/foundation/lookup.h"
#include "measurement/wire/access.h"

namespace measurement {
namespace {

using testing::rawExecute;
using testing::rawQuery;
using testing::RawRows;

struct Flags {
  bool sessionScoped = false;
  bool dynamic = false;
  bool sequence = false;
};

EventFilter eventFilter(int32_t audienceID, int32_t filterID, const char* name, Flags flags = {}) {
  APMPBEventFilter message;
  APMPBSetInt32(message, kEventFilter_filter_id, filterID);
  APMPBSetString(message, kEventFilter_event_name, name);
  APMPBSetBool(message, kEventFilter_session_scoped, flags.sessionScoped);
  APMPBSetBool(message, kEventFilter_dynamic, flags.dynamic);
  APMPBSetBool(message, kEventFilter_sequence, flags.sequence);
  return EventFilter(audienceID, filterID, name, *message.protoBuffer(), flags.sessionScoped,
                     flags.dynamic, flags.sequence);
}

PropertyFilter propertyFilter(int32_t audienceID, int32_t filterID, const char* name,
                              Flags flags = {}) {
  APMPBPropertyFilter message;
  APMPBSetInt32(message, kPropertyFilter_filter_id, filterID);
  APMPBSetString(message, kPropertyFilter_property_name, name);
  APMPBSetBool(message, kPropertyFilter_session_scoped, flags.sessionScoped);
  APMPBSetBool(message, kPropertyFilter_dynamic, flags.dynamic);
  APMPBSetBool(message, kPropertyFilter_sequence, flags.sequence);
  return PropertyFilter(audienceID, filterID, name, *message.protoBuffer(), flags.sessionScoped,
                        flags.dynamic, flags.sequence);
}

// A filter's whole content, to compare filters by.
using FilterFields = std::tuple<int32_t, int32_t, std::string, os::Data, bool, bool, bool>;
FilterFields fields(const EventFilter& f) {
  return {f.audienceID(),      f.filterID(),  f.eventName(), f.data(),
          f.isSessionScoped(), f.isDynamic(), f.isSequence()};
}
FilterFields fields(const PropertyFilter& f) {
  return {f.audienceID(),      f.filterID(),  f.propertyName(), f.data(),
          f.isSessionScoped(), f.isDynamic(), f.isSequence()};
}
template <typename Filter>
std::vector<FilterFields> fields(const std::optional<std::vector<Filter>>& filters) {
  std::vector<FilterFields> all;
  if (filters) {
    for (const Filter& f : *filters) all.push_back(fields(f));
  }
  return all;
}

FilterResult result(int32_t audienceID, os::Data current,
                    std::optional<os::Data> previous = std::nullopt) {
  return FilterResult(audienceID, std::move(current), std::move(previous));
}

class DatabaseAudiencesTest : public testing::OpenDatabaseTest {
 protected:
  void storeFilters(const std::vector<EventFilter>& events,
                    const std::vector<PropertyFilter>& properties) {
    os::Error error;
    if (!events.empty()) {
      ASSERT_TRUE(database_->updateEventFilters(events, &error)) << error.description;
    }
    if (!properties.empty()) {
      ASSERT_TRUE(database_->updatePropertyFilters(properties, &error)) << error.description;
    }
  }
};

TEST_F(DatabaseAudiencesTest, FiltersReadBackByNameWithTheFlagsOfTheirData) {
  EventFilter dynamic = eventFilter(1, 0, "_vs", {.sessionScoped = true, .dynamic = true});
  EventFilter sequence = eventFilter(2, 3, "_vs", {.sequence = true});
  PropertyFilter property = propertyFilter(1, 1, "_fot", {.dynamic = true});
  storeFilters({dynamic, sequence, eventFilter(1, 2, "_e")}, {property});
  os::Error error;
  EXPECT_EQ(fields(database_->eventFiltersForEventName("_vs", &error)),
            (std::vector<FilterFields>{fields(dynamic), fields(sequence)}));
  EXPECT_EQ(fields(database_->propertyFiltersForPropertyName("_fot", &error)),
            (std::vector<FilterFields>{fields(property)}));
  std::optional<std::vector<EventFilter>> none = database_->eventFiltersForEventName("_s", &error);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());

  // The message, not the session_scoped column, says what a filter is; data that no longer
  // parses reads as no flags at all.
  rawExecute(path_, "UPDATE event_filters SET session_scoped = 0 WHERE audience_id = 1");
  std::optional<std::vector<EventFilter>> read = database_->eventFiltersForEventName("_vs", &error);
  ASSERT_TRUE(read && read->size() == 2);
  EXPECT_TRUE(read->front().isSessionScoped());
  rawExecute(path_, "UPDATE event_filters SET data = x'ffff' WHERE audience_id = 2");
  read = database_->eventFiltersForEventName("_vs", &error);
  ASSERT_TRUE(read && read->size() == 2);
  const EventFilter& broken = read->back();
  EXPECT_EQ(broken.filterID(), 3);
  EXPECT_EQ(broken.data(), (os::Data{0xff, 0xff}));
  EXPECT_FALSE(broken.isSessionScoped() || broken.isDynamic() || broken.isSequence());
}

TEST_F(DatabaseAudiencesTest, AFilterWithTheSameIDsReplacesTheStoredOne) {
  storeFilters({eventFilter(1, 0, "_vs")}, {});
  storeFilters({eventFilter(1, 0, "_e", {.sessionScoped = true})}, {});
  EXPECT_EQ(rawQuery(path_,
                     "SELECT audience_id, filter_id, event_name, session_scoped FROM "
                     "event_filters"),
            (RawRows{{"1", "0", "_e", "1"}}));
}

TEST_F(DatabaseAudiencesTest, AudienceIDsAndSessionScopedFiltersSpanBothKinds) {
  storeFilters(
      {eventFilter(1, 0, "_vs", {.sessionScoped = true}), eventFilter(1, 1, "_vs"),
       eventFilter(1, 2, "_e", {.sessionScoped = true}), eventFilter(9, 0, "_e")},
      {propertyFilter(4, 1, "_fot", {.sessionScoped = true}), propertyFilter(1, 3, "_fot")});
  os::Error error;
  std::optional<std::vector<int32_t>> audiences = database_->allAudienceIDs(&error);
  ASSERT_TRUE(audiences) << error.description;
  std::sort(audiences->begin(), audiences->end());
  EXPECT_EQ(*audiences, (std::vector<int32_t>{1, 4, 9}));
  EXPECT_EQ(database_->allSessionScopedFilters(&error),
            (std::map<int32_t, std::vector<int32_t>>{{1, {0, 2}}, {4, {1}}}));
}

TEST_F(DatabaseAudiencesTest, AFilterWriteStopsAtTheFirstRefusedFilter) {
  EventFilter noData(1, 1, "_vs", {}, false, false, false);
  EventFilter noName = eventFilter(1, 2, "");
  PropertyFilter noPropertyData(1, 1, "_fot", {}, false, false, false);
  struct Case {
    std::function<bool(Database&, os::Error*)> write;
    int64_t code;
    const char* message;
    const char* count;
    const char* rows;
  } cases[] = {
      {[&](Database& d, os::Error* e) {
         return d.updateEventFilters({eventFilter(1, 0, "_vs"), noData}, e);
       },
       kDatabaseFailure,
       "Received event filter with empty data for getting dictionary representation",
       "SELECT count(*) FROM event_filters", "1"},
      {[&](Database& d, os::Error* e) { return d.updateEventFilters({noName}, e); },
       kDatabaseFailure,
       "Received event filter with empty event name for getting dictionary representation",
       "SELECT count(*) FROM event_filters", "0"},
      {[&](Database& d, os::Error* e) {
         return d.updatePropertyFilters({propertyFilter(1, 0, "_fot"), noPropertyData}, e);
       },
       kDatabaseFailure,
       "Received property filter with empty data for getting dictionary representation",
       "SELECT count(*) FROM property_filters", "1"},
      {[](Database& d, os::Error* e) { return d.updateEventFilters({}, e); }, kInvalidInput,
       "Received empty event filters to update", "SELECT count(*) FROM event_filters", "0"},
      {[](Database& d, os::Error* e) { return d.updatePropertyFilters({}, e); }, kInvalidInput,
       "Received empty property filters to update", "SELECT count(*) FROM property_filters", "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    rawExecute(path_, "DELETE FROM event_filters; DELETE FROM property_filters;");
    os::Error error;
    EXPECT_FALSE(c.write(*database_, &error));
    EXPECT_EQ(error.code, c.code);
    EXPECT_EQ(error.description, c.message);
    EXPECT_EQ(rawQuery(path_, c.count), (RawRows{{c.rows}}));
    rawExecute(path_, "DELETE FROM event_filters; DELETE FROM property_filters;");
    EXPECT_FALSE(c.write(*database_, nullptr));
  }
}

TEST_F(DatabaseAudiencesTest, EmptyNamesAndListsAreRefusedBeforeTheDatabase) {
  struct Case {
    std::function<bool(Database&, os::Error*)> call;
    const char* message;
  } cases[] = {
      {[](Database& d, os::Error* e) { return d.eventFiltersForEventName("", e).has_value(); },
       "Received empty event name for getting event filters"},
      {[](Database& d, os::Error* e) {
         return d.propertyFiltersForPropertyName("", e).has_value();
       },
       "Received empty property name for getting property filters"},
      {[](Database& d, os::Error* e) { return d.updateFilterResults({}, e); },
       "Received empty filter results to update"},
      {[](Database& d, os::Error* e) { return d.deleteFilterResults({}, e); },
       "Received empty filter results to delete"},
      {[](Database& d, os::Error* e) { return d.deleteEventFilters({}, e); },
       "Received empty event filters to delete"},
      {[](Database& d, os::Error* e) { return d.deletePropertyFilters({}, e); },
       "Received empty property filters to delete"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    os::Error error;
    EXPECT_FALSE(c.call(*database_, &error));
    EXPECT_EQ(error.code, kInvalidInput);
    EXPECT_EQ(error.description, c.message);
  }
}

TEST_F(DatabaseAudiencesTest, FiltersAreDeletedByTheirIDsOrAllAtOnce) {
  storeFilters({eventFilter(1, 0, "_vs"), eventFilter(1, 1, "_vs"), eventFilter(2, 0, "_e")},
               {propertyFilter(1, 0, "_fot"), propertyFilter(3, 0, "_fot")});
  os::Error error;
  // The name plays no part: the pair of ids selects the row.
  ASSERT_TRUE(database_->deleteEventFilters(
      {eventFilter(1, 1, "other"), eventFilter(2, 0, "_e"), eventFilter(5, 5, "_e")}, &error))
      << error.description;
  EXPECT_EQ(rawQuery(path_, "SELECT audience_id, filter_id FROM event_filters"),
            (RawRows{{"1", "0"}}));
  ASSERT_TRUE(database_->deletePropertyFilters({propertyFilter(3, 0, "_fot")}, &error));
  EXPECT_EQ(rawQuery(path_, "SELECT audience_id, filter_id FROM property_filters"),
            (RawRows{{"1", "0"}}));

  ASSERT_TRUE(database_->deleteAllEventFilters(&error));
  EXPECT_EQ(rawQuery(path_, "SELECT count(*) FROM event_filters"), (RawRows{{"0"}}));
  EXPECT_EQ(rawQuery(path_, "SELECT count(*) FROM property_filters"), (RawRows{{"1"}}));
  ASSERT_TRUE(database_->deleteAllPropertyFilters(&error));
  EXPECT_EQ(database_->allAudienceIDs(&error), std::vector<int32_t>{});
}

TEST_F(DatabaseAudiencesTest, ResultsKeepEmptyPreviousResultsAsNull) {
  os::Error error;
  ASSERT_TRUE(
      database_->updateFilterResults({result(1, {0x08, 0x01}), result(2, {0x08, 0x02}, os::Data{}),
                                      result(3, {0x08, 0x03}, os::Data{0x10, 0x01})},
                                     &error))
      << error.description;
  EXPECT_EQ(rawQuery(path_,
                     "SELECT audience_id, previous_results IS NULL FROM "
                     "audience_filter_values ORDER BY audience_id"),
            (RawRows{{"1", "1"}, {"2", "1"}, {"3", "0"}}));

  Lookup<FilterResult> one = database_->filterResultForAudienceID(2, &error);
  ASSERT_TRUE(one && *one) << error.description;
  EXPECT_EQ(**one, result(2, {0x08, 0x02}));
  one = database_->filterResultForAudienceID(8, &error);
  ASSERT_TRUE(one);
  EXPECT_FALSE(*one);

  // Rewriting an audience replaces its row: results reported earlier can be forgotten.
  ASSERT_TRUE(database_->updateFilterResults({result(3, {0x08, 0x04})}, &error));
  EXPECT_EQ(database_->allFilterResults(&error),
            (std::map<int32_t, FilterResult>{{1, result(1, {0x08, 0x01})},
                                             {2, result(2, {0x08, 0x02})},
                                             {3, result(3, {0x08, 0x04})}}));
}

TEST_F(DatabaseAudiencesTest, AResultWithoutCurrentResultsIsRefusedAsAnEmptyRecord) {
  os::Error error;
  EXPECT_FALSE(
      database_->updateFilterResults({result(1, {0x08, 0x01}), result(2, os::Data{})}, &error));
  EXPECT_EQ(error.code, kInvalidInput);
  EXPECT_EQ(error.description, "Received empty record for upsert");
  EXPECT_EQ(rawQuery(path_, "SELECT audience_id FROM audience_filter_values"), (RawRows{{"1"}}));
}

TEST_F(DatabaseAudiencesTest, ResultsAreDeletedOncePerAudience) {
  ASSERT_TRUE(database_->updateFilterResults(
      {result(3, {0x08}), result(5, {0x08}), result(7, {0x08})}, nullptr));
  os::Error error;
  ASSERT_TRUE(database_->deleteFilterResults(
      {result(7, {0x01}), result(3, {0x02}), result(7, {0x03})}, &error))
      << error.description;
  EXPECT_EQ(rawQuery(path_, "SELECT audience_id FROM audience_filter_values"), (RawRows{{"5"}}));
  EXPECT_TRUE(database_->deleteFilterResults({result(42, {0x01})}, &error));
}

// A failed read is a failure, whether or not the caller asks for the error: an empty answer
// would read as "no results" and "no session-scoped filters".
TEST_F(DatabaseAudiencesTest, FailedReadsFailWithOrWithoutAnErrorAskedFor) {
  rawExecute(path_, "DROP TABLE audience_filter_values; DROP TABLE property_filters;");
  EXPECT_FALSE(database_->allFilterResults(nullptr));
  EXPECT_FALSE(database_->allSessionScopedFilters(nullptr));
  EXPECT_FALSE(database_->allAudienceIDs(nullptr));
  os::Error error;
  EXPECT_FALSE(database_->allFilterResults(&error));
  EXPECT_EQ(error.code, kDatabaseFailure);
  error = {};
  EXPECT_FALSE(database_->allSessionScopedFilters(&error));
  EXPECT_EQ(error.code, kDatabaseFailure);
}

TEST_F(DatabaseAudiencesTest, TheFiltersGenerationMovesWithEveryChangeOfTheStoredFilters) {
  storeFilters({eventFilter(1, 0, "_e")}, {propertyFilter(1, 1, "_p")});
  const SqliteRecord row{
      {"audience_id", 7}, {"filter_id", 0}, {"event_name", "_e"}, {"data", os::Data{1}}};
  struct Case {
    const char* change;
    std::function<void()> step;
    bool moves;
  };
  const std::vector<Case> cases = {
      {"event filters written",
       [&] { database_->updateEventFilters({eventFilter(1, 0, "_e")}, nullptr); }, true},
      {"property filters written",
       [&] { database_->updatePropertyFilters({propertyFilter(1, 1, "_p")}, nullptr); }, true},
      {"a refused write", [&] { database_->updateEventFilters({}, nullptr); }, true},
      {"event filters deleted",
       [&] { database_->deleteEventFilters({eventFilter(1, 0, "_e")}, nullptr); }, true},
      {"property filters deleted",
       [&] { database_->deletePropertyFilters({propertyFilter(1, 1, "_p")}, nullptr); }, true},
      {"all event filters deleted", [&] { database_->deleteAllEventFilters(nullptr); }, true},
      {"all property filters deleted", [&] { database_->deleteAllPropertyFilters(nullptr); }, true},
      {"a generic write of the table",
       [&] { database_->insertDataType(row, kEventFiltersTable, nullptr); }, true},
      {"a rolled-back transaction", [&] { database_->performTransaction([] { return false; }); },
       true},
      {"a reset", [&] { database_->reset(nullptr); }, true},
      {"filters read", [&] { database_->eventFiltersForEventName("_e", nullptr); }, false},
      {"results written",
       [&] {
         database_->updateFilterResults({result(1, os::Data{8, 1})}, nullptr);
       },
       false},
      {"a generic write of another table",
       [&] {
         database_->insertDataType(
             SqliteRecord{{"audience_id", 2}, {"current_results", os::Data{8, 1}}},
             kAudienceFilterValuesTable, nullptr);
       },
       false},
      {"a committed transaction", [&] { database_->performTransaction([] { return true; }); },
       false},
  };
  for (const Case& c : cases) {
    const uint64_t before = database_->audienceFiltersGeneration();
    c.step();
    EXPECT_EQ(database_->audienceFiltersGeneration() != before, c.moves) << c.change;
  }
}

}  // namespace
}  // namespace measurement
