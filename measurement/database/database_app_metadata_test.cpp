#include <gtest/gtest.h>

#include "measurement/database/database.h"
#include "measurement/database/database_test_support.h"
#include "measurement/foundation/lookup.h"
#include "measurement/foundation/persisted_config.h"
#include "measurement/foundation/storage_paths.h"
#include "os/process/clock.h"

namespace measurement {
namespace {

using testing::rawExecute;
using testing::rawQuery;
using testing::RawRows;

class DatabaseAppMetadataTest : public testing::OpenDatabaseTest {};

TEST_F(DatabaseAppMetadataTest, KeepsTheLastBundleInRowOne) {
  os::Error error;
  EXPECT_EQ(database_->queryAppMetadata(&error), AppMetadata::create(0, 0, 0));
  std::optional<AppMetadata> metadata = AppMetadata::create(5, 10.5, 20.5);
  metadata->incrementLastBundleIndex();
  ASSERT_TRUE(database_->updateAppMetadata(*metadata, &error)) << error.description;
  EXPECT_EQ(database_->queryAppMetadata(&error), AppMetadata::create(6, 10.5, 20.5));
  EXPECT_EQ(rawQuery(path_, "SELECT rowid, last_bundle_index FROM app_metadata"),
            (RawRows{{"1", "6"}}));
  // A row from before the start time existed reads as start 0.
  rawExecute(path_, "UPDATE app_metadata SET last_bundle_start_timestamp = NULL");
  EXPECT_EQ(database_->queryAppMetadata(&error), AppMetadata::create(6, 0, 20.5));
}

TEST_F(DatabaseAppMetadataTest, ReadsTheDailyCountsUnderTodayWhenNoDayIsStored) {
  const double offset = config_->midnightOffset();
  os::clock::ScopedFakeClock clock(86400.0 * 20000 + offset);
  os::Error error;
  EXPECT_EQ(database_->dailyCounts(&error), DailyCounts(20000, 0, 0, 0, 0, 0, 0));
  // The day changes at the installation's own time of day, not at midnight UTC.
  clock.setNow(86400.0 * 20000 + offset - 0.5);
  EXPECT_EQ(database_->currentDayNumber(), 19999);
  const DailyCounts old(19990, 1, 2, 3, 4, 5, 6);
  ASSERT_TRUE(database_->updateDailyCounts(old, &error)) << error.description;
  // An older day keeps its counters until an increment moves them to another day.
  EXPECT_EQ(database_->dailyCounts(&error), old);
  rawExecute(path_, "UPDATE app_metadata SET day = 'x', daily_events_count = 'y'");
  EXPECT_EQ(database_->dailyCounts(&error), DailyCounts(19999, 1, 0, 3, 4, 5, 6));
  // The bundle columns are not touched by the counts, nor the counts by the bundle.
  EXPECT_EQ(database_->queryAppMetadata(&error), AppMetadata::create(0, 0, 0));
}

TEST_F(DatabaseAppMetadataTest, WithoutRowOneReadsNothingAndWritesFail) {
  rawExecute(path_, "DELETE FROM app_metadata");
  os::Error error;
  Lookup<AppMetadata> metadata = database_->queryAppMetadata(&error);
  ASSERT_TRUE(metadata);
  EXPECT_FALSE(*metadata);
  Lookup<DailyCounts> counts = database_->dailyCounts(nullptr);
  ASSERT_TRUE(counts);
  EXPECT_FALSE(*counts);
  EXPECT_FALSE(database_->updateAppMetadata(*AppMetadata::create(1, 0, 0), &error));
  EXPECT_EQ(error.description, "Failed to update record. Item doesn't exist");
  EXPECT_FALSE(database_->updateDailyCounts(DailyCounts(1, 0, 0, 0, 0, 0, 0), nullptr));
  // The next opening writes it again.
  database_.reset();
  database_ = Database::open(kMeasurementDatabaseName, config_.get(), &error);
  ASSERT_TRUE(database_);
  EXPECT_EQ(database_->queryAppMetadata(&error), AppMetadata::create(0, 0, 0));
}

}  // namespace
}  // namespace measurement
