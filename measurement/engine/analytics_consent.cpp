// The facade's consent: checked and ranked on the caller's thread, applied to the process's
// consent state and persisted in the facade's suite in the order the updates were accepted.
#include "measurement/engine/analytics.h"
#include "measurement/engine/measurement.h"
#include "measurement/foundation/measurement_user_defaults.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/settings.h"
#include "measurement/model/error_parameters.h"
#include "measurement/privacy/consent_settings.h"

using measurement::ConsentSettings;
using measurement::monitor;
using measurement::MonitorLevel;

namespace {

// The ranks of consent reloaded from disk: a reload never outranks what was set in this run.
constexpr int64_t kReloadedThirdPartySource = 20;
constexpr int64_t kReloadedFirstPartySource = 40;

int64_t sourceForKey(std::string_view key) {
  if (key == measurement::kConsentSettingsTCFKey) return measurement::kConsentSourceTCF;
  if (key == measurement::kConsentSettingsThirdPartyKey) {
    return measurement::kConsentSourceThirdParty;
  }
  return measurement::kConsentSourceApp;
}

}  // namespace

void APMAnalytics::setConsent(const os::Dictionary& consent) {
  setConsent(consent, measurement::kConsentSettingsKey);
}

void APMAnalytics::setConsent(const os::Dictionary& consent, std::string_view key) {
  if (ConsentSettings::consentSource() == measurement::kConsentSourceNone) {
    loadPersistedConsentSettings();
  }
  os::Dictionary settings = ConsentSettings::consentSettingsFromDictionary(consent);
  for (auto entry = settings.begin(); entry != settings.end();) {
    const std::string* status = entry->second.asString();
    if (status && (*status == measurement::kConsentStatusGranted ||
                   *status == measurement::kConsentStatusDenied)) {
      ++entry;
      continue;
    }
    monitor().log(MonitorLevel::kWarning, 25042,
                  "Valid consent values are 'granted' and 'denied'. Ignoring invalid consent "
                  "setting",
                  entry->second);
    entry = settings.erase(entry);
  }
  if (settings.empty()) {
    monitor().log(MonitorLevel::kWarning, 25041, "Discarding empty consent settings");
    return;
  }
  const int64_t source = sourceForKey(key);
  const bool adUserDataWasDenied = ConsentSettings::isAdUserDataDenied();
  const bool touchesAdPersonalization =
      settings.contains(measurement::kConsentTypeAdPersonalization);
  // The priority test, the change and its persisting are one step of the consent queue, so
  // two sources racing each other can neither both win nor persist out of order.
  const bool accepted = ConsentSettings::updateSettingsIfPriorityAllows(
      std::move(settings), source, [](const os::Dictionary& merged, int64_t acceptedSource) {
        persistConsentSettings(merged, acceptedSource);
      });
  if (!accepted) {
    monitor().log(MonitorLevel::kWarning, 25043, "Ignoring lower priority consent settings");
    return;
  }
  if (source == measurement::kConsentSourceThirdParty) {
    monitor().log(MonitorLevel::kVerbose, 25055, ConsentSettings::description());
  }
  std::shared_ptr<measurement::Settings> serverSettings = measurement::remoteSettings();
  if (serverSettings->dcuEventFeatureEnabled() &&
      !APMMeasurement::remoteConfig()->consentDefaults().empty() &&
      ConsentSettings::didAdUserDataConsentChange(adUserDataWasDenied)) {
    measurement::logInternalEvent("auto", "_dcu",
                                  measurement::Parameters{{"_r", measurement::Value(int64_t{1})}});
  }
  if (serverSettings->DMAConsentEnabled() && touchesAdPersonalization) {
    if (std::optional<bool> granted = ConsentSettings::adPersonalization()) {
      setUserPropertyString(*granted ? "YES" : "NO", "allow_personalized_ads");
    }
  }
}

void APMAnalytics::persistConsentSettings(const os::Dictionary& settings, int64_t source) {
  measurement::MeasurementUserDefaults defaults(kAnalyticsSuiteName);
  const char* key = measurement::kConsentSettingsKey;
  if (source == measurement::kConsentSourceTCF) {
    key = measurement::kConsentSettingsTCFKey;
  } else if (source <= kReloadedThirdPartySource) {
    key = measurement::kConsentSettingsThirdPartyKey;
  }
  defaults.setObject(settings, key);
  defaults.setInteger(source, kConsentSourceKey);
}

void APMAnalytics::loadPersistedConsentSettings() {
  const int64_t persisted = persistedConsentSource();
  if (persisted == measurement::kConsentSourceNone) return;
  int64_t source = persisted;
  if (std::optional<os::Dictionary> tcf = consentSettingsTCF()) {
    ConsentSettings::setConsentSettings(std::move(tcf));
    source = std::min(persisted, measurement::kConsentSourceTCF);
  } else if (std::optional<os::Dictionary> thirdParty = consentSettings3P()) {
    ConsentSettings::setConsentSettings(std::move(thirdParty));
    source = std::min(persisted, kReloadedThirdPartySource);
  } else if (std::optional<os::Dictionary> firstParty = consentSettings1P()) {
    ConsentSettings::setConsentSettings(std::move(firstParty));
    source = std::min(persisted, kReloadedFirstPartySource);
  }
  ConsentSettings::setConsentSource(source);
}

void APMAnalytics::clearConsent() {
  measurement::MeasurementUserDefaults defaults(kAnalyticsSuiteName);
  for (const char* key : {kConsentSourceKey, measurement::kConsentSettingsThirdPartyKey,
                          measurement::kConsentSettingsKey, measurement::kConsentSettingsOnStartKey,
                          kDeferredConsentResetKey, measurement::kConsentSettingsTCFKey}) {
    defaults.removeObjectForKey(key);
  }
  ConsentSettings::clearAllSettings();
}
