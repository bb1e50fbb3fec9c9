// User properties in the engine: set, remove and read them in the user_attributes table, keep
// the per-origin limits on distinct properties, and keep the internal properties that follow
// others: "_lair" after a user id change, "_npa" in line with the ad-personalization consent.
// Answers go out on the background global queue, never on the caller's thread.
#include "measurement/engine/measurement.h"
#include "measurement/foundation/lookup.h"
#include "measurement/model/display_names.h"
#include "measurement/model/error_parameters.h"
#include "os/process/clock.h"

namespace {

using measurement::MonitorLevel;
using measurement::Scheduler;
using measurement::UserAttribute;

constexpr int64_t kUserPropertyLimitReached = 9;
// Internal properties per origin; fixed, unlike the public limit.
constexpr int32_t kMaxInternalUserPropertiesPerOrigin = 25;

void answerInBackground(std::function<void()> block) {
  os::DispatchQueue::global(os::DispatchPriority::Low)->async(std::move(block));
}

std::string valueText(const UserAttribute& attribute) { return attribute.value().description(); }

}  // namespace

void APMMeasurement::setUserAttribute(const UserAttribute& attribute) {
  scheduleWeakly("APMMeasurement:2745", [attribute](APMMeasurement& engine) {
    engine.setUserAttributeOnWorkerQueue(attribute);
  });
}

void APMMeasurement::removeUserAttribute(const UserAttribute& attribute) {
  scheduleWeakly("APMMeasurement:2700", [attribute](APMMeasurement& engine) {
    engine.removeUserAttributeOnWorkerQueue(attribute);
  });
}

void APMMeasurement::setUserAttributeOnWorkerQueue(const UserAttribute& attribute) {
  Scheduler::checkOnBackgroundThread("setUserAttributeOnWorkerQueue");
  if (!isEnabled()) {
    monitor().log(MonitorLevel::kDebug, 23081, "Analytics is disabled. User property not set");
    return;
  }
  setUserPropertyInDatabaseOnWorkerQueue(attribute);
}

bool APMMeasurement::setUserPropertyInDatabaseOnWorkerQueue(const UserAttribute& attribute) {
  Scheduler::checkOnBackgroundThread("setUserPropertyInDatabaseOnWorkerQueue");
  if (!database_) return false;
  os::Error error;
  std::optional<bool> exists = database_->containsUserAttributeWithName(attribute.name(), &error);
  if (!exists) {
    monitor().log(MonitorLevel::kErrorSampled, 23082,
                  "Unable to query existence of user property. Name, error", attribute.name(),
                  error);
    return false;
  }
  if (attribute.name() == "_id" && *exists) {
    measurement::Lookup<UserAttribute> stored = database_->userAttributeWithName("_id", &error);
    if (stored && *stored && valueText(**stored) != valueText(attribute)) {
      if (auto identity = this->identity()) identity->resetSessionStitchingToken();
      database_->deleteUserAttributeWithName("_lair", &error);
    }
  }
  std::shared_ptr<measurement::Settings> settings = engineConfig()->settings();
  if (settings->DMAConsentEnabled() && attribute.name() == "_npa") {
    updateAdPersonalizationConsentFromNPAValue(os::Value(attribute.value().int64Value()));
  }
  if (!*exists) {
    os::Error countError;
    std::optional<int64_t> count =
        attribute.isPublic()
            ? database_->publicUserAttributeCount(&countError)
            : database_->userAttributeCountForOrigin(attribute.origin(), &countError);
    int64_t limit = attribute.isPublic() ? settings->maxPublicUserProperties()
                                         : kMaxInternalUserPropertiesPerOrigin;
    if (!count) {
      monitor().log(MonitorLevel::kErrorSampled, 23083,
                    "Unable to query user property count. Origin, error", attribute.origin(),
                    countError);
      return false;
    }
    if (*count >= limit) {
      monitor().log(MonitorLevel::kWarning, 23084,
                    "Unable to set user property. Reached limit on set user properties for "
                    "origin. Origin, name, value",
                    attribute.origin(), measurement::userPropertyDisplayName(attribute.name()),
                    valueText(attribute));
      measurement::logErrorEvent(kUserPropertyLimitReached);
      return false;
    }
  }
  if (!database_->updateUserAttribute(attribute, &error)) {
    monitor().log(
        MonitorLevel::kErrorSampled, 23085, "Unable to set user property. Name, value, error",
        measurement::userPropertyDisplayName(attribute.name()), valueText(attribute), error);
    return false;
  }
  monitor().log(MonitorLevel::kDebug, 23087, "User property set. Name, value",
                measurement::userPropertyDisplayName(attribute.name()), valueText(attribute));
  return true;
}

void APMMeasurement::removeUserAttributeOnWorkerQueue(const UserAttribute& attribute) {
  Scheduler::checkOnBackgroundThread("removeUserAttributeOnWorkerQueue");
  if (!isEnabled()) {
    monitor().log(MonitorLevel::kDebug, 23076, "Analytics is disabled. User property not removed");
    return;
  }
  if (attribute.name() == "_id") {
    if (auto identity = this->identity()) identity->resetSessionStitchingToken();
  }
  os::Error error;
  if (!database_ || !database_->deleteUserAttributeWithName(attribute.name(), &error)) {
    monitor().log(MonitorLevel::kErrorSampled, 23077, "Unable to remove user property. Name, error",
                  measurement::userPropertyDisplayName(attribute.name()), error);
    return;
  }
  monitor().log(MonitorLevel::kDebug, 23078, "User property removed. Name",
                measurement::userPropertyDisplayName(attribute.name()));
}

void APMMeasurement::userAttributeWithName(
    std::string name, std::function<void(std::optional<UserAttribute>)> callback) {
  if (!callback) {
    monitor().log(MonitorLevel::kError, 23088, "userAttributeWithName callback is nil");
    return;
  }
  scheduleWeakly("APMMeasurement:2887",
                 [name = std::move(name), callback = std::move(callback)](APMMeasurement& engine) {
                   os::Error error;
                   measurement::Lookup<UserAttribute> stored;
                   if (engine.database_)
                     stored = engine.database_->userAttributeWithName(name, &error);
                   if (!stored)
                     monitor().log(MonitorLevel::kErrorSampled, 23089,
                                   "Unable to get user attribute by name. Name", name);
                   std::optional<UserAttribute> answer = stored ? *stored : std::nullopt;
                   answerInBackground([callback, answer] { callback(answer); });
                 });
}

void APMMeasurement::userPropertiesIncludingInternal(bool includeInternal,
                                                     std::function<void(os::Dictionary)> callback) {
  if (!callback) {
    monitor().log(MonitorLevel::kError, 23090,
                  "Unable to retrieve user properties. Callback is nil");
    return;
  }
  scheduleWeakly("APMMeasurement:2942", [includeInternal,
                                         callback = std::move(callback)](APMMeasurement& engine) {
    os::Error error;
    std::optional<std::vector<UserAttribute>> attributes;
    if (engine.database_) {
      attributes = engine.database_->userAttributesIncludingInternal(includeInternal, &error);
    }
    if (!attributes)
      monitor().log(MonitorLevel::kErrorSampled, 23091, "Unable to retrieve user properties. Error",
                    error);
    os::Dictionary properties;
    for (const UserAttribute& attribute : attributes.value_or(std::vector<UserAttribute>{})) {
      const measurement::Value& value = attribute.value();
      if (attribute.name().empty()) {
        monitor().log(MonitorLevel::kWarning, 23092,
                      "Cannot add invalid public user property name or value.");
        continue;
      }
      if (value.isString()) {
        properties[attribute.name()] = *value.stringValue();
      } else if (value.isDouble()) {
        properties[attribute.name()] = value.doubleValue();
      } else if (value.isInt64()) {
        properties[attribute.name()] = value.int64Value();
      }
    }
    answerInBackground([callback, properties] { callback(properties); });
  });
}

void APMMeasurement::maxUserPropertiesForOrigin(std::string_view origin,
                                                std::function<void(int32_t)> callback) {
  if (origin.empty()) {
    monitor().log(MonitorLevel::kError, 23093,
                  "Origin for querying MaxUserProperties cannot be nil");
    return;
  }
  if (!callback) {
    monitor().log(MonitorLevel::kError, 23094, "MaxUserProperties callback cannot be nil. Origin",
                  origin);
    return;
  }
  answerInBackground([callback] { callback(kMaxInternalUserPropertiesPerOrigin); });
}

void APMMeasurement::setLastAdvertisingIDResetUserPropertyOnWorkerQueue() {
  os::Error error;
  std::optional<bool> hasUserID = database_->containsUserAttributeWithName("_id", &error);
  if (!hasUserID || !*hasUserID) return;
  std::optional<bool> hasReset = database_->containsUserAttributeWithName("_lair", &error);
  if (!hasReset || *hasReset) return;
  std::optional<UserAttribute> reset =
      UserAttribute::create("auto", "_lair", measurement::Value(int64_t{1}), os::clock::now());
  if (reset) setUserAttributeOnWorkerQueue(*reset);
  if (auto identity = this->identity())
    identity->setShouldSetLastAdvertisingIDResetUserProperty(false);
}

bool APMMeasurement::hasUserPropertyUserIDOnWorkerQueue() {
  if (!database_) return false;
  os::Error error;
  std::optional<bool> stored = database_->containsUserAttributeWithName("_id", &error);
  return stored && *stored;
}
