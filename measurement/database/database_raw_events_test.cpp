#include <gtest/gtest.h>

#include "measurement/database/database_events_test_support.h"
#include "measurement/database/database_test_support.h"
#include "measurement/foundation/data_extensions.h"
#include "measurement/foundation/lookup.h"
#include "measurement/foundation/monitor_capture.h"
#include "measurement/foundation/test_support.h"
#include "os/process/clock.h"

namespace measurement {
namespace {

using testing::appEvent;
using testing::rawExecute;
using testing::rawQuery;
using testing::RawRows;
using testing::uploadBundle;

constexpr double kNow = 1765400000;

// The answer of a query that ran and found nothing.
template <typename T>
Lookup<T> nothing() {
  return std::optional<T>();
}

class DatabaseRawEventsTest : public testing::OpenDatabaseTest {
 protected:
  // Stores metadata (once) and `count` raw events of it; answers the fingerprint.
  int64_t writeEvents(int count, double first = kNow) {
    APMPBMeasurementBundle metadata;
    APMPBSetString(metadata, kMeasurementBundle_app_id, "app");
    os::Error error;
    EXPECT_TRUE(database_->insertIfNotExistsRawEventMetadata(metadata, &error))
        << error.description;
    int64_t fingerprint = apm_64LSBMD5(*metadata.protoBuffer());
    for (int i = 0; i < count; ++i) {
      EXPECT_TRUE(database_->insertRawEvent(appEvent("_vs", first + i, {{"n", i}}), fingerprint,
                                            i == 0, &error))
          << error.description;
    }
    return fingerprint;
  }

  int64_t rawEventCount() {
    return std::stoll(rawQuery(path_, "SELECT count(*) FROM raw_events").at(0).at(0));
  }
};

TEST_F(DatabaseRawEventsTest, EventsWaitInGroupsOfTheirMetadata) {
  os::Error error;
  EXPECT_EQ(database_->nextMetadataFingerprintToProcess(&error), nothing<int64_t>());
  EXPECT_EQ(database_->queryLatestRawEventTime(&error), nothing<double>());
  EXPECT_EQ(database_->isRawEventsTableEmpty(&error), true);
  EXPECT_EQ(error.code, 0);

  int64_t fingerprint = writeEvents(3);
  writeEvents(0);  // the same metadata again writes nothing
  EXPECT_EQ(rawQuery(path_, "SELECT count(*) FROM raw_events_metadata"), (RawRows{{"1"}}));
  // The stored fingerprint is the last 8 bytes of the metadata's MD5, signed.
  EXPECT_EQ(rawQuery(path_, "SELECT metadata_fingerprint FROM raw_events_metadata"),
            (RawRows{{std::to_string(fingerprint)}}));
  EXPECT_EQ(rawQuery(path_, "SELECT name, is_realtime FROM raw_events ORDER BY rowid"),
            (RawRows{{"_vs", "1"}, {"_vs", "0"}, {"_vs", "0"}}));

  EXPECT_EQ(database_->nextMetadataFingerprintToProcess(&error), std::optional(fingerprint));
  EXPECT_EQ(database_->containsRawEventWithMetadataFingerprint(fingerprint, &error), true);
  EXPECT_EQ(database_->containsRealtimeRawEventsWithError(&error), true);
  EXPECT_EQ(database_->queryLatestRawEventTime(&error), std::optional<double>(kNow + 2));

  std::optional<std::vector<RawEventData>> group = database_->rawEventsWithMetadataFingerprint(
      fingerprint, &error, [](size_t index, const SqliteRecord&) { return index < 2; });
  ASSERT_TRUE(group) << error.description;
  ASSERT_EQ(group->size(), 2u);
  EXPECT_EQ((*group)[1].rawEvent(), appEvent("_vs", kNow + 1, {{"n", 1}}));
  EXPECT_EQ((*group)[1].rowID(), (*group)[0].rowID() + 1);
  EXPECT_EQ((*group)[1].metadataFingerprint(), fingerprint);
  Lookup<APMPBMeasurementBundle> metadata =
      database_->queryRawEventsMetadataWithFingerprint(fingerprint, &error);
  EXPECT_EQ(APMPBGetString(metadata->value(), kMeasurementBundle_app_id), "app");

  ASSERT_TRUE(database_->deleteRawEventsWithMaxRowID((*group)[1].rowID(), &error));
  EXPECT_EQ(rawEventCount(), 1);
  EXPECT_EQ(database_->rawEventsWithMetadataFingerprint(
                fingerprint + 1, &error, [](size_t, const SqliteRecord&) { return true; }),
            std::optional<std::vector<RawEventData>>(std::vector<RawEventData>()));
}

TEST_F(DatabaseRawEventsTest, RowsThatDoNotRestoreCarryTheirReason) {
  struct Case {
    const char* what;
    SqliteRecord row;
    const char* description;
  } cases[] = {
      {"empty", SqliteRecord{}, "Received empty dictionary for getting raw event data"},
      {"no rowid", SqliteRecord{{"data", os::Data{}}, {"metadata_fingerprint", 1}},
       "Unable to find row ID in the database dictionary"},
      {"null data", SqliteRecord{{"rowid", 1}, {"data", os::Value()}, {"metadata_fingerprint", 1}},
       "Unable to find event data in the database dictionary"},
      {"no fingerprint", SqliteRecord{{"rowid", 1}, {"data", os::Data{}}},
       "Unable to find event metadata in the database dictionary"},
      {"no origin",
       SqliteRecord{{"rowid", 1},
                    {"name", "_vs"},
                    {"timestamp", 1.0},
                    {"data", os::Data{}},
                    {"metadata_fingerprint", 1}},
       "Cannot create an event from database. Missing origin parameter"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    os::Error error;
    EXPECT_FALSE(database_->rawEventDataFromDictionary(c.row, &error));
    EXPECT_EQ(error.description, c.description);
    EXPECT_FALSE(database_->rawEventDataFromDictionary(c.row, nullptr));
  }
  // A group whose every row fails is a failure, not an empty group.
  int64_t fingerprint = writeEvents(2);
  rawExecute(path_, "UPDATE raw_events SET data = x'ffff'");
  os::Error error;
  EXPECT_FALSE(database_->rawEventsWithMetadataFingerprint(
      fingerprint, &error, [](size_t, const SqliteRecord&) { return true; }));
  EXPECT_EQ(error.description, "Failed to parse event from data");
}

TEST_F(DatabaseRawEventsTest, TheCapKeepsOneLessThanTheLimit) {
  struct Case {
    const char* maxEventsStored;
    int stored;
    int64_t deleted;
  } cases[] = {{"3", 5, 3}, {"1", 5, 5}, {"0", 5, 5}, {"100000", 5, 0}, {"5", 5, 1}, {"6", 5, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.maxEventsStored);
    ScopedEngineSettings settings(
        {{"measurement.store.max_stored_events_per_app", c.maxEventsStored}});
    rawExecute(path_, "DELETE FROM raw_events");
    writeEvents(c.stored);
    os::Error error;
    EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(&error), c.deleted) << error.description;
    EXPECT_EQ(rawEventCount(), c.stored - c.deleted);
    if (c.stored - c.deleted > 0) {
      // The newest stay.
      EXPECT_EQ(rawQuery(path_, "SELECT max(timestamp) FROM raw_events"),
                (RawRows{{std::to_string(static_cast<int64_t>(kNow) + c.stored - 1) + ".0"}}));
    }
  }
}

TEST_F(DatabaseRawEventsTest, BundlesAreCheckedBeforeTheyWait) {
  os::clock::ScopedFakeClock clock(kNow);
  APMPBMeasurementBundle noApp = uploadBundle(1000);
  APMPBClearField(noApp, kMeasurementBundle_app_id);
  struct Case {
    const char* what;
    APMPBMeasurementBundle bundle;
    const char* description;
  } cases[] = {
      {"empty", APMPBMeasurementBundle(), "Failed to insert nil bundle"},
      {"no app id", noApp, "Failed to insert bundle without App ID"},
      {"no end time", uploadBundle(0), "Failed to insert bundle without valid timestamp"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    os::Error error;
    EXPECT_FALSE(database_->insertBundle(c.bundle, false, &error));
    EXPECT_EQ(error.description, c.description);
  }
  EXPECT_EQ(database_->isQueuedBundleTableEmpty(nullptr), true);
  EXPECT_EQ(database_->queryLatestBundleTime(nullptr), nothing<double>());
}

TEST_F(DatabaseRawEventsTest, UploadTakesTheOldestBundlesWithinTheSizeLimit) {
  os::clock::ScopedFakeClock clock(kNow);
  const int64_t end = static_cast<int64_t>(kNow) * 1000;
  struct Case {
    const char* what;
    std::vector<size_t> sizes;
    size_t taken;
  } cases[] = {
      {"40 + 30 KB pass 64 KB", {40000, 30000, 50000}, 1},
      {"one large bundle alone", {100000, 1000}, 1},
      {"small ones together", {10000, 10000, 10000}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    rawExecute(path_, "DELETE FROM queue");
    for (size_t size : c.sizes)
      ASSERT_TRUE(database_->insertBundle(uploadBundle(end, size), false, nullptr));
    os::Error error;
    std::optional<std::vector<QueuedBundle>> bundles =
        database_->queryBundlesWithCountLimit(100, 65536, &error);
    ASSERT_TRUE(bundles) << error.description;
    EXPECT_EQ(bundles->size(), c.taken);
  }
  EXPECT_EQ(database_->queryLatestBundleTime(nullptr), std::optional<double>(kNow));
}

TEST_F(DatabaseRawEventsTest, RetriesAreCountedIntoTheBundleUpToTheInt32Maximum) {
  os::clock::ScopedFakeClock clock(kNow);
  const int64_t end = static_cast<int64_t>(kNow) * 1000;
  ASSERT_TRUE(database_->insertBundle(uploadBundle(end), false, nullptr));
  ASSERT_TRUE(database_->insertBundle(uploadBundle(end), true, nullptr));
  std::vector<QueuedBundle> queued = *database_->queryBundlesWithCountLimit(10, 1 << 20, nullptr);
  ASSERT_EQ(queued.size(), 2u);
  EXPECT_FALSE(APMPBHasField(queued[0].bundle, kMeasurementBundle_retry_count));
  std::vector<int64_t> rowIDs{queued[0].rowID, queued[1].rowID};
  ASSERT_TRUE(database_->incrementRetryCounterForBundlesWithIDs(rowIDs, nullptr));
  ASSERT_TRUE(database_->incrementRetryCounterForBundlesWithIDs(rowIDs, nullptr));
  std::vector<QueuedBundle> retried = *database_->queryBundlesWithRowIDs({rowIDs[0]}, nullptr);
  ASSERT_EQ(retried.size(), 1u);
  EXPECT_EQ(APMPBGetInt32(retried[0].bundle, kMeasurementBundle_retry_count), 2);

  MonitorCapture capture;
  rawExecute(path_, "UPDATE queue SET retry_count = 2147483647 WHERE rowid = " +
                        std::to_string(rowIDs[0]));
  ASSERT_TRUE(database_->incrementRetryCounterForBundlesWithIDs(rowIDs, nullptr));
  EXPECT_TRUE(capture.contains(12054));
  EXPECT_EQ(rawQuery(path_, "SELECT retry_count FROM queue ORDER BY rowid"),
            (RawRows{{"2147483647"}, {"3"}}));
  EXPECT_EQ(database_->containsRealtimeBundlesWithError(nullptr), true);

  ASSERT_TRUE(database_->deleteBundlesWithRowIDs(rowIDs, nullptr));
  EXPECT_EQ(database_->isQueuedBundleTableEmpty(nullptr), true);
  os::Error error;
  EXPECT_FALSE(database_->deleteBundlesWithRowIDs({}, &error));
  EXPECT_EQ(error.description, "Received empty row IDs to process");
}

TEST_F(DatabaseRawEventsTest, StaleDataGoesOncePerInterval) {
  // The default maximum queue time is 28 days.
  os::clock::ScopedFakeClock clock(kNow);
  const double thirtyDays = 30 * 86400;
  writeEvents(1, kNow - thirtyDays);
  writeEvents(1, kNow + thirtyDays);  // a clock set forward once
  writeEvents(1, kNow);
  config_->setLastDeleteStaleBundlesTimestamp(kNow);

  MonitorCapture capture;
  const int64_t oldEnd = static_cast<int64_t>(kNow - thirtyDays) * 1000;
  ASSERT_TRUE(database_->insertBundle(uploadBundle(oldEnd), false, nullptr));
  EXPECT_TRUE(capture.contains(12016));
  EXPECT_EQ(database_->maybeDeleteStaleData(nullptr), false);
  EXPECT_EQ(rawEventCount(), 3);

  clock.advance(86401);
  os::Error error;
  EXPECT_EQ(database_->maybeDeleteStaleData(&error), true) << error.description;
  EXPECT_EQ(rawEventCount(), 1);
  EXPECT_EQ(database_->isQueuedBundleTableEmpty(nullptr), true);
  EXPECT_EQ(database_->maybeDeleteStaleData(nullptr), false);

  EXPECT_FALSE(database_->deleteStaleBundlesOlderThanMaxAge(-1, &error));
  EXPECT_EQ(error.description, "Cannot delete stale bundles after negative time period");
  EXPECT_FALSE(database_->deleteStaleRawEventsDataOlderThanMaxAge(-1, &error));
  EXPECT_EQ(error.description, "Cannot delete stale raw events given negative time period");
}

}  // namespace
}  // namespace measurement
