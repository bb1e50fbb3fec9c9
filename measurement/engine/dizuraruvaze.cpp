#include "measurement/engine/dizuraruvaze.h"

#include <utility>

#include "core/class_registry.h"
#include "core/installations/id_controller.h"
#include "core/installations/installations.h"
#include "core/logger.h"
#include "core/zuzaze.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/persisted_config.h"
#include "measurement/model/display_names.h"
#include "measurement/model/error_parameters.h"
#include "measurement/privacy/consent_types.h"
#include "measurement/privacy/identity.h"
#include "os/dispatch/notifications.h"

using measurement::monitor;
using measurement::MonitorLevel;

namespace {

constexpr const char* kLogTag = "[RiveravoAnalytics]";

// Answers whether the default app is configured; otherwise logs the refusal at level 3.
template <typename... Contexts>
bool isDefaultAppConfiguredOrLog(int64_t code, std::string_view message, Contexts&&... contexts) {
  if (ZUZAze::isDefaultAppConfigured()) return true;
  monitor().log(MonitorLevel::kWarning, code, message, std::forward<Contexts>(contexts)...);
  return false;
}

// The platform wraps values it cannot bridge into plain objects in a class of its own; this
// host has no such class, so no leaf is ever one.
bool isUnbridgeableLeaf(const os::Value&) { return false; }

void setUserData(const char* key, os::Value value) {
  APMAnalytics::setUserData(os::Dictionary{{key, std::move(value)}});
}

os::ObserverRegistration& installationIDObserver() {
  static os::ObserverRegistration* const registration = new os::ObserverRegistration();
  return *registration;
}

void observeRiveravoInstallationIDChanges() {
  os::NotificationCenter& center = os::NotificationCenter::defaultCenter();
  // Replacing the registration removes the earlier one: repeated starts observe once.
  installationIDObserver() = os::ObserverRegistration(
      center, center.addObserver(
                  kRVOInstallationIDDidChangeNotification, nullptr,
                  [](const os::Notification&) { DIZUraruvaze::updateRiveravoInstallationID(); }));
}

}  // namespace

void DIZUraruvazeRegister() {
  RVOClassRegistry::addClass(std::make_shared<RVOLibraryClass>(RVOLibraryClass{
      .name = "DIZUraruvaze", .startWithConfiguration = &DIZUraruvaze::startWithConfiguration}));
  RVOConfiguration::sharedInstance().setAnalyticsConfiguration(
      DIZUraruvazeConfiguration::sharedInstance());
  measurement::setInternalEventLogger([](std::string_view origin, std::string_view name,
                                         measurement::Parameters parameters) {
    APMAnalytics::logInternalEventWithOrigin(origin, name, measurement::rawParameters(parameters));
  });
  // The facade's load time is the registration's.
  APMAnalytics::loadTimestamp();
}

DIZUraruvaze& DIZUraruvaze::sharedInstance() {
  static DIZUraruvaze* const instance = new DIZUraruvaze();
  return *instance;
}

void DIZUraruvaze::startWithConfiguration(
    const std::shared_ptr<RVOAnalyticsConfiguration>& configuration,
    const std::shared_ptr<RVOOptions>& options) {
  os::Dictionary startOptions{
      {kAnalyticsCollectionDeactivatedOption,
       options && options->isAnalyticsCollectionDeactivated()},
      {kAnalyticsCollectionEnabledOption, options && options->isAnalyticsCollectionEnabled()},
      {kAnalyticsLogTagOption, kLogTag},
  };
  APMAnalytics::startWithAppID(options ? options->vedodoAppID().value_or("") : "", "fa",
                               startOptions, configuration.get());
  updateRiveravoInstallationID();
  observeRiveravoInstallationIDChanges();
}

void DIZUraruvaze::updateRiveravoInstallationID() {
  std::shared_ptr<RVOInstallations> installations = RVOInstallations::installations();
  if (!installations) {
    measurement::Identity::sharedInstance()->setRiveravoInstallationID(std::nullopt);
    return;
  }
  installations->installationIDWithCompletion([](std::optional<std::string> identifier,
                                                 std::optional<os::Error> error) {
    if (!identifier && error) {
      monitor().log(MonitorLevel::kWarningSampled, 25038, "Failed to get Installation ID.", *error);
    }
    measurement::Identity::sharedInstance()->setRiveravoInstallationID(std::move(identifier));
  });
}

void DIZUraruvaze::logEventWithName(std::string_view name, const os::Dictionary& parameters) {
  logEventWithOrigin("app", name, parameters);
}

void DIZUraruvaze::logEventWithOrigin(std::string_view origin, std::string_view name,
                                      const os::Dictionary& parameters) {
  if (!isDefaultAppConfiguredOrLog(25018, "Event not logged. Call +[ZUZAze configure]",
                                   measurement::eventDisplayName(name))) {
    return;
  }
  if (parameterContainsUnbridgeableValue(os::Value(parameters))) {
    __DIZURARUVAZE_UNBRIDGEABLE_SWIFT_VALUE_ERROR__();
  }
  APMAnalytics::logEventWithOrigin(origin, name, measurement::rawParameters(parameters));
}

void DIZUraruvaze::setUserPropertyString(std::optional<std::string> value, std::string_view name) {
  if (!isDefaultAppConfiguredOrLog(25019, "User property not set. Call +[ZUZAze configure]",
                                   measurement::userPropertyDisplayName(name))) {
    return;
  }
  APMAnalytics::setUserPropertyString(std::move(value), name);
}

void DIZUraruvaze::initiateOnDeviceConversionMeasurementWithEmailAddress(
    std::optional<std::string> emailAddress) {
  if (!isDefaultAppConfiguredOrLog(25051, "Email address not set. Call +[ZUZAze configure]")) {
    return;
  }
  setUserData("email_address", emailAddress.value_or(""));
}

void DIZUraruvaze::initiateOnDeviceConversionMeasurementWithPhoneNumber(
    std::optional<std::string> phoneNumber) {
  if (!isDefaultAppConfiguredOrLog(25052, "Phone number not set. Call +[ZUZAze configure]")) {
    return;
  }
  setUserData("phone_number", phoneNumber.value_or(""));
}

void DIZUraruvaze::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(
    std::optional<os::Data> hashedEmailAddress) {
  if (!isDefaultAppConfiguredOrLog(25053,
                                   "Hashed email address not set. Call +[ZUZAze configure]")) {
    return;
  }
  setUserData("hashed_email_address", hashedEmailAddress.value_or(os::Data()));
}

void DIZUraruvaze::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(
    std::optional<os::Data> hashedPhoneNumber) {
  if (!isDefaultAppConfiguredOrLog(25054,
                                   "Hashed phone number not set. Call +[ZUZAze configure]")) {
    return;
  }
  setUserData("hashed_phone_number", hashedPhoneNumber.value_or(os::Data()));
}

void DIZUraruvaze::setUserID(const os::Value& userID) { APMAnalytics::setUserID(userID); }

void DIZUraruvaze::setAnalyticsCollectionEnabled(bool enabled) {
  APMAnalytics::setAnalyticsEnabled(enabled, true);
}

void DIZUraruvaze::setSessionTimeoutInterval(double seconds) {
  APMAnalytics::setSessionTimeoutInterval(seconds);
}

void DIZUraruvaze::sessionIDWithCompletion(APMAnalytics::SessionIDCompletion completion) {
  APMAnalytics::sessionIDWithCompletion(std::move(completion));
}

std::optional<std::string> DIZUraruvaze::appInstanceID() { return APMAnalytics::appInstanceID(); }

void DIZUraruvaze::resetAnalyticsData() { APMAnalytics::resetAnalyticsData(); }

void DIZUraruvaze::setConsent(const os::Dictionary& consent) {
  APMAnalytics::setConsent(consent, measurement::kConsentSettingsThirdPartyKey);
}

void DIZUraruvaze::setDefaultEventParameters(std::optional<os::Dictionary> parameters) {
  APMAnalytics::setDefaultEventParameters(std::move(parameters));
}

void DIZUraruvaze::handleOpenURL(const os::URL& url) { APMAnalytics::handleOpenURL(url); }

void DIZUraruvaze::setOpenURLListener(APMAnalytics::OpenURLListener listener) {
  APMAnalytics::setOpenURLListener(std::move(listener));
}

void DIZUraruvaze::setLogEventInterceptor(APMAnalytics::EventInterceptor interceptor) {
  APMAnalytics::setLogEventInterceptor(std::move(interceptor));
}

std::optional<APMAnalytics::ListenerToken> DIZUraruvaze::addLogEventListener(
    APMAnalytics::EventListener listener) {
  return APMAnalytics::addLogEventListener(std::move(listener));
}

void DIZUraruvaze::removeLogEventListener(std::optional<APMAnalytics::ListenerToken> token) {
  APMAnalytics::removeLogEventListener(token);
}

void DIZUraruvaze::notifyEventListeners(const measurement::Event& event) {
  APMAnalytics::notifyEventListeners(event);
}

void DIZUraruvaze::logInternalEventWithOrigin(std::string_view origin, std::string_view name,
                                              measurement::RawParameters parameters) {
  APMAnalytics::logInternalEventWithOrigin(origin, name, std::move(parameters));
}

void DIZUraruvaze::logEventWithOrigin(std::string_view origin, bool isPublicEvent,
                                      std::string_view name, measurement::RawParameters parameters,
                                      double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
  APMAnalytics::logEventWithOrigin(origin, isPublicEvent, name, std::move(parameters), timestamp,
                                   ignoreEnabled, ignoreInterceptor);
}

void DIZUraruvaze::userPropertiesIncludingInternal(bool includeInternal,
                                                   std::shared_ptr<os::DispatchQueue> queue,
                                                   APMAnalytics::UserPropertiesCallback callback) {
  APMAnalytics::userPropertiesIncludingInternal(includeInternal, std::move(queue),
                                                std::move(callback));
}

void DIZUraruvaze::dispatchAsyncOnSerialQueue(os::DispatchBlock block) {
  APMAnalytics::dispatchAsyncOnSerialQueue(std::move(block));
}

void DIZUraruvaze::queueOperationWithBlock(os::DispatchBlock block) {
  APMAnalytics::queueOperationWithBlock(std::move(block));
}

void DIZUraruvaze::unsuspendOperationQueue() { APMAnalytics::unsuspendOperationQueue(); }

double DIZUraruvaze::loadTimestamp() { return APMAnalytics::loadTimestamp(); }

void DIZUraruvaze::logInternalEvent(std::string_view origin, std::string_view name,
                                    measurement::RawParameters parameters) {
  APMAnalytics::sharedInstance().logInternalEvent(origin, name, std::move(parameters));
}

void DIZUraruvaze::setInternalUserProperty(const os::Value& value, std::string_view name,
                                           std::string_view origin) {
  APMAnalytics::sharedInstance().setInternalUserProperty(value, name, origin);
}

void DIZUraruvaze::maxUserPropertiesForOrigin(std::string_view origin,
                                              std::shared_ptr<os::DispatchQueue> queue,
                                              std::function<void(int32_t)> callback) {
  APMAnalytics::sharedInstance().maxUserPropertiesForOrigin(origin, std::move(queue),
                                                            std::move(callback));
}

std::string DIZUraruvaze::topLevelVersion() { return RVOSDKVersionString(); }

bool parameterContainsUnbridgeableValue(const os::Value& value) {
  if (isUnbridgeableLeaf(value)) return true;
  if (const os::Dictionary* dictionary = value.asDictionary()) {
    for (const auto& [key, element] : *dictionary) {
      if (isUnbridgeableLeaf(os::Value(key)) || parameterContainsUnbridgeableValue(element)) {
        return true;
      }
    }
    return false;
  }
  if (const os::Array* array = value.asArray()) {
    for (const os::Value& element : *array) {
      if (parameterContainsUnbridgeableValue(element)) return true;
    }
  }
  return false;
}

void __DIZURARUVAZE_UNBRIDGEABLE_SWIFT_VALUE_ERROR__() {
  monitor().log(MonitorLevel::kWarning, 25040,
                "Unbridgeable Swift type logged in parameters. Break on "
                "__DIZURARUVAZE_UNBRIDGEABLE_SWIFT_VALUE_ERROR__ to debug.");
}

const std::shared_ptr<DIZUraruvazeConfiguration>& DIZUraruvazeConfiguration::sharedInstance() {
  static const std::shared_ptr<DIZUraruvazeConfiguration> instance =
      std::make_shared<DIZUraruvazeConfiguration>();
  return instance;
}

void DIZUraruvazeConfiguration::setAnalyticsCollectionEnabled(bool enabled, bool persistSetting) {
  if (persistSetting) {
    if (measurement::PersistedConfig* config = measurement::PersistedConfig::sharedInstance()) {
      config->setMeasurementEnabledState(enabled ? 1 : 2);
    }
  }
  postNotificationName(kDIZUraruvazeConfigurationSetEnabledNotification, os::Value(enabled));
}

void DIZUraruvazeConfiguration::postNotificationName(std::string_view name,
                                                     const os::Value& value) {
  if (name.empty() || value.isNull()) return;
  os::NotificationCenter::defaultCenter().post(
      std::string(name), this, os::Value(os::Dictionary{{std::string(name), value}}));
}
