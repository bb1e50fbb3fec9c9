// Start-up and the collection switch of the engine, the wipe decision, consent set-up at start
// and the non-personalized-ads user property "_npa". Everything here runs on the worker queue.
#include <utility>

#include "measurement/audience/audience.h"
#include "measurement/config/runtime_event_editing.h"
#include "measurement/engine/analytics.h"
#include "measurement/engine/deep_link_storage.h"
#include "measurement/engine/measurement.h"
#include "measurement/engine/search_ad_reporter.h"
#include "measurement/engine/session_reporter.h"
#include "measurement/experiments/manager.h"
#include "measurement/foundation/alarm.h"
#include "measurement/foundation/lookup.h"
#include "measurement/foundation/measurement_user_defaults.h"
#include "measurement/foundation/storage_paths.h"
#include "measurement/foundation/user_attribute.h"
#include "measurement/privacy/consent_settings.h"
#include "measurement/privacy/identifiers.h"
#include "measurement/privacy/tcf_client.h"
#include "os/bundle/bundle.h"
#include "os/process/clock.h"
#include "os/text/text.h"

namespace {

using measurement::ConsentSettings;
using measurement::MonitorLevel;
using measurement::Scheduler;

constexpr const char* kAdPersonalization = "ad_personalization";
constexpr const char* kNPAName = "_npa";

// The consent sources of start-up, highest priority first.
constexpr int64_t kConsentSourceTCF = 5;
constexpr int64_t kConsentSourceThirdParty = 10;
constexpr int64_t kConsentSourcePlist = 20;
constexpr int64_t kConsentSourceFirstParty = 30;
constexpr int64_t kConsentSourceStartUp = 40;

bool isSet(const std::optional<std::string>& text) { return text && !text->empty(); }

bool isNonEmpty(const std::optional<os::Dictionary>& settings) {
  return settings && !settings->empty();
}

}  // namespace

// ---- The collection switch ----

void APMMeasurement::setEnabledOnWorkerQueue(bool enable) {
  Scheduler::checkOnBackgroundThread("setIsEnabledOnWorkerQueue");
  if (enable && isAnalyticsCollectionDeactivated_) {
    monitor().log(MonitorLevel::kNotice, 23206, "Analytics collection deactivated");
    return;
  }
  if (!isAnalyticsCollectionDeactivated_ && APMAnalytics::deferredAnalyticsCollection().isNull()) {
    APMAnalytics::setDeferredAnalyticsCollection(os::Value(int64_t{enable ? 0 : 1}));
  }
  enabled_.store(enable);
  if (enable) {
    if (!startMeasurementOnWorkerQueue()) {
      monitor().log(MonitorLevel::kError, 23011,
                    "Failed to start Analytics. Analytics is disabled");
      setEnabled(false);
      return;
    }
    if (auto reporter = sessionReporter()) reporter->setReportingEnabled(true);
    if (searchAdReporter_) searchAdReporter_->setSearchAdReporterEnabled(true);
    monitor().log(MonitorLevel::kNotice, 23012, "Analytics collection enabled");
    return;
  }
  clearExpiredDeepLink();
  alarm_.cancel();
  if (auto reporter = sessionReporter()) reporter->setReportingEnabled(false);
  if (searchAdReporter_) searchAdReporter_->setSearchAdReporterEnabled(false);
  monitor().log(MonitorLevel::kNotice, 23013, "Analytics collection disabled");
}

bool APMMeasurement::startMeasurementOnWorkerQueue() {
  Scheduler::checkOnBackgroundThread("startMeasurementOnWorkerQueue");
  {
    os::MutexLock lock(initializeComponentsMutex_);
    if (!didInitializeComponents_.load()) {
      if (!initializeComponentsOnWorkerQueue()) return false;
      didInitializeComponents_.store(true);
    }
  }
  setPersonalizedAdsUserPropertyOnWorkerQueue();
  if (APMAnalytics::needFirstOpenAfterReset()) {
    reportFirstOpenOnWorkerQueue();
    APMAnalytics::removeNeedFirstOpenAfterReset();
  }
  updateSchedule();
  return true;
}

// ---- The component set-up of the first start ----

bool APMMeasurement::initializeComponentsOnWorkerQueue() {
  std::shared_ptr<measurement::Identity> identity = measurement::Identity::sharedInstance();
  if (!identity) return false;
  {
    os::MutexLock lock(componentsMutex_);
    identity_ = identity;
  }
  measurement::setEngineIdentity(identity);

  setProspectiveConsentSettings();
  APMAnalytics::removeStartUpConsentSettings();
  APMAnalytics::removeDeferredResetOnDeniedConsent();

  maybeWipeDataOnWorkerQueue();
  identity->updateIdentifiers();
  if (std::optional<std::string> id = APMAnalytics::appInstanceIDAfterReset(); isSet(id)) {
    identity->setAppInstanceID(*id);
    APMAnalytics::setAppInstanceIDAfterReset(std::nullopt);
  }
  updatePersistedAppIDFromGMPAndZeZud();

  // A database that cannot be opened may be busy for a moment: one more attempt.
  os::Error error;
  database_ = measurement::Database::open(databaseName_, persistedConfig_, &error,
                                          scheduler_->workerQueue());
  if (!database_) {
    database_ = measurement::Database::open(databaseName_, persistedConfig_, &error,
                                            scheduler_->workerQueue());
  }
  if (!database_) return false;

  measurement::RemoteConfigServices services;
  services.experimentManager = measurement::ExperimentManager::sharedInstance();
  services.eventEditingFactory =
      eventEditingFactory_ ? eventEditingFactory_
                           : measurement::runtimeEventEditingFactory(scheduler_->workerQueue());
  services.isMeasurementEnabled = [weak = weak_from_this()] {
    auto engine = weak.lock();
    return engine && engine->isEnabled();
  };
  std::shared_ptr<measurement::RemoteConfig> config =
      measurement::RemoteConfig::create(appID_, database_.get(), std::nullopt, services);
  if (!config) return false;
  audience_ = std::make_unique<measurement::Audience>(*database_, scheduler_->workerQueue());
  auto reporter = APMSessionReporter::create(persistedConfig_);
  {
    os::MutexLock lock(componentsMutex_);
    remoteConfig_ = config;
    sessionReporter_ = reporter;
  }
  measurement::setEngineSettings(config->settings());

  if (!measurement::excludePathFromBackup(measurement::measurementDataPath(""), &error)) {
    monitor().log(MonitorLevel::kWarningSilent, 23015,
                  "Failed to exclude directory from backup. Error", error);
  }
  monitor().log(MonitorLevel::kDebug, 23016, "Analytics is ready to receive events");
  monitor().setEncodeContexts(identity->isFromAppStore());
  if (!database_->maybeDeleteStaleData(&error)) {
    monitor().log(MonitorLevel::kWarningSilent, 23018, "Unable to delete stale data. Error", error);
  }
  bool dma = config->settings()->DMAConsentEnabled();
  if (dma) updateConsentSettingsUtilWithRemoteConfig();

  checkPSMDependencyOnWorkerQueue();
  maybeDeleteExpiredPSMValueOnWorkerQueue();
  setPersonalizedAdsUserPropertyOnWorkerQueue();
  backfillSessionNumber();
  reportFirstOpenOnWorkerQueue();

  if (!measurement::MeasurementUserDefaults::shared()
           .objectForKey(measurement::kStoredDeepLinkKey)
           .isNull()) {
    reportStoredCampaignEventOnWorkerQueue(std::nullopt);
  } else if (shouldAllowRequestDeferredDeepLink()) {
    if (config->isExpired() && dma) {
      shouldRequestDeferredDeepLinkAfterConfigFetch_ = true;
    } else {
      requestDeferredDeepLink();
    }
  }
  reportAppUpdateOnWorkerQueue();
  reportOSUpdateOnWorkerQueue();
  startSearchAdReporterOnWorkerQueue();

  if (config->settings()->tcfFeatureEnabled()) {
    tcfClient_ = std::make_unique<measurement::TcfClient>(
        [](const os::Dictionary& consent, std::string_view key) {
          APMAnalytics::setConsent(consent, key);
        });
    tcfClient_->setIsDMARegion(config->isDMARegion());
    tcfClient_->setConsentFromTCFData();
  }
  // Feature rollouts belong to a remote-configuration library this program never has.
  if (persistedConfig_->riveravoFeatureRollouts()) {
    persistedConfig_->setRiveravoFeatureRollouts(std::nullopt);
  }
  subscribeForAppForegroundBackgroundNotifications();
  return true;
}

void APMMeasurement::maybeWipeDataOnWorkerQueue() {
  std::shared_ptr<measurement::Identity> identity = this->identity();
  if (!shouldWipeDataWithAppID(appID_, identity->appIDFromGMP(), identity->appIDFromZeZud(),
                               persistedConfig_->appIDFromGMP(),
                               persistedConfig_->appIDFromZeZud())) {
    return;
  }
  APMAnalytics::setResetRetryCount(APMAnalytics::resetRetryCount() + 1);
  if (wipeoutAnalyticsDataAndResetComponents()) {
    APMAnalytics::setResetRetryCount(0);
  } else {
    monitor().log(MonitorLevel::kWarningSampled, 23208, "Failed to wipe out Analytics data");
  }
}

// ---- The wipe decision and the persisted app ids ----

bool APMMeasurement::shouldWipeDataWithAppID(
    const std::optional<std::string>& appID, const std::optional<std::string>& appIDFromGMP,
    const std::optional<std::string>& appIDFromZeZud,
    const std::optional<std::string>& persistedAppIDFromGMP,
    const std::optional<std::string>& persistedAppIDFromZeZud) const {
  int64_t retries = APMAnalytics::resetRetryCount();
  if (retries >= 1 && retries <= 9) return true;
  bool currentGMP = isSet(appIDFromGMP);
  bool currentZeZud = isSet(appIDFromZeZud);
  bool persistedGMP = isSet(persistedAppIDFromGMP);
  bool persistedZeZud = isSet(persistedAppIDFromZeZud);
  if (persistedGMP && currentGMP) return *persistedAppIDFromGMP != *appIDFromGMP;
  if (persistedZeZud && !persistedGMP && !currentZeZud && currentGMP) return true;
  if (persistedZeZud && !persistedGMP && currentZeZud && currentGMP) {
    return *persistedAppIDFromZeZud != *appIDFromZeZud;
  }
  if (persistedGMP && !currentGMP && currentZeZud && !persistedZeZud) return isSet(appID);
  if (!currentGMP && persistedZeZud) return isSet(appID) && *appID != *persistedAppIDFromZeZud;
  return false;
}

void APMMeasurement::updatePersistedAppIDFromGMPAndZeZud() {
  std::shared_ptr<measurement::Identity> identity = this->identity();
  if (identity) {
    std::optional<std::string> gmp = identity->appIDFromGMP();
    if (gmp != persistedConfig_->appIDFromGMP()) persistedConfig_->setAppIDFromGMP(gmp);
    std::optional<std::string> zezud = identity->appIDFromZeZud();
    if (zezud != persistedConfig_->appIDFromZeZud()) persistedConfig_->setAppIDFromZeZud(zezud);
  }
  std::optional<std::string> origin = measurement::Identifiers::sharedInstance().origin();
  if (origin == "fa") persistedConfig_->setAppIDFromGMP(appID_);
  if (origin == "am") persistedConfig_->setAppIDFromZeZud(appID_);
}

// ---- Consent at start ----

void APMMeasurement::setProspectiveConsentSettings() {
  int64_t current = ConsentSettings::consentSource();
  std::optional<os::Dictionary> tcf = APMAnalytics::consentSettingsTCF();
  std::optional<os::Dictionary> thirdParty = APMAnalytics::consentSettings3P();
  os::Dictionary plist = ConsentSettings::consentSettingsFromPlist();
  std::optional<os::Dictionary> startUp = APMAnalytics::consentSettings1PStart();

  std::optional<os::Dictionary> chosen;
  int64_t source = kConsentSourceThirdParty;
  if (isNonEmpty(tcf) && ConsentSettings::isConsentSourceHigherPriority(kConsentSourceTCF) &&
      (!thirdParty || current == kConsentSourceTCF)) {
    chosen = tcf;
    source = kConsentSourceTCF;
  } else if (!plist.empty() &&
             ConsentSettings::isConsentSourceHigherPriority(kConsentSourcePlist)) {
    chosen = plist;
    source = kConsentSourcePlist;
  } else if (current == kConsentSourceStartUp || current == kConsentSourceFirstParty) {
    // The public interface is always present here: consent of an earlier start-up or of the
    // app itself is dropped, to be set again by this run.
    APMAnalytics::clearConsent();
    return;
  } else if (isNonEmpty(startUp) &&
             ConsentSettings::isConsentSourceHigherPriority(kConsentSourceStartUp)) {
    chosen = startUp;
    source = kConsentSourceStartUp;
  } else {
    chosen = thirdParty;
  }
  if (!isNonEmpty(chosen) || !ConsentSettings::isConsentSourceHigherPriority(source)) return;
  ConsentSettings::setConsentSettings(*chosen);
  ConsentSettings::setConsentSource(source);
  APMAnalytics::persistConsentSettings(*chosen, source);
}

void APMMeasurement::updateConsentSettingsUtilWithRemoteConfig() {
  std::shared_ptr<measurement::RemoteConfig> config = remoteConfigInstance();
  if (!config) return;
  std::optional<bool> previous = ConsentSettings::adPersonalization();
  bool dma = config->settings()->DMAConsentEnabled();
  if (dma) {
    os::Dictionary defaults = config->consentDefaults();
    os::Dictionary delegations = config->consentDelegations();
    if (!defaults.empty() || !delegations.empty()) {
      ConsentSettings::setDefaultSettings(defaults);
      ConsentSettings::setDelegatedSettings(delegations);
    }
  }
  if (config->regionalDefaultsEnabled()) {
    os::Dictionary regional = config->regionalDefaults();
    if (!regional.empty()) ConsentSettings::setRegionalDefaults(regional);
  } else {
    ConsentSettings::setRegionalDefaults(std::nullopt);
  }
  std::optional<bool> current = ConsentSettings::adPersonalization();
  if (dma && current && current != previous) shouldUpdateNPAUserProperty_ = true;
}

// ---- The non-personalized-ads user property ----

os::Value APMMeasurement::shouldDisableAdPersonalization() {
  os::Value allowed = persistedConfig_->allowPersonalizedAds();
  if (!allowed.isNull()) return os::Value(int64_t{allowed.boolValue() ? 0 : 1});
  bool dma = remoteConfig()->settings()->DMAConsentEnabled();
  std::optional<os::Dictionary> current = ConsentSettings::consentSettings();
  if (dma && current && current->contains(kAdPersonalization)) {
    std::optional<bool> granted = ConsentSettings::adPersonalization();
    if (granted) return os::Value(int64_t{*granted ? 0 : 1});
  }
  os::Value plist =
      os::Bundle::main().objectForInfoDictionaryKey(measurement::kDefaultAllowAdPersonalizationKey);
  if (!plist.isNull()) {
    if (!plist.isNumber() && !plist.isBool()) return os::Value(int64_t{0});
    foundAdPersonalizationPlistFlag_ = true;
    return os::Value(int64_t{plist.boolValue() ? 0 : 1});
  }
  if (!dma) return os::Value();
  std::optional<os::Dictionary> defaults = ConsentSettings::defaultSettings();
  if (!defaults) return os::Value();
  auto entry = defaults->find(kAdPersonalization);
  if (entry == defaults->end() || !entry->second.isString()) return os::Value();
  std::string status = os::text::lowercase(*entry->second.asString());
  if (status == "denied") return os::Value(int64_t{1});
  if (status == "granted") return os::Value(int64_t{0});
  return os::Value();
}

void APMMeasurement::setPersonalizedAdsUserPropertyOnWorkerQueue() {
  Scheduler::checkOnBackgroundThread("setPersonalizedAdsUserPropertyOnWorkerQueue");
  if (!database_) return;
  os::Error error;
  measurement::Lookup<measurement::UserAttribute> stored =
      database_->userAttributeWithName(kNPAName, &error);
  if (!stored) {
    monitor().log(MonitorLevel::kErrorSampled, 23172,
                  "Unable to read personalized ads user property. Error", error);
    return;
  }
  os::Value npa = shouldDisableAdPersonalization();
  if (npa.isNull()) {
    if (!*stored) return;
    if (!database_->deleteUserAttributeWithName(kNPAName, &error)) {
      monitor().log(MonitorLevel::kErrorSampled, 23173,
                    "Unable to remove personalized ads user property in the database. Error",
                    error);
      return;
    }
    monitor().log(MonitorLevel::kWarningSampled, 23180,
                  "No value set for personalized ads. Removing user property.");
    ConsentSettings::setDiagnosticSource(0, kAdPersonalization);
    return;
  }
  bool changed = !*stored || (*stored)->value().int64Value() != npa.integerValue();
  if (remoteConfig()->settings()->DMAConsentEnabled() && !ConsentSettings::adPersonalization()) {
    updateAdPersonalizationConsentFromNPAValue(npa);
  }
  if (!changed) return;
  std::optional<measurement::UserAttribute> attribute = measurement::UserAttribute::create(
      "auto", kNPAName, measurement::Value(npa.integerValue()), os::clock::now());
  if (attribute) setUserAttributeOnWorkerQueue(*attribute);
}

void APMMeasurement::updateAdPersonalizationConsentFromNPAValue(const os::Value& npa) {
  std::optional<bool> granted = ConsentSettings::adPersonalization();
  // Consent granted agrees with personalization not disabled, and the reverse.
  if (!npa.isNull() && granted && npa.boolValue() != *granted) return;
  bool disable = !npa.isNull() && npa.boolValue();
  ConsentSettings::updateSettings(
      os::Dictionary{{kAdPersonalization, disable ? "denied" : "granted"}});
  if (!persistedConfig_->allowPersonalizedAds().isNull()) {
    ConsentSettings::setDiagnosticSource(5, kAdPersonalization);
  } else if (!foundAdPersonalizationPlistFlag_) {
    std::optional<os::Dictionary> defaults = ConsentSettings::defaultSettings();
    if (defaults && defaults->contains(kAdPersonalization)) {
      ConsentSettings::setDiagnosticSource(1, kAdPersonalization);
    }
  } else {
    ConsentSettings::setDiagnosticSource(3, kAdPersonalization);
  }
}
