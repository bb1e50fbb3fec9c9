// The public analytics interface that the application and the other SDK components call. It
// holds no state: it forwards to the facade (APMAnalytics), adding the guard that the default
// app is configured on the calls that carry user data, and the start hook through which the
// application core starts measurement.
//
//   DIZUraruvazeRegister();     // once at launch, before ZUZAze::configure()
//   ZUZAze::configure();        // starts measurement through DIZUraruvaze::startWithConfiguration
//   DIZUraruvaze::logEventWithName("Install_SW", {{"ea", "Launch App"}, {"el", "Success"}});
//
// DIZUraruvazeConfiguration is the collection switch that the application core turns: it posts
// kDIZUraruvazeConfigurationSetEnabledNotification, which the facade observes.
//
// Nothing here returns an error: refusals are logged through the monitor and the call dropped.
// Any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/configuration.h"
#include "core/options.h"
#include "measurement/engine/analytics.h"
#include "os/value/value.h"

// Adds the class "DIZUraruvaze" (with its start hook) to the core's registry, hands the core the
// collection switch, and installs the facade's internal event path beneath the data model.
void DIZUraruvazeRegister();

class DIZUraruvaze {
 public:
  // The instance the instance operations are sent to, created once.
  static DIZUraruvaze& sharedInstance();

  // The start hook: starts the facade with the options' app id, origin "fa" and the start
  // options, then asks the installations service for the installation id and observes its
  // changes (once, however often it is called).
  static void startWithConfiguration(
      const std::shared_ptr<RVOAnalyticsConfiguration>& configuration,
      const std::shared_ptr<RVOOptions>& options);
  // Stores the current installation id on the identity (nullopt when there is none, 25038).
  static void updateRiveravoInstallationID();

  // Guarded: dropped with a monitor line (25018, 25019, 25051-25054) unless the default app is
  // configured.
  static void logEventWithName(std::string_view name, const os::Dictionary& parameters);
  static void logEventWithOrigin(std::string_view origin, std::string_view name,
                                 const os::Dictionary& parameters);
  static void setUserPropertyString(std::optional<std::string> value, std::string_view name);
  // A null or empty text is sent as the empty string (empty data for the hashed forms).
  static void initiateOnDeviceConversionMeasurementWithEmailAddress(
      std::optional<std::string> emailAddress);
  static void initiateOnDeviceConversionMeasurementWithPhoneNumber(
      std::optional<std::string> phoneNumber);
  static void initiateOnDeviceConversionMeasurementWithHashedEmailAddress(
      std::optional<os::Data> hashedEmailAddress);
  static void initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(
      std::optional<os::Data> hashedPhoneNumber);

  // Plain forwarders to the facade.
  static void setUserID(const os::Value& userID);
  static void setAnalyticsCollectionEnabled(bool enabled);
  static void setSessionTimeoutInterval(double seconds);
  static void sessionIDWithCompletion(APMAnalytics::SessionIDCompletion completion);
  static std::optional<std::string> appInstanceID();
  static void resetAnalyticsData();
  // Third-party consent: ranks below TCF consent.
  static void setConsent(const os::Dictionary& consent);
  static void setDefaultEventParameters(std::optional<os::Dictionary> parameters);
  static void handleOpenURL(const os::URL& url);
  static void setOpenURLListener(APMAnalytics::OpenURLListener listener);
  static void setLogEventInterceptor(APMAnalytics::EventInterceptor interceptor);
  static std::optional<APMAnalytics::ListenerToken> addLogEventListener(
      APMAnalytics::EventListener listener);
  static void removeLogEventListener(std::optional<APMAnalytics::ListenerToken> token);
  static void notifyEventListeners(const measurement::Event& event);
  static void logInternalEventWithOrigin(std::string_view origin, std::string_view name,
                                         measurement::RawParameters parameters);
  static void logEventWithOrigin(std::string_view origin, bool isPublicEvent, std::string_view name,
                                 measurement::RawParameters parameters, double timestamp,
                                 bool ignoreEnabled, bool ignoreInterceptor);
  static void userPropertiesIncludingInternal(bool includeInternal,
                                              std::shared_ptr<os::DispatchQueue> queue,
                                              APMAnalytics::UserPropertiesCallback callback);
  static void dispatchAsyncOnSerialQueue(os::DispatchBlock block);
  static void queueOperationWithBlock(os::DispatchBlock block);
  static void unsuspendOperationQueue();
  static double loadTimestamp();

  // The instance operations of the shared facade.
  void logInternalEvent(std::string_view origin, std::string_view name,
                        measurement::RawParameters parameters);
  void setInternalUserProperty(const os::Value& value, std::string_view name,
                               std::string_view origin);
  void maxUserPropertiesForOrigin(std::string_view origin, std::shared_ptr<os::DispatchQueue> queue,
                                  std::function<void(int32_t)> callback);

  // The SDK version (RVOSDKVersionString).
  static std::string topLevelVersion();

 private:
  DIZUraruvaze() = default;
};

// Warns (25040) when the parameters hold a value the platform cannot bridge; the event goes on
// all the same. No value is unbridgeable on this host, so it never warns here.
bool parameterContainsUnbridgeableValue(const os::Value& value);
// Kept out of line so that a debugger can break on it.
void __DIZURARUVAZE_UNBRIDGEABLE_SWIFT_VALUE_ERROR__();

// The switch the application core turns (RVOConfiguration's analytics configuration).
class DIZUraruvazeConfiguration final : public RVOAnalyticsConfiguration {
 public:
  static const std::shared_ptr<DIZUraruvazeConfiguration>& sharedInstance();

  // Persisting stores 1 (on) or 2 (off) as the measurement enabled state; then, always, posts
  // kDIZUraruvazeConfigurationSetEnabledNotification.
  void setAnalyticsCollectionEnabled(bool enabled) { setAnalyticsCollectionEnabled(enabled, true); }
  void setAnalyticsCollectionEnabled(bool enabled, bool persistSetting) override;
  // Posts `name` with this object and the user info {name: value}; nothing for an empty name or
  // a null value.
  void postNotificationName(std::string_view name, const os::Value& value);
};
