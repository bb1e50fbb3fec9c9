// The small pieces of state the measurement engine keeps across launches: identifiers, upload
// and back-off times, the configuration server's validators, session numbers, deep-link and
// search-ads progress. Each has a typed getter and setter over one key "/vedodo/measurement/<name>"
// of the persistent dictionary "com.vedodo.gmp.measurement" (PersistentDictionary: on disk
// within a second of a change). The measurement enabled state alone lives in the application's
// own preferences.
//
//   PersistedConfig* config = PersistedConfig::sharedInstance();
//   if (config) config->setSessionNumber(config->sessionNumber() + 1);
//
// Missing values read as 0 (numbers), false, or nothing (strings, dictionaries, objects).
// Booleans are stored as the integers 0 and 1.
//
// Threads: every member may be called from any thread, but not from a block of the config's own
// queue "APMPersistedConfig": each typed access runs synchronously on it (so the midnight offset
// is read and, when missing, drawn and stored in one step). The search-ads campaign value alone
// goes straight to the store, which has its own lock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/foundation/persistent_dictionary.h"
#include "os/dispatch/dispatch.h"

namespace measurement {

inline constexpr const char* kPersistedConfigSuiteName = "com.vedodo.gmp.measurement";

class PersistedConfig {
  struct Private {};

 public:
  // The process's instance, created once for kPersistedConfigSuiteName; nullptr (logged with
  // code 27001 at every call) when its store could not be opened.
  static PersistedConfig* sharedInstance();

  // Moves the suite's file from the preferences folder into the measurement folder when an
  // older version left it there, then opens the persistent dictionary of that name (`delay` as
  // PersistentDictionary::create takes it). nullptr for an empty name or an unusable folder.
  static std::unique_ptr<PersistedConfig> create(std::string_view suiteName,
                                                 PersistentDictionary::Delay delay = {});

  PersistedConfig(Private, std::shared_ptr<PersistentDictionary> store);
  PersistedConfig(const PersistedConfig&) = delete;
  PersistedConfig& operator=(const PersistedConfig&) = delete;

  // Generic typed access to any key of the store. The setters of strings, dictionaries and
  // numbers remove the key for a null value.
  bool boolForKey(std::string_view key) const;
  int64_t int64ForKey(std::string_view key) const;
  // Reads `store` instead of the config's own, on the config's queue.
  int64_t int64ForKey(std::string_view key, const ConfigStore& store) const;
  double doubleForKey(std::string_view key) const;
  std::optional<std::string> stringForKey(std::string_view key) const;
  std::optional<os::Dictionary> dictionaryForKey(std::string_view key) const;
  os::Value numberForKey(std::string_view key) const;
  os::Value objectForKey(std::string_view key) const;
  void setBool(bool value, std::string_view key);
  void setInt64(int64_t value, std::string_view key);
  void setDouble(double value, std::string_view key);
  void setString(std::optional<std::string> value, std::string_view key);
  void setDictionary(std::optional<os::Dictionary> value, std::string_view key);
  void setNumber(os::Value value, std::string_view key);

  // Removes every value of the store (the measurement enabled state stays).
  void clearValues();
  // Writes pending changes now instead of within the second.
  void synchronizeToDisk();

  double lastDeleteStaleBundlesTimestamp() const;
  void setLastDeleteStaleBundlesTimestamp(double seconds);
  // A number, or null before one was stored; a value that is not a number is ignored, so the
  // stored one cannot be removed this way.
  os::Value searchAdCampaignValue() const;
  void setSearchAdCampaignValue(const os::Value& value);
  double lastSearchAdLookUpTimestamp() const;
  void setLastSearchAdLookUpTimestamp(double seconds);
  int64_t searchAdRetryCount() const;
  void setSearchAdRetryCount(int64_t count);
  std::optional<std::string> appInstanceID() const;
  void setAppInstanceID(std::optional<std::string> id);
  std::optional<std::string> appIDFromGMP() const;
  void setAppIDFromGMP(std::optional<std::string> id);
  std::optional<std::string> appIDFromZeZud() const;
  void setAppIDFromZeZud(std::optional<std::string> id);
  std::optional<std::string> hashedResettableDeviceID() const;
  void setHashedResettableDeviceID(std::optional<std::string> id);
  std::optional<std::string> diversionKey() const;
  void setDiversionKey(std::optional<std::string> key);
  // In the application's own preferences, written to disk at once; 1 enabled, 2 disabled.
  int64_t measurementEnabledState() const;
  void setMeasurementEnabledState(int64_t state);
  double lastBackoffTimestamp() const;
  void setLastBackoffTimestamp(double seconds);
  double lastSuccessfulUploadTimestamp() const;
  void setLastSuccessfulUploadTimestamp(double seconds);
  double lastFailedUploadTimestamp() const;
  void setLastFailedUploadTimestamp(double seconds);
  std::optional<std::string> appVersion() const;
  void setAppVersion(std::optional<std::string> version);
  std::optional<std::string> osVersion() const;
  void setOSVersion(std::optional<std::string> version);
  // Seconds in [0, 86400) with millisecond resolution, drawn at the first read and kept until
  // clearValues.
  double midnightOffset() const;
  double lastMonitorDataSampledTimestamp() const;
  void setLastMonitorDataSampledTimestamp(double seconds);
  int64_t firstOpenTimestampMilliseconds() const;
  void setFirstOpenTimestampMilliseconds(int64_t milliseconds);
  os::Value configServerLastModifiedString() const;
  void setConfigServerLastModifiedString(std::optional<std::string> text);
  std::optional<std::string> configServerETag() const;
  void setConfigServerETag(std::optional<std::string> etag);
  os::Value loadTimestampValue() const;
  void setLoadTimestampValue(os::Value number);
  os::Value allowPersonalizedAds() const;
  void setAllowPersonalizedAds(os::Value number);
  std::optional<std::string> riveravoFeatureRollouts() const;
  void setRiveravoFeatureRollouts(std::optional<std::string> rollouts);
  os::Value deferredDeepLinkRetrievalComplete() const;
  void setDeferredDeepLinkRetrievalComplete(os::Value number);
  int64_t deferredDeepLinkRetryCount() const;
  void setDeferredDeepLinkRetryCount(int64_t count);
  bool shouldSetLastAdvertisingIDResetUserProperty() const;
  void setShouldSetLastAdvertisingIDResetUserProperty(bool value);
  bool unmatchedFirstOpenWithoutIDFA() const;
  void setUnmatchedFirstOpenWithoutIDFA(bool value);
  os::Value previousFirstOpenCount() const;
  void setPreviousFirstOpenCount(os::Value number);
  std::optional<std::string> previousBundledConsentSignals() const;
  void setPreviousBundledConsentSignals(std::optional<std::string> signals);
  double lastSessionActivityClockTime() const;
  void setLastSessionActivityClockTime(double seconds);
  int64_t sessionNumber() const;
  void setSessionNumber(int64_t number);
  std::optional<os::Dictionary> defaultEventParameters() const;
  void setDefaultEventParameters(std::optional<os::Dictionary> parameters);
  int64_t lastUploadedEventTimestampMillis() const;
  void setLastUploadedEventTimestampMillis(int64_t milliseconds);
  int64_t SKANEvaluationEventTimeMillis() const;
  void setSKANEvaluationEventTimeMillis(int64_t milliseconds);
  int64_t SKANEvaluationUpdateBackoffMillis() const;
  void setSKANEvaluationUpdateBackoffMillis(int64_t milliseconds);

 private:
  // Runs `block` on the config's queue and waits for it.
  void onQueue(const std::function<void()>& block) const;

  const std::shared_ptr<PersistentDictionary> store_;
  const std::shared_ptr<os::DispatchQueue> queue_;
};

}  // namespace measurement
