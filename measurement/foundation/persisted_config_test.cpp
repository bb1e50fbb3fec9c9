#include "measurement/foundation/persisted_config.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <latch>
#include <set>
#include <thread>

#include "measurement/foundation/measurement_user_defaults.h"
#include "measurement/foundation/storage_paths.h"
#include "measurement/foundation/test_support.h"

namespace measurement {
namespace {

class PersistedConfigTest : public testing::Test {
 protected:
  static os::Value onDisk() {
    return PreferencesSandbox::plistFile(measurementPlistPath(kPersistedConfigSuiteName));
  }

  PreferencesSandbox sandbox_;
};

// One typed value: how to set it, and what its getter gives back as a value.
struct Property {
  const char* key;
  std::function<void(PersistedConfig&)> set;
  std::function<os::Value(const PersistedConfig&)> get;
  os::Value expected;
  os::Value missing;
};

os::Value optional(const std::optional<std::string>& text) {
  return text ? os::Value(*text) : os::Value();
}

std::vector<Property> allProperties() {
  using C = PersistedConfig;
  using V = os::Value;
  return {
      {"last_delete_stale", [](C& c) { c.setLastDeleteStaleBundlesTimestamp(1.5); },
       [](const C& c) { return V(c.lastDeleteStaleBundlesTimestamp()); }, V(1.5), V(0.0)},
      {"is_search_ad_campaign", [](C& c) { c.setSearchAdCampaignValue(V(true)); },
       [](const C& c) { return c.searchAdCampaignValue(); }, V(true), V()},
      {"search_ad_last_attempt_timestamp", [](C& c) { c.setLastSearchAdLookUpTimestamp(2.5); },
       [](const C& c) { return V(c.lastSearchAdLookUpTimestamp()); }, V(2.5), V(0.0)},
      {"search_ad_number_of_retries", [](C& c) { c.setSearchAdRetryCount(3); },
       [](const C& c) { return V(c.searchAdRetryCount()); }, V(3), V(0)},
      {"app_instance_id", [](C& c) { c.setAppInstanceID("0123456789ABCDEF"); },
       [](const C& c) { return optional(c.appInstanceID()); }, V("0123456789ABCDEF"), V()},
      {"gmp_app_id", [](C& c) { c.setAppIDFromGMP("1:123:ios:abc"); },
       [](const C& c) { return optional(c.appIDFromGMP()); }, V("1:123:ios:abc"), V()},
      {"zezud_app_id", [](C& c) { c.setAppIDFromZeZud("zz"); },
       [](const C& c) { return optional(c.appIDFromZeZud()); }, V("zz"), V()},
      {"hashed_idfa", [](C& c) { c.setHashedResettableDeviceID("h"); },
       [](const C& c) { return optional(c.hashedResettableDeviceID()); }, V("h"), V()},
      {"diversion_key", [](C& c) { c.setDiversionKey("d"); },
       [](const C& c) { return optional(c.diversionKey()); }, V("d"), V()},
      {"measurement_enabled_state", [](C& c) { c.setMeasurementEnabledState(2); },
       [](const C& c) { return V(c.measurementEnabledState()); }, V(2), V(0)},
      {"last_backoff", [](C& c) { c.setLastBackoffTimestamp(4.5); },
       [](const C& c) { return V(c.lastBackoffTimestamp()); }, V(4.5), V(0.0)},
      {"last_successful_upload", [](C& c) { c.setLastSuccessfulUploadTimestamp(5.5); },
       [](const C& c) { return V(c.lastSuccessfulUploadTimestamp()); }, V(5.5), V(0.0)},
      {"last_failed_upload", [](C& c) { c.setLastFailedUploadTimestamp(6.5); },
       [](const C& c) { return V(c.lastFailedUploadTimestamp()); }, V(6.5), V(0.0)},
      {"app_version", [](C& c) { c.setAppVersion("1.2"); },
       [](const C& c) { return optional(c.appVersion()); }, V("1.2"), V()},
      {"os_version", [](C& c) { c.setOSVersion("12.0"); },
       [](const C& c) { return optional(c.osVersion()); }, V("12.0"), V()},
      {"midnight_offset", [](C& c) { c.setDouble(3600.25, "/vedodo/measurement/midnight_offset"); },
       [](const C& c) { return V(c.midnightOffset()); }, V(3600.25), V()},
      {"last_monitor_data_sampled_timestamp",
       [](C& c) { c.setLastMonitorDataSampledTimestamp(7.5); },
       [](const C& c) { return V(c.lastMonitorDataSampledTimestamp()); }, V(7.5), V(0.0)},
      {"first_open_timestamp_ms", [](C& c) { c.setFirstOpenTimestampMilliseconds(1700000000123); },
       [](const C& c) { return V(c.firstOpenTimestampMilliseconds()); }, V(1700000000123), V(0)},
      {"last_modified_since_key",
       [](C& c) { c.setConfigServerLastModifiedString("Thu, 10 Dec 2026 21:00:00 GMT"); },
       [](const C& c) { return c.configServerLastModifiedString(); },
       V("Thu, 10 Dec 2026 21:00:00 GMT"), V()},
      {"config_etag", [](C& c) { c.setConfigServerETag("\"e1\""); },
       [](const C& c) { return optional(c.configServerETag()); }, V("\"e1\""), V()},
      {"load_timestamp", [](C& c) { c.setLoadTimestampValue(V(8.5)); },
       [](const C& c) { return c.loadTimestampValue(); }, V(8.5), V()},
      {"allow_personalized_ads", [](C& c) { c.setAllowPersonalizedAds(V(false)); },
       [](const C& c) { return c.allowPersonalizedAds(); }, V(false), V()},
      {"riveravo_feature_rollouts", [](C& c) { c.setRiveravoFeatureRollouts("r1,r2"); },
       [](const C& c) { return optional(c.riveravoFeatureRollouts()); }, V("r1,r2"), V()},
      {"deep_link_retrieval_complete",
       [](C& c) { c.setDeferredDeepLinkRetrievalComplete(V(true)); },
       [](const C& c) { return c.deferredDeepLinkRetrievalComplete(); }, V(true), V()},
      {"deep_link_retry_count", [](C& c) { c.setDeferredDeepLinkRetryCount(9); },
       [](const C& c) { return V(c.deferredDeepLinkRetryCount()); }, V(9), V(0)},
      {"set_last_advertising_id_reset",
       [](C& c) { c.setShouldSetLastAdvertisingIDResetUserProperty(true); },
       [](const C& c) { return V(c.shouldSetLastAdvertisingIDResetUserProperty()); }, V(true),
       V(false)},
      {"unmatched_first_open", [](C& c) { c.setUnmatchedFirstOpenWithoutIDFA(true); },
       [](const C& c) { return V(c.unmatchedFirstOpenWithoutIDFA()); }, V(true), V(false)},
      {"previous_first_open_count", [](C& c) { c.setPreviousFirstOpenCount(V(2)); },
       [](const C& c) { return c.previousFirstOpenCount(); }, V(2), V()},
      {"previous_bundled_consent_signals", [](C& c) { c.setPreviousBundledConsentSignals("G111"); },
       [](const C& c) { return optional(c.previousBundledConsentSignals()); }, V("G111"), V()},
      {"last_engagement_end", [](C& c) { c.setLastSessionActivityClockTime(10.5); },
       [](const C& c) { return V(c.lastSessionActivityClockTime()); }, V(10.5), V(0.0)},
      {"session_number", [](C& c) { c.setSessionNumber(11); },
       [](const C& c) { return V(c.sessionNumber()); }, V(11), V(0)},
      {"default_event_parameters",
       [](C& c) {
         c.setDefaultEventParameters(os::Dictionary{{"currency", "EUR"}});
       },
       [](const C& c) {
         auto parameters = c.defaultEventParameters();
         return parameters ? V(*parameters) : V();
       },
       V(os::Dictionary{{"currency", "EUR"}}), V()},
      {"last_uploaded_event_millis", [](C& c) { c.setLastUploadedEventTimestampMillis(12); },
       [](const C& c) { return V(c.lastUploadedEventTimestampMillis()); }, V(12), V(0)},
      {"skan_evaluation_event_time_millis", [](C& c) { c.setSKANEvaluationEventTimeMillis(13); },
       [](const C& c) { return V(c.SKANEvaluationEventTimeMillis()); }, V(13), V(0)},
      {"skan_evaluation_update_backoff_millis",
       [](C& c) { c.setSKANEvaluationUpdateBackoffMillis(14); },
       [](const C& c) { return V(c.SKANEvaluationUpdateBackoffMillis()); }, V(14), V(0)},
  };
}

TEST_F(PersistedConfigTest, EveryValueSurvivesARestart) {
  const std::vector<Property> properties = allProperties();
  ASSERT_EQ(properties.size(), 35u);
  {
    std::unique_ptr<PersistedConfig> config = PersistedConfig::create(kPersistedConfigSuiteName);
    ASSERT_TRUE(config);
    for (const Property& property : properties) {
      SCOPED_TRACE(property.key);
      if (!property.missing.isNull()) {
        EXPECT_EQ(property.get(*config), property.missing);
      }
      property.set(*config);
    }
  }
  // The file holds every key under its full name, booleans as integers.
  os::Value file = onDisk();
  EXPECT_EQ(file["/vedodo/measurement/unmatched_first_open"], os::Value(1));
  EXPECT_EQ(file["/vedodo/measurement/session_number"], os::Value(11));
  EXPECT_TRUE(file["/vedodo/measurement/measurement_enabled_state"].isNull());
  EXPECT_EQ(MeasurementUserDefaults::shared().integerForKey(
                "/vedodo/measurement/measurement_enabled_state"),
            2);

  os::UserDefaults::resetForTesting();
  std::unique_ptr<PersistedConfig> restarted = PersistedConfig::create(kPersistedConfigSuiteName);
  for (const Property& property : properties) {
    SCOPED_TRACE(property.key);
    EXPECT_EQ(property.get(*restarted), property.expected);
  }

  // Clearing removes everything but the measurement enabled state.
  restarted->clearValues();
  for (const Property& property : properties) {
    SCOPED_TRACE(property.key);
    if (std::string(property.key) == "measurement_enabled_state") {
      EXPECT_EQ(property.get(*restarted), os::Value(2));
    } else if (!property.missing.isNull()) {
      EXPECT_EQ(property.get(*restarted), property.missing);
    }
  }
  restarted->synchronizeToDisk();
  EXPECT_EQ(onDisk(), os::Value(os::Dictionary{}));
}

TEST_F(PersistedConfigTest, SixteenFirstReadersOfTheMidnightOffsetAgree) {
  std::unique_ptr<PersistedConfig> config = PersistedConfig::create(kPersistedConfigSuiteName);
  std::vector<double> offsets(16);
  std::latch start(16);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < offsets.size(); ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      offsets[i] = config->midnightOffset();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(std::set<double>(offsets.begin(), offsets.end()).size(), 1u);
  EXPECT_GE(offsets[0], 0);
  EXPECT_LT(offsets[0], 86400);
  // Whole milliseconds (a number of milliseconds divided by 1000 comes back within rounding).
  EXPECT_NEAR(offsets[0] * 1000, std::round(offsets[0] * 1000), 1e-6);

  config->clearValues();
  std::set<double> redrawn;
  for (int i = 0; i < 4; ++i) {
    config->clearValues();
    redrawn.insert(config->midnightOffset());
  }
  EXPECT_GT(redrawn.size(), 1u);
}

TEST_F(PersistedConfigTest, FlagsReadTheLowestByteAndOddValuesAreKeptOrRefused) {
  std::unique_ptr<PersistedConfig> config = PersistedConfig::create(kPersistedConfigSuiteName);
  const char* key = "/vedodo/measurement/unmatched_first_open";
  struct Case {
    int64_t stored;
    bool read;
  };
  for (const Case& c : {Case{0, false}, Case{1, true}, Case{255, true}, Case{256, false}}) {
    config->setInt64(c.stored, key);
    EXPECT_EQ(config->unmatchedFirstOpenWithoutIDFA(), c.read) << c.stored;
  }
  // The campaign value takes numbers only and cannot be removed through its setter.
  config->setSearchAdCampaignValue(os::Value(1));
  config->setSearchAdCampaignValue(os::Value());
  config->setSearchAdCampaignValue(os::Value("yes"));
  EXPECT_EQ(config->searchAdCampaignValue(), os::Value(1));
  // A string where a number belongs reads as 0, and a number where a string belongs as nothing.
  config->setString("12", "/vedodo/measurement/session_number");
  config->setInt64(5, "/vedodo/measurement/app_instance_id");
  EXPECT_EQ(config->sessionNumber(), 0);
  EXPECT_EQ(config->appInstanceID(), std::nullopt);
  config->setAppInstanceID(std::nullopt);
  EXPECT_TRUE(config->objectForKey("/vedodo/measurement/app_instance_id").isNull());
}

TEST_F(PersistedConfigTest, AnOlderFileInThePreferencesFolderIsTakenOver) {
  const std::filesystem::path older = preferencesPlistPath(kPersistedConfigSuiteName);
  ASSERT_TRUE(os::files::createDirectory(older.parent_path(), true, nullptr));
  auto bytes = os::plist::serialize(os::Dictionary{{"/vedodo/measurement/session_number", 4}},
                                    os::plist::Format::Xml);
  ASSERT_TRUE(bytes && os::files::writeAtomically(older, *bytes, nullptr));
  std::unique_ptr<PersistedConfig> config = PersistedConfig::create(kPersistedConfigSuiteName);
  EXPECT_EQ(config->sessionNumber(), 4);
  EXPECT_FALSE(std::filesystem::exists(older));
  EXPECT_EQ(PersistedConfig::create(""), nullptr);
}

}  // namespace
}  // namespace measurement
