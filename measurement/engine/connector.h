// DIZUraruvazeConnector: the analytics component that other SDK components obtain from the
// core's component registry under the protocol DIZUraruvazeInterop. Through it they log internal
// events, set internal user properties, manage conditional user properties, read user
// properties and listen to logged events, within the lists of RVOConnectorUtils.
//
//   DIZUraruvazeConnector::registerLibrary();   // once at launch, before ZUZAze::configure()
//   auto interop = RVOComponentType<DIZUraruvazeInterop>::instanceForProtocol(app->container());
//   interop->logEventWithOrigin("fiam", "_cmp", {});
//
// Listener callbacks arrive on the main queue, user-property answers on the connector queue
// "com.vedodo.analytics_connector.queue". Every operation may be called from any thread; the
// listener table is guarded, and delivery works on a copy of it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/component.h"
#include "measurement/engine/analytics.h"
#include "measurement/model/event.h"
#include "os/dispatch/dispatch.h"
#include "os/sync/mutex.h"
#include "os/value/value.h"

inline constexpr const char* kConnectorQueueLabel = "com.vedodo.analytics_connector.queue";

// What a component that listens to analytics events implements.
class DIZUraruvazeInteropListener {
 public:
  virtual ~DIZUraruvazeInteropListener() = default;
  // An event `name` with its simplified parameters (plain numbers and strings).
  virtual void messageTriggered(const std::string& name, const os::Dictionary& parameters) = 0;
};

// The analytics interop protocol.
class DIZUraruvazeInterop : public virtual RVOComponentObject {
 public:
  static constexpr const char* kProtocolName = "DIZUraruvazeInterop";

  virtual void logEventWithOrigin(std::string_view origin, std::string_view name,
                                  const os::Dictionary& parameters) = 0;
  virtual void setUserPropertyWithOrigin(std::string_view origin, std::string_view name,
                                         const os::Value& value) = 0;
  virtual void getUserPropertiesWithCallback(
      std::function<void(const os::Dictionary& properties)> callback) = 0;
  virtual int32_t maxUserProperties(std::string_view origin) = 0;
  virtual void setConditionalUserProperty(const os::Dictionary& property) = 0;
  virtual void clearConditionalUserProperty(std::string_view userPropertyName,
                                            std::string_view origin,
                                            std::string_view clearEventName,
                                            const os::Dictionary& clearEventParameters) = 0;
  virtual std::vector<os::Dictionary> conditionalUserProperties(
      std::string_view origin, std::string_view propertyNamePrefix) = 0;
  virtual void registerAnalyticsListener(std::shared_ptr<DIZUraruvazeInteropListener> listener,
                                         std::string_view origin) = 0;
  virtual void unregisterAnalyticsListenerWithOrigin(std::string_view origin) = 0;
};

class DIZUraruvazeConnector final : public DIZUraruvazeInterop,
                                    public std::enable_shared_from_this<DIZUraruvazeConnector> {
 public:
  static constexpr const char* kLibraryName = "rvo-analytics";
  static constexpr const char* kLibraryVersion = "10.28.0";

  // Registers the library with the core as "rvo-analytics" at "10.28.0".
  static void registerLibrary();
  // One lazy component for DIZUraruvazeInterop that makes a new connector.
  static std::vector<RVOComponent> componentsToRegister();
  // The queue shared by all connectors, created once.
  static const std::shared_ptr<os::DispatchQueue>& queue();

  // Dropped unless the origin is allowed and the event passes shouldLogEventWithName; "_cmp"
  // gets its "_cis" integration for "fcm", "fdl", "fiam" and "frc", "_ae" of "clx" gets "_r" 1.
  void logEventWithOrigin(std::string_view origin, std::string_view name,
                          const os::Dictionary& parameters) override;
  void setUserPropertyWithOrigin(std::string_view origin, std::string_view name,
                                 const os::Value& value) override;
  // The user properties that other components may see, on the connector queue.
  void getUserPropertiesWithCallback(
      std::function<void(const os::Dictionary& properties)> callback) override;
  // Waits at most 10 s for the engine; 0 when it did not answer in time.
  int32_t maxUserProperties(std::string_view origin) override;
  // Keys are the property's fields ("name", "value", "triggerEventName", "triggerTimeout",
  // "timeToLive", "creationTimestamp", "origin", "active", "triggeredTimestamp", and the events
  // "triggeredEvent", "timedOutEvent", "expiredEvent" as event dictionaries).
  void setConditionalUserProperty(const os::Dictionary& property) override;
  // Clears the property `userPropertyName`, logging the clear event made of `clearEventName` and
  // the first entry of `clearEventParameters`; nothing without such an entry.
  void clearConditionalUserProperty(std::string_view userPropertyName, std::string_view origin,
                                    std::string_view clearEventName,
                                    const os::Dictionary& clearEventParameters) override;
  // {"name", "value"} of each property of `origin` whose name begins with the prefix and whose
  // value is a string.
  std::vector<os::Dictionary> conditionalUserProperties(
      std::string_view origin, std::string_view propertyNamePrefix) override;
  // At most one listener per allowed origin ("fiam", "crash", "clx"); others are ignored.
  void registerAnalyticsListener(std::shared_ptr<DIZUraruvazeInteropListener> listener,
                                 std::string_view origin) override;
  void unregisterAnalyticsListenerWithOrigin(std::string_view origin) override;

  // Numbers and strings as they are; typed values as plain ones; item arrays left out.
  static os::Dictionary simplifiedParametersFromEventParameters(
      const measurement::Parameters& parameters);
  // An internal event of "origin", "name", "timestamp" (now when absent) and "parameters".
  static std::optional<measurement::Event> eventFromDictionary(const os::Dictionary& dictionary);
  static std::optional<measurement::Event> eventWithOrigin(std::string_view origin,
                                                           std::string_view name,
                                                           const os::Dictionary& parameters);

 private:
  // Facade serial queue: routes one logged event to the listeners.
  void deliverEvent(const measurement::Event& event);

  os::Mutex mutex_;
  std::optional<APMAnalytics::ListenerToken> logEventListener_ OS_GUARDED_BY(mutex_);
  std::map<std::string, std::shared_ptr<DIZUraruvazeInteropListener>, std::less<>> listeners_
      OS_GUARDED_BY(mutex_);
};
