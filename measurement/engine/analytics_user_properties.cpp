// The facade's user properties and user ID, reset, app instance ID, session ID and user data.
// Names and values are checked, and timestamps taken, on the caller's thread; the engine is
// called on the facade's serial queue.
#include "measurement/engine/analytics.h"
#include "measurement/engine/analytics_state.h"
#include "measurement/engine/measurement.h"
#include "measurement/foundation/data_type_validator.h"
#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/persisted_config.h"
#include "measurement/foundation/settings.h"
#include "measurement/foundation/user_attribute.h"
#include "measurement/model/error_parameters.h"
#include "measurement/privacy/consent_settings.h"
#include "measurement/privacy/identity.h"
#include "os/process/clock.h"

using measurement::DataTypeValidator;
using measurement::monitor;
using measurement::MonitorLevel;

namespace {

constexpr const char* kAllowPersonalizedAdsName = "allow_personalized_ads";
constexpr int64_t kSessionIDErrorCode = 13;

// The error event of a refused user property: the name trimmed to the name limit.
void logUserPropertyError(int64_t code, std::string_view name,
                          const measurement::Value* offending) {
  measurement::logErrorEventWithNameAndValue(
      code, name, DataTypeValidator::kMaxUserPropertyNameLength, offending);
}

// 15 for a reserved name, else 6; the name is the offending value.
bool checkPublicUserPropertyName(std::string_view name) {
  int32_t failure = measurement::kValidationValid;
  if (DataTypeValidator::isValidPublicUserAttributeName(name, &failure)) return true;
  const measurement::Value offending{std::string(name)};
  logUserPropertyError(failure == measurement::kValidationReserved ? 15 : 6, name, &offending);
  return false;
}

void setUserAttributeOnEngine(measurement::UserAttribute attribute) {
  APMAnalytics::queueOperationWithBlock([attribute = std::move(attribute)] {
    if (std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance()) {
      engine->setUserAttribute(attribute);
    }
  });
}

void setPersonalizedAdsOnSerialQueue(const std::optional<std::string>& value) {
  const bool enabled = analyticsState().isAnalyticsEnabled;
  if (!enabled) {
    monitor().log(MonitorLevel::kDebug, 25033,
                  "Personalized Ads property changed while Analytics is disabled");
  }
  if (measurement::PersistedConfig* config = measurement::PersistedConfig::sharedInstance()) {
    config->setAllowPersonalizedAds(value ? os::Value(os::Value(*value).boolValue()) : os::Value());
  }
  if (!value && measurement::remoteSettings()->DMAConsentEnabled() &&
      measurement::ConsentSettings::adPersonalization()) {
    measurement::ConsentSettings::unsetAdPersonalization();
  }
  if (!enabled) return;
  std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
  if (!engine) return;
  os::Value disable = engine->shouldDisableAdPersonalization();
  std::optional<measurement::Value> npa = measurement::Value::valueFromObject(disable);
  std::optional<measurement::UserAttribute> attribute = measurement::UserAttribute::create(
      "auto", "_npa", npa.value_or(measurement::Value(int64_t{0})), os::clock::now());
  if (!attribute) return;
  if (disable.isNull()) {
    engine->removeUserAttribute(*attribute);
  } else {
    engine->setUserAttribute(*attribute);
  }
}

}  // namespace

void APMAnalytics::setUserPropertyString(std::optional<std::string> value, std::string_view name) {
  if (name == kAllowPersonalizedAdsName) {
    queueOperationWithBlock([value = std::move(value)] { setPersonalizedAdsOnSerialQueue(value); });
    return;
  }
  if (!value) {
    removeUserAttributeForName(name);
    return;
  }
  if (!checkPublicUserPropertyName(name)) return;
  const measurement::Value typed{*value};
  int32_t failure = measurement::kValidationValid;
  if (DataTypeValidator::isValidPublicUserAttributeValue(&typed, &failure)) {
    sharedInstance().setInternalUserProperty(os::Value(*value), name, "app");
  } else if (failure == measurement::kValidationTooLong) {
    logUserPropertyError(7, name, &typed);
  }
}

void APMAnalytics::setUserID(const os::Value& userID) {
  if (userID.isNull()) {
    removeInternalUserAttributeForName("_id");
    removeInternalUserAttributeForName("_lair");
    return;
  }
  if (!userID.isString()) {
    monitor().log(MonitorLevel::kError, 25004, "User ID must be NSString. User ID", userID);
    return;
  }
  sharedInstance().setInternalUserProperty(userID, "_id", "app");
}

void APMAnalytics::setUserAttributeNumber(const os::Value& number, std::string_view name) {
  if (!checkPublicUserPropertyName(name)) return;
  if (!number.isNumber() && !number.isBool()) return;
  measurement::Value value = number.asReal() ? measurement::Value(*number.asReal())
                                             : measurement::Value(number.integerValue());
  if (std::optional<measurement::UserAttribute> attribute = measurement::UserAttribute::create(
          "auto", std::string(name), std::move(value), os::clock::now())) {
    setUserAttributeOnEngine(std::move(*attribute));
  }
}

void APMAnalytics::removeUserAttributeForName(std::string_view name) {
  if (DataTypeValidator::isValidPublicUserAttributeName(name, nullptr)) {
    removeInternalUserAttributeForName(name);
  }
}

void APMAnalytics::setInternalUserProperty(const os::Value& value, std::string_view name,
                                           std::string_view origin) {
  if (!DataTypeValidator::isValidInternalUserAttributeName(name, nullptr)) {
    const measurement::Value offending{std::string(name)};
    logUserPropertyError(6, name, &offending);
    return;
  }
  if (origin.empty() || origin.size() > DataTypeValidator::kMaxEventOriginLength) {
    monitor().log(MonitorLevel::kErrorSilent, 25005,
                  "Unable to set user property. Origin is invalid. Origin, name",
                  std::string(origin), std::string(name));
    return;
  }
  if (value.isNull()) {
    removeInternalUserAttributeForName(name);
    return;
  }
  std::optional<measurement::Value> typed = measurement::Value::valueFromObject(value);
  if (!typed) return;
  int32_t failure = measurement::kValidationValid;
  if (DataTypeValidator::isValidInternalUserAttributeValue(&*typed, name, &failure)) {
    if (std::optional<measurement::UserAttribute> attribute = measurement::UserAttribute::create(
            std::string(origin), std::string(name), *typed, os::clock::now())) {
      setUserAttributeOnEngine(std::move(*attribute));
    }
  } else if (failure == measurement::kValidationTooLong) {
    std::optional<std::string> text = value.stringValue();
    const measurement::Value offending{text.value_or("")};
    logUserPropertyError(7, name, text ? &offending : nullptr);
  }
}

void APMAnalytics::removeInternalUserAttributeForName(std::string_view name) {
  // The removal carries no origin; the engine only reads the name.
  std::optional<measurement::UserAttribute> attribute = measurement::UserAttribute::create(
      "", std::string(name), measurement::Value(0.0), os::clock::now());
  if (!attribute) return;
  queueOperationWithBlock([attribute = std::move(*attribute)] {
    if (std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance()) {
      engine->removeUserAttribute(attribute);
    }
  });
}

void APMAnalytics::userPropertiesIncludingInternal(bool includeInternal,
                                                   std::shared_ptr<os::DispatchQueue> queue,
                                                   UserPropertiesCallback callback) {
  queueOperationWithBlock(
      [includeInternal, queue = std::move(queue), callback = std::move(callback)] {
        if (!callback) {
          monitor().log(MonitorLevel::kErrorSilent, 25006,
                        "Analytics userProperties callback cannot be nil");
          return;
        }
        if (!queue) {
          monitor().log(MonitorLevel::kErrorSilent, 25007,
                        "Cannot query for Analytics user properties. Queue cannot be nil");
          os::DispatchQueue::main()->async([callback] { callback({}); });
          return;
        }
        std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
        if (analyticsState().isAnalyticsEnabled && engine) {
          engine->userPropertiesIncludingInternal(
              includeInternal, [queue, callback](const os::Dictionary& properties) {
                queue->async([callback, properties] { callback(properties); });
              });
          return;
        }
        monitor().log(MonitorLevel::kWarningSilent, 25008,
                      "Cannot query for public user properties when Analytics is disabled");
        queue->async([callback] { callback({}); });
      });
}

void APMAnalytics::maxUserPropertiesForOrigin(std::string_view origin,
                                              std::shared_ptr<os::DispatchQueue> queue,
                                              std::function<void(int32_t)> callback) {
  if (origin.empty()) {
    monitor().log(MonitorLevel::kErrorSilent, 25009,
                  "Cannot query Analytics for max user properties. Origin must be a non-empty "
                  "string");
    return;
  }
  if (!queue) {
    monitor().log(MonitorLevel::kErrorSilent, 25010,
                  "Cannot query Analytics for max user properties. Queue cannot be nil. Origin",
                  std::string(origin));
    return;
  }
  if (!callback) {
    monitor().log(MonitorLevel::kErrorSilent, 25011,
                  "Cannot query Analytics for max user properties. MaxUserProperties callback "
                  "cannot be nil. Origin",
                  std::string(origin));
    return;
  }
  queueOperationWithBlock(
      [origin = std::string(origin), queue = std::move(queue), callback = std::move(callback)] {
        if (std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance()) {
          engine->maxUserPropertiesForOrigin(origin, [queue, callback](int32_t count) {
            queue->async([callback, count] { callback(count); });
          });
        }
      });
}

void APMAnalytics::resetAnalyticsData() {
  setLoadTimestamp(os::clock::now());
  setResetRetryCount(resetRetryCount() + 1);
  setNeedFirstOpenAfterReset(true);
  std::optional<std::string> newID = measurement::Identity::randomAppInstanceID();
  if (newID->empty()) {
    monitor().log(MonitorLevel::kErrorSampled, 25039, "Cannot generate a new app instance ID");
    return;
  }
  if (measurement::ConsentSettings::isAnalyticsStorageDenied()) {
    newID.reset();
  } else {
    setAppInstanceIDAfterReset(newID);
  }
  queueOperationWithBlock([newID] {
    std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
    if (!engine || !engine->resetAnalyticsDataWithAppInstanceID(newID)) {
      monitor().log(MonitorLevel::kErrorSampled, 25037, "Failed to reset Analytics data");
      return;
    }
    setResetRetryCount(0);
    if (newID && appInstanceIDAfterReset() == newID) setAppInstanceIDAfterReset(std::nullopt);
  });
}

std::optional<std::string> APMAnalytics::appInstanceID() {
  if (measurement::ConsentSettings::isAnalyticsStorageDenied()) return std::nullopt;
  std::optional<std::string> afterReset = appInstanceIDAfterReset();
  if (afterReset && !afterReset->empty()) return afterReset;
  return measurement::Identity::sharedInstance()->appInstanceID();
}

void APMAnalytics::sessionIDWithCompletion(SessionIDCompletion completion) {
  if (!completion) {
    monitor().log(MonitorLevel::kErrorSampled, 25050,
                  "Analytics sessionID completion cannot be nil");
    return;
  }
  // The answer always arrives later, on the global queue, whoever gives it.
  auto answer = [completion = std::move(completion)](int64_t sessionID,
                                                     std::optional<os::Error> error) {
    os::DispatchQueue::global()->async(
        [completion, sessionID, error] { completion(sessionID, error ? &*error : nullptr); });
  };
  dispatchAsyncOnSerialQueue([answer] {
    std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
    if (!engine || !engine->didInitializeComponents()) {
      answer(0, measurement::measurementError(kSessionIDErrorCode, "Analytics uninitialized"));
    } else if (!measurement::remoteSettings()->isSessionIDEnabled()) {
      answer(0, measurement::measurementError(kSessionIDErrorCode, "Session ID API disabled"));
    } else {
      engine->sessionIDWithCompletion(answer);
    }
  });
}

void APMAnalytics::setUserData(const os::Dictionary& userData) {
  queueOperationWithBlockThenWait([userData] {
    if (!analyticsState().isAnalyticsEnabled) {
      monitor().log(MonitorLevel::kWarningSampled, 25044,
                    "Analytics is disabled. User data not set.");
      return;
    }
    if (std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance()) {
      engine->setUserData(userData);
    }
  });
}
