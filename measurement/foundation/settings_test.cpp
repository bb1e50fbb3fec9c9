#include "measurement/foundation/settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <cstdlib>
#include <functional>
#include <locale>
#include <string>
#include <thread>
#include <vector>

#include "measurement/foundation/monitor.h"
#include "measurement/foundation/monitor_capture.h"
#include "testsupport/sandbox.h"
#include "testsupport/sandbox_environment.h"

// The monitor that the code under test logs to samples into the preferences folder; its queue
// finishes with them before the sandbox goes.
class MonitorSandboxEnvironment : public testsupport::SandboxEnvironment {
 public:
  void TearDown() override {
    measurement::monitor().drain();
    SandboxEnvironment::TearDown();
  }
};
static testing::Environment* const kSandbox =
    testing::AddGlobalTestEnvironment(new MonitorSandboxEnvironment);

namespace measurement {
namespace {

enum class Kind { kInt, kInt64, kSeconds, kCountThroughSeconds, kBool };

// One row of the settings table, written out independently of the code under test.
struct Row {
  const char* accessor;
  std::function<double(Settings&)> read;
  const char* key;
  Kind kind;
  double defaultValue, minimum, maximum;
};

#define READ(accessor) #accessor, [](Settings & s) { return static_cast<double>(s.accessor()); }

const std::vector<Row>& rows() {
  using enum Kind;
  static const std::vector<Row> table{
      {READ(uploadingBackoffInterval), "measurement.upload.backoff_period", kSeconds, 43200, 3600,
       604800},
      {READ(maxAudienceCount), "measurement.audience.max_count", kInt, 100, 0, 500},
      {READ(maxFiltersPerAudience), "measurement.audience.filter_max_count_per_audience", kInt, 10,
       0, 100},
      {READ(maxFilterResultCount), "measurement.audience.filter_result_max_count", kInt, 200, 0,
       2000},
      {READ(maxParametersPerFilter), "measurement.audience.parameter_max_count_filter", kInt, 25, 0,
       250},
      {READ(databaseDeleteStaleBundlesInterval), "measurement.upload.stale_data_deletion_interval",
       kSeconds, 86400, 3600, 604800},
      {READ(maxQueueTime), "measurement.upload.max_queue_time", kSeconds, 2419200, 604800, 7862400},
      {READ(adIDCacheTime), "measurement.ad_id_cache_time", kSeconds, 1, 0, 86400},
      {READ(gateIDFAOnATTMASEnabled), "measurement.attmas_gate", kBool, 0, 0, 1},
      {READ(monitoringSamplePeriod), "measurement.monitoring.sample_period_millis", kSeconds, 86400,
       0, 604800},
      {READ(isNetworkBackgroundSessionEnabled), "measurement.network.background_session_enabled",
       kBool, 0, 0, 1},
      {READ(networkTimeout), "measurement.network.network_timeout", kSeconds, 60, 30, 3600},
      {READ(sessionDefaultMinimumInterval), "measurement.session.default_minimum_interval",
       kSeconds, 10, 0, 86400},
      {READ(sessionDefaultTimeoutInterval), "measurement.session.default_timeout_interval",
       kSeconds, 1800, 0, 86400},
      {READ(sessionEventUserEngagementInterval),
       "measurement.session.event_user_engagement_interval", kSeconds, 3600, 0, 86400},
      {READ(efficientEngagementReportingEnabled),
       "measurement.collection.efficient_engagement_reporting_enabled", kBool, 0, 0, 1},
      {READ(redundantEngagementRemovalEnabled),
       "measurement.collection.redundant_engagement_removal_enabled", kBool, 0, 0, 1},
      {READ(maxConversionsPerDay), "measurement.upload.max_conversions_per_day", kInt, 10000, 0,
       1000000},
      {READ(maxEventsPerDay), "measurement.upload.max_events_per_day", kInt, 100000, 0, 1000000},
      {READ(maxPublicEventsPerDay), "measurement.upload.max_public_events_per_day", kInt, 50000, 0,
       1000000},
      {READ(maxErrorEventsPerDay), "measurement.upload.max_error_events_per_day", kInt, 1000, 0,
       1000000},
      {READ(maxTrackedCurrencies), "measurement.lifetimevalue.max_currency_tracked", kInt, 4, 1,
       100},
      {READ(maxPublicUserProperties), "measurement.upload.max_public_user_properties", kInt, 25, 25,
       100},
      {READ(maxEventNameCardinality), "measurement.upload.max_event_name_cardinality", kInt, 500,
       500, 2000},
      {READ(maxPublicEventParams), "measurement.upload.max_public_event_params", kInt, 25, 25, 100},
      {READ(maxEventsStored), "measurement.store.max_stored_events_per_app", kInt, 100000, 0,
       1000000},
      {READ(uploadingInterval), "measurement.upload.interval", kSeconds, 3600, 15, 86400},
      {READ(uploadingInitialDelayInterval), "measurement.upload.initial_upload_delay_time",
       kSeconds, 15, 1, 86400},
      {READ(uploadMaxBundlesLimit), "measurement.upload.max_bundles", kInt64, 100, 1, 10000},
      {READ(uploadMaxEventsPerBundle), "measurement.upload.max_events_per_bundle", kInt64, 1000, 1,
       1000000},
      {READ(uploadMaxSizeLimitBytes), "measurement.upload.max_batch_size", kInt64, 65536, 0,
       10485760},
      {READ(uploadingRetryCount), "measurement.upload.retry_count", kInt, 6, 1, 24},
      {READ(uploadingRetryInterval), "measurement.upload.retry_time", kSeconds, 1800, 60, 86400},
      {READ(maxBundlesCreatedPerIteration), "measurement.upload.max_bundles_created_per_iteration",
       kCountThroughSeconds, 100, 1, 10000},
      {READ(maxRealtimeEventCountPerDay), "measurement.upload.max_realtime_events_per_day", kInt,
       10, 0, 10},
      {READ(uploadingDebugModeInterval), "measurement.upload.debug_upload_interval", kSeconds, 1, 1,
       15},
      {READ(uploadingRealTimeInterval), "measurement.upload.realtime_upload_interval", kSeconds, 10,
       10, 15},
      {READ(blocklistInternal), "measurement.upload.blacklist_internal", kBool, 0, 0, 1},
      {READ(blocklistPublic), "measurement.upload.blacklist_public", kBool, 0, 0, 1},
      {READ(isEventSamplingEnabled), "measurement.event_sampling_enabled", kBool, 0, 0, 1},
      {READ(analyticsAccountTimeZoneOffsetMinutes), "measurement.account.time_zone_offset_minutes",
       kInt, 0, -900, 900},
      {READ(checksumEnabled), "measurement.quality.checksum", kBool, 0, 0, 1},
      {READ(appBackgroundedEventEnabled), "measurement.lifecycle.app_backgrounded_tracking", kBool,
       0, 0, 1},
      {READ(appInBackgroundParameterEnabled), "measurement.lifecycle.app_in_background_parameter",
       kBool, 1, 0, 1},
      {READ(itemScopedCustomParameterEnabled), "measurement.item_scoped_custom_parameter_enabled",
       kBool, 1, 0, 1},
      {READ(maxItemScopedCustomParameters), "measurement.upload.max_item_scoped_custom_parameters",
       kInt, 27, 10, 35},
      {READ(maxPublicEventParameterValueLength),
       "measurement.upload.max_event_parameter_value_length", kInt, 100, 100, 500},
      {READ(tcfFeatureEnabled), "measurement.tcf_enabled", kBool, 1, 0, 1},
      {READ(dcuEventFeatureEnabled), "measurement.dma.dcu_event_enabled", kBool, 1, 0, 1},
      {READ(maxRealtimeDCUEventCountPerDay), "measurement.dma.dcu_event_max_realtime_daily_count",
       kInt, 1, 0, 10},
      {READ(PSMFeatureEnabled), "measurement.psm_enabled", kBool, 1, 0, 1},
      {READ(maxPSMStartCount), "measurement.psm_start_count", kInt, 3, 0, 10},
      {READ(maxPSMRetryCount), "measurement.psm_retry_count", kInt, 5, 0, 10},
      {READ(PSMRetryInterval), "measurement.psm_retry_interval", kSeconds, 300, 30, 1800},
      {READ(hashPrefixBitLengthEmail), "measurement.psm_prefix_email", kInt, 14, 6, 20},
      {READ(hashPrefixBitLengthPhone), "measurement.psm_prefix_phone", kInt, 11, 6, 18},
      {READ(maxSignInDelayInDays), "measurement.psm_signin_delay", kInt, 60, 7, 90},
      {READ(isDeferredDeepLinkEnabled), "measurement.ddl.enabled", kBool, 1, 0, 1},
      {READ(maxDeferredDeepLinkRetryCount), "measurement.ddl.retry_count", kInt, 5, 0, 10},
      {READ(attributionCacheTTLInterval), "measurement.attribution.cache.ttl", kSeconds, 604800,
       86400, 2592000},
      {READ(remoteConfigCacheTimeInterval), "measurement.config.cache_time", kSeconds, 3600, 60,
       86400},
      {READ(isSessionIDEnabled), "measurement.api.session_id", kBool, 1, 0, 1},
      {READ(sessionStitchingTokenFeatureEnabled), "measurement.session_stitching_token_enabled",
       kBool, 0, 0, 1},
      {READ(SKANUpdateConversionValueEnabled), "measurement.skan.update_conversion_value_enabled",
       kBool, 0, 0, 1},
      {READ(SKANInitialCVFetchDelay), "measurement.skan.initial_cv_fetch_delay_sec", kSeconds, 120,
       30, 3600},
      {READ(SKANCVFetchRetryInterval), "measurement.skan.cv_fetch_retry_interval_sec", kSeconds,
       120, 30, 3600},
      {READ(SKANCVFetchRetryLimit), "measurement.skan.cv_fetch_retry_limit", kInt, 4, 1, 10},
      {READ(SKANFirstWindowCVFetchDelay),
       "measurement.skan.first_window.initial_cv_fetch_delay_sec", kSeconds, 20, 1, 3600},
      {READ(SKANFirstWindowCVFetchRetryInterval),
       "measurement.skan.first_window.cv_fetch_retry_interval_sec", kSeconds, 120, 30, 3600},
      {READ(SKANFirstWindowCVFetchRetryLimit), "measurement.skan.first_window.cv_fetch_retry_limit",
       kInt, 4, 1, 10},
      {READ(SKANFirstWindowUploadInterval), "measurement.skan.first_window.upload_interval_sec",
       kSeconds, 1800, 15, 86400},
      {READ(DMAConsentEnabled), "measurement.upload.dma_consent_enabled", kBool, 1, 0, 1},
      {READ(regionalDefaultsEnabled), "measurement.regional_defaults_enabled", kBool, 1, 0, 1},
  };
  return table;
}

// The server's text for `value` in the row's own units (milliseconds for times).
std::string serverText(const Row& row, double value) {
  bool milliseconds = row.kind == Kind::kSeconds || row.kind == Kind::kCountThroughSeconds;
  return std::to_string(static_cast<int64_t>(milliseconds ? value * 1000 : value));
}

TEST(Settings, EveryAccessorKeepsItsBoundsAndFallsBackToItsDefault) {
  // 73 rows plus the derived internal parameter-value length.
  ASSERT_EQ(rows().size(), 73u);
  for (const Row& row : rows()) {
    for (double probe : {row.minimum - 1, row.minimum, row.maximum, row.maximum + 1}) {
      SCOPED_TRACE(std::string(row.accessor) + " = " + serverText(row, probe));
      Settings settings;
      settings.cacheValue(serverText(row, probe), row.key);
      bool inRange = probe >= row.minimum && probe <= row.maximum;
      double expected = inRange ? probe : row.defaultValue;
      EXPECT_EQ(row.read(settings), expected);
    }
    SCOPED_TRACE(row.accessor);
    Settings empty;
    EXPECT_EQ(row.read(empty), row.defaultValue);
    EXPECT_EQ(row.read(*Settings::defaultInstance()), row.defaultValue);
  }
}

struct TextCase {
  const char* key;
  const char* text;
  std::function<double(Settings&)> read;
  double expected;
};

// Server texts and what they read as, including fractions, signs and texts that are not
// plain decimal numbers.
std::vector<TextCase> textCases() {
  auto count = [](Settings& s) { return double(s.maxBundlesCreatedPerIteration()); };
  auto skan = [](Settings& s) { return s.SKANInitialCVFetchDelay(); };
  auto offset = [](Settings& s) { return double(s.analyticsAccountTimeZoneOffsetMinutes()); };
  auto realtime = [](Settings& s) { return double(s.maxRealtimeEventCountPerDay()); };
  auto flag = [](Settings& s) { return double(s.blocklistPublic()); };
  auto interval = [](Settings& s) { return s.uploadingInterval(); };
  auto audiences = [](Settings& s) { return double(s.maxAudienceCount()); };
  const char* bundles = "measurement.upload.max_bundles_created_per_iteration";
  const char* blocklist = "measurement.upload.blacklist_public";
  const char* audience = "measurement.audience.max_count";
  return {
      {bundles, "500", count, 100},
      {bundles, "500000", count, 500},
      {bundles, "1999", count, 1},
      {"measurement.skan.initial_cv_fetch_delay_sec", "60", skan, 120},
      {"measurement.skan.initial_cv_fetch_delay_sec", "60000", skan, 60},
      {"measurement.account.time_zone_offset_minutes", "-901", offset, 0},
      {"measurement.account.time_zone_offset_minutes", "-900", offset, -900},
      {"measurement.upload.max_realtime_events_per_day", "11", realtime, 10},
      {blocklist, "1.0", flag, 1},
      {blocklist, "1", flag, 1},
      {blocklist, "0", flag, 0},
      {blocklist, "0.5", flag, 0},
      {blocklist, "-1", flag, 0},
      {blocklist, "2", flag, 0},
      {blocklist, "true", flag, 0},
      {"measurement.upload.interval", "7200000", interval, 7200},
      {"measurement.upload.interval", "20", interval, 3600},
      {"measurement.upload.interval", "7200000.9", interval, 7200},
      {audience, "12.9", audiences, 12},
      {audience, "+12", audiences, 12},
      {audience, ".5e3", audiences, 100},
      {audience, "1e2", audiences, 100},
      {audience, "1,5", audiences, 100},
      {audience, "1.500", audiences, 1},
      {audience, " 12", audiences, 100},
      {audience, "", audiences, 100},
      {audience, "99999999999999999999999", audiences, 100},
  };
}

void expectTextCases() {
  for (const TextCase& c : textCases()) {
    SCOPED_TRACE(std::string(c.key) + " = \"" + c.text + "\"");
    Settings settings;
    settings.cacheValue(c.text, c.key);
    EXPECT_EQ(c.read(settings), c.expected);
    // The second read answers the number the first one cached.
    EXPECT_EQ(c.read(settings), c.expected);
  }
}

TEST(Settings, ReadsServerTexts) { expectTextCases(); }

// A locale whose decimal separator is a comma and whose grouping separator is a point: "0.5"
// must still read as one half.
TEST(Settings, ReadsServerTextsTheSameUnderAGermanLocale) {
  testsupport::Sandbox sandbox;
  if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
    std::string folder = sandbox.temporary().string();
    std::string command =
        "localedef -i de_DE -f UTF-8 '" + folder + "/de_DE.UTF-8' >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << "localedef needs the locales package";
    sandbox.setEnv("LOCPATH", folder);
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
  }
  sandbox.setEnv("LC_ALL", "de_DE.UTF-8");
  std::locale previous = std::locale::global(std::locale("de_DE.UTF-8"));
  ASSERT_STREQ(std::localeconv()->decimal_point, ",");
  expectTextCases();
  std::locale::global(previous);
  std::setlocale(LC_ALL, "C");
}

TEST(Settings, InternalParameterValueLengthIsAtLeast256) {
  const char* key = "measurement.upload.max_event_parameter_value_length";
  struct Case {
    const char* text;
    int32_t publicLength, internalLength;
  };
  for (Case c : {Case{"300", 300, 300}, Case{"99", 100, 256}, Case{"500", 500, 500},
                 Case{"200", 200, 256}}) {
    SCOPED_TRACE(c.text);
    Settings settings;
    settings.cacheValue(c.text, key);
    EXPECT_EQ(settings.maxPublicEventParameterValueLength(), c.publicLength);
    EXPECT_EQ(settings.maxInternalEventParameterValueLength(), c.internalLength);
  }
}

TEST(Settings, CachesTheConvertedNumberUntilTheCacheIsReplaced) {
  Settings settings;
  const char* key = "measurement.upload.interval";
  settings.cacheValue("7200000", key);
  EXPECT_EQ(settings.cachedValue(key), os::Value("7200000"));
  EXPECT_EQ(settings.uploadingInterval(), 7200);
  EXPECT_EQ(settings.cachedValue(key), os::Value(7200.0));  // seconds now, read unchanged
  EXPECT_EQ(settings.uploadingInterval(), 7200);

  settings.removeAllValues();
  settings.cacheValue("60000", key);
  EXPECT_EQ(settings.uploadingInterval(), 60);

  settings.removeAllValues();
  EXPECT_EQ(settings.uploadingInterval(), 3600);
  EXPECT_EQ(settings.cachedValue(key), os::Value(3600.0));  // the default is cached too
}

TEST(Settings, NumbersCachedDirectlySkipTheBounds) {
  Settings settings;
  settings.cacheNumber(30, "measurement.psm_prefix_email");
  EXPECT_EQ(settings.hashPrefixBitLengthEmail(), 30);
  settings.cacheNumber(int64_t{1} << 40, "measurement.psm_signin_delay");
  EXPECT_EQ(settings.maxSignInDelayInDays(), INT32_MAX);  // saturated, not wrapped
  // A cached value that is neither text nor number reads as the default.
  MonitorCapture capture;
  settings.cacheNumber(os::Value(os::Data{1}), "measurement.psm_prefix_phone");
  EXPECT_EQ(settings.hashPrefixBitLengthPhone(), 11);
  EXPECT_TRUE(capture.contains(29018));
}

TEST(Settings, EmptyKeysReadAsNothing) {
  Settings settings;
  MonitorCapture capture;
  EXPECT_EQ(settings.numberFromCache("", 5, std::nullopt, std::nullopt), std::nullopt);
  EXPECT_EQ(settings.intValueFromCache("", 5, 10, 0), 0);
  EXPECT_EQ(settings.int64ValueFromCache("measurement.x", 7), 7);
  EXPECT_TRUE(capture.contains(29020));
}

TEST(Settings, DebugModeAllowsTheMostSignInStarts) {
  Settings settings;
  settings.cacheValue("2", "measurement.psm_start_count");
  monitor().setDebugModeEnabled(true);
  EXPECT_EQ(settings.maxPSMStartCount(), 10);
  monitor().setDebugModeEnabled(false);
  EXPECT_EQ(settings.maxPSMStartCount(), 2);
}

TEST(Settings, ExperimentFlagsOverrideTheirTwoSettings) {
  Settings settings;
  settings.cacheValue("0", "measurement.regional_defaults_enabled");
  settings.cacheValue("1", "measurement.session_stitching_token_enabled");
  EXPECT_FALSE(settings.regionalDefaultsEnabled());
  EXPECT_TRUE(settings.sessionStitchingTokenFeatureEnabled());

  std::vector<std::string> asked;
  settings.setExperimentFlag([&](std::string_view flag) -> std::optional<bool> {
    asked.emplace_back(flag);
    if (flag == "regional_defaults_enabled") return true;
    return std::nullopt;
  });
  EXPECT_TRUE(settings.regionalDefaultsEnabled());
  EXPECT_TRUE(settings.sessionStitchingTokenFeatureEnabled());  // no flag: the setting
  EXPECT_EQ(asked, (std::vector<std::string>{"regional_defaults_enabled",
                                             "session_stitching_token_feature_enabled"}));
  settings.setExperimentFlag(nullptr);
  EXPECT_FALSE(settings.regionalDefaultsEnabled());
}

// Readers on many threads while the configuration is replaced see one whole value or another,
// never a torn one.
TEST(Settings, ReadersOnManyThreadsSeeWholeValues) {
  Settings settings;
  const char* key = "measurement.upload.interval";
  settings.cacheValue("60000", key);
  std::vector<std::thread> readers;
  std::atomic<int> unexpected{0};
  for (int t = 0; t < 8; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        double seconds = settings.uploadingInterval();
        if (seconds != 60 && seconds != 7200 && seconds != 3600) ++unexpected;
      }
    });
  }
  for (int i = 0; i < 500; ++i) {
    settings.removeAllValues();
    settings.cacheValue(i % 2 ? "60000" : "7200000", key);
  }
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(unexpected, 0);
}

TEST(Settings, RemoteSettingsAreTheEnginesWhileOneIsInstalled) {
  EXPECT_EQ(remoteSettings(), Settings::defaultInstance());
  auto engine = std::make_shared<Settings>();
  engine->cacheValue("50", "measurement.upload.max_public_event_params");
  setEngineSettings(engine);
  EXPECT_EQ(remoteSettings(), engine);
  EXPECT_EQ(remoteSettings()->maxPublicEventParams(), 50);
  setEngineSettings(nullptr);
  EXPECT_EQ(remoteSettings()->maxPublicEventParams(), 25);
}

}  // namespace
}  // namespace measurement

// glibc keeps the locale search path that LOCPATH gives setlocale for the life of the process.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __lsan_default_suppressions() { return "leak:__argz_add_sep\n"; }
#endif
