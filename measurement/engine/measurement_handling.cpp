// The single road of an accepted event on the worker queue: the enabled switch, the allow-list,
// sessions, subscription and rollout de-duplication, the server's event editing, conditional user
// properties and the blocklist, then one write transaction per event. The order of the steps is
// the contract: each sees the event as the ones before left it.
#include <algorithm>
#include <string>
#include <utility>

#include "measurement/engine/measurement.h"
#include "measurement/model/display_names.h"
#include "measurement/model/error_parameters.h"
#include "measurement/model/event_names.h"
#include "os/process/clock.h"

namespace {

using measurement::Event;
using measurement::MonitorLevel;
using measurement::Scheduler;

constexpr int64_t kEventIsBlocked = 11;
constexpr int32_t kBlockedNameLimit = 40;

// The parameter's value when it is a string.
const std::string* stringParameter(const Event& event, std::string_view name) {
  auto found = event.parameters().find(name);
  return found == event.parameters().end() ? nullptr : found->second.stringValue();
}

}  // namespace

std::shared_ptr<measurement::RemoteConfig> APMMeasurement::engineConfig() const {
  std::shared_ptr<measurement::RemoteConfig> config = remoteConfigInstance();
  return config ? config : measurement::RemoteConfig::defaultInstance();
}

void APMMeasurement::handleEventOnWorkerQueue(Event event) {
  Scheduler::checkOnBackgroundThread("handleEventOnWorkerQueue");
  // The schedule asks the database half a dozen questions after every event: asked in one read
  // transaction, they take the file's locks once.
  auto updateSchedule = [this] {
    if (database_) {
      database_->performReads([this] { this->updateSchedule(); });
    } else {
      this->updateSchedule();
    }
  };
  if (!isEnabled()) {
    monitor().log(MonitorLevel::kDebug, 23049, "Analytics is disabled. Event not logged");
    return;
  }
  std::optional<Event> safelisted = eventAfterSafelistingEvent(event);
  if (!safelisted) return;
  event = std::move(*safelisted);
  processSessionFromEvent(event);
  if (!dedupeSubscriptionEvent(event)) return;
  if (shouldDropDuplicatedSessionStartWithRolloutEvent(event)) return;
  std::optional<Event> withRollouts = appExceptionEventWithRiveravoFeatureRollouts(event);
  if (!withRollouts) return;
  event = std::move(*withRollouts);
  writeSessionStartEventOnWorkerQueue(event);

  std::shared_ptr<measurement::RemoteConfig> config = remoteConfigInstance();
  std::shared_ptr<measurement::EventEditing> editing = config ? config->eventEditing() : nullptr;
  if (!editing) {
    writeEventOnWorkerQueue(event);
    updateSchedule();
    return;
  }
  os::Error error;
  std::optional<measurement::EditOutcome> outcome = editing->handleEvent(event.editEvent(), &error);
  if (!outcome) {
    writeEventOnWorkerQueue(event);
    monitor().log(MonitorLevel::kErrorSampled, 23223, "Event editing failed. Event name",
                  event.name());
    // The unedited event is stored: it must not wait for the next launch to be uploaded.
    updateSchedule();
    return;
  }
  if (outcome->edited) {
    std::optional<Event> edited = Event::eventFromEditEvent(*outcome->edited);
    if (edited) {
      writeEventOnWorkerQueue(*edited);
    } else {
      monitor().log(MonitorLevel::kErrorSampled, 23223, "Event editing failed. Event name",
                    outcome->edited->name);
    }
  } else {
    writeEventOnWorkerQueue(event);
  }
  for (const measurement::EditEvent& created : outcome->created) {
    // A created event that is no valid event (an origin or time no event may have) is left out;
    // the others are still written.
    std::optional<Event> next = Event::eventFromEditEvent(created);
    if (!next) {
      monitor().log(MonitorLevel::kErrorSampled, 23223, "Event editing failed. Event name",
                    created.name);
      continue;
    }
    writeEventOnWorkerQueue(*next);
  }
  updateSchedule();
}

std::optional<Event> APMMeasurement::eventAfterSafelistingEvent(const Event& event) {
  if (!safelistedEvents_ || safelistedEvents_->empty()) return event;
  if (std::find(safelistedEvents_->begin(), safelistedEvents_->end(), event.name()) ==
      safelistedEvents_->end()) {
    monitor().log(MonitorLevel::kWarning, 23174,
                  "Event dropped. Reason: not in allowlist. Event name, origin", event.name(),
                  event.origin());
    return std::nullopt;
  }
  measurement::RawParameters parameters = measurement::rawParameters(event.parameters());
  parameters["ga_safelisted"] = measurement::Value(int64_t{1});
  return event.copyWithParameters(parameters);
}

bool APMMeasurement::dedupeSubscriptionEvent(const Event& event) {
  if (!measurement::isSubscriptionEvent(event.name(), event.parameters())) return true;
  auto did = event.parameters().find("_did");
  if (did == event.parameters().end() || !did->second.isInt64()) return true;
  const std::string* productID = stringParameter(event, "product_id");
  os::Error error;
  std::optional<bool> inserted = database_->insertIfNotDuplicateSubscriptionID(
      std::to_string(did->second.int64Value()), &error);
  if (!inserted) {
    monitor().log(MonitorLevel::kErrorSilent, 23181,
                  "Failed to save subscription ID. Product ID, error",
                  productID ? *productID : std::string(), error);
  } else if (!*inserted) {
    monitor().log(MonitorLevel::kWarningSampled, 23182,
                  "Event dropped. Reason: Subscription purchase is a duplicate. Product ID",
                  productID ? *productID : std::string());
    return false;
  }
  os::Error pruneError;
  std::optional<int64_t> deleted = database_->deleteSubscriptionsOverLimit(&pruneError);
  if (!deleted) {
    monitor().log(MonitorLevel::kWarningSilent, 23183,
                  "Failed to delete older subscription records. Error", pruneError);
    return false;
  }
  if (*deleted != 0) {
    monitor().log(MonitorLevel::kWarningSilent, 23184,
                  "Deleted older subscription records beyond limit", *deleted);
  }
  return true;
}

bool APMMeasurement::shouldDropDuplicatedSessionStartWithRolloutEvent(const Event& event) {
  if (event.name() != "_ssr") return false;
  std::optional<std::string> stored = persistedConfig_->riveravoFeatureRollouts();
  auto found = event.parameters().find("_ffr");
  const measurement::Value* value = found == event.parameters().end() ? nullptr : &found->second;
  const std::string* text = value ? value->stringValue() : nullptr;
  bool duplicate = stored ? (text && *text == *stored) : (!value || (text && text->empty()));
  if (duplicate) {
    monitor().log(MonitorLevel::kVerbose, 23191,
                  "Feature rollouts value is a duplicate, dropping event");
    return true;
  }
  if (text && !text->empty()) {
    persistedConfig_->setRiveravoFeatureRollouts(*text);
  } else {
    persistedConfig_->setRiveravoFeatureRollouts(std::nullopt);
    if (value && !text) {
      monitor().log(MonitorLevel::kErrorSilent, 23190,
                    "Unable to process riveravo feature rollouts, value is not a string.");
    }
  }
  return false;
}

std::optional<Event> APMMeasurement::appExceptionEventWithRiveravoFeatureRollouts(
    const Event& event) {
  if (event.name() != "_ae") return event;
  std::optional<std::string> stored = persistedConfig_->riveravoFeatureRollouts();
  if (!stored) return event;
  measurement::RawParameters parameters = measurement::rawParameters(event.parameters());
  parameters["_ffr"] = measurement::Value(*stored);
  return event.copyWithParameters(parameters);
}

void APMMeasurement::writeSessionStartEventOnWorkerQueue(const Event& event) {
  Scheduler::checkOnBackgroundThread("writeSessionStartEventOnWorkerQueue");
  if (event.name() != "_s") return;
  std::optional<std::string> stored = persistedConfig_->riveravoFeatureRollouts();
  if (!stored) return;
  std::optional<Event> rollouts =
      Event::initWithOrigin("auto", false, "_ssr", os::clock::now(), 0,
                            measurement::RawParameters{{"_ffr", measurement::Value(*stored)}});
  if (rollouts) writeEventOnWorkerQueue(*rollouts);
}

void APMMeasurement::writeEventOnWorkerQueue(const Event& event) {
  Scheduler::checkOnBackgroundThread("writeEventOnWorkerQueue");
  monitor().log(MonitorLevel::kDebug, 23051, "Logging event: origin, name, params", event.origin(),
                measurement::eventDisplayName(event.name()),
                measurement::dictionaryDescription(event.parameters()));
  std::optional<std::vector<Event>> triggered =
      conditionalUserPropertyController_->processEventOnWorkerQueue(&event);
  if (!triggered) {
    monitor().log(MonitorLevel::kWarningSampled, 23050,
                  "Unable to process conditional user property. Event name, origin", event.name(),
                  event.origin());
  }
  writeFilteredEventOnWorkerQueue(event);
  if (triggered) {
    for (const Event& next : *triggered) writeFilteredEventOnWorkerQueue(next);
  }
}

void APMMeasurement::writeFilteredEventOnWorkerQueue(const Event& event) {
  std::shared_ptr<measurement::RemoteConfig> config = engineConfig();
  if (config->isEventBlocklisted(event.name())) {
    monitor().log(MonitorLevel::kWarningSilent, 23052, "Rejected event. Event name", event.name());
    std::shared_ptr<measurement::Settings> settings = config->settings();
    if (settings->blocklistInternal() || settings->blocklistPublic() || event.name() == "_err") {
      return;
    }
    measurement::logErrorEventWithNameAndValue(kEventIsBlocked, event.name(), kBlockedNameLimit,
                                               nullptr);
    return;
  }
  if (auto identity = this->identity()) identity->updateIdentifiers();
  Event marked = event;
  if (measurement::isPurchaseEventName(marked.name())) marked.setConversion(true);
  writeEventTransactionOnWorkerQueue(marked);
}
