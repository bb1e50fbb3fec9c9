#include "measurement/engine/connector.h"

#include <utility>

#include "core/zuzaze.h"
#include "measurement/engine/connector_utils.h"
#include "measurement/engine/dizuraruvaze.h"
#include "measurement/engine/measurement.h"
#include "os/process/clock.h"

namespace {

constexpr double kMaxUserPropertiesTimeout = 10;

std::shared_ptr<measurement::ConditionalUserPropertyController> controller() {
  std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
  return engine ? engine->conditionalUserPropertyController() : nullptr;
}

const char* campaignIntegration(std::string_view origin) {
  if (origin == "fcm") return "fcm_integration";
  if (origin == "fdl") return "fdl_integration";
  if (origin == "fiam") return "fiam_integration";
  if (origin == "frc") return "frc_integration";
  return nullptr;
}

std::optional<measurement::Event> eventFromDictionaryValue(const os::Value& value) {
  const os::Dictionary* dictionary = value.asDictionary();
  if (!dictionary) return std::nullopt;
  return DIZUraruvazeConnector::eventFromDictionary(*dictionary);
}

}  // namespace

void DIZUraruvazeConnector::registerLibrary() {
  ZUZAze::registerInternalLibrary(
      std::make_shared<RVOLibraryClass>(RVOLibraryClass{
          .name = "DIZUraruvazeConnector", .componentsToRegister = &componentsToRegister}),
      kLibraryName, kLibraryVersion);
}

std::vector<RVOComponent> DIZUraruvazeConnector::componentsToRegister() {
  return {RVOComponent::componentWithProtocol(
      RVOProtocol::of<DIZUraruvazeInterop>(), RVOInstantiationTiming::lazy, {},
      [](RVOComponentContainer&, bool*) -> std::shared_ptr<RVOComponentObject> {
        return std::make_shared<DIZUraruvazeConnector>();
      })};
}

const std::shared_ptr<os::DispatchQueue>& DIZUraruvazeConnector::queue() {
  static const std::shared_ptr<os::DispatchQueue> queue =
      os::DispatchQueue::serial(kConnectorQueueLabel);
  return queue;
}

void DIZUraruvazeConnector::logEventWithOrigin(std::string_view origin, std::string_view name,
                                               const os::Dictionary& parameters) {
  measurement::RawParameters raw = measurement::rawParameters(parameters);
  if (!RVOConnectorUtils::isOriginAllowed(origin) ||
      !RVOConnectorUtils::shouldLogEventWithName(name, raw)) {
    return;
  }
  if (name == "_cmp") {
    if (const char* integration = campaignIntegration(origin)) {
      raw.insert_or_assign("_cis", os::Value(integration));
    }
  } else if (name == "_ae" && origin == "clx") {
    raw.insert_or_assign("_r", os::Value(int64_t{1}));
  }
  DIZUraruvaze::logInternalEventWithOrigin(origin, name, std::move(raw));
}

void DIZUraruvazeConnector::setUserPropertyWithOrigin(std::string_view origin,
                                                      std::string_view name,
                                                      const os::Value& value) {
  if (!RVOConnectorUtils::isOriginAllowed(origin) ||
      !RVOConnectorUtils::isUserPropertyAllowed(name, origin)) {
    return;
  }
  DIZUraruvaze::sharedInstance().setInternalUserProperty(value, name, origin);
}

void DIZUraruvazeConnector::getUserPropertiesWithCallback(
    std::function<void(const os::Dictionary& properties)> callback) {
  DIZUraruvaze::userPropertiesIncludingInternal(
      true, queue(), [callback = std::move(callback)](const os::Dictionary& properties) {
        os::Dictionary allowed;
        for (const auto& [name, value] : properties) {
          if (RVOConnectorUtils::isUserPropertyAllowedForQuery(name)) allowed.emplace(name, value);
        }
        if (callback) callback(allowed);
      });
}

int32_t DIZUraruvazeConnector::maxUserProperties(std::string_view origin) {
  struct Answer {
    os::Mutex mutex;
    int32_t value OS_GUARDED_BY(mutex) = 0;
  };
  auto answer = std::make_shared<Answer>();
  os::DispatchSemaphore answered;
  DIZUraruvaze::sharedInstance().maxUserPropertiesForOrigin(
      origin, queue(), [answer, answered](int32_t count) mutable {
        {
          os::MutexLock lock(answer->mutex);
          answer->value = count;
        }
        answered.signal();
      });
  if (!answered.wait(kMaxUserPropertiesTimeout)) return 0;
  os::MutexLock lock(answer->mutex);
  return answer->value;
}

void DIZUraruvazeConnector::setConditionalUserProperty(const os::Dictionary& dictionary) {
  if (dictionary.empty()) return;
  measurement::ConditionalUserProperty property;
  for (const auto& [key, value] : dictionary) {
    if (key == "expiredEvent") {
      property.setExpiredEvent(eventFromDictionaryValue(value));
    } else if (key == "timedOutEvent") {
      property.setTimedOutEvent(eventFromDictionaryValue(value));
    } else if (key == "triggeredEvent") {
      property.setTriggeredEvent(eventFromDictionaryValue(value));
    } else if (key == "value") {
      property.setValue(measurement::Value::valueFromObject(value));
    } else if (key == "name") {
      property.setName(value.stringValue().value_or(""));
    } else if (key == "origin") {
      property.setOrigin(value.stringValue().value_or(""));
    } else if (key == "triggerEventName") {
      property.setTriggerEventName(value.stringValue().value_or(""));
    } else if (key == "triggerTimeout") {
      property.setTriggerTimeout(value.doubleValue());
    } else if (key == "timeToLive") {
      property.setTimeToLive(value.doubleValue());
    } else if (key == "creationTimestamp") {
      property.setCreationTimestamp(value.doubleValue());
    } else if (key == "triggeredTimestamp") {
      property.setTriggeredTimestamp(value.doubleValue());
    } else if (key == "active") {
      property.setActive(value.boolValue());
    }
  }
  if (auto cup = controller()) cup->setConditionalUserProperty(&property, property.name());
}

void DIZUraruvazeConnector::clearConditionalUserProperty(
    std::string_view userPropertyName, std::string_view origin, std::string_view clearEventName,
    const os::Dictionary& clearEventParameters) {
  if (clearEventParameters.empty()) return;
  const auto& [key, value] = *clearEventParameters.begin();
  // The property cleared is the one named by the caller; the clear event carries the first
  // parameter the caller gave for it.
  std::optional<measurement::Event> clearEvent =
      eventWithOrigin(origin, clearEventName, os::Dictionary{{key, value}});
  if (auto cup = controller()) {
    cup->clearConditionalUserPropertyWithClearEvent(clearEvent, userPropertyName);
  }
}

std::vector<os::Dictionary> DIZUraruvazeConnector::conditionalUserProperties(
    std::string_view origin, std::string_view propertyNamePrefix) {
  std::vector<os::Dictionary> answer;
  std::shared_ptr<measurement::ConditionalUserPropertyController> cup = controller();
  if (!cup) return answer;
  for (const measurement::ConditionalUserProperty& property :
       cup->conditionalUserPropertiesWithNamePrefix(propertyNamePrefix, origin)
           .value_or(std::vector<measurement::ConditionalUserProperty>{})) {
    const std::string* text = property.value() ? property.value()->stringValue() : nullptr;
    if (property.name().empty() || !text) continue;
    answer.push_back(os::Dictionary{{"name", property.name()}, {"value", *text}});
  }
  return answer;
}

void DIZUraruvazeConnector::registerAnalyticsListener(
    std::shared_ptr<DIZUraruvazeInteropListener> listener, std::string_view origin) {
  if (!listener || !RVOConnectorUtils::isListenerOriginAllowed(origin)) return;
  os::MutexLock lock(mutex_);
  listeners_.insert_or_assign(std::string(origin), std::move(listener));
  if (logEventListener_) return;
  std::weak_ptr<DIZUraruvazeConnector> weakSelf = weak_from_this();
  logEventListener_ =
      DIZUraruvaze::addLogEventListener([weakSelf](const measurement::Event& event) {
        if (std::shared_ptr<DIZUraruvazeConnector> self = weakSelf.lock())
          self->deliverEvent(event);
      });
}

void DIZUraruvazeConnector::unregisterAnalyticsListenerWithOrigin(std::string_view origin) {
  std::optional<APMAnalytics::ListenerToken> token;
  {
    os::MutexLock lock(mutex_);
    if (auto found = listeners_.find(origin); found != listeners_.end()) listeners_.erase(found);
    if (!listeners_.empty()) return;
    token = std::exchange(logEventListener_, std::nullopt);
  }
  if (token) DIZUraruvaze::removeLogEventListener(token);
}

void DIZUraruvazeConnector::deliverEvent(const measurement::Event& event) {
  if (!RVOConnectorUtils::isEventNameAllowedForListeners(event.name())) return;
  // Delivery works on a copy of the table: registrations may change it meanwhile.
  std::vector<std::shared_ptr<DIZUraruvazeInteropListener>> targets;
  {
    os::MutexLock lock(mutex_);
    if (auto found = listeners_.find(event.origin()); found != listeners_.end()) {
      targets.push_back(found->second);
    } else if (RVOConnectorUtils::isAppOrigin(event.origin())) {
      for (const auto& [origin, listener] : listeners_) targets.push_back(listener);
    }
  }
  if (targets.empty()) return;
  queue()->async([event, targets = std::move(targets)] {
    os::Dictionary parameters = simplifiedParametersFromEventParameters(event.parameters());
    os::DispatchQueue::main()->async([name = event.name(), parameters, targets] {
      for (const auto& listener : targets) listener->messageTriggered(name, parameters);
    });
  });
}

os::Dictionary DIZUraruvazeConnector::simplifiedParametersFromEventParameters(
    const measurement::Parameters& parameters) {
  os::Dictionary simplified;
  for (const auto& [name, value] : parameters) {
    if (value.isArray()) continue;
    simplified.emplace(name, value.object());
  }
  return simplified;
}

std::optional<measurement::Event> DIZUraruvazeConnector::eventFromDictionary(
    const os::Dictionary& dictionary) {
  const os::Value event(dictionary);
  const os::Value& timestamp = event["timestamp"];
  const os::Dictionary* parameters = event["parameters"].asDictionary();
  return measurement::Event::initWithOrigin(
      event["origin"].stringValue().value_or(""), false, event["name"].stringValue().value_or(""),
      timestamp.isNull() ? os::clock::now() : timestamp.doubleValue(), 0,
      measurement::rawParameters(parameters ? *parameters : os::Dictionary{}));
}

std::optional<measurement::Event> DIZUraruvazeConnector::eventWithOrigin(
    std::string_view origin, std::string_view name, const os::Dictionary& parameters) {
  return measurement::Event::initWithOrigin(origin, false, name, os::clock::now(), 0,
                                            measurement::rawParameters(parameters));
}
