// ConditionalUserProperty: a user property a caller asks to set later or for a limited time. It
// waits inactive until an event named `triggerEventName` is logged, lapses when that event does
// not come within `triggerTimeout` of its creation, and once active lives for `timeToLive` from
// `triggeredTimestamp`. The record carries one such property between the analytics connector,
// its controller and the database; it checks nothing itself.
//
//   ConditionalUserProperty property;
//   property.setName("tier");
//   property.setValue(Value(std::string("gold")));
//   property.setTriggerEventName("purchase");
//   property.setTriggerTimeout(3600);
//
// Stored states, "now" in seconds since 1970 (the database's queries carry them):
//   timed out: not active and |now - creationTimestamp| > triggerTimeout;
//   expired:   active and |now - triggeredTimestamp| > timeToLive;
//   triggered by a name: not active, that trigger name, |now - creationTimestamp| <= timeout.
// A value; copies are independent.
#pragma once

#include <optional>
#include <string>

#include "measurement/foundation/value.h"
#include "measurement/model/event.h"

namespace measurement {

class ConditionalUserProperty {
 public:
  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }
  const std::string& origin() const { return origin_; }
  void setOrigin(std::string origin) { origin_ = std::move(origin); }
  // std::nullopt asks for the property's removal when it is set.
  const std::optional<Value>& value() const { return value_; }
  void setValue(std::optional<Value> value) { value_ = std::move(value); }
  // Empty: active at once.
  const std::string& triggerEventName() const { return triggerEventName_; }
  void setTriggerEventName(std::string name) { triggerEventName_ = std::move(name); }
  double triggerTimeout() const { return triggerTimeout_; }
  void setTriggerTimeout(double seconds) { triggerTimeout_ = seconds; }
  double timeToLive() const { return timeToLive_; }
  void setTimeToLive(double seconds) { timeToLive_ = seconds; }
  // Templates of the events logged on activation, on a trigger timeout, and on expiry or removal.
  const std::optional<Event>& triggeredEvent() const { return triggeredEvent_; }
  void setTriggeredEvent(std::optional<Event> event) { triggeredEvent_ = std::move(event); }
  const std::optional<Event>& timedOutEvent() const { return timedOutEvent_; }
  void setTimedOutEvent(std::optional<Event> event) { timedOutEvent_ = std::move(event); }
  const std::optional<Event>& expiredEvent() const { return expiredEvent_; }
  void setExpiredEvent(std::optional<Event> event) { expiredEvent_ = std::move(event); }
  double creationTimestamp() const { return creationTimestamp_; }
  void setCreationTimestamp(double timestamp) { creationTimestamp_ = timestamp; }
  bool isActive() const { return active_; }
  void setActive(bool active) { active_ = active; }
  double triggeredTimestamp() const { return triggeredTimestamp_; }
  void setTriggeredTimestamp(double timestamp) { triggeredTimestamp_ = timestamp; }

  friend bool operator==(const ConditionalUserProperty&, const ConditionalUserProperty&) = default;

 private:
  std::string name_;
  std::string origin_;
  std::optional<Value> value_;
  std::string triggerEventName_;
  double triggerTimeout_ = 0;
  double timeToLive_ = 0;
  std::optional<Event> triggeredEvent_;
  std::optional<Event> timedOutEvent_;
  std::optional<Event> expiredEvent_;
  double creationTimestamp_ = 0;
  bool active_ = false;
  double triggeredTimestamp_ = 0;
};

}  // namespace measurement
