// The per-event processing of conditional user properties: time-outs, expiry and triggers.
#include <string>
#include <utility>

#include "measurement/cup/conditional_user_property_controller.h"
#include "measurement/cup/conditional_user_property_support.h"
#include "measurement/foundation/event_names.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/monitor_context.h"
#include "measurement/model/display_names.h"
#include "os/process/clock.h"

namespace measurement {
namespace {

// The log context of an event template: its name, or null without one.
MonitorContext eventContext(const std::optional<Event>& event) {
  if (!event) return std::monostate{};
  return eventDisplayName(event->name());
}

// A number or a string as itself; an array as its description.
MonitorContext valueContext(const Value& value) {
  switch (value.valueType()) {
    case Value::Kind::kDouble:
      return value.doubleValue();
    case Value::Kind::kInt64:
      return value.int64Value();
    case Value::Kind::kString:
      return *value.stringValue();
    case Value::Kind::kArray:
      break;
  }
  return OtherContext{value.description()};
}

}  // namespace

Database* ConditionalUserPropertyController::databaseOnWorkerQueue(std::string_view methodName) {
  std::shared_ptr<ConditionalUserPropertyEngine> engine = engineOnWorkerQueue(methodName);
  return engine ? engine->database() : nullptr;
}

std::optional<std::vector<Event>> ConditionalUserPropertyController::processEventOnWorkerQueue(
    const Event* event) {
  std::shared_ptr<ConditionalUserPropertyEngine> engine =
      engineOnWorkerQueue("processEventOnWorkerQueue:");
  if (event == nullptr) {
    monitor().log(MonitorLevel::kErrorSilent, 10000,
                  "Cannot process nil event for conditional user property");
    return std::nullopt;
  }
  Database* database = engine ? engine->database() : nullptr;
  if (database == nullptr) return std::nullopt;
  std::vector<Event> lapseEvents;
  std::optional<std::vector<Event>> triggeredEvents;
  bool processed = database->performTransaction([&] {
    lapseEvents.clear();
    std::vector<Event> timedOutEvents;
    if (!removeTimedOutCUPWithTimedOutEvents(&timedOutEvents)) return false;
    std::vector<Event> expiredEvents;
    if (!removeExpiredCUPWithExpiredEvents(&expiredEvents)) return false;
    lapseEvents = std::move(timedOutEvents);
    lapseEvents.insert(lapseEvents.end(), std::make_move_iterator(expiredEvents.begin()),
                       std::make_move_iterator(expiredEvents.end()));
    triggeredEvents = updateConditionalUserPropertiesWithEventNameOnWorkerQueue(event->name());
    return triggeredEvents.has_value();
  });
  if (!processed) return std::nullopt;
  for (const Event& lapseEvent : lapseEvents) engine->writeFilteredEventOnWorkerQueue(lapseEvent);
  return triggeredEvents;
}

bool ConditionalUserPropertyController::removeTimedOutCUPWithTimedOutEvents(
    std::vector<Event>* timedOutEvents) {
  Database* database = databaseOnWorkerQueue("removeTimedOutCUPWithTimedOutEvents:");
  if (database == nullptr) return false;
  os::Error error;
  std::optional<std::vector<ConditionalUserProperty>> timedOut =
      database->timedOutConditionalUserProperties(&error);
  if (!timedOut) {
    monitor().log(MonitorLevel::kErrorSampled, 10001,
                  "Cannot fetch timed out conditional user properties. Error", error);
    return false;
  }
  std::vector<Event> events;
  for (const ConditionalUserProperty& property : *timedOut) {
    const std::string displayName = userPropertyDisplayName(property.name());
    monitor().log(MonitorLevel::kDebug, 10002, "Conditional user property has timed out. Name",
                  displayName);
    if (!database->deleteConditionalUserPropertyWithName(property.name(), &error)) {
      monitor().log(MonitorLevel::kErrorSampled, 10003,
                    "Cannot delete timed out condition user property. Name, error", displayName,
                    error);
      return false;
    }
    if (std::optional<Event> timedOutEvent =
            eventFromTemplate(property.timedOutEvent(), property.origin(), os::clock::now())) {
      events.push_back(std::move(*timedOutEvent));
    }
  }
  if (timedOutEvents) *timedOutEvents = std::move(events);
  return true;
}

bool ConditionalUserPropertyController::removeExpiredCUPWithExpiredEvents(
    std::vector<Event>* expiredEvents) {
  Database* database = databaseOnWorkerQueue("removeExpiredCUPWithExpiredEvents:");
  if (database == nullptr) return false;
  os::Error error;
  std::optional<std::vector<ConditionalUserProperty>> expired =
      database->expiredConditionalUserProperties(&error);
  if (!expired) {
    monitor().log(MonitorLevel::kErrorSampled, 10004,
                  "Cannot fetch expired conditional user properties. Error", error);
    return false;
  }
  std::vector<Event> events;
  for (const ConditionalUserProperty& property : *expired) {
    const std::string displayName = userPropertyDisplayName(property.name());
    monitor().log(MonitorLevel::kDebug, 10005,
                  "Conditional user property has expired. Name, expired event", displayName,
                  eventContext(property.expiredEvent()));
    if (!database->deleteUserAttributeWithName(property.name(), &error)) {
      monitor().log(MonitorLevel::kErrorSampled, 10006,
                    "Cannot remove conditional user property. Failed to delete the user "
                    "property. Name, origin, error",
                    displayName, property.origin(), error);
      return false;
    }
    if (!database->deleteConditionalUserPropertyWithName(property.name(), &error)) {
      monitor().log(MonitorLevel::kErrorSampled, 10007,
                    "Cannot delete expired condition user property. Name, error", displayName,
                    error);
      return false;
    }
    if (std::optional<Event> expiredEvent =
            eventFromTemplate(property.expiredEvent(), property.origin(), os::clock::now())) {
      events.push_back(std::move(*expiredEvent));
    }
  }
  if (expiredEvents) *expiredEvents = std::move(events);
  return true;
}

std::optional<std::vector<Event>>
ConditionalUserPropertyController::updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
    std::string_view eventName) {
  Database* database =
      databaseOnWorkerQueue("updateConditionalUserPropertiesBasedOnEventNameOnWorkerQueue:");
  if (database == nullptr) return std::nullopt;
  os::Error error;
  std::optional<std::vector<ConditionalUserProperty>> triggered =
      database->triggeredConditionalUserPropertiesWithEventName(eventName, &error);
  if (!triggered) {
    monitor().log(MonitorLevel::kErrorSampled, 10008,
                  "Cannot fetch triggering conditional user properties. Event name, error",
                  eventDisplayName(eventName), error);
    return std::nullopt;
  }
  // A public ad event also triggers the properties waiting for its internal name, unless some
  // wait for the public name itself.
  const NameTable& adEventNames = allowedPublicAdEventNames();
  if (auto adEvent = adEventNames.find(eventName);
      triggered->empty() && adEvent != adEventNames.end()) {
    triggered = database->triggeredConditionalUserPropertiesWithEventName(adEvent->second, nullptr)
                    .value_or(std::vector<ConditionalUserProperty>());
  }
  std::vector<Event> events;
  for (ConditionalUserProperty& property : *triggered) {
    const double now = os::clock::now();
    const std::string displayName = userPropertyDisplayName(property.name());
    os::Error attributeError;
    if (writeUserAttribute(*database, property.origin(), property.name(), property.value(), now,
                           &attributeError)) {
      monitor().log(MonitorLevel::kDebug, 10010, "User property updated. Name, origin, value",
                    displayName, property.origin(),
                    property.value() ? valueContext(*property.value()) : std::monostate{});
    } else {
      monitor().log(MonitorLevel::kErrorSampled, 10009,
                    "Cannot update user property from conditional user property. Name, origin, "
                    "error",
                    displayName, property.origin(), attributeError);
    }
    if (std::optional<Event> triggeredEvent =
            eventFromTemplate(property.triggeredEvent(), property.origin(), now)) {
      events.push_back(std::move(*triggeredEvent));
    }
    property.setActive(true);
    property.setTriggeredTimestamp(now);
    if (!database->updateConditionalUserProperty(property, &error)) {
      monitor().log(MonitorLevel::kErrorSampled, 10011,
                    "Cannot update conditional user property. Name, origin, error", displayName,
                    property.origin(), error);
      return std::nullopt;
    }
  }
  return events;
}

}  // namespace measurement
