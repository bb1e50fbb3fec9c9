// APMAnalytics: the measurement facade between the public interface (DIZUraruvaze) and the
// engine (APMMeasurement). It starts measurement once, keeps its own small state (the collection
// switches, the event interceptor, the event listeners, the open-URL listener) and moves every
// call from the caller's thread onto its serial queue in a fixed order, so that calls made before
// the engine exists are held and replayed once it does.
//
//   APMAnalytics::logEventWithName("level_up", measurement::rawParameters(os::Dictionary{
//                                                  {"level", int64_t{3}}}));
//   APMAnalytics::startWithAppID(appID, "fa", options);   // once, from the start hook
//
// Queues. Every facade block runs on the serial queue "APMAnalyticsQueue" (background priority).
// Calls reach it through the operation queue "APMAnalyticsOperationQueue", a width-one FIFO that
// is created suspended and resumed by the start right after the engine's creation block has been
// put on the serial queue: everything logged before the start reaches the engine after its
// creation, in order. A public event takes its timestamp and enters the operation queue in one
// step, under one lock, so timestamps never decrease in queue order.
//
// Failures are logged through the monitor and the call is dropped; nothing is returned to the
// caller (only sessionIDWithCompletion hands an error to its completion).
//
// Persisted state lives in the suite "APMAnalyticsSuiteName" (kAnalyticsSuiteName); the engine's
// start-up and reset read and clear it through the accessors below.
//
// Threads: every member may be called from any thread unless its comment says otherwise.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/model/event.h"
#include "measurement/model/parameter_sanitizer.h"
#include "os/dispatch/dispatch.h"
#include "os/net/url.h"
#include "os/value/error.h"
#include "os/value/value.h"

inline constexpr const char* kAnalyticsQueueLabel = "APMAnalyticsQueue";
inline constexpr const char* kAnalyticsOperationQueueName = "APMAnalyticsOperationQueue";

// The facade's suite and its keys.
inline constexpr const char* kAnalyticsSuiteName = "APMAnalyticsSuiteName";
inline constexpr const char* kResetRetryCountKey = "reset_retry_count";
inline constexpr const char* kNeedFirstOpenAfterResetKey = "need_first_open_after_reset";
inline constexpr const char* kAppInstanceIDAfterResetKey = "app_instance_id_after_reset";
inline constexpr const char* kDeferredAnalyticsCollectionKey = "deferred_analytics_collection";
inline constexpr const char* kConsentSourceKey = "consent_source";
inline constexpr const char* kDeferredConsentResetKey = "deferred_consent_reset";

// Start options.
inline constexpr const char* kAnalyticsConfigurationOption = "RIVERAVO_ANALYTICS_CONFIGURATION";
inline constexpr const char* kAnalyticsCollectionDeactivatedOption =
    "RIVERAVO_ANALYTICS_COLLECTION_DEACTIVATED";
inline constexpr const char* kAnalyticsCollectionEnabledOption =
    "RIVERAVO_ANALYTICS_COLLECTION_ENABLED";
inline constexpr const char* kAnalyticsLogTagOption = "zad_odavodivezi_log_tag";
inline constexpr const char* kSafelistedEventsOption = "safelisted_events";

// Posted by DIZUraruvazeConfiguration with itself as object and the switch (a boolean) in the user
// info under the notification's own name; the facade observes it from the start.
inline constexpr const char* kDIZUraruvazeConfigurationSetEnabledNotification =
    "DIZUraruvazeConfigurationSetEnabledNotification";

// Posted on the default centre, without object or user info, when measurement starts.
inline constexpr const char* kDIZUraruvazeWillStartNotification =
    "kDIZUraruvazeWillStartNotification";

class APMAnalytics {
 public:
  // Handed every public event instead of logging it, when set (see APMMeasurement's logging
  // entry): origin, name, parameters, timestamp. Called on the engine's worker queue.
  using EventInterceptor =
      std::function<void(const std::string& origin, const std::string& name,
                         const measurement::RawParameters& parameters, double timestamp)>;
  // Told of every logged event, on the facade's serial queue.
  using EventListener = std::function<void(const measurement::Event& event)>;
  // Names a registered listener; tokens grow, so listeners are told in registration order.
  using ListenerToken = uint64_t;
  using OpenURLListener = std::function<void(const os::URL& url)>;
  // The session ID, or 0 and an error of code 13.
  using SessionIDCompletion = std::function<void(int64_t sessionID, const os::Error* error)>;
  // User properties by name, as plain values.
  using UserPropertiesCallback = std::function<void(const os::Dictionary& properties)>;

  // The one instance: the receiver of the instance operations below.
  static APMAnalytics& sharedInstance();

  // Queues.
  // The serial queue "APMAnalyticsQueue", created once.
  static const std::shared_ptr<os::DispatchQueue>& queue();
  static void dispatchAsyncOnSerialQueue(os::DispatchBlock block);
  // Puts on the operation queue an operation that only moves `block` onto the serial queue.
  static void queueOperationWithBlock(os::DispatchBlock block);
  // The same; then, unless the operation queue is suspended, waits until its operations have
  // run, suspends it and resumes it from the serial queue half a second later.
  static void queueOperationWithBlockThenWait(os::DispatchBlock block);
  static void unsuspendOperationQueue();
  static bool isCurrentQueueSerialQueue();

  // The load time of the stack in this process (set when the library is first used, and by a
  // reset), seconds since 1970.
  static double loadTimestamp();
  static void setLoadTimestamp(double timestamp);

  // Start-up: once per process (see the header comment). `options` holds the start options
  // above, and possibly consent type keys, which become the start-up consent. `configuration`
  // is the object of the option "RIVERAVO_ANALYTICS_CONFIGURATION" (a value cannot hold it):
  // its enable notifications turn collection on and off; null for none.
  static void startWithAppID(std::string_view appID, std::string_view origin,
                             const os::Dictionary& options, const void* configuration = nullptr);

  // Collection switch. `persistSetting` stores the choice as the measurement enabled state.
  // While the start options deactivated collection, switching it on is ignored.
  static void setAnalyticsEnabled(bool enabled, bool persistSetting = false);
  static void setSessionTimeoutInterval(double seconds);

  // Events.
  // A public event of origin "app".
  static void logEventWithName(std::string_view name, measurement::RawParameters parameters);
  // A public event: an invalid name logs the error event "_err" (13 for a reserved name, else 2)
  // instead.
  static void logEventWithOrigin(std::string_view origin, std::string_view name,
                                 measurement::RawParameters parameters);
  static void logEventWithOrigin(std::string_view origin, bool isPublicEvent, std::string_view name,
                                 measurement::RawParameters parameters);
  static void logInternalEventWithOrigin(std::string_view origin, std::string_view name,
                                         measurement::RawParameters parameters);
  static void logInternalEventWithOrigin(std::string_view origin, std::string_view name,
                                         double timestamp, measurement::RawParameters parameters);
  static void logEventWithOrigin(std::string_view origin, bool isPublicEvent, std::string_view name,
                                 measurement::RawParameters parameters, double timestamp,
                                 bool ignoreEnabled, bool ignoreInterceptor);
  // The instance form for other SDK components: an "am" event's string "_aeid" that is a decimal
  // number becomes an int64 first.
  void logInternalEvent(std::string_view origin, std::string_view name,
                        measurement::RawParameters parameters);
  // nullopt clears the defaults; applied only while collection is on and the engine exists.
  static void setDefaultEventParameters(std::optional<os::Dictionary> parameters);

  // Listeners and hooks.
  static void setLogEventInterceptor(EventInterceptor interceptor);
  // nullopt (logged) for an empty listener.
  static std::optional<ListenerToken> addLogEventListener(EventListener listener);
  static void removeLogEventListener(std::optional<ListenerToken> token);
  // Tells every listener, on the serial queue, in registration order.
  static void notifyEventListeners(const measurement::Event& event);
  static void setOpenURLListener(OpenURLListener listener);
  // Hands an opened URL to the engine, then to the open-URL listener.
  static void handleOpenURL(const os::URL& url);

  // Whether the application is active, as the screen-view reporter knows it.
  static bool isAppActive();

  // User properties and user ID. Names and values are checked on the caller's thread.
  static void setUserPropertyString(std::optional<std::string> value, std::string_view name);
  static void setUserID(const os::Value& userID);
  static void setUserAttributeNumber(const os::Value& number, std::string_view name);
  static void removeUserAttributeForName(std::string_view name);
  void setInternalUserProperty(const os::Value& value, std::string_view name,
                               std::string_view origin);
  static void removeInternalUserAttributeForName(std::string_view name);
  static void userPropertiesIncludingInternal(bool includeInternal,
                                              std::shared_ptr<os::DispatchQueue> queue,
                                              UserPropertiesCallback callback);
  void maxUserPropertiesForOrigin(std::string_view origin, std::shared_ptr<os::DispatchQueue> queue,
                                  std::function<void(int32_t)> callback);

  // Consent. setConsent uses the first-party key "consent_settings".
  static void setConsent(const os::Dictionary& consent);
  // The key names the source: "consent_settings_tcf" 5, "consent_settings_3p" 10, else 30.
  static void setConsent(const os::Dictionary& consent, std::string_view key);
  // Applies the persisted consent, ranked no higher than the persisted source.
  static void loadPersistedConsentSettings();
  static void persistConsentSettings(const os::Dictionary& settings, int64_t source);
  static void clearConsent();

  // Reset, identifiers, session ID and user data.
  static void resetAnalyticsData();
  // nullopt while analytics storage is denied.
  static std::optional<std::string> appInstanceID();
  static void sessionIDWithCompletion(SessionIDCompletion completion);
  static void setUserData(const os::Dictionary& userData);

  // The suite's keys, for the engine's start-up and reset.
  static int64_t resetRetryCount();
  // A count below 1 removes the key.
  static void setResetRetryCount(int64_t count);
  static bool needFirstOpenAfterReset();
  static void setNeedFirstOpenAfterReset(bool need);
  static void removeNeedFirstOpenAfterReset();
  static std::optional<std::string> appInstanceIDAfterReset();
  static void setAppInstanceIDAfterReset(std::optional<std::string> appInstanceID);
  static os::Value deferredAnalyticsCollection();
  static void setDeferredAnalyticsCollection(os::Value value);
  static std::optional<os::Dictionary> consentSettingsTCF();
  static std::optional<os::Dictionary> consentSettings3P();
  static std::optional<os::Dictionary> consentSettings1P();
  static std::optional<os::Dictionary> consentSettings1PStart();
  static os::Value deferredResetOnDeniedConsent();
  static void removeStartUpConsentSettings();
  static void removeDeferredResetOnDeniedConsent();
  // 100 when absent.
  static int64_t persistedConsentSource();

  // Back to a process that has not started: listeners, interceptor, switches and the start
  // gate forgotten, the operation queue suspended again. Tests only.
  static void resetForTesting();

 private:
  APMAnalytics() = default;

  // Serial queue only: hands an event to the engine, or drops it when there is none.
  static void logEventOnSerialQueue(const std::string& origin, bool isPublicEvent,
                                    const std::string& name, measurement::RawParameters parameters,
                                    double timestamp, bool ignoreEnabled, bool ignoreInterceptor,
                                    measurement::Parameters addedScreenParameters);
  static void notifyEventListenersOnSerialQueue(const measurement::Event& event);
};
