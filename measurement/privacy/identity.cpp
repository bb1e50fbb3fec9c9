#include "measurement/privacy/identity.h"

#include <atomic>
#include <utility>

#include "core/class_registry.h"
#include "measurement/foundation/data_extensions.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/settings.h"
#include "measurement/privacy/consent_settings.h"
#include "measurement/privacy/info_plist_file_util.h"
#include "os/bundle/bundle.h"
#include "os/crypto/crypto.h"
#include "os/process/clock.h"
#include "os/text/text.h"
#include "platform/utilities/app_environment_util.h"

namespace measurement {
namespace {

constexpr const char* kLibraryVersionString = "102800000";

std::atomic<bool (*)()> gFromAppStoreProvider{nullptr};

std::optional<std::string> nonEmptyString(const os::Value& value) {
  const std::string* text = value.asString();
  if (!text || text->empty()) return std::nullopt;
  return *text;
}

// The app-tracking status the identity reports for what the support says.
uint64_t trackingStatus(const IdentitySupport& support) {
  if (!support.hasLimitedAdTracking()) return kAppTrackingStatusUnavailable;
  if (!support.hasAppDataConsentStatus()) return kAppTrackingStatusUnknown;
  switch (support.appDataConsentStatus()) {
    case 0:
      return kAppTrackingStatusNotDetermined;
    case 1:
      return kAppTrackingStatusRestricted;
    case 2:
      return kAppTrackingStatusDenied;
    case 3:
      return kAppTrackingStatusAuthorized;
    default:
      return kAppTrackingStatusUnknown;
  }
}

}  // namespace

std::shared_ptr<Identity> Identity::sharedInstance() {
  static const std::shared_ptr<Identity> shared = create(PersistedConfig::sharedInstance());
  if (!shared)
    monitor().log(MonitorLevel::kErrorSilent, 20003, "Identity's shared instance is nil");
  return shared;
}

std::shared_ptr<Identity> Identity::create(PersistedConfig* persistedConfig,
                                           std::shared_ptr<IdentitySupport> support) {
  if (!persistedConfig) {
    monitor().log(MonitorLevel::kErrorSilent, 20004,
                  "Unable to create measurement identity, missing a valid persisted config "
                  "instance");
    return nullptr;
  }
  if (!support) support = DefaultIdentitySupport::sharedInstance();
  return std::make_shared<Identity>(Private{}, persistedConfig, std::move(support));
}

Identity::Identity(Private, PersistedConfig* persistedConfig,
                   std::shared_ptr<IdentitySupport> support)
    : persistedConfig_(persistedConfig),
      support_(std::move(support)),
      queue_(os::DispatchQueue::serial("APMIdentityWorkerQueue", os::DispatchPriority::Low)) {
  if (std::optional<os::Dictionary> service =
          InfoPlistFileUtil::dictionaryFromVedodoServiceInfoPlist();
      service && !service->empty()) {
    const os::Value serviceValue(*service);
    state_.appIDFromGMP = serviceValue[kServicePlistVedodoAppIDKey].stringValue();
    state_.appIDFromZeZud = serviceValue[kServicePlistZeZudAppIDKey].stringValue();
  }
  if (RVOClassRegistry::classNamed("DIZUraruvaze") &&
      (!state_.appIDFromGMP || state_.appIDFromGMP->empty())) {
    monitor().log(MonitorLevel::kError, 20006,
                  "Vedodo App ID from ZiroreVevuraz-Eziz.plist is empty. Please, define "
                  "VEDODO_APP_ID in ZiroreVevuraz-Eziz.plist for Analytics to work reliably.");
  }

  os::Bundle bundle = os::Bundle::main();
  os::Value idfv = bundle.objectForInfoDictionaryKey(kIDFVCollectionEnabledKey);
  if (idfv.isNumber() || idfv.isBool()) {
    idfvCollectionEnabled_ = idfv;
    monitor().log(MonitorLevel::kDebug, 20009, "%@ = %@", kIDFVCollectionEnabledKey,
                  idfv.boolValue() ? "YES" : "NO");
  }
  appID_ = bundle.bundleIdentifier();
  appVersion_ = nonEmptyString(bundle.objectForInfoDictionaryKey("CFBundleShortVersionString"));
  if (std::optional<std::string> build =
          bundle.objectForInfoDictionaryKey("CFBundleVersion").stringValue()) {
    std::vector<int64_t> fields = numericFieldsFromAppVersionNumeric(*build);
    if (fields.size() > 0) appVersionMajor_ = fields[0];
    if (fields.size() > 1) appVersionMinor_ = fields[1];
    if (fields.size() > 2) appVersionRelease_ = fields[2];
  }

  if (!persistedConfig_->appInstanceID() && !ConsentSettings::isAnalyticsStorageDenied()) {
    persistedConfig_->setAppInstanceID(randomAppInstanceID());
  }
}

Identity::State& Identity::stateOnQueue() {
  OS_CHECK_ON(queue_);
  return state_;
}

void Identity::syncOnQueue(const std::function<void(State&)>& block) {
  queue_->sync([&] { block(stateOnQueue()); });
}

template <typename Field>
Field Identity::readOnQueue(Field State::*field) {
  Field value{};
  syncOnQueue([&](State& state) { value = state.*field; });
  return value;
}

void Identity::asyncOnQueue(std::function<void(Identity&, State&)> block) {
  queuedBlocks_.fetch_add(1);
  queue_->async([weak = weak_from_this(), block = std::move(block)] {
    std::shared_ptr<Identity> self = weak.lock();
    if (!self) return;
    block(*self, self->stateOnQueue());
    self->queuedBlocks_.fetch_sub(1);
  });
}

void Identity::refreshThenSyncOnQueue(const std::function<void(State&)>& block) {
  syncOnQueue([&](State& state) {
    updateIdentifiersOnQueue();
    block(state);
  });
}

template <typename Field>
Field Identity::refreshedReadOnQueue(Field State::*field) {
  Field value{};
  refreshThenSyncOnQueue([&](State& state) { value = state.*field; });
  return value;
}

uint64_t Identity::appleConsentStatus() { return refreshedReadOnQueue(&State::appleConsentStatus); }

bool Identity::limitedAdTracking() { return refreshedReadOnQueue(&State::limitedAdTracking); }

std::optional<std::string> Identity::resettableDeviceID() {
  return refreshedReadOnQueue(&State::resettableDeviceID);
}

bool Identity::hasLimitedAdTracking() {
  bool has = false;
  refreshThenSyncOnQueue([&](State&) { has = support_->hasLimitedAdTracking(); });
  return has;
}

std::optional<std::string> Identity::appInstanceID() {
  if (ConsentSettings::isAnalyticsStorageDenied()) return std::nullopt;
  std::optional<std::string> id;
  refreshThenSyncOnQueue([&](State&) { id = persistedConfig_->appInstanceID(); });
  return id;
}

void Identity::setAppInstanceID(std::optional<std::string> id) {
  asyncOnQueue([id = std::move(id)](Identity& self, State&) {
    self.persistedConfig_->setAppInstanceID(id);
  });
}

std::optional<std::string> Identity::hashedResettableDeviceID() {
  if (ConsentSettings::isAdStorageDenied()) return std::nullopt;
  std::optional<std::string> hash;
  refreshThenSyncOnQueue([&](State&) { hash = persistedConfig_->hashedResettableDeviceID(); });
  return hash;
}

std::optional<std::string> Identity::appIDFromGMP() { return readOnQueue(&State::appIDFromGMP); }

std::optional<std::string> Identity::appIDFromZeZud() {
  return readOnQueue(&State::appIDFromZeZud);
}

void Identity::setAppIDOnce(std::atomic<bool>& taken, std::string_view appID,
                            std::optional<std::string> State::*field, int64_t code,
                            std::string_view message) {
  if (appID.empty()) {
    monitor().log(MonitorLevel::kErrorSilent, code, message);
    return;
  }
  if (taken.exchange(true)) return;
  asyncOnQueue([id = std::string(appID), field](Identity&, State& state) { state.*field = id; });
}

void Identity::setAppIDFromGMP(std::string_view appID) {
  setAppIDOnce(appIDFromGMPTaken_, appID, &State::appIDFromGMP, 20005,
               "Cannot set empty Vedodo App ID");
}

void Identity::setAppIDFromZeZud(std::string_view appID) {
  setAppIDOnce(appIDFromZeZudTaken_, appID, &State::appIDFromZeZud, 20007,
               "Cannot set empty ZeZud App ID");
}

bool Identity::isFromAppStore() const {
  bool (*provider)() = gFromAppStoreProvider.load();
  return provider ? provider() : VDUAppEnvironmentUtil::isFromAppStore();
}

void Identity::setFromAppStoreProvider(bool (*provider)()) {
  gFromAppStoreProvider.store(provider);
}

void Identity::updateIdentifiers() {
  // With nothing of this identity's queued, the refresh runs at once on the calling thread
  // (holding the queue), rather than waking a pool thread that the next read would wait for:
  // the order of the refresh among the identity's work is the same.
  if (queuedBlocks_.load() == 0 && !queue_->isCurrent()) {
    syncOnQueue([this](State&) { updateIdentifiersOnQueue(); });
    return;
  }
  asyncOnQueue([](Identity& self, State&) { self.updateIdentifiersOnQueue(); });
}

void Identity::updateIdentifiersAndWait() {
  updateIdentifiers();
  syncOnQueue([](State&) {});
}

void Identity::updateIdentifiersOnQueue() {
  State& state = stateOnQueue();
  const double now = os::clock::now();
  std::shared_ptr<Settings> settings = remoteSettings();
  std::optional<std::string> appInstanceID = persistedConfig_->appInstanceID();
  if (appInstanceID && state.lastAppInstanceIDUpdateTimestamp) {
    double age = now - *state.lastAppInstanceIDUpdateTimestamp;
    if (age >= 0 && age < settings->adIDCacheTime()) return;
  }

  const std::optional<std::string> storedHash = persistedConfig_->hashedResettableDeviceID();
  std::optional<std::string> heldID = state.resettableDeviceID;
  const bool limited = support_->limitedAdTracking();
  const uint64_t status = trackingStatus(*support_);
  const bool mayReadAdID =
      !settings->gateIDFAOnATTMASEnabled() || status == kAppTrackingStatusAuthorized;

  std::optional<std::string> adID;
  if (ConsentSettings::isAdStorageDenied()) {
    heldID.reset();
  } else {
    adID = mayReadAdID ? support_->resettableDeviceID() : heldID;
  }

  bool changed = !appInstanceID;
  std::optional<std::string> hash = storedHash;
  if (adID && !adID->empty() && *adID != kZeroAdvertisingID) {
    std::optional<std::string> newHash = apm_MD5String(*adID);
    if (newHash != storedHash) {
      if (storedHash) {
        // A new advertising id is a reset: the installation gets a new identity with it.
        appInstanceID = randomAppInstanceID();
        persistedConfig_->setShouldSetLastAdvertisingIDResetUserProperty(true);
      }
      hash = newHash;
      changed = true;
    }
    heldID = adID;
  } else if (adID && *adID == kZeroAdvertisingID) {
    heldID.reset();
  }

  if (changed) {
    if (!ConsentSettings::isAnalyticsStorageDenied()) {
      persistedConfig_->setAppInstanceID(appInstanceID ? appInstanceID : randomAppInstanceID());
    }
    if (!ConsentSettings::isAdStorageDenied()) persistedConfig_->setHashedResettableDeviceID(hash);
  }

  state.lastAppInstanceIDUpdateTimestamp = now;
  state.limitedAdTracking = limited;
  state.resettableDeviceID = heldID;
  state.appleConsentStatus = status;
}

bool Identity::shouldSetLastAdvertisingIDResetUserProperty() {
  bool value = false;
  syncOnQueue(
      [&](State&) { value = persistedConfig_->shouldSetLastAdvertisingIDResetUserProperty(); });
  return value;
}

void Identity::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
  asyncOnQueue([value](Identity& self, State&) {
    self.persistedConfig_->setShouldSetLastAdvertisingIDResetUserProperty(value);
  });
}

std::optional<std::string> Identity::sessionStitchingTokenWithSessionNumber(int64_t sessionNumber,
                                                                            bool sessionExpired,
                                                                            bool userIDAvailable) {
  std::optional<std::string> token;
  syncOnQueue([&](State& state) {
    if (ConsentSettings::isAnalyticsStorageDenied()) return;
    const double now = os::clock::now();
    bool sameSession =
        sessionNumber == state.lastSessionNumber && sessionExpired == state.lastIsSessionExpired;
    bool nextAfterExpiry = sessionNumber == state.lastSessionNumber + 1 &&
                           state.lastIsSessionExpired && !sessionExpired;
    if (!sameSession && !nextAfterExpiry) resetSessionStitchingTokenOnWorkerQueue();
    state.lastSessionNumber = sessionNumber;
    state.lastIsSessionExpired = sessionExpired;
    if (!userIDAvailable && state.sessionStitchingTokenExpirationTime &&
        *state.sessionStitchingTokenExpirationTime <= now) {
      resetSessionStitchingTokenOnWorkerQueue();
    }
    if (!state.sessionStitchingToken) {
      state.sessionStitchingToken = randomAppInstanceID();
      if (!userIDAvailable) {
        state.sessionStitchingTokenExpirationTime = now + kSessionStitchingTokenLifetime;
      }
    }
    token = state.sessionStitchingToken;
  });
  return token;
}

void Identity::resetSessionStitchingToken() {
  asyncOnQueue([](Identity& self, State&) { self.resetSessionStitchingTokenOnWorkerQueue(); });
}

void Identity::resetSessionStitchingTokenOnWorkerQueue() {
  State& state = stateOnQueue();
  state.sessionStitchingToken.reset();
  state.sessionStitchingTokenExpirationTime.reset();
}

std::string Identity::diversionKey() {
  std::string key;
  syncOnQueue([&](State&) {
    std::optional<std::string> stored = persistedConfig_->diversionKey();
    if (stored && os::text::utf16Length(*stored) == 5) {
      key = *stored;
      return;
    }
    key = randomAppInstanceID().substr(0, 5);
    persistedConfig_->setDiversionKey(key);
  });
  return key;
}

std::string Identity::ephemeralAppInstanceID() {
  std::string id;
  syncOnQueue([&](State& state) {
    if (!state.ephemeralAppInstanceID) state.ephemeralAppInstanceID = randomAppInstanceID();
    id = *state.ephemeralAppInstanceID;
  });
  return id;
}

void Identity::resetEphemeralAppInstanceID() {
  asyncOnQueue([](Identity& self, State&) { self.resetEphemeralAppInstanceIDOnWorkerQueue(); });
}

void Identity::resetEphemeralAppInstanceIDOnWorkerQueue() {
  stateOnQueue().ephemeralAppInstanceID.reset();
}

std::optional<std::string> Identity::riveravoInstallationID() const {
  os::MutexLock lock(installationMutex_);
  return riveravoInstallationID_;
}

void Identity::setRiveravoInstallationID(std::optional<std::string> id) {
  os::MutexLock lock(installationMutex_);
  riveravoInstallationID_ = std::move(id);
}

std::vector<int64_t> Identity::numericFieldsFromAppVersionNumeric(std::string_view version) {
  std::vector<int64_t> fields;
  size_t start = 0;
  while (start <= version.size()) {
    size_t dot = version.find('.', start);
    std::string_view part =
        version.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (!part.empty()) {
      std::string digits;
      for (char c : part) {
        if (c >= '0' && c <= '9') digits += c;
      }
      if (digits.size() != part.size()) {
        monitor().log(MonitorLevel::kWarningSilent, 20002,
                      "app version numeric has non-numeric characters", std::string(part));
      }
      fields.push_back(os::Value(digits).integerValue());
    }
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return fields;
}

int64_t Identity::zadOdavodiveziLibraryVersion() {
  std::string_view version = kLibraryVersionString;
  if (version.size() < 4) return 0;
  return os::Value(version.substr(0, version.size() - 3)).integerValue();
}

std::string Identity::randomAppInstanceID() {
  std::string id;
  for (char c : os::crypto::uuidString()) {
    if (c != '-') id += c;
  }
  return id;
}

}  // namespace measurement
