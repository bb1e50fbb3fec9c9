#include "measurement/foundation/persisted_config.h"

#include "measurement/foundation/measurement_user_defaults.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/numeric.h"
#include "measurement/foundation/storage_paths.h"

namespace measurement {
namespace {

constexpr const char* kLastDeleteStaleKey = "/vedodo/measurement/last_delete_stale";
constexpr const char* kSearchAdLastAttemptTimestampKey =
    "/vedodo/measurement/search_ad_last_attempt_timestamp";
constexpr const char* kSearchAdNumberOfRetriesKey =
    "/vedodo/measurement/search_ad_number_of_retries";
constexpr const char* kAppInstanceIdKey = "/vedodo/measurement/app_instance_id";
constexpr const char* kGmpAppIdKey = "/vedodo/measurement/gmp_app_id";
constexpr const char* kZezudAppIdKey = "/vedodo/measurement/zezud_app_id";
constexpr const char* kHashedIdfaKey = "/vedodo/measurement/hashed_idfa";
constexpr const char* kDiversionKeyKey = "/vedodo/measurement/diversion_key";
constexpr const char* kLastBackoffKey = "/vedodo/measurement/last_backoff";
constexpr const char* kLastSuccessfulUploadKey = "/vedodo/measurement/last_successful_upload";
constexpr const char* kLastFailedUploadKey = "/vedodo/measurement/last_failed_upload";
constexpr const char* kAppVersionKey = "/vedodo/measurement/app_version";
constexpr const char* kOsVersionKey = "/vedodo/measurement/os_version";
constexpr const char* kLastMonitorDataSampledTimestampKey =
    "/vedodo/measurement/last_monitor_data_sampled_timestamp";
constexpr const char* kFirstOpenTimestampMsKey = "/vedodo/measurement/first_open_timestamp_ms";
constexpr const char* kLastModifiedSinceKeyKey = "/vedodo/measurement/last_modified_since_key";
constexpr const char* kConfigEtagKey = "/vedodo/measurement/config_etag";
constexpr const char* kLoadTimestampKey = "/vedodo/measurement/load_timestamp";
constexpr const char* kAllowPersonalizedAdsKey = "/vedodo/measurement/allow_personalized_ads";
constexpr const char* kRiveravoFeatureRolloutsKey = "/vedodo/measurement/riveravo_feature_rollouts";
constexpr const char* kDeepLinkRetrievalCompleteKey =
    "/vedodo/measurement/deep_link_retrieval_complete";
constexpr const char* kDeepLinkRetryCountKey = "/vedodo/measurement/deep_link_retry_count";
constexpr const char* kSetLastAdvertisingIdResetKey =
    "/vedodo/measurement/set_last_advertising_id_reset";
constexpr const char* kUnmatchedFirstOpenKey = "/vedodo/measurement/unmatched_first_open";
constexpr const char* kPreviousFirstOpenCountKey = "/vedodo/measurement/previous_first_open_count";
constexpr const char* kPreviousBundledConsentSignalsKey =
    "/vedodo/measurement/previous_bundled_consent_signals";
constexpr const char* kLastEngagementEndKey = "/vedodo/measurement/last_engagement_end";
constexpr const char* kSessionNumberKey = "/vedodo/measurement/session_number";
constexpr const char* kDefaultEventParametersKey = "/vedodo/measurement/default_event_parameters";
constexpr const char* kLastUploadedEventMillisKey =
    "/vedodo/measurement/last_uploaded_event_millis";
constexpr const char* kSkanEvaluationEventTimeMillisKey =
    "/vedodo/measurement/skan_evaluation_event_time_millis";
constexpr const char* kSkanEvaluationUpdateBackoffMillisKey =
    "/vedodo/measurement/skan_evaluation_update_backoff_millis";
constexpr const char* kIsSearchAdCampaignKey = "/vedodo/measurement/is_search_ad_campaign";
constexpr const char* kMeasurementEnabledStateKey = "/vedodo/measurement/measurement_enabled_state";
constexpr const char* kMidnightOffsetKey = "/vedodo/measurement/midnight_offset";

constexpr uint32_t kMillisecondsPerDay = 86'400'000;

}  // namespace

PersistedConfig* PersistedConfig::sharedInstance() {
  static PersistedConfig* shared = create(kPersistedConfigSuiteName).release();
  if (!shared)
    monitor().log(MonitorLevel::kErrorSampled, 27001, "PersistedConfig's shared instance is nil");
  return shared;
}

std::unique_ptr<PersistedConfig> PersistedConfig::create(std::string_view suiteName,
                                                         PersistentDictionary::Delay delay) {
  if (suiteName.empty()) return nullptr;
  migratePreferencesSuite(suiteName);
  std::shared_ptr<PersistentDictionary> store =
      PersistentDictionary::create(suiteName, std::move(delay));
  if (!store) return nullptr;
  return std::make_unique<PersistedConfig>(Private{}, std::move(store));
}

PersistedConfig::PersistedConfig(Private, std::shared_ptr<PersistentDictionary> store)
    : store_(std::move(store)), queue_(os::DispatchQueue::serial("APMPersistedConfig")) {}

void PersistedConfig::onQueue(const std::function<void()>& block) const {
  queue_->sync([&] {
    OS_CHECK_ON(queue_);
    block();
  });
}

bool PersistedConfig::boolForKey(std::string_view key) const {
  // Stored as an integer; a boolean reads its lowest byte, as a one-byte flag would.
  return (int64ForKey(key) & 0xFF) != 0;
}

int64_t PersistedConfig::int64ForKey(std::string_view key) const {
  return int64ForKey(key, *store_);
}

int64_t PersistedConfig::int64ForKey(std::string_view key, const ConfigStore& store) const {
  int64_t value = 0;
  onQueue([&] { value = store.integerForKey(key); });
  return value;
}

double PersistedConfig::doubleForKey(std::string_view key) const {
  double value = 0;
  onQueue([&] { value = store_->doubleForKey(key); });
  return value;
}

std::optional<std::string> PersistedConfig::stringForKey(std::string_view key) const {
  std::optional<std::string> value;
  onQueue([&] { value = store_->stringForKey(key); });
  return value;
}

std::optional<os::Dictionary> PersistedConfig::dictionaryForKey(std::string_view key) const {
  std::optional<os::Dictionary> value;
  onQueue([&] { value = store_->dictionaryForKey(key); });
  return value;
}

os::Value PersistedConfig::numberForKey(std::string_view key) const {
  os::Value value;
  onQueue([&] { value = store_->numberForKey(key); });
  return value;
}

os::Value PersistedConfig::objectForKey(std::string_view key) const {
  os::Value value;
  onQueue([&] { value = store_->objectForKey(key); });
  return value;
}

void PersistedConfig::setBool(bool value, std::string_view key) { setInt64(value ? 1 : 0, key); }

void PersistedConfig::setInt64(int64_t value, std::string_view key) {
  onQueue([&] { store_->setInteger(value, key); });
}

void PersistedConfig::setDouble(double value, std::string_view key) {
  onQueue([&] { store_->setDouble(value, key); });
}

void PersistedConfig::setString(std::optional<std::string> value, std::string_view key) {
  onQueue([&] { store_->setObject(value ? os::Value(std::move(*value)) : os::Value(), key); });
}

void PersistedConfig::setDictionary(std::optional<os::Dictionary> value, std::string_view key) {
  onQueue([&] { store_->setObject(value ? os::Value(std::move(*value)) : os::Value(), key); });
}

void PersistedConfig::setNumber(os::Value value, std::string_view key) {
  onQueue([&] { store_->setObject(std::move(value), key); });
}

void PersistedConfig::clearValues() {
  onQueue([&] { store_->clearAllData(); });
}

void PersistedConfig::synchronizeToDisk() {
  onQueue([&] { store_->persistToDiskIfPending(); });
}

os::Value PersistedConfig::searchAdCampaignValue() const {
  return store_->objectForKey(kIsSearchAdCampaignKey);
}

void PersistedConfig::setSearchAdCampaignValue(const os::Value& value) {
  if (value.isNumber() || value.isBool()) store_->setObject(value, kIsSearchAdCampaignKey);
}

int64_t PersistedConfig::measurementEnabledState() const {
  return int64ForKey(kMeasurementEnabledStateKey, MeasurementUserDefaults::shared());
}

void PersistedConfig::setMeasurementEnabledState(int64_t state) {
  onQueue([&] {
    MeasurementUserDefaults& appDefaults = MeasurementUserDefaults::shared();
    appDefaults.setInteger(state, kMeasurementEnabledStateKey);
    appDefaults.synchronize();
  });
}

double PersistedConfig::midnightOffset() const {
  double offset = 0;
  // Read and, when missing, drawn and stored in one block: two first readers agree.
  onQueue([&] {
    os::Value stored = store_->numberForKey(kMidnightOffsetKey);
    if (!stored.isNull()) {
      offset = stored.doubleValue();
      return;
    }
    offset = uniformRandom(kMillisecondsPerDay) / 1000.0;
    store_->setDouble(offset, kMidnightOffsetKey);
  });
  return offset;
}

double PersistedConfig::lastDeleteStaleBundlesTimestamp() const {
  return doubleForKey(kLastDeleteStaleKey);
}

void PersistedConfig::setLastDeleteStaleBundlesTimestamp(double value) {
  setDouble(value, kLastDeleteStaleKey);
}

double PersistedConfig::lastSearchAdLookUpTimestamp() const {
  return doubleForKey(kSearchAdLastAttemptTimestampKey);
}

void PersistedConfig::setLastSearchAdLookUpTimestamp(double value) {
  setDouble(value, kSearchAdLastAttemptTimestampKey);
}

int64_t PersistedConfig::searchAdRetryCount() const {
  return int64ForKey(kSearchAdNumberOfRetriesKey);
}

void PersistedConfig::setSearchAdRetryCount(int64_t value) {
  setInt64(value, kSearchAdNumberOfRetriesKey);
}

std::optional<std::string> PersistedConfig::appInstanceID() const {
  return stringForKey(kAppInstanceIdKey);
}

void PersistedConfig::setAppInstanceID(std::optional<std::string> value) {
  setString(std::move(value), kAppInstanceIdKey);
}

std::optional<std::string> PersistedConfig::appIDFromGMP() const {
  return stringForKey(kGmpAppIdKey);
}

void PersistedConfig::setAppIDFromGMP(std::optional<std::string> value) {
  setString(std::move(value), kGmpAppIdKey);
}

std::optional<std::string> PersistedConfig::appIDFromZeZud() const {
  return stringForKey(kZezudAppIdKey);
}

void PersistedConfig::setAppIDFromZeZud(std::optional<std::string> value) {
  setString(std::move(value), kZezudAppIdKey);
}

std::optional<std::string> PersistedConfig::hashedResettableDeviceID() const {
  return stringForKey(kHashedIdfaKey);
}

void PersistedConfig::setHashedResettableDeviceID(std::optional<std::string> value) {
  setString(std::move(value), kHashedIdfaKey);
}

std::optional<std::string> PersistedConfig::diversionKey() const {
  return stringForKey(kDiversionKeyKey);
}

void PersistedConfig::setDiversionKey(std::optional<std::string> value) {
  setString(std::move(value), kDiversionKeyKey);
}

double PersistedConfig::lastBackoffTimestamp() const { return doubleForKey(kLastBackoffKey); }

void PersistedConfig::setLastBackoffTimestamp(double value) { setDouble(value, kLastBackoffKey); }

double PersistedConfig::lastSuccessfulUploadTimestamp() const {
  return doubleForKey(kLastSuccessfulUploadKey);
}

void PersistedConfig::setLastSuccessfulUploadTimestamp(double value) {
  setDouble(value, kLastSuccessfulUploadKey);
}

double PersistedConfig::lastFailedUploadTimestamp() const {
  return doubleForKey(kLastFailedUploadKey);
}

void PersistedConfig::setLastFailedUploadTimestamp(double value) {
  setDouble(value, kLastFailedUploadKey);
}

std::optional<std::string> PersistedConfig::appVersion() const {
  return stringForKey(kAppVersionKey);
}

void PersistedConfig::setAppVersion(std::optional<std::string> value) {
  setString(std::move(value), kAppVersionKey);
}

std::optional<std::string> PersistedConfig::osVersion() const {
  return stringForKey(kOsVersionKey);
}

void PersistedConfig::setOSVersion(std::optional<std::string> value) {
  setString(std::move(value), kOsVersionKey);
}

double PersistedConfig::lastMonitorDataSampledTimestamp() const {
  return doubleForKey(kLastMonitorDataSampledTimestampKey);
}

void PersistedConfig::setLastMonitorDataSampledTimestamp(double value) {
  setDouble(value, kLastMonitorDataSampledTimestampKey);
}

int64_t PersistedConfig::firstOpenTimestampMilliseconds() const {
  return int64ForKey(kFirstOpenTimestampMsKey);
}

void PersistedConfig::setFirstOpenTimestampMilliseconds(int64_t value) {
  setInt64(value, kFirstOpenTimestampMsKey);
}

os::Value PersistedConfig::configServerLastModifiedString() const {
  return objectForKey(kLastModifiedSinceKeyKey);
}

void PersistedConfig::setConfigServerLastModifiedString(std::optional<std::string> value) {
  setString(std::move(value), kLastModifiedSinceKeyKey);
}

std::optional<std::string> PersistedConfig::configServerETag() const {
  return stringForKey(kConfigEtagKey);
}

void PersistedConfig::setConfigServerETag(std::optional<std::string> value) {
  setString(std::move(value), kConfigEtagKey);
}

os::Value PersistedConfig::loadTimestampValue() const { return objectForKey(kLoadTimestampKey); }

void PersistedConfig::setLoadTimestampValue(os::Value value) {
  setNumber(std::move(value), kLoadTimestampKey);
}

os::Value PersistedConfig::allowPersonalizedAds() const {
  return objectForKey(kAllowPersonalizedAdsKey);
}

void PersistedConfig::setAllowPersonalizedAds(os::Value value) {
  setNumber(std::move(value), kAllowPersonalizedAdsKey);
}

std::optional<std::string> PersistedConfig::riveravoFeatureRollouts() const {
  return stringForKey(kRiveravoFeatureRolloutsKey);
}

void PersistedConfig::setRiveravoFeatureRollouts(std::optional<std::string> value) {
  setString(std::move(value), kRiveravoFeatureRolloutsKey);
}

os::Value PersistedConfig::deferredDeepLinkRetrievalComplete() const {
  return objectForKey(kDeepLinkRetrievalCompleteKey);
}

void PersistedConfig::setDeferredDeepLinkRetrievalComplete(os::Value value) {
  setNumber(std::move(value), kDeepLinkRetrievalCompleteKey);
}

int64_t PersistedConfig::deferredDeepLinkRetryCount() const {
  return int64ForKey(kDeepLinkRetryCountKey);
}

void PersistedConfig::setDeferredDeepLinkRetryCount(int64_t value) {
  setInt64(value, kDeepLinkRetryCountKey);
}

bool PersistedConfig::shouldSetLastAdvertisingIDResetUserProperty() const {
  return boolForKey(kSetLastAdvertisingIdResetKey);
}

void PersistedConfig::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
  setBool(value, kSetLastAdvertisingIdResetKey);
}

bool PersistedConfig::unmatchedFirstOpenWithoutIDFA() const {
  return boolForKey(kUnmatchedFirstOpenKey);
}

void PersistedConfig::setUnmatchedFirstOpenWithoutIDFA(bool value) {
  setBool(value, kUnmatchedFirstOpenKey);
}

os::Value PersistedConfig::previousFirstOpenCount() const {
  return numberForKey(kPreviousFirstOpenCountKey);
}

void PersistedConfig::setPreviousFirstOpenCount(os::Value value) {
  setNumber(std::move(value), kPreviousFirstOpenCountKey);
}

std::optional<std::string> PersistedConfig::previousBundledConsentSignals() const {
  return stringForKey(kPreviousBundledConsentSignalsKey);
}

void PersistedConfig::setPreviousBundledConsentSignals(std::optional<std::string> value) {
  setString(std::move(value), kPreviousBundledConsentSignalsKey);
}

double PersistedConfig::lastSessionActivityClockTime() const {
  return doubleForKey(kLastEngagementEndKey);
}

void PersistedConfig::setLastSessionActivityClockTime(double value) {
  setDouble(value, kLastEngagementEndKey);
}

int64_t PersistedConfig::sessionNumber() const { return int64ForKey(kSessionNumberKey); }

void PersistedConfig::setSessionNumber(int64_t value) { setInt64(value, kSessionNumberKey); }

std::optional<os::Dictionary> PersistedConfig::defaultEventParameters() const {
  return dictionaryForKey(kDefaultEventParametersKey);
}

void PersistedConfig::setDefaultEventParameters(std::optional<os::Dictionary> value) {
  setDictionary(std::move(value), kDefaultEventParametersKey);
}

int64_t PersistedConfig::lastUploadedEventTimestampMillis() const {
  return int64ForKey(kLastUploadedEventMillisKey);
}

void PersistedConfig::setLastUploadedEventTimestampMillis(int64_t value) {
  setInt64(value, kLastUploadedEventMillisKey);
}

int64_t PersistedConfig::SKANEvaluationEventTimeMillis() const {
  return int64ForKey(kSkanEvaluationEventTimeMillisKey);
}

void PersistedConfig::setSKANEvaluationEventTimeMillis(int64_t value) {
  setInt64(value, kSkanEvaluationEventTimeMillisKey);
}

int64_t PersistedConfig::SKANEvaluationUpdateBackoffMillis() const {
  return int64ForKey(kSkanEvaluationUpdateBackoffMillisKey);
}

void PersistedConfig::setSKANEvaluationUpdateBackoffMillis(int64_t value) {
  setInt64(value, kSkanEvaluationUpdateBackoffMillisKey);
}

}  // namespace measurement
