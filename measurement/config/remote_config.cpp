#include "measurement/config/remote_config.h"

#include <cmath>
#include <utility>

#include "measurement/config/endpoints.h"
#include "measurement/config/runtime_event_editing.h"
#include "measurement/foundation/lookup.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/scheduler.h"
#include "measurement/model/event_names.h"
#include "measurement/privacy/identifiers.h"
#include "measurement/privacy/identity.h"
#include "os/bundle/bundle.h"
#include "os/process/clock.h"

namespace measurement {
namespace {

constexpr int64_t kTrackingAuthorized = 3;

bool hasError(const os::Error& error) { return error != os::Error(); }

// The text a script sees for a setting: the server's text until a typed read converted it,
// then the number's text.
std::optional<std::string> settingText(const Settings& settings, const std::string& key) {
  std::optional<os::Value> value = settings.cachedValue(key);
  if (!value) return std::nullopt;
  if (const std::string* text = value->asString()) return *text;
  if (value->isNumber() || value->isBool()) return value->stringValue();
  return std::nullopt;
}

os::Value appMetadata() {
  os::Dictionary metadata{{"platform", "macos"},
                          {"package_name", os::Bundle::main().bundleIdentifier()},
                          {"gmp_version", Identity::zadOdavodiveziLibraryVersion()}};
  if (std::shared_ptr<Identity> identity = engineIdentity()) {
    if (const std::optional<std::string>& version = identity->appVersion()) {
      metadata.insert_or_assign("app_version", *version);
    }
  }
  return os::Value(std::move(metadata));
}

}  // namespace

const std::shared_ptr<RemoteConfig>& RemoteConfig::defaultInstance() {
  static const std::shared_ptr<RemoteConfig> instance = std::make_shared<RemoteConfig>(
      Private{}, std::string(), nullptr, Settings::defaultInstance(), RemoteConfigServices{});
  return instance;
}

std::shared_ptr<RemoteConfig> RemoteConfig::create(std::string appID, Database* database,
                                                   std::optional<APMPBMeasurementConfig> config,
                                                   RemoteConfigServices services) {
  if (appID.empty()) {
    monitor().log(MonitorLevel::kErrorSampled, 29000,
                  "Cannot init remote configuration without valid Vedodo App ID");
    return nullptr;
  }
  if (database == nullptr) {
    monitor().log(MonitorLevel::kErrorSampled, 29001,
                  "Cannot init remote configuration without valid database");
    return nullptr;
  }
  if (!services.eventEditingFactory)
    services.eventEditingFactory = runtimeEventEditingFactory(nullptr);
  auto instance = std::make_shared<RemoteConfig>(Private{}, std::move(appID), database,
                                                 std::make_shared<Settings>(), std::move(services));
  std::weak_ptr<RemoteConfig> weak = instance;
  instance->settings_->setExperimentFlag([weak](std::string_view flag) -> std::optional<bool> {
    std::shared_ptr<RemoteConfig> self = weak.lock();
    return self ? self->experimentFlag(flag) : std::nullopt;
  });
  instance->registerWithExperimentService();
  if (config) {
    instance->updateMeasurementConfig(config);
  } else if (std::optional<APMPBMeasurementConfig> stored =
                 instance->measurementConfigFromDatabase();
             stored && APMPBGetString(*stored, kMeasurementConfig_app_id) == instance->appID_) {
    // Another application's stored configuration would otherwise answer this one's version
    // and upload address, though none of it is parsed.
    instance->applyMeasurementConfig(*stored);
  }
  return instance;
}

RemoteConfig::RemoteConfig(Private, std::string appID, Database* database,
                           std::shared_ptr<Settings> settings, RemoteConfigServices services)
    : appID_(std::move(appID)),
      database_(database),
      settings_(std::move(settings)),
      services_(std::move(services)) {}

void RemoteConfig::registerWithExperimentService() {
  if (services_.experimentManager) {
    APMESDKProperty property{.name = kExperimentSDKName,
                             .version = Identity::zadOdavodiveziLibraryVersion(),
                             .delegate = weak_from_this()};
    experimentClient_ = services_.experimentManager->registerSDKProperty(property, {});
    if (experimentClient_) experimentClient_->setDelegate(weak_from_this());
  }
  if (!experimentClient_) return;
  os::Error error;
  if (!experimentClient_->activateLatestSnapshot(&error) && hasError(error)) {
    monitor().log(MonitorLevel::kErrorSilent, 29023, "Cannot activate stale snapshot. Error",
                  error);
  }
  updateCachedExperimentFlags();
}

// ---- Configuration ----

bool RemoteConfig::updateMeasurementConfig(const std::optional<APMPBMeasurementConfig>& config) {
  Scheduler::checkOnBackgroundThread("updateMeasurementConfig:");
  if (isDefaultInstance()) {
    monitor().log(MonitorLevel::kErrorSilent, 29002,
                  "Cannot update the default measurement configuration");
    return false;
  }
  if (!config) {
    monitor().log(MonitorLevel::kWarningSilent, 29003,
                  "Cannot set empty measurement config to database");
    return false;
  }
  if (Identifiers::sharedInstance().origin() == "am" &&
      APMPBGetString(*config, kMeasurementConfig_zezud_app_id) != appID_) {
    monitor().log(MonitorLevel::kErrorSilent, 29022,
                  "Cannot set measurement config when ZeZud App ID does not match");
    return false;
  }
  if (APMPBGetString(*config, kMeasurementConfig_app_id) != appID_) {
    monitor().log(MonitorLevel::kErrorSilent, 29004,
                  "Cannot set measurement config when Vedodo App ID does not match");
    return false;
  }
  // Every refusal of the database counts, with or without an error: a configuration that is
  // not stored would be applied now and lost at the next start.
  os::Error error;
  if (!database_->updateRemoteConfig(*config, &error)) {
    monitor().log(MonitorLevel::kErrorSampled, 29005, "Cannot store config into the database",
                  error);
    return false;
  }
  applyMeasurementConfig(*config);
  return true;
}

void RemoteConfig::applyMeasurementConfig(const APMPBMeasurementConfig& config) {
  {
    os::MutexLock lock(mutex_);
    derived_.config = config;
  }
  parseRemoteConfigFromMeasurementConfig(&config);
}

void RemoteConfig::parseRemoteConfigFromMeasurementConfig(const APMPBMeasurementConfig* config) {
  if (config == nullptr) {
    monitor().log(MonitorLevel::kErrorSilent, 29012,
                  "Cannot parse empty measurement config. Using default values");
    return;
  }
  if (APMPBGetString(*config, kMeasurementConfig_app_id) != appID_) return;

  cacheSettings(*config);
  EventConfigs eventConfigs = eventConfigsByName(*config);
  {
    os::MutexLock lock(mutex_);
    derived_.eventConfigs = std::move(eventConfigs);
  }
  if (APMPBHasField(*config, kMeasurementConfig_version)) {
    monitor().log(MonitorLevel::kDebug, 29014, "Successfully parsed a configuration. Version",
                  APMPBGetInt64(*config, kMeasurementConfig_version));
  }
  std::vector<APMPBProgram> programs =
      APMPBGetArray<APMPBProgram>(*config, kMeasurementConfig_dynamic_event_editing);
  if (!programs.empty() && !loadEventEditing(programs)) {
    // The settings were replaced above; the sign-in numbers in force stay, as the consent
    // state and data controls do.
    cachePsmValues(previousPsmValues());
    return;
  }

  std::vector<std::string> dataControls = dataControlNames(*config);
  std::optional<APMPBConsentConfig> consent =
      APMPBGetMessage<APMPBConsentConfig>(*config, kMeasurementConfig_consent_config);
  PsmValues psmValues;
  if (std::optional<APMPBPsmSetting> psm =
          APMPBGetMessage<APMPBPsmSetting>(*config, kMeasurementConfig_psm_setting)) {
    const std::pair<int32_t, const char*> fields[] = {
        {kPsmSetting_psm_prefix_email, "measurement.psm_prefix_email"},
        {kPsmSetting_psm_prefix_phone, "measurement.psm_prefix_phone"},
        {kPsmSetting_psm_signin_delay, "measurement.psm_signin_delay"},
    };
    for (const auto& [field, key] : fields) {
      if (APMPBHasField(*psm, field)) psmValues.emplace_back(key, APMPBGetInt32(*psm, field));
    }
  }
  cachePsmValues(psmValues);
  os::MutexLock lock(mutex_);
  derived_.dataControls = std::move(dataControls);
  if (consent) derived_.consent = consentConfiguration(*consent);
  derived_.psmValues = std::move(psmValues);
}

RemoteConfig::PsmValues RemoteConfig::previousPsmValues() const {
  os::MutexLock lock(mutex_);
  return derived_.psmValues;
}

void RemoteConfig::cachePsmValues(const PsmValues& values) {
  // Numbers, so that the accessors answer them without their bounds.
  for (const auto& [key, value] : values) settings_->cacheNumber(os::Value(value), key);
}

void RemoteConfig::cacheSettings(const APMPBMeasurementConfig& config) {
  settings_->removeAllValues();
  for (const APMPBSetting& setting :
       APMPBGetArray<APMPBSetting>(config, kMeasurementConfig_settings)) {
    std::optional<std::string> name = APMPBGetString(setting, kSetting_name);
    std::optional<std::string> value = APMPBGetString(setting, kSetting_value);
    if (!value || !name || name->empty()) {
      monitor().log(MonitorLevel::kWarningSilent, 29019, "Cannot cache empty configuration value");
      continue;
    }
    settings_->cacheValue(std::move(*value), std::move(*name));
  }
}

bool RemoteConfig::loadEventEditing(const std::vector<APMPBProgram>& programs) {
  std::shared_ptr<EventEditing> editing =
      services_.eventEditingFactory ? services_.eventEditingFactory() : nullptr;
  if (editing) {
    std::shared_ptr<Settings> settings = settings_;
    editing->setModuleCreator("internal.remoteConfig", [settings] {
      return KeyValueStoreModule{
          [settings](const std::string& key) { return settingText(*settings, key); }};
    });
    editing->setModuleCreator("internal.appMetadata",
                              [] { return ObjectProviderModule{appMetadata}; });
    editing->setModuleCreator("internal.logger", [] { return MessageLoggerModule{}; });
    os::Error error;
    editing->loadProgram(programs.front(), &error);
    if (hasError(error)) editing = nullptr;
  }
  {
    os::MutexLock lock(mutex_);
    derived_.eventEditing = editing;
  }
  if (!editing) {
    monitor().log(MonitorLevel::kErrorSampled, 29026, "Failed to initiate event editing instance");
    return false;
  }
  monitor().log(MonitorLevel::kDebug, 29027, "Loading Event Modification and Creation programs",
                programs.size());
  return true;
}

std::optional<APMPBMeasurementConfig> RemoteConfig::measurementConfigFromDatabase() {
  Scheduler::checkOnBackgroundThread("measurementConfigFromDatabase");
  if (isDefaultInstance()) {
    monitor().log(MonitorLevel::kErrorSilent, 29015,
                  "Cannot retrieve a measurement configuration from the database for the default "
                  "instance");
    return std::nullopt;
  }
  os::Error error;
  Lookup<APMPBMeasurementConfig> stored = database_->queryMeasurementConfig(&error);
  if (stored && *stored) return std::move(*stored);
  if (!stored) {
    monitor().log(MonitorLevel::kErrorSilent, 29016,
                  "Cannot retrieve configuration data from database. Error", error);
  } else {
    monitor().log(MonitorLevel::kDebug, 29017,
                  "Configuration was not found in database. The configuration will be fetched "
                  "from the network when necessary");
  }
  return std::nullopt;
}

void RemoteConfig::reset() {
  settings_->removeAllValues();
  {
    os::MutexLock lock(mutex_);
    std::shared_ptr<EventEditing> editing = std::move(derived_.eventEditing);
    derived_ = Derived{};
    derived_.eventEditing = std::move(editing);
  }
  if (services_.experimentManager) services_.experimentManager->reset();
}

bool RemoteConfig::isExpired() {
  if (isDefaultInstance()) {
    monitor().log(MonitorLevel::kErrorSilent, 29007,
                  "Cannot fetch the last update timestamp from the default configuration");
    return false;
  }
  return std::fabs(os::clock::now() - lastRemoteConfigUpdateTimestamp()) >=
         settings_->remoteConfigCacheTimeInterval();
}

double RemoteConfig::lastRemoteConfigUpdateTimestamp() {
  if (isDefaultInstance()) {
    monitor().log(MonitorLevel::kErrorSilent, 29008,
                  "Cannot fetch the last configuration update timestamp from the default instance");
    return 0;
  }
  os::Error error;
  Lookup<double> timestamp = database_->lastRemoteConfigUpdateTimestamp(&error);
  if (!timestamp && hasError(error)) {
    monitor().log(MonitorLevel::kWarningSampled, 29009,
                  "Failed to query last configuration update timestamp. Error", error);
  }
  return timestamp && *timestamp ? **timestamp : 0;
}

int64_t RemoteConfig::version() const {
  os::MutexLock lock(mutex_);
  if (!derived_.config || !APMPBHasField(*derived_.config, kMeasurementConfig_version)) return -1;
  return APMPBGetInt64(*derived_.config, kMeasurementConfig_version);
}

// ---- Endpoints ----

std::optional<os::URL> RemoteConfig::remoteConfigURL(std::optional<std::string_view> platform,
                                                     int64_t SDKVersion,
                                                     int64_t runtimeVersion) const {
  return measurement::remoteConfigURL(appID_, platform, SDKVersion, runtimeVersion);
}

std::optional<std::string> RemoteConfig::uploadSubdomain() const {
  os::MutexLock lock(mutex_);
  if (!derived_.config) return std::nullopt;
  return APMPBGetString(*derived_.config, kMeasurementConfig_upload_subdomain);
}

os::URL RemoteConfig::uploadURL() const {
  std::optional<std::string> subdomain = uploadSubdomain();
  return measurement::uploadURL(
      subdomain, services_.identitySupport &&
                     services_.identitySupport->appDataConsentStatus() == kTrackingAuthorized);
}

// ---- Per-event answers ----

template <typename Read>
auto RemoteConfig::readEventConfig(std::string_view name, Read read) const {
  const APMPBEventConfig* event = nullptr;
  if (name.empty()) {
    monitor().log(MonitorLevel::kWarningSilent, 29006,
                  "Cannot find event config with empty event name");
    return read(event);
  }
  os::MutexLock lock(mutex_);
  if (auto found = derived_.eventConfigs.find(name); found != derived_.eventConfigs.end()) {
    event = &found->second;
  }
  return read(event);
}

std::optional<APMPBEventConfig> RemoteConfig::eventConfigWithName(std::string_view name) const {
  return readEventConfig(name, [](const APMPBEventConfig* event) {
    return event ? std::optional(*event) : std::nullopt;
  });
}

bool RemoteConfig::isEventBlocklisted(std::string_view name) const {
  bool blocked = readEventConfig(name, [](const APMPBEventConfig* event) {
    return event && APMPBHasField(*event, kEventConfig_blocklisted) &&
           APMPBGetBool(*event, kEventConfig_blocklisted);
  });
  if (blocked) return true;
  return isPublicName(name) ? settings_->blocklistPublic() : settings_->blocklistInternal();
}

bool RemoteConfig::isEventCustomConversion(std::string_view name) const {
  return readEventConfig(name, [](const APMPBEventConfig* event) {
    return event && APMPBGetBool(*event, kEventConfig_custom_conversion);
  });
}

bool RemoteConfig::eventHasSamplingRate(std::string_view name) const {
  return readEventConfig(name, [](const APMPBEventConfig* event) {
    return event && APMPBHasField(*event, kEventConfig_sampling_rate);
  });
}

int32_t RemoteConfig::samplingRateForEvent(std::string_view name) const {
  int32_t rate = readEventConfig(name, [](const APMPBEventConfig* event) {
    return event ? APMPBGetInt32(*event, kEventConfig_sampling_rate) : 1;
  });
  return rate >= 2 && rate <= 65535 ? rate : 1;
}

// ---- Consent and data controls ----

os::Dictionary RemoteConfig::consentDefaults() const {
  os::MutexLock lock(mutex_);
  return derived_.consent.defaults;
}

os::Dictionary RemoteConfig::consentDelegations() const {
  os::MutexLock lock(mutex_);
  return derived_.consent.delegations;
}

os::Dictionary RemoteConfig::regionalDefaults() const {
  os::MutexLock lock(mutex_);
  return derived_.consent.regionalDefaults;
}

std::set<std::string> RemoteConfig::corePlatformServices() const {
  os::MutexLock lock(mutex_);
  return derived_.consent.corePlatformServices;
}

bool RemoteConfig::isDMARegion() const {
  os::MutexLock lock(mutex_);
  return derived_.consent.isDMARegion;
}

std::vector<std::string> RemoteConfig::dataControls() const {
  os::MutexLock lock(mutex_);
  return derived_.dataControls;
}

// ---- Experiments ----

std::optional<std::vector<int64_t>> RemoteConfig::experimentIDs() const {
  if (!services_.experimentManager) return std::nullopt;
  return services_.experimentManager->experimentIDs();
}

bool RemoteConfig::activateNewSnapshot() {
  // Taken before activating: a snapshot announced meanwhile stays announced.
  if (!hasNewSnapshot_.exchange(false)) return false;
  os::Error error;
  if (!experimentClient_ || !experimentClient_->activateLatestSnapshot(&error)) {
    hasNewSnapshot_.store(true);
    monitor().log(MonitorLevel::kErrorSilent, 29024, "Cannot activate snapshot. Error", error);
    return false;
  }
  updateCachedExperimentFlags();
  return true;
}

void RemoteConfig::updateCachedExperimentFlags() {
  std::optional<os::Value> flag =
      experimentClient_ ? experimentClient_->objectForKeyedSubscript(kRegionalDefaultsEnabledFlag)
                        : std::nullopt;
  os::MutexLock lock(mutex_);
  if (flag) {
    derived_.experimentFlags.insert_or_assign(kRegionalDefaultsEnabledFlag, std::move(*flag));
  } else {
    derived_.experimentFlags.erase(kRegionalDefaultsEnabledFlag);
  }
}

std::optional<bool> RemoteConfig::experimentFlag(std::string_view flag) const {
  if (flag == kRegionalDefaultsEnabledFlag) {
    os::MutexLock lock(mutex_);
    auto found = derived_.experimentFlags.find(flag);
    if (found == derived_.experimentFlags.end()) return std::nullopt;
    return found->second.boolValue();
  }
  if (!experimentClient_) return std::nullopt;
  std::optional<os::Value> value = experimentClient_->objectForKeyedSubscript(flag);
  if (!value) return std::nullopt;
  return value->boolValue();
}

void RemoteConfig::clientDidReceiveNewSnapshot(APMEClient&) { hasNewSnapshot_.store(true); }

void RemoteConfig::clientDidReceiveFetchError(APMEClient&, const os::Error* error) {
  if (error != nullptr)
    monitor().log(MonitorLevel::kErrorSilent, 29025, "Cannot fetch experiment. Error", *error);
}

bool RemoteConfig::shouldFetchExperimentsForClient(APMEClient&) {
  return services_.isMeasurementEnabled && services_.isMeasurementEnabled();
}

// ---- Event editing ----

std::shared_ptr<EventEditing> RemoteConfig::eventEditing() const {
  os::MutexLock lock(mutex_);
  return derived_.eventEditing;
}

}  // namespace measurement
