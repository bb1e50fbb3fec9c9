#include <gtest/gtest.h>

#include "measurement/database/database_events_test_support.h"
#include "measurement/database/database_test_support.h"
#include "measurement/foundation/lookup.h"
#include "os/process/clock.h"

namespace measurement {
namespace {

using testing::appEvent;
using testing::rawExecute;
using testing::rawQuery;
using testing::RawRows;

constexpr double kNow = 1765400000;

APMPBMeasurementConfig config(const char* appID, int64_t version) {
  APMPBMeasurementConfig message;
  APMPBSetInt64(message, kMeasurementConfig_version, version);
  if (appID != nullptr) APMPBSetString(message, kMeasurementConfig_app_id, appID);
  return message;
}

using DatabaseRemoteConfigTest = testing::OpenDatabaseTest;

TEST_F(DatabaseRemoteConfigTest, ANewDatabaseHasNoConfigurationAndNoError) {
  os::Error error;
  Lookup<APMPBMeasurementConfig> stored = database_->queryMeasurementConfig(&error);
  ASSERT_TRUE(stored) << error.description;
  EXPECT_FALSE(*stored);
  EXPECT_EQ(error.code, 0);
  Lookup<double> timestamp = database_->lastRemoteConfigUpdateTimestamp(&error);
  ASSERT_TRUE(timestamp) << error.description;
  EXPECT_FALSE(*timestamp);
}

TEST_F(DatabaseRemoteConfigTest, TheConfigurationIsStoredWithItsTimeAndTheFetchTimeMovesAlone) {
  os::clock::ScopedFakeClock clock(kNow);
  os::Error error;
  ASSERT_TRUE(database_->updateRemoteConfig(config("1:123:ios:abc", 7), &error))
      << error.description;
  Lookup<APMPBMeasurementConfig> stored = database_->queryMeasurementConfig(&error);
  ASSERT_TRUE(stored && *stored) << error.description;
  EXPECT_EQ((*stored)->protoBuffer(), config("1:123:ios:abc", 7).protoBuffer());
  EXPECT_EQ(database_->lastRemoteConfigUpdateTimestamp(&error), std::optional<double>(kNow));

  ASSERT_TRUE(database_->updateRemoteConfigSuccessfulTimestamp(kNow + 60, &error));
  EXPECT_EQ(database_->lastRemoteConfigUpdateTimestamp(&error), std::optional<double>(kNow + 60));
  stored = database_->queryMeasurementConfig(&error);
  ASSERT_TRUE(stored && *stored);
  EXPECT_EQ(APMPBGetInt64(**stored, kMeasurementConfig_version), 7);
  EXPECT_EQ(rawQuery(path_, "SELECT count(*) FROM app_metadata"), (RawRows{{"1"}}));
}

TEST_F(DatabaseRemoteConfigTest, AConfigurationWithoutBytesOrAppIDIsRefusedAndTheOldOneStays) {
  ASSERT_TRUE(database_->updateRemoteConfig(config("1:123:ios:abc", 1), nullptr));
  struct Case {
    APMPBMeasurementConfig config;
    const char* message;
  } cases[] = {
      {APMPBMeasurementConfig(), "Invalid measurement config data"},
      {config(nullptr, 2), "Missing Vedodo app ID in measurement configuration"},
      {config("", 2), "Missing Vedodo app ID in measurement configuration"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    os::Error error;
    EXPECT_FALSE(database_->updateRemoteConfig(c.config, &error));
    EXPECT_EQ(error.code, kInvalidInput);
    EXPECT_EQ(error.description, c.message);
    EXPECT_FALSE(database_->updateRemoteConfig(c.config, nullptr));
  }
  Lookup<APMPBMeasurementConfig> stored = database_->queryMeasurementConfig(nullptr);
  ASSERT_TRUE(stored && *stored);
  EXPECT_EQ(APMPBGetInt64(**stored, kMeasurementConfig_version), 1);
}

TEST_F(DatabaseRemoteConfigTest, CorruptBytesFailEveryReadUntilTheNextUpdate) {
  rawExecute(path_, "UPDATE app_metadata SET remote_config_data = x'0a'");
  for (int read = 0; read < 2; ++read) {
    os::Error error;
    EXPECT_FALSE(database_->queryMeasurementConfig(&error));
    EXPECT_EQ(error.code, kOperationFailed);
    EXPECT_EQ(error.description, "Remote config data is corrupted");
    EXPECT_FALSE(database_->queryMeasurementConfig(nullptr));
  }
  // Empty bytes are nothing stored, not corruption.
  rawExecute(path_, "UPDATE app_metadata SET remote_config_data = x''");
  Lookup<APMPBMeasurementConfig> stored = database_->queryMeasurementConfig(nullptr);
  ASSERT_TRUE(stored);
  EXPECT_FALSE(*stored);

  ASSERT_TRUE(database_->updateRemoteConfig(config("1:123:ios:abc", 3), nullptr));
  stored = database_->queryMeasurementConfig(nullptr);
  ASSERT_TRUE(stored && *stored);
}

TEST_F(DatabaseRemoteConfigTest, AMainEventWaitsUnderItsIDWithItsChildCount) {
  Event main = appEvent("_cmp", kNow,
                        {{"items", os::Array{os::Dictionary{{"item_id", "a"}}}}, {"value", 2.5}});
  os::Error error;
  ASSERT_TRUE(database_->updateComplexEventForAudienceEvaluationWithEventID(42, 3, main, &error))
      << error.description;
  ASSERT_TRUE(database_->updateComplexEventForAudienceEvaluationWithEventID(
      43, 1, appEvent("_vs", kNow), &error));
  Lookup<std::pair<Event, int64_t>> pair =
      database_->mainEventAndChildCountPairWithEventID(42, &error);
  ASSERT_TRUE(pair && *pair) << error.description;
  EXPECT_EQ((*pair)->first, main);
  EXPECT_EQ((*pair)->second, 3);

  // A second write under the same id replaces the row.
  ASSERT_TRUE(database_->updateComplexEventForAudienceEvaluationWithEventID(42, 2, main, &error));
  pair = database_->mainEventAndChildCountPairWithEventID(42, &error);
  ASSERT_TRUE(pair && *pair);
  EXPECT_EQ((*pair)->second, 2);

  // Deleting answers true whether or not a row matched, and touches no other id.
  EXPECT_TRUE(database_->deleteComplexEventForAudienceEvaluationWithEventID(42, &error));
  EXPECT_TRUE(database_->deleteComplexEventForAudienceEvaluationWithEventID(42, &error));
  pair = database_->mainEventAndChildCountPairWithEventID(42, &error);
  ASSERT_TRUE(pair);
  EXPECT_FALSE(*pair);
  EXPECT_EQ(rawQuery(path_, "SELECT event_id, children_to_process FROM main_event_params"),
            (RawRows{{"43", "1"}}));
}

TEST_F(DatabaseRemoteConfigTest, AStoredMainEventThatNoLongerReadsFailsWithItsReason) {
  ASSERT_TRUE(database_->updateComplexEventForAudienceEvaluationWithEventID(
      7, 1, appEvent("_vs", kNow), nullptr));
  struct Case {
    const char* damage;
    const char* message;
  } cases[] = {
      {"UPDATE main_event_params SET main_event = x'ffff'", "Main event blob is nil in database"},
      {"UPDATE main_event_params SET main_event = x''", "Main event blob is nil in database"},
      {"UPDATE main_event_params SET children_to_process = 'many'",
       "Complex event does not have children count in database"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.damage);
    ASSERT_TRUE(database_->updateComplexEventForAudienceEvaluationWithEventID(
        7, 1, appEvent("_vs", kNow), nullptr));
    rawExecute(path_, c.damage);
    os::Error error;
    EXPECT_FALSE(database_->mainEventAndChildCountPairWithEventID(7, &error));
    EXPECT_EQ(error.code, kDatabaseFailure);
    EXPECT_EQ(error.description, c.message);
    EXPECT_FALSE(database_->mainEventAndChildCountPairWithEventID(7, nullptr));
  }
}

}  // namespace
}  // namespace measurement
