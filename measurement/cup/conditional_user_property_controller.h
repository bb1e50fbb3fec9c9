// ConditionalUserPropertyController: sets, clears and queries conditional user properties, and
// moves the stored ones along as events are logged: a waiting property becomes active (written
// as a user attribute) when its trigger event comes, and is deleted when its trigger timeout or,
// once active, its time to live has passed. Each of these moments may log an event made from
// the property's templates.
//
//   auto controller = ConditionalUserPropertyController::create(engine);
//   ConditionalUserProperty tier;
//   tier.setOrigin("app");
//   tier.setValue(Value(std::string("gold")));
//   tier.setTriggerEventName("level_up");
//   tier.setTriggerTimeout(3600);
//   tier.setTimeToLive(86400);
//   controller->setConditionalUserProperty(&tier, "tier");    // stored inactive, later
//   ...                                                       // on the worker queue:
//   std::optional<std::vector<Event>> triggered = controller->processEventOnWorkerQueue(&event);
//
// Threads. The controller holds no state of its own. The public operations run on any thread:
// set and clear validate and schedule their work on the engine's worker queue (the scheduled
// block holds the controller weakly and does nothing once it is gone); the query waits for the
// worker queue, or answers at once when called on it. The operations whose names end in
// "OnWorkerQueue" and the three processing steps run on the worker queue only; each operation's
// database work is one transaction, and the events it produces are written only after that
// transaction succeeded. Failures are logged through the monitor, never reported to callers.
//
// Time comes from os::clock (creation, activation, time-outs, expiry), so tests set it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "measurement/cup/conditional_user_property_engine.h"
#include "measurement/model/conditional_user_property.h"
#include "measurement/model/event.h"

namespace measurement {

// Bounds of triggerTimeout and timeToLive, in seconds, both inclusive (180 days at most).
inline constexpr double kMinConditionalUserPropertyInterval = 0.001;
inline constexpr double kMaxConditionalUserPropertyInterval = 15552000;
// How long a query waits for the worker queue before it answers nothing.
inline constexpr double kConditionalUserPropertyQueryTimeout = 30;

class ConditionalUserPropertyController
    : public std::enable_shared_from_this<ConditionalUserPropertyController> {
 public:
  // The controller of `engine`, which it holds weakly: once the engine is gone nothing is
  // scheduled and the worker-queue operations act as if measurement were disabled.
  // `queryTimeoutSeconds` bounds the query's wait.
  static std::shared_ptr<ConditionalUserPropertyController> create(
      std::weak_ptr<ConditionalUserPropertyEngine> engine,
      double queryTimeoutSeconds = kConditionalUserPropertyQueryTimeout);

  // Any thread. Stores a copy of `property` (null is logged, 11002) under `name` with the
  // current time as its creation time, once it passes isValidConditionalUserProperty; a copy
  // without a value removes the stored property instead, logging its expired event.
  void setConditionalUserProperty(const ConditionalUserProperty* property, std::string_view name);
  // Any thread. Removes the property `name` (a name the validator refuses is dropped) and then
  // logs `clearEvent`, when given, with the stored property's origin.
  void clearConditionalUserPropertyWithClearEvent(const std::optional<Event>& clearEvent,
                                                  std::string_view name);
  // Any thread. The stored properties whose names begin with `namePrefix` and whose origin is
  // `origin` (an empty text matches all). Nothing when measurement is disabled, the database
  // fails, or the worker queue does not answer within the query time-out.
  std::optional<std::vector<ConditionalUserProperty>> conditionalUserPropertiesWithNamePrefix(
      std::string_view namePrefix, std::string_view origin);

  // Worker queue only. Store `property` (which has a value), activating it at once when it has
  // no trigger event name; a property stored active keeps its activation.
  void setConditionalUserPropertyOnWorkerQueue(const ConditionalUserProperty* property);
  // Worker queue only. Deletes the stored property of `property`'s name (and its user attribute
  // when active), then logs `property`'s expired event with the stored origin.
  void removeConditionalUserPropertyOnWorkerQueue(const ConditionalUserProperty* property);

  // Worker queue only. Before the engine writes `event`: in one transaction, deletes the timed
  // out and the expired properties and activates those waiting for `event`'s name. Writes the
  // time-out and expiry events (filtered) after the transaction and answers the triggered
  // events, which the engine writes after `event`. Nothing (and nothing written) when any step
  // fails, or for a null event.
  std::optional<std::vector<Event>> processEventOnWorkerQueue(const Event* event);
  // The three steps, worker queue only, inside the caller's transaction. Each answers false (or
  // nothing) on a database failure, leaving the transaction to roll back.
  bool removeTimedOutCUPWithTimedOutEvents(std::vector<Event>* timedOutEvents);
  bool removeExpiredCUPWithExpiredEvents(std::vector<Event>* expiredEvents);
  std::optional<std::vector<Event>> updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
      std::string_view eventName);

  // Valid origin, name and value (when present), and both intervals within the bounds above.
  // The validator and this check log their refusals.
  static bool isValidConditionalUserProperty(const ConditionalUserProperty& property);

 private:
  ConditionalUserPropertyController(std::weak_ptr<ConditionalUserPropertyEngine> engine,
                                    double queryTimeoutSeconds)
      : engine_(std::move(engine)), queryTimeoutSeconds_(queryTimeoutSeconds) {}

  // The engine after the worker-queue checks every worker-queue operation begins with, or null
  // when it is gone. `methodName` is the one the background-thread check logs.
  std::shared_ptr<ConditionalUserPropertyEngine> engineOnWorkerQueue(std::string_view methodName);
  // The engine's database for a processing step, after its checks; null when there is none.
  Database* databaseOnWorkerQueue(std::string_view methodName);
  // Schedules `work` on the worker queue under `blockID`, holding the controller weakly.
  void scheduleOnWorkerQueue(
      std::string_view blockID,
      std::function<void(ConditionalUserPropertyController& controller)> work);

  const std::weak_ptr<ConditionalUserPropertyEngine> engine_;
  const double queryTimeoutSeconds_;
};

}  // namespace measurement
