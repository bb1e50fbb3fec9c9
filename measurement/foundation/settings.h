// Settings: the cache of the server-tunable numbers and switches of the measurement code, and
// the typed accessors that read them. The remote configuration fills the cache with the
// server's texts ("measurement." keys); every accessor reads its key with a default, a minimum
// and a maximum, so a missing, unparsable or out-of-range value reads as the built-in default.
//
//   std::shared_ptr<Settings> settings = remoteSettings();   // the engine's, else the default
//   settings->uploadingInterval();                           // 3600 s unless the server says
//
// Texts are parsed as plain decimal numbers (optional sign, digits, optional fraction) whatever
// the process's locale. Time settings arrive in milliseconds and read in seconds. The first typed
// read of a key writes its converted number (or the default) back into the cache, where it
// stays until the next configuration replaces the cache.
//
// Thread-safe: the cache is a VDUMutableDictionary (its own serial queue), so any thread may
// read while the worker queue writes; a read sees every write made before it on its thread. Do
// not read from inside a block of the cache's queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "os/sync/mutex.h"
#include "os/sync/thread_annotations.h"
#include "os/value/value.h"
#include "platform/utilities/mutable_dictionary.h"

namespace measurement {

class Settings {
 public:
  // Maps a parsed number to the one that is compared with the bounds (milliseconds to seconds).
  using Conversion = double (*)(const os::Value& number);
  // The experiment service's boolean for a flag ("regional_defaults_enabled",
  // "session_stitching_token_feature_enabled"), or nullopt when it has none.
  using ExperimentFlag = std::function<std::optional<bool>(std::string_view flag)>;

  Settings() = default;
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;

  // The shared instance that never receives a configuration: every accessor reads its default.
  static const std::shared_ptr<Settings>& defaultInstance();

  // Filling the cache (the remote configuration, on the worker queue).
  // The server's text for `key`, parsed at the first typed read.
  void cacheValue(std::string value, std::string key);
  // A number that bypasses parsing and bounds (the sign-in settings of a configuration).
  void cacheNumber(os::Value number, std::string key);
  // Forgets every cached value.
  void removeAllValues();
  // What the cache holds for `key` now: the server's text, or the number a typed read left.
  std::optional<os::Value> cachedValue(std::string_view key) const;
  // Consulted at every read of the two accessors with an experiment override; nullptr removes it.
  void setExperimentFlag(ExperimentFlag flag);

  // The typed readers behind every accessor. Bounds are inclusive; a value outside them, or
  // one that does not parse, reads as (and is cached as) the default. A number already cached
  // is answered unchanged. An empty key logs and reads as nullopt (0 from the wrappers).
  std::optional<os::Value> numberFromCache(std::string_view key, const os::Value& defaultValue,
                                           std::optional<double> maxValue,
                                           std::optional<double> minValue,
                                           Conversion conversion = nullptr);
  // The number's integer part, a fraction truncated after the range check.
  int32_t intValueFromCache(std::string_view key, int32_t defaultValue, int32_t maxValue,
                            int32_t minValue);
  int64_t int64ValueFromCache(std::string_view key, int64_t defaultValue, int64_t maxValue,
                              int64_t minValue);
  int64_t int64ValueFromCache(std::string_view key, int64_t defaultValue);
  // The server's milliseconds: their integer part divided by 1000, compared in seconds.
  double timeIntervalInSecondsFromCache(std::string_view key, double defaultValue, double maxValue,
                                        double minValue);
  // The int read with bounds 0 and 1, compared with 1: "1" and "1.0" are true, "0.5" false,
  // "2", "-1" and "true" the default.
  bool boolValueFromCache(std::string_view key, bool defaultValue);

  // Accessors. Times are in seconds.
  double uploadingBackoffInterval();
  int32_t maxAudienceCount();
  int32_t maxFiltersPerAudience();
  int32_t maxFilterResultCount();
  int32_t maxParametersPerFilter();
  double databaseDeleteStaleBundlesInterval();
  double maxQueueTime();
  double adIDCacheTime();
  bool gateIDFAOnATTMASEnabled();
  double monitoringSamplePeriod();
  bool isNetworkBackgroundSessionEnabled();
  double networkTimeout();
  double sessionDefaultMinimumInterval();
  double sessionDefaultTimeoutInterval();
  double sessionEventUserEngagementInterval();
  bool efficientEngagementReportingEnabled();
  bool redundantEngagementRemovalEnabled();
  int32_t maxConversionsPerDay();
  int32_t maxEventsPerDay();
  int32_t maxPublicEventsPerDay();
  int32_t maxErrorEventsPerDay();
  int32_t maxTrackedCurrencies();
  int32_t maxPublicUserProperties();
  int32_t maxEventNameCardinality();
  int32_t maxPublicEventParams();
  int32_t maxEventsStored();
  double uploadingInterval();
  double uploadingInitialDelayInterval();
  int64_t uploadMaxBundlesLimit();
  int64_t uploadMaxEventsPerBundle();
  int64_t uploadMaxSizeLimitBytes();
  int32_t uploadingRetryCount();
  double uploadingRetryInterval();
  // Read as a time (server value / 1000, bounds 1 to 10000), truncated: "500000" reads 500.
  int32_t maxBundlesCreatedPerIteration();
  int32_t maxRealtimeEventCountPerDay();
  double uploadingDebugModeInterval();
  double uploadingRealTimeInterval();
  bool blocklistInternal();
  bool blocklistPublic();
  bool isEventSamplingEnabled();
  int32_t analyticsAccountTimeZoneOffsetMinutes();
  bool checksumEnabled();
  bool appBackgroundedEventEnabled();
  bool appInBackgroundParameterEnabled();
  bool itemScopedCustomParameterEnabled();
  int32_t maxItemScopedCustomParameters();
  int32_t maxPublicEventParameterValueLength();
  // The larger of 256 and maxPublicEventParameterValueLength().
  int32_t maxInternalEventParameterValueLength();
  bool tcfFeatureEnabled();
  bool dcuEventFeatureEnabled();
  int32_t maxRealtimeDCUEventCountPerDay();
  bool PSMFeatureEnabled();
  // 10 while the monitor's debug mode is on, without reading the setting.
  int32_t maxPSMStartCount();
  int32_t maxPSMRetryCount();
  double PSMRetryInterval();
  int32_t hashPrefixBitLengthEmail();
  int32_t hashPrefixBitLengthPhone();
  int32_t maxSignInDelayInDays();
  bool isDeferredDeepLinkEnabled();
  int32_t maxDeferredDeepLinkRetryCount();
  double attributionCacheTTLInterval();
  double remoteConfigCacheTimeInterval();
  bool isSessionIDEnabled();
  // The experiment flag "session_stitching_token_feature_enabled" when there is one.
  bool sessionStitchingTokenFeatureEnabled();
  bool SKANUpdateConversionValueEnabled();
  double SKANInitialCVFetchDelay();
  double SKANCVFetchRetryInterval();
  int32_t SKANCVFetchRetryLimit();
  double SKANFirstWindowCVFetchDelay();
  double SKANFirstWindowCVFetchRetryInterval();
  int32_t SKANFirstWindowCVFetchRetryLimit();
  double SKANFirstWindowUploadInterval();
  bool DMAConsentEnabled();
  // The experiment flag "regional_defaults_enabled" when there is one.
  bool regionalDefaultsEnabled();

 private:
  bool boolWithExperimentFlag(std::string_view flag, std::string_view key, bool defaultValue);

  VDUMutableDictionary<os::Value> cache_;
  mutable os::Mutex experimentMutex_;
  ExperimentFlag experimentFlag_ OS_GUARDED_BY(experimentMutex_);
};

// The running engine's settings, else Settings::defaultInstance(); never null. Any thread.
std::shared_ptr<Settings> remoteSettings();
// The engine installs its settings when it starts and clears them (nullptr) when it stops.
void setEngineSettings(std::shared_ptr<Settings> settings);

}  // namespace measurement
