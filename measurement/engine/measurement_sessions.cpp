// Sessions on the event road: while the app is in the background an event may start or extend
// a session, and an expired session's user properties must not ride along with later events.
// The session reporter owns the session clock; this only asks it and acts.
#include "measurement/engine/analytics.h"
#include "measurement/engine/measurement.h"
#include "measurement/engine/session_reporter.h"
#include "measurement/foundation/lookup.h"
#include "measurement/foundation/measurement_error.h"
#include "measurement/model/session_start_event.h"

namespace {

using measurement::Event;
using measurement::MonitorLevel;
using measurement::Scheduler;

// The session properties an expired session leaves behind, with what a failed removal logs.
struct SessionProperty {
  const char* name;
  int64_t code;
  const char* message;
};
constexpr SessionProperty kSessionProperties[] = {
    {"_sid", 23177, "Failed to remove session ID user property on session expiration. Error"},
    {"_sno", 23178, "Failed to remove session number user property on session expiration. Error"},
    {"_se", 23192,
     "Failed to remove session user engagement user property on session expiration. Error"},
};

// The session-ID query's answer when there is no session ID to give.
constexpr int64_t kSessionIDErrorCode = 13;

os::Error sessionIDError(const char* description) {
  return os::Error(measurement::kMeasurementErrorDomain, kSessionIDErrorCode, description);
}

}  // namespace

void APMMeasurement::setSessionTimeoutInterval(double seconds) {
  scheduleWeakly("APMMeasurement:1584", [seconds](APMMeasurement& engine) {
    if (auto sessions = engine.sessionReporter()) sessions->setTimeoutSessionInterval(seconds);
  });
}

void APMMeasurement::sessionIDWithCompletion(
    std::function<void(int64_t sessionID, std::optional<os::Error> error)> completion) {
  scheduler_->scheduleOnWorkerQueue(
      "APMMeasurement:3098", [weak = weak_from_this(), completion = std::move(completion)] {
        std::shared_ptr<APMMeasurement> engine = weak.lock();
        if (!engine) return completion(0, sessionIDError("Analytics deallocated"));
        if (!engine->isEnabled()) return completion(0, sessionIDError("Analytics disabled"));
        std::shared_ptr<APMSessionReporter> sessions = engine->sessionReporter();
        if (!sessions || sessions->isSessionExpired()) {
          return completion(0, sessionIDError("Session expired"));
        }
        os::Error error;
        measurement::Lookup<measurement::UserAttribute> sessionID;
        if (engine->database_) sessionID = engine->database_->userAttributeWithName("_sid", &error);
        if (!sessionID || !*sessionID || !(*sessionID)->value().isInt64()) {
          return completion(0, sessionIDError("Session ID not found"));
        }
        completion((*sessionID)->value().int64Value(), std::nullopt);
      });
}

void APMMeasurement::processSessionFromEvent(const Event& event) {
  if (APMAnalytics::isAppActive()) return;
  std::shared_ptr<APMSessionReporter> sessions = sessionReporter();
  if (!sessions) return;
  auto extend = event.parameters().find("extend_session");
  if (extend != event.parameters().end()) {
    if (extend->second.isInt64() && extend->second.int64Value() == 1) {
      if (sessions->isSessionExpired()) {
        reportSessionStartOnWorkerQueueWithTimestamp(event.timestamp(), true);
      } else {
        sessions->extendSession();
      }
    } else {
      monitor().log(MonitorLevel::kWarning, 23179,
                    "extend_session is a reserved parameter. To extend or start a session in the "
                    "background, set an event parameter {@'extend_session': @1}");
    }
  }
  if (!sessions->isSessionExpired() || !database_) return;
  database_->performTransaction([&] {
    for (const SessionProperty& property : kSessionProperties) {
      os::Error error;
      if (!database_->deleteUserAttributeWithName(property.name, &error)) {
        monitor().log(MonitorLevel::kErrorSilent, property.code, property.message, error);
        return false;
      }
    }
    return true;
  });
}

void APMMeasurement::reportSessionStartOnWorkerQueueWithTimestamp(double timestamp,
                                                                  bool appInBackground) {
  Scheduler::checkOnBackgroundThread("reportSessionStartOnWorkerQueue");
  std::shared_ptr<APMSessionReporter> sessions = sessionReporter();
  if (!sessions || !sessions->isSessionExpired()) return;
  sessions->updatePropertiesForNewSessionStart();
  if (auto sessionID = sessions->sessionIDPropertyWithTimestamp(timestamp)) {
    setUserAttributeOnWorkerQueue(*sessionID);
  }
  if (auto sessionNumber = sessions->sessionNumberProperty()) {
    setUserAttributeOnWorkerQueue(*sessionNumber);
  }
  bool inBackground =
      appInBackground && engineConfig()->settings()->appInBackgroundParameterEnabled();
  std::optional<Event> start = measurement::sessionStartEvent(
      os::Value(persistedConfig_->sessionNumber()), inBackground, timestamp);
  if (start) handleInternalEventOnWorkerQueue(*start);
}

void APMMeasurement::backfillSessionNumber() {
  if (!database_ || persistedConfig_->sessionNumber() != 0) return;
  os::Error error;
  measurement::Lookup<measurement::EventAggregates> starts =
      database_->eventAggregatesWithName("_s", &error);
  if (!starts) {
    monitor().log(MonitorLevel::kErrorSampled, 23063,
                  "Unable to query event aggregates. Name, error", "_s", error);
    return;
  }
  if (*starts) persistedConfig_->setSessionNumber((*starts)->lifetimeCount());
}
