#include "measurement/foundation/settings.h"

#include <charconv>
#include <cmath>
#include <utility>

#include "measurement/foundation/monitor.h"
#include "measurement/foundation/numeric.h"

namespace measurement {
namespace {

// A plain decimal text as a number, whatever the locale: an Integer when it has no point and
// fits 64 bits, else a Real. std::nullopt for anything else ("true", "1e3", "1,5", " 1").
std::optional<os::Value> parseNumber(const std::string& text) {
  if (!isDecimalNumberString(text)) return std::nullopt;
  const char* begin = text.data();
  const char* end = begin + text.size();
  if (*begin == '+') ++begin;  // from_chars takes no plus sign
  if (text.find('.') == std::string::npos) {
    int64_t integer = 0;
    auto [stop, error] = std::from_chars(begin, end, integer);
    if (error == std::errc() && stop == end) return os::Value(integer);
  }
  double real = 0;
  auto [stop, error] = std::from_chars(begin, end, real, std::chars_format::fixed);
  if (error != std::errc() || stop != end) return std::nullopt;
  return os::Value(real);
}

double millisecondsToSeconds(const os::Value& number) {
  return static_cast<double>(number.integerValue()) / 1000.0;
}

bool isNumber(const os::Value& value) { return value.isNumber() || value.isBool(); }

}  // namespace

const std::shared_ptr<Settings>& Settings::defaultInstance() {
  static const std::shared_ptr<Settings> instance = std::make_shared<Settings>();
  return instance;
}

void Settings::cacheValue(std::string value, std::string key) {
  cache_.setObject(os::Value(std::move(value)), std::move(key));
}

void Settings::cacheNumber(os::Value number, std::string key) {
  cache_.setObject(std::move(number), std::move(key));
}

void Settings::removeAllValues() { cache_.removeAllObjects(); }

std::optional<os::Value> Settings::cachedValue(std::string_view key) const {
  return cache_.objectForKey(std::string(key));
}

void Settings::setExperimentFlag(ExperimentFlag flag) {
  os::MutexLock lock(experimentMutex_);
  experimentFlag_ = std::move(flag);
}

std::optional<os::Value> Settings::numberFromCache(std::string_view key,
                                                   const os::Value& defaultValue,
                                                   std::optional<double> maxValue,
                                                   std::optional<double> minValue,
                                                   Conversion conversion) {
  if (key.empty()) {
    monitor().log(MonitorLevel::kDebug, 29020, "Cannot get setting with empty key from cache");
    return std::nullopt;
  }
  std::string name(key);
  std::optional<os::Value> cached = cache_.objectForKey(name);
  if (!cached) {
    cache_.setObject(defaultValue, std::move(name));
    return defaultValue;
  }
  if (isNumber(*cached)) return cached;

  std::optional<os::Value> number;
  if (const std::string* text = cached->asString()) {
    number = parseNumber(*text);
  } else {
    monitor().log(MonitorLevel::kErrorSilent, 29018, "Cannot parse number from non-string",
                  OtherContext{cached->description()});
  }
  if (number && conversion) number = os::Value(conversion(*number));
  bool inRange = number && !(minValue && number->doubleValue() < *minValue) &&
                 !(maxValue && number->doubleValue() > *maxValue);
  os::Value result = inRange ? std::move(*number) : defaultValue;
  cache_.setObject(result, std::move(name));
  return result;
}

int32_t Settings::intValueFromCache(std::string_view key, int32_t defaultValue, int32_t maxValue,
                                    int32_t minValue) {
  std::optional<os::Value> number = numberFromCache(key, defaultValue, maxValue, minValue);
  if (!number) return 0;
  // A number cached without bounds may lie outside the int range: saturate, never overflow.
  int64_t integer = number->integerValue();
  if (integer > INT32_MAX) return INT32_MAX;
  if (integer < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(integer);
}

int64_t Settings::int64ValueFromCache(std::string_view key, int64_t defaultValue, int64_t maxValue,
                                      int64_t minValue) {
  std::optional<os::Value> number = numberFromCache(
      key, defaultValue, static_cast<double>(maxValue), static_cast<double>(minValue));
  return number ? number->integerValue() : 0;
}

int64_t Settings::int64ValueFromCache(std::string_view key, int64_t defaultValue) {
  std::optional<os::Value> number = numberFromCache(key, defaultValue, std::nullopt, std::nullopt);
  return number ? number->integerValue() : 0;
}

double Settings::timeIntervalInSecondsFromCache(std::string_view key, double defaultValue,
                                                double maxValue, double minValue) {
  std::optional<os::Value> number =
      numberFromCache(key, defaultValue, maxValue, minValue, millisecondsToSeconds);
  return number ? number->doubleValue() : 0;
}

bool Settings::boolValueFromCache(std::string_view key, bool defaultValue) {
  return intValueFromCache(key, defaultValue ? 1 : 0, 1, 0) == 1;
}

bool Settings::boolWithExperimentFlag(std::string_view flag, std::string_view key,
                                      bool defaultValue) {
  ExperimentFlag experimentFlag;
  {
    os::MutexLock lock(experimentMutex_);
    experimentFlag = experimentFlag_;
  }
  if (experimentFlag) {
    if (std::optional<bool> value = experimentFlag(flag)) return *value;
  }
  return boolValueFromCache(key, defaultValue);
}

// One line per setting: key, default, maximum, minimum (the readers' argument order).
double Settings::uploadingBackoffInterval() {
  return timeIntervalInSecondsFromCache("measurement.upload.backoff_period", 43200, 604800, 3600);
}
int32_t Settings::maxAudienceCount() {
  return intValueFromCache("measurement.audience.max_count", 100, 500, 0);
}
int32_t Settings::maxFiltersPerAudience() {
  return intValueFromCache("measurement.audience.filter_max_count_per_audience", 10, 100, 0);
}
int32_t Settings::maxFilterResultCount() {
  return intValueFromCache("measurement.audience.filter_result_max_count", 200, 2000, 0);
}
int32_t Settings::maxParametersPerFilter() {
  return intValueFromCache("measurement.audience.parameter_max_count_filter", 25, 250, 0);
}
double Settings::databaseDeleteStaleBundlesInterval() {
  return timeIntervalInSecondsFromCache("measurement.upload.stale_data_deletion_interval", 86400,
                                        604800, 3600);
}
double Settings::maxQueueTime() {
  return timeIntervalInSecondsFromCache("measurement.upload.max_queue_time", 2419200, 7862400,
                                        604800);
}
double Settings::adIDCacheTime() {
  return timeIntervalInSecondsFromCache("measurement.ad_id_cache_time", 1, 86400, 0);
}
bool Settings::gateIDFAOnATTMASEnabled() {
  return boolValueFromCache("measurement.attmas_gate", false);
}
double Settings::monitoringSamplePeriod() {
  return timeIntervalInSecondsFromCache("measurement.monitoring.sample_period_millis", 86400,
                                        604800, 0);
}
bool Settings::isNetworkBackgroundSessionEnabled() {
  return boolValueFromCache("measurement.network.background_session_enabled", false);
}
double Settings::networkTimeout() {
  return timeIntervalInSecondsFromCache("measurement.network.network_timeout", 60, 3600, 30);
}
double Settings::sessionDefaultMinimumInterval() {
  return timeIntervalInSecondsFromCache("measurement.session.default_minimum_interval", 10, 86400,
                                        0);
}
double Settings::sessionDefaultTimeoutInterval() {
  return timeIntervalInSecondsFromCache("measurement.session.default_timeout_interval", 1800, 86400,
                                        0);
}
double Settings::sessionEventUserEngagementInterval() {
  return timeIntervalInSecondsFromCache("measurement.session.event_user_engagement_interval", 3600,
                                        86400, 0);
}
bool Settings::efficientEngagementReportingEnabled() {
  return boolValueFromCache("measurement.collection.efficient_engagement_reporting_enabled", false);
}
bool Settings::redundantEngagementRemovalEnabled() {
  return boolValueFromCache("measurement.collection.redundant_engagement_removal_enabled", false);
}
int32_t Settings::maxConversionsPerDay() {
  return intValueFromCache("measurement.upload.max_conversions_per_day", 10000, 1000000, 0);
}
int32_t Settings::maxEventsPerDay() {
  return intValueFromCache("measurement.upload.max_events_per_day", 100000, 1000000, 0);
}
int32_t Settings::maxPublicEventsPerDay() {
  return intValueFromCache("measurement.upload.max_public_events_per_day", 50000, 1000000, 0);
}
int32_t Settings::maxErrorEventsPerDay() {
  return intValueFromCache("measurement.upload.max_error_events_per_day", 1000, 1000000, 0);
}
int32_t Settings::maxTrackedCurrencies() {
  return intValueFromCache("measurement.lifetimevalue.max_currency_tracked", 4, 100, 1);
}
int32_t Settings::maxPublicUserProperties() {
  return intValueFromCache("measurement.upload.max_public_user_properties", 25, 100, 25);
}
int32_t Settings::maxEventNameCardinality() {
  return intValueFromCache("measurement.upload.max_event_name_cardinality", 500, 2000, 500);
}
int32_t Settings::maxPublicEventParams() {
  return intValueFromCache("measurement.upload.max_public_event_params", 25, 100, 25);
}
int32_t Settings::maxEventsStored() {
  return intValueFromCache("measurement.store.max_stored_events_per_app", 100000, 1000000, 0);
}
double Settings::uploadingInterval() {
  return timeIntervalInSecondsFromCache("measurement.upload.interval", 3600, 86400, 15);
}
double Settings::uploadingInitialDelayInterval() {
  return timeIntervalInSecondsFromCache("measurement.upload.initial_upload_delay_time", 15, 86400,
                                        1);
}
int64_t Settings::uploadMaxBundlesLimit() {
  return int64ValueFromCache("measurement.upload.max_bundles", 100, 10000, 1);
}
int64_t Settings::uploadMaxEventsPerBundle() {
  return int64ValueFromCache("measurement.upload.max_events_per_bundle", 1000, 1000000, 1);
}
int64_t Settings::uploadMaxSizeLimitBytes() {
  return int64ValueFromCache("measurement.upload.max_batch_size", 65536, 10485760, 0);
}
int32_t Settings::uploadingRetryCount() {
  return intValueFromCache("measurement.upload.retry_count", 6, 24, 1);
}
double Settings::uploadingRetryInterval() {
  return timeIntervalInSecondsFromCache("measurement.upload.retry_time", 1800, 86400, 60);
}
int32_t Settings::maxBundlesCreatedPerIteration() {
  return static_cast<int32_t>(timeIntervalInSecondsFromCache(
      "measurement.upload.max_bundles_created_per_iteration", 100, 10000, 1));
}
int32_t Settings::maxRealtimeEventCountPerDay() {
  return intValueFromCache("measurement.upload.max_realtime_events_per_day", 10, 10, 0);
}
double Settings::uploadingDebugModeInterval() {
  return timeIntervalInSecondsFromCache("measurement.upload.debug_upload_interval", 1, 15, 1);
}
double Settings::uploadingRealTimeInterval() {
  return timeIntervalInSecondsFromCache("measurement.upload.realtime_upload_interval", 10, 15, 10);
}
bool Settings::blocklistInternal() {
  return boolValueFromCache("measurement.upload.blacklist_internal", false);
}
bool Settings::blocklistPublic() {
  return boolValueFromCache("measurement.upload.blacklist_public", false);
}
bool Settings::isEventSamplingEnabled() {
  return boolValueFromCache("measurement.event_sampling_enabled", false);
}
int32_t Settings::analyticsAccountTimeZoneOffsetMinutes() {
  return intValueFromCache("measurement.account.time_zone_offset_minutes", 0, 900, -900);
}
bool Settings::checksumEnabled() {
  return boolValueFromCache("measurement.quality.checksum", false);
}
bool Settings::appBackgroundedEventEnabled() {
  return boolValueFromCache("measurement.lifecycle.app_backgrounded_tracking", false);
}
bool Settings::appInBackgroundParameterEnabled() {
  return boolValueFromCache("measurement.lifecycle.app_in_background_parameter", true);
}
bool Settings::itemScopedCustomParameterEnabled() {
  return boolValueFromCache("measurement.item_scoped_custom_parameter_enabled", true);
}
int32_t Settings::maxItemScopedCustomParameters() {
  return intValueFromCache("measurement.upload.max_item_scoped_custom_parameters", 27, 35, 10);
}
int32_t Settings::maxPublicEventParameterValueLength() {
  return intValueFromCache("measurement.upload.max_event_parameter_value_length", 100, 500, 100);
}
int32_t Settings::maxInternalEventParameterValueLength() {
  return std::max(256, maxPublicEventParameterValueLength());
}
bool Settings::tcfFeatureEnabled() { return boolValueFromCache("measurement.tcf_enabled", true); }
bool Settings::dcuEventFeatureEnabled() {
  return boolValueFromCache("measurement.dma.dcu_event_enabled", true);
}
int32_t Settings::maxRealtimeDCUEventCountPerDay() {
  return intValueFromCache("measurement.dma.dcu_event_max_realtime_daily_count", 1, 10, 0);
}
bool Settings::PSMFeatureEnabled() { return boolValueFromCache("measurement.psm_enabled", true); }
int32_t Settings::maxPSMStartCount() {
  if (monitor().isDebugModeEnabled()) return 10;
  return intValueFromCache("measurement.psm_start_count", 3, 10, 0);
}
int32_t Settings::maxPSMRetryCount() {
  return intValueFromCache("measurement.psm_retry_count", 5, 10, 0);
}
double Settings::PSMRetryInterval() {
  return timeIntervalInSecondsFromCache("measurement.psm_retry_interval", 300, 1800, 30);
}
int32_t Settings::hashPrefixBitLengthEmail() {
  return intValueFromCache("measurement.psm_prefix_email", 14, 20, 6);
}
int32_t Settings::hashPrefixBitLengthPhone() {
  return intValueFromCache("measurement.psm_prefix_phone", 11, 18, 6);
}
int32_t Settings::maxSignInDelayInDays() {
  return intValueFromCache("measurement.psm_signin_delay", 60, 90, 7);
}
bool Settings::isDeferredDeepLinkEnabled() {
  return boolValueFromCache("measurement.ddl.enabled", true);
}
int32_t Settings::maxDeferredDeepLinkRetryCount() {
  return intValueFromCache("measurement.ddl.retry_count", 5, 10, 0);
}
double Settings::attributionCacheTTLInterval() {
  return timeIntervalInSecondsFromCache("measurement.attribution.cache.ttl", 604800, 2592000,
                                        86400);
}
double Settings::remoteConfigCacheTimeInterval() {
  return timeIntervalInSecondsFromCache("measurement.config.cache_time", 3600, 86400, 60);
}
bool Settings::isSessionIDEnabled() {
  return boolValueFromCache("measurement.api.session_id", true);
}
bool Settings::sessionStitchingTokenFeatureEnabled() {
  return boolWithExperimentFlag("session_stitching_token_feature_enabled",
                                "measurement.session_stitching_token_enabled", false);
}
bool Settings::SKANUpdateConversionValueEnabled() {
  return boolValueFromCache("measurement.skan.update_conversion_value_enabled", false);
}
double Settings::SKANInitialCVFetchDelay() {
  return timeIntervalInSecondsFromCache("measurement.skan.initial_cv_fetch_delay_sec", 120, 3600,
                                        30);
}
double Settings::SKANCVFetchRetryInterval() {
  return timeIntervalInSecondsFromCache("measurement.skan.cv_fetch_retry_interval_sec", 120, 3600,
                                        30);
}
int32_t Settings::SKANCVFetchRetryLimit() {
  return intValueFromCache("measurement.skan.cv_fetch_retry_limit", 4, 10, 1);
}
double Settings::SKANFirstWindowCVFetchDelay() {
  return timeIntervalInSecondsFromCache("measurement.skan.first_window.initial_cv_fetch_delay_sec",
                                        20, 3600, 1);
}
double Settings::SKANFirstWindowCVFetchRetryInterval() {
  return timeIntervalInSecondsFromCache("measurement.skan.first_window.cv_fetch_retry_interval_sec",
                                        120, 3600, 30);
}
int32_t Settings::SKANFirstWindowCVFetchRetryLimit() {
  return intValueFromCache("measurement.skan.first_window.cv_fetch_retry_limit", 4, 10, 1);
}
double Settings::SKANFirstWindowUploadInterval() {
  return timeIntervalInSecondsFromCache("measurement.skan.first_window.upload_interval_sec", 1800,
                                        86400, 15);
}
bool Settings::DMAConsentEnabled() {
  return boolValueFromCache("measurement.upload.dma_consent_enabled", true);
}
bool Settings::regionalDefaultsEnabled() {
  return boolWithExperimentFlag("regional_defaults_enabled",
                                "measurement.regional_defaults_enabled", true);
}

namespace {

os::Mutex engineSettingsMutex;
std::shared_ptr<Settings> engineSettings OS_GUARDED_BY(engineSettingsMutex);

}  // namespace

std::shared_ptr<Settings> remoteSettings() {
  {
    os::MutexLock lock(engineSettingsMutex);
    if (engineSettings) return engineSettings;
  }
  return Settings::defaultInstance();
}

void setEngineSettings(std::shared_ptr<Settings> settings) {
  os::MutexLock lock(engineSettingsMutex);
  engineSettings = std::move(settings);
}

}  // namespace measurement
