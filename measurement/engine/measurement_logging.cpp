// The engine's logging entry on the worker queue, the default event parameters and the count of
// earlier first opens. Everything that decides whether an event is stored comes after this, in
// handleEventOnWorkerQueue.
#include <string>
#include <utility>

#include "measurement/engine/analytics.h"
#include "measurement/engine/measurement.h"
#include "measurement/foundation/data_type_validator.h"
#include "measurement/model/display_names.h"
#include "measurement/model/error_parameters.h"
#include "measurement/model/event_names.h"

namespace {

using measurement::DataTypeValidator;
using measurement::Event;
using measurement::MonitorLevel;
using measurement::RawParameters;
using measurement::Scheduler;

// Error-event codes of the defaults.
constexpr int64_t kDefaultParametersTrimmed = 26;
constexpr int64_t kDefaultParameterIsArray = 27;

// The log text of parameters as the host gave them.
std::string rawParametersDescription(const RawParameters& parameters) {
  os::Dictionary plain;
  for (const auto& [key, value] : parameters) {
    const auto* host = std::get_if<os::Value>(&value);
    plain[key] = host ? *host : std::get<measurement::Value>(value).object();
  }
  return measurement::dictionaryDescription(plain);
}

}  // namespace

void APMMeasurement::logEventOnWorkerQueueWithOrigin(
    const std::string& origin, bool isPublicEvent, const std::string& name,
    RawParameters parameters, double timestamp, bool enabled, bool ignoreEnabled,
    bool ignoreInterceptor, const APMLogEventInterceptor& interceptor,
    const measurement::Parameters& addedScreenParameters) {
  Scheduler::checkOnBackgroundThread("logEventOnWorkerQueueWithOrigin");
  if (!ignoreInterceptor && name != "_err") {
    parameters = parametersWithAddedDefaultEventParameters(std::move(parameters));
  }
  std::optional<Event> event =
      Event::initWithOrigin(origin, isPublicEvent, name, timestamp, 0, parameters);
  if (!event) {
    monitor().log(MonitorLevel::kErrorSampled, 23219,
                  "Attempted to log nil event. Origin, name, parameters", origin,
                  measurement::eventDisplayName(name), rawParametersDescription(parameters));
    return;
  }
  if (!addedScreenParameters.empty()) {
    event->addScreenParameters(measurement::rawParameters(addedScreenParameters));
  }
  if ((!enabled && !ignoreEnabled) || isAdExposureEvent(*event)) {
    logEventOnWorkerQueue(*event, false);
    return;
  }
  if (!ignoreInterceptor && isPublicEvent && interceptor) {
    RawParameters intercepted = parameters;
    for (const auto& [key, value] : addedScreenParameters) intercepted[key] = value;
    interceptor(origin, name, intercepted, timestamp);
    return;
  }
  logEventOnWorkerQueue(*event, true);
}

void APMMeasurement::logEventOnWorkerQueue(const Event& event, bool notifyEventListeners) {
  if (!notifyEventListeners) {
    handleEventOnWorkerQueue(event);
    return;
  }
  Event before = event;
  handleEventOnWorkerQueue(event);
  APMAnalytics::notifyEventListeners(before);
}

void APMMeasurement::logEvent(const std::optional<Event>& event) {
  if (!event) {
    monitor().log(MonitorLevel::kWarningSampled, 23048, "Attempted to log nil event");
    return;
  }
  scheduleWeakly("APMMeasurement:2509", [event = *event](APMMeasurement& engine) {
    engine.handleEventOnWorkerQueue(event);
  });
}

void APMMeasurement::handleInternalEventOnWorkerQueue(Event event) {
  Scheduler::checkOnBackgroundThread("handleInternalEventOnWorkerQueue");
  if (event.name() != "_err") {
    std::optional<os::Dictionary> defaults = persistedConfig_->defaultEventParameters();
    if (defaults && !defaults->empty())
      event.applyParameters(measurement::rawParameters(*defaults));
  }
  handleEventOnWorkerQueue(event);
  APMAnalytics::notifyEventListeners(event);
}

void APMMeasurement::setDefaultEventParameters(std::optional<os::Dictionary> parameters) {
  scheduleWeakly("APMMeasurement:2518",
                 [parameters = std::move(parameters)](APMMeasurement& engine) {
                   engine.handleSetDefaultEventParametersOnWorkerQueue(parameters);
                 });
}

void APMMeasurement::handleSetDefaultEventParametersOnWorkerQueue(
    const std::optional<os::Dictionary>& parameters) {
  Scheduler::checkOnBackgroundThread("handleSetDefaultEventParametersOnWorkerQueue");
  if (!isEnabled()) {
    monitor().log(MonitorLevel::kDebug, 23211,
                  "Analytics is disabled. Default event parameters not updated");
    return;
  }
  os::Dictionary defaults;
  if (parameters) defaults = persistedConfig_->defaultEventParameters().value_or(os::Dictionary{});
  for (const auto& [key, value] : parameters.value_or(os::Dictionary{})) {
    if (!value.isNull() && !value.isNumber() && !value.isString()) {
      if (value.isArray()) measurement::logErrorEvent(kDefaultParameterIsArray);
      monitor().log(MonitorLevel::kWarningSampled, 23213,
                    "Invalid key in default event parameters. Parameter ignored.");
      continue;
    }
    int32_t failure = 0;
    if (!DataTypeValidator::isValidPublicEventParameterName(key, &failure)) {
      monitor().log(MonitorLevel::kWarningSampled, 23214,
                    "Invalid default event parameter name. Name", key);
      continue;
    }
    if (value.isNull()) {
      defaults.erase(key);
      continue;
    }
    std::optional<measurement::Value> converted = measurement::Value::valueFromObject(value);
    if (!converted || !DataTypeValidator::isValidPublicEventParameterValue(&*converted, &failure)) {
      continue;
    }
    defaults[key] = value;
  }
  auto limit = static_cast<size_t>(engineConfig()->settings()->maxPublicEventParams());
  if (defaults.size() > limit) {
    // The keys last in sorted order go first.
    while (defaults.size() > limit) defaults.erase(std::prev(defaults.end()));
    measurement::logErrorEvent(kDefaultParametersTrimmed);
    monitor().log(MonitorLevel::kWarningSampled, 23215,
                  "Too many default event parameters set. Discarding beyond event parameter "
                  "limit");
  }
  monitor().log(MonitorLevel::kDebug, 23216, "Updating default event parameters. Parameters",
                os::Value(defaults));
  persistedConfig_->setDefaultEventParameters(defaults);
}

RawParameters APMMeasurement::parametersWithAddedDefaultEventParameters(
    RawParameters parameters) const {
  std::optional<os::Dictionary> defaults = persistedConfig_->defaultEventParameters();
  if (!defaults || defaults->empty()) return parameters;
  RawParameters merged = measurement::rawParameters(*defaults);
  for (auto& [key, value] : parameters) merged[key] = std::move(value);
  return merged;
}

std::optional<std::string> APMMeasurement::previousFirstOpenCount() const {
  os::Value count = persistedConfig_->previousFirstOpenCount();
  if (!count.isNumber()) return std::nullopt;
  return std::to_string(count.integerValue());
}

void APMMeasurement::setPreviousFirstOpenCount(const std::optional<std::string>& count) {
  if (!count) {
    persistedConfig_->setPreviousFirstOpenCount(os::Value());
    return;
  }
  persistedConfig_->setPreviousFirstOpenCount(os::Value(os::Value(*count).integerValue()));
}
