// The facade's persisted keys in the suite "APMAnalyticsSuiteName".
#include "measurement/engine/analytics.h"
#include "measurement/foundation/measurement_user_defaults.h"
#include "measurement/privacy/consent_types.h"

namespace {

// One object per call: the suite's cache is shared per process, and a fresh object always
// stands on the preferences folder of the current environment.
measurement::MeasurementUserDefaults analyticsDefaults() {
  return measurement::MeasurementUserDefaults(kAnalyticsSuiteName);
}

}  // namespace

int64_t APMAnalytics::resetRetryCount() {
  return analyticsDefaults().integerForKey(kResetRetryCountKey);
}

void APMAnalytics::setResetRetryCount(int64_t count) {
  if (count < 1) {
    analyticsDefaults().removeObjectForKey(kResetRetryCountKey);
    return;
  }
  analyticsDefaults().setInteger(count, kResetRetryCountKey);
}

bool APMAnalytics::needFirstOpenAfterReset() {
  return analyticsDefaults().boolForKey(kNeedFirstOpenAfterResetKey);
}

void APMAnalytics::setNeedFirstOpenAfterReset(bool need) {
  analyticsDefaults().setBool(need, kNeedFirstOpenAfterResetKey);
}

void APMAnalytics::removeNeedFirstOpenAfterReset() {
  analyticsDefaults().removeObjectForKey(kNeedFirstOpenAfterResetKey);
}

std::optional<std::string> APMAnalytics::appInstanceIDAfterReset() {
  return analyticsDefaults().stringForKey(kAppInstanceIDAfterResetKey);
}

void APMAnalytics::setAppInstanceIDAfterReset(std::optional<std::string> appInstanceID) {
  analyticsDefaults().setObject(appInstanceID ? os::Value(std::move(*appInstanceID)) : os::Value(),
                                kAppInstanceIDAfterResetKey);
}

os::Value APMAnalytics::deferredAnalyticsCollection() {
  return analyticsDefaults().objectForKey(kDeferredAnalyticsCollectionKey);
}

void APMAnalytics::setDeferredAnalyticsCollection(os::Value value) {
  analyticsDefaults().setObject(std::move(value), kDeferredAnalyticsCollectionKey);
}

std::optional<os::Dictionary> APMAnalytics::consentSettingsTCF() {
  return analyticsDefaults().dictionaryForKey(measurement::kConsentSettingsTCFKey);
}

std::optional<os::Dictionary> APMAnalytics::consentSettings3P() {
  return analyticsDefaults().dictionaryForKey(measurement::kConsentSettingsThirdPartyKey);
}

std::optional<os::Dictionary> APMAnalytics::consentSettings1P() {
  return analyticsDefaults().dictionaryForKey(measurement::kConsentSettingsKey);
}

std::optional<os::Dictionary> APMAnalytics::consentSettings1PStart() {
  return analyticsDefaults().dictionaryForKey(measurement::kConsentSettingsOnStartKey);
}

os::Value APMAnalytics::deferredResetOnDeniedConsent() {
  return analyticsDefaults().objectForKey(kDeferredConsentResetKey);
}

void APMAnalytics::removeStartUpConsentSettings() {
  analyticsDefaults().removeObjectForKey(measurement::kConsentSettingsOnStartKey);
}

void APMAnalytics::removeDeferredResetOnDeniedConsent() {
  analyticsDefaults().removeObjectForKey(kDeferredConsentResetKey);
}

int64_t APMAnalytics::persistedConsentSource() {
  os::Value source = analyticsDefaults().numberForKey(kConsentSourceKey);
  return source.isNull() ? measurement::kConsentSourceNone : source.integerValue();
}
