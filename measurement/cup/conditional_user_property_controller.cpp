#include "measurement/cup/conditional_user_property_controller.h"

#include <string>
#include <utility>

#include "measurement/cup/conditional_user_property_support.h"
#include "measurement/foundation/data_type_validator.h"
#include "measurement/foundation/lookup.h"
#include "measurement/foundation/monitor.h"
#include "measurement/model/display_names.h"
#include "os/dispatch/dispatch.h"
#include "os/process/clock.h"
#include "os/sync/mutex.h"

namespace measurement {
namespace {

constexpr const char* kSetBlockID = "APMConditionalUserPropertyController:88";
constexpr const char* kClearBlockID = "APMConditionalUserPropertyController:113";
constexpr const char* kQueryBlockID = "APMConditionalUserPropertyController:161";

bool isWithinIntervalBounds(double seconds) {
  // Written so that NaN is out of bounds too.
  return seconds >= kMinConditionalUserPropertyInterval &&
         seconds <= kMaxConditionalUserPropertyInterval;
}

// One query's answer, shared by the waiting caller and the worker-queue block: an answer that
// comes after the caller stopped waiting lands here, never in the caller's finished frame.
struct QueryAnswer {
  os::DispatchSemaphore answered;
  os::Mutex mutex;
  std::optional<std::vector<ConditionalUserProperty>> properties OS_GUARDED_BY(mutex);
  os::Error error OS_GUARDED_BY(mutex);
};

// The query itself, on the worker queue.
void answerQuery(ConditionalUserPropertyEngine* engine, std::string_view namePrefix,
                 std::string_view origin, QueryAnswer& answer) {
  std::optional<std::vector<ConditionalUserProperty>> properties;
  os::Error error;
  if (engine == nullptr || !engine->isEnabled()) {
    monitor().log(MonitorLevel::kWarning, 11005,
                  "Cannot query for conditional user properties. Analytics is disabled");
  } else if (Database* database = engine->database()) {
    properties = database->conditionalUserPropertiesWithPrefix(namePrefix, origin, &error);
  }
  os::MutexLock lock(answer.mutex);
  answer.properties = std::move(properties);
  answer.error = std::move(error);
}

}  // namespace

std::shared_ptr<ConditionalUserPropertyController> ConditionalUserPropertyController::create(
    std::weak_ptr<ConditionalUserPropertyEngine> engine, double queryTimeoutSeconds) {
  return std::shared_ptr<ConditionalUserPropertyController>(
      new ConditionalUserPropertyController(std::move(engine), queryTimeoutSeconds));
}

bool ConditionalUserPropertyController::isValidConditionalUserProperty(
    const ConditionalUserProperty& property) {
  if (!DataTypeValidator::isValidConditionalUserPropertyOrigin(property.origin(), nullptr) ||
      !DataTypeValidator::isValidConditionalUserPropertyName(property.name(), nullptr) ||
      (property.value() &&
       !DataTypeValidator::isValidConditionalUserPropertyValue(&*property.value(), nullptr))) {
    return false;
  }
  if (!isWithinIntervalBounds(property.triggerTimeout())) {
    monitor().log(MonitorLevel::kErrorSilent, 11000,
                  "Invalid conditional user property trigger timeout", property.triggerTimeout());
    return false;
  }
  if (!isWithinIntervalBounds(property.timeToLive())) {
    monitor().log(MonitorLevel::kErrorSilent, 11001,
                  "Invalid conditional user property time to live", property.timeToLive());
    return false;
  }
  return true;
}

void ConditionalUserPropertyController::scheduleOnWorkerQueue(
    std::string_view blockID,
    std::function<void(ConditionalUserPropertyController& controller)> work) {
  std::shared_ptr<ConditionalUserPropertyEngine> engine = engine_.lock();
  if (!engine) return;
  engine->scheduler().scheduleOnWorkerQueue(
      blockID, [weakSelf = weak_from_this(), work = std::move(work)] {
        if (std::shared_ptr<ConditionalUserPropertyController> self = weakSelf.lock()) {
          work(*self);
        }
      });
}

void ConditionalUserPropertyController::setConditionalUserProperty(
    const ConditionalUserProperty* property, std::string_view name) {
  if (property == nullptr) {
    monitor().log(MonitorLevel::kErrorSilent, 11002, "Cannot set nil conditional user property");
    return;
  }
  ConditionalUserProperty copy = *property;
  copy.setName(std::string(name));
  if (!isValidConditionalUserProperty(copy)) return;
  copy.setCreationTimestamp(os::clock::now());
  scheduleOnWorkerQueue(kSetBlockID, [copy = std::move(copy)](auto& controller) {
    if (copy.value()) {
      controller.setConditionalUserPropertyOnWorkerQueue(&copy);
    } else {
      controller.removeConditionalUserPropertyOnWorkerQueue(&copy);
    }
  });
}

void ConditionalUserPropertyController::clearConditionalUserPropertyWithClearEvent(
    const std::optional<Event>& clearEvent, std::string_view name) {
  if (!DataTypeValidator::isValidConditionalUserPropertyName(name, nullptr)) return;
  ConditionalUserProperty property;
  property.setName(std::string(name));
  property.setExpiredEvent(clearEvent);
  scheduleOnWorkerQueue(kClearBlockID, [property = std::move(property)](auto& controller) {
    controller.removeConditionalUserPropertyOnWorkerQueue(&property);
  });
}

std::optional<std::vector<ConditionalUserProperty>>
ConditionalUserPropertyController::conditionalUserPropertiesWithNamePrefix(
    std::string_view namePrefix, std::string_view origin) {
  std::shared_ptr<ConditionalUserPropertyEngine> engine = engine_.lock();
  auto answer = std::make_shared<QueryAnswer>();
  if (engine && engine->scheduler().workerQueue()->isCurrent()) {
    // Waiting here for a block queued behind the running one could only time out.
    answerQuery(engine.get(), namePrefix, origin, *answer);
  } else {
    if (!engine) return std::nullopt;
    engine->scheduler().scheduleOnWorkerQueue(
        kQueryBlockID, [weakEngine = engine_, answer, prefix = std::string(namePrefix),
                        origin = std::string(origin)] {
          answerQuery(weakEngine.lock().get(), prefix, origin, *answer);
          answer->answered.signal();
        });
    engine.reset();  // the wait must not keep the engine alive
    if (!answer->answered.wait(queryTimeoutSeconds_)) return std::nullopt;
  }
  os::MutexLock lock(answer->mutex);
  if (!answer->properties && !answer->error.domain.empty()) {
    monitor().log(MonitorLevel::kErrorSilent, 11006,
                  "Cannot query for conditional user properties. Name prefix, origin, error",
                  namePrefix, origin, answer->error);
  }
  return std::move(answer->properties);
}

std::shared_ptr<ConditionalUserPropertyEngine>
ConditionalUserPropertyController::engineOnWorkerQueue(std::string_view methodName) {
  // On the main thread this only logs: the operation goes on, as it always has.
  Scheduler::checkOnBackgroundThread(methodName);
  std::shared_ptr<ConditionalUserPropertyEngine> engine = engine_.lock();
  if (engine) OS_CHECK_ON(engine->scheduler().workerQueue());
  return engine;
}

void ConditionalUserPropertyController::setConditionalUserPropertyOnWorkerQueue(
    const ConditionalUserProperty* property) {
  std::shared_ptr<ConditionalUserPropertyEngine> engine =
      engineOnWorkerQueue("setConditionalUserPropertyOnWorkerQueue");
  if (!engine || !engine->isEnabled()) {
    monitor().log(MonitorLevel::kWarning, 11007,
                  "Cannot set conditional user property. Analytics is disabled");
    return;
  }
  if (property == nullptr) {
    monitor().log(MonitorLevel::kErrorSilent, 11008,
                  "Cannot set nil conditional user property on worker queue");
    return;
  }
  Database* database = engine->database();
  if (database == nullptr) return;
  const std::string displayName = userPropertyDisplayName(property->name());
  std::optional<Event> triggeredEvent;
  bool stored = database->performTransaction([&] {
    triggeredEvent.reset();
    ConditionalUserProperty next = *property;
    os::Error error;
    Lookup<ConditionalUserProperty> found =
        database->conditionalUserPropertyWithName(next.name(), &error);
    if (!found) {
      monitor().log(MonitorLevel::kErrorSampled, 11009,
                    "Cannot query conditional user property. Name, origin, error", displayName,
                    next.origin(), error);
      return false;
    }
    const std::optional<ConditionalUserProperty>& saved = *found;
    if (saved && saved->origin() != next.origin()) {
      monitor().log(MonitorLevel::kWarningSilent, 11010,
                    "Updating a conditional user property with different origin. Name, origin, "
                    "saved origin",
                    displayName, next.origin(), saved->origin());
    }
    const bool savedActive = saved && saved->isActive();
    bool activatedNow = false;
    if (savedActive) {
      // An active property stays what its activation made it.
      next.setOrigin(saved->origin());
      next.setCreationTimestamp(saved->creationTimestamp());
      next.setTriggerEventName(saved->triggerEventName());
      next.setTriggeredEvent(saved->triggeredEvent());
      next.setTriggerTimeout(saved->triggerTimeout());
    } else if (next.triggerEventName().empty()) {
      next.setActive(true);
      next.setTriggeredTimestamp(next.creationTimestamp());
      activatedNow = true;
    }
    if (next.isActive()) {
      os::Error attributeError;
      if (writeUserAttribute(*database, next.origin(), next.name(), next.value(),
                             next.triggeredTimestamp(), &attributeError)) {
        monitor().log(MonitorLevel::kDebug, 11012, "User property updated. Name, origin",
                      displayName, next.origin());
      } else {
        monitor().log(MonitorLevel::kErrorSampled, 11011,
                      "Cannot update user property from conditional user property. Name, "
                      "origin, error",
                      displayName, next.origin(), attributeError);
      }
      if (activatedNow) {
        triggeredEvent =
            eventFromTemplate(next.triggeredEvent(), next.origin(), next.triggeredTimestamp());
      }
    }
    if (savedActive) {
      next.setActive(true);
      next.setTriggeredTimestamp(saved->triggeredTimestamp());
    }
    if (!database->updateConditionalUserProperty(next, &error)) {
      monitor().log(MonitorLevel::kErrorSampled, 11014,
                    "Cannot insert user property from conditional user property. Name, origin, "
                    "error",
                    displayName, next.origin(), error);
      // A row the table refuses (it is full) takes back the user attribute written above:
      // without its row nothing would ever expire or clear that attribute.
      return false;
    }
    monitor().log(MonitorLevel::kDebug, 11013, "Conditional user property added. Name, origin",
                  displayName, next.origin());
    return true;
  });
  if (stored && triggeredEvent) engine->writeEventOnWorkerQueue(*triggeredEvent);
}

void ConditionalUserPropertyController::removeConditionalUserPropertyOnWorkerQueue(
    const ConditionalUserProperty* property) {
  std::shared_ptr<ConditionalUserPropertyEngine> engine =
      engineOnWorkerQueue("removeConditionalUserPropertyOnWorkerQueue:");
  if (!engine || !engine->isEnabled()) {
    monitor().log(MonitorLevel::kWarning, 11015,
                  "Cannot remove conditional user property. Analytics is disabled");
    return;
  }
  if (property == nullptr) {
    monitor().log(MonitorLevel::kError, 11016,
                  "Cannot remove nil conditional user property on worker queue");
    return;
  }
  Database* database = engine->database();
  if (database == nullptr) return;
  const std::string displayName = userPropertyDisplayName(property->name());
  std::optional<Event> clearEvent;
  bool removed = database->performTransaction([&] {
    clearEvent.reset();
    os::Error error;
    Lookup<ConditionalUserProperty> found =
        database->conditionalUserPropertyWithName(property->name(), &error);
    if (!found) {
      monitor().log(MonitorLevel::kErrorSampled, 11017,
                    "Cannot query conditional user property to remove. Name, origin, error",
                    displayName, property->origin(), error);
      return false;
    }
    if (!*found) {
      monitor().log(MonitorLevel::kWarningSampled, 11018,
                    "Cannot remove nonexistent conditional user property. Name, origin",
                    displayName, property->origin());
      return true;
    }
    const ConditionalUserProperty& saved = **found;
    if (!database->deleteConditionalUserPropertyWithName(saved.name(), &error)) {
      monitor().log(MonitorLevel::kErrorSampled, 11019,
                    "Cannot delete conditional user property. Name, origin, error", displayName,
                    saved.origin(), error);
      return false;
    }
    if (saved.isActive() && !database->deleteUserAttributeWithName(saved.name(), &error)) {
      monitor().log(MonitorLevel::kErrorSampled, 11020,
                    "Cannot remove conditional user property. Failed to delete the user "
                    "property. Name, origin, error",
                    displayName, saved.origin(), error);
      return false;
    }
    clearEvent = eventFromTemplate(property->expiredEvent(), saved.origin(), os::clock::now());
    return true;
  });
  if (removed && clearEvent) engine->writeEventOnWorkerQueue(*clearEvent);
}

}  // namespace measurement
