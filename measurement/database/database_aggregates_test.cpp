#include <gtest/gtest.h>

#include "measurement/database/database_events_test_support.h"
#include "measurement/database/database_test_support.h"
#include "measurement/foundation/lookup.h"

namespace measurement {
namespace {

using testing::rawExecute;
using testing::rawQuery;
using testing::RawRows;

class DatabaseAggregatesTest : public testing::OpenDatabaseTest {
 protected:
  void store(const char* name, int32_t lifetime) {
    os::Error error;
    ASSERT_TRUE(database_->updateEventAggregates(
        *EventAggregates::initWithName(name, lifetime, 1, 1, 100), &error))
        << error.description;
  }
  std::optional<EventAggregates> stored(const char* name) {
    return database_->eventAggregatesWithName(name, nullptr).value_or(std::nullopt);
  }
};

TEST_F(DatabaseAggregatesTest, KeepsOneTallyPerNameWithItsSamplingState) {
  std::optional<EventAggregates> tally = EventAggregates::initWithName("purchase", 3, 2, 1, 50.5);
  tally->setLastSampledComplexEventID(77);
  tally->setLastSamplingRate(10);
  tally->setLastExemptFromSampling(true);
  tally->setLastBundledDay(20000);
  os::Error error;
  ASSERT_TRUE(database_->updateEventAggregates(*tally, &error)) << error.description;
  EXPECT_EQ(stored("purchase"), tally);

  // Writing a tally without a complex event id clears the column.
  tally->setLastSampledComplexEventID(std::nullopt);
  ASSERT_TRUE(database_->updateEventAggregates(*tally, &error));
  EXPECT_EQ(rawQuery(path_, "SELECT last_sampled_complex_event_id FROM events"),
            (RawRows{{"NULL"}}));

  // A row whose sampling columns are NULL reads with the defaults.
  rawExecute(path_,
             "UPDATE events SET last_bundled_timestamp = NULL, last_sampling_rate = NULL, "
             "last_exempt_from_sampling = NULL, last_bundled_day = NULL, "
             "current_session_count = NULL");
  EXPECT_EQ(stored("purchase"), EventAggregates::initWithName("purchase", 3, 2, 0, 50.5));
  EXPECT_EQ(database_->eventAggregatesWithName("absent", &error),
            Lookup<EventAggregates>(std::optional<EventAggregates>()));
}

TEST_F(DatabaseAggregatesTest, CountsPublicNamesAndClearsSessions) {
  for (const char* name : {"purchase", "level_up", "_f", "_s", "_e"}) store(name, 1);
  EXPECT_EQ(database_->publicEventCount(nullptr), 2);
  ASSERT_TRUE(database_->clearCurrentSessionCounts(nullptr));
  EXPECT_EQ(rawQuery(path_, "SELECT DISTINCT current_session_count FROM events"), (RawRows{{"0"}}));
  EXPECT_EQ(database_->allEventAggregates(nullptr)->size(), 5u);
}

TEST_F(DatabaseAggregatesTest, AFullTableRefusesOnlyNewNames) {
  rawExecute(path_,
             "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000) "
             "INSERT INTO events (name, lifetime_count, current_bundle_count, "
             "last_fire_timestamp) SELECT 'e' || i, 1, 1, 0 FROM n");
  os::Error error;
  EXPECT_FALSE(
      database_->updateEventAggregates(*EventAggregates::initWithName("new", 1, 1, 1, 0), &error));
  EXPECT_EQ(error.description, "Failed to insert data type. Table is full");
  EXPECT_TRUE(
      database_->updateEventAggregates(*EventAggregates::initWithName("e7", 9, 1, 1, 0), &error));
  EXPECT_EQ(stored("e7")->lifetimeCount(), 9);
  EXPECT_EQ(database_->allEventAggregates(nullptr)->size(), 1000u);
}

TEST_F(DatabaseAggregatesTest, TheSnapshotReplacesCountsGatheredWhileStorageWasDenied) {
  // Nothing to restore: events stays as it is.
  store("purchase", 4);
  EXPECT_EQ(database_->eventAggregatesSnapshotWithName("purchase", nullptr),
            Lookup<EventAggregates>(std::optional<EventAggregates>()));
  EXPECT_TRUE(database_->restoreFromEventsSnapshotTable(nullptr));
  EXPECT_EQ(stored("purchase")->lifetimeCount(), 4);

  struct Case {
    const char* what;
    int32_t snapshotFirstOpen;  // -1: no row
    int32_t liveFirstOpen;
    int32_t restoredFirstOpen;  // -1: no row
  } cases[] = {
      {"snapshot without _f keeps the live one", -1, 1, 1},
      {"snapshot _f of 0 keeps the live one", 0, 1, 1},
      {"snapshot _f of 2 wins", 2, 5, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(database_->deleteAllEventAggregates(nullptr));
    store("purchase", 4);
    if (c.snapshotFirstOpen >= 0) store("_f", c.snapshotFirstOpen);
    // Taking it twice keeps only the second copy.
    ASSERT_TRUE(database_->createEventsSnapshotTable(nullptr));
    ASSERT_TRUE(database_->createEventsSnapshotTable(nullptr));
    store("purchase", 9);
    store("_f", c.liveFirstOpen);
    store("level_up", 1);

    os::Error error;
    ASSERT_TRUE(database_->restoreFromEventsSnapshotTable(&error)) << error.description;
    EXPECT_EQ(stored("purchase")->lifetimeCount(), 4);
    EXPECT_FALSE(stored("level_up"));
    EXPECT_EQ(stored("_f") ? stored("_f")->lifetimeCount() : -1, c.restoredFirstOpen);
    EXPECT_EQ(rawQuery(path_, "SELECT count(*) FROM events_snapshot"), (RawRows{{"0"}}));
  }
}

}  // namespace
}  // namespace measurement
