#include "measurement/model/event.h"

#include <cmath>
#include <limits>
#include <utility>
#include <variant>
#include <vector>

#include "measurement/foundation/data_type_validator.h"
#include "measurement/foundation/event_names.h"
#include "measurement/foundation/monitor.h"
#include "measurement/model/display_names.h"
#include "measurement/model/error_parameters.h"
#include "measurement/model/event_names.h"
#include "measurement/model/event_params.h"
#include "measurement/wire/access.h"

namespace measurement {
namespace {

// The error code that switching conversion off records.
constexpr int64_t kConversionOffErrorCode = 10;

bool isValidOrigin(std::string_view origin) {
  int32_t failure = kValidationValid;
  if (DataTypeValidator::isValidForwardedEventOrigin(origin, &failure)) return true;
  return failure == kValidationNotForwardedOrigin &&
         DataTypeValidator::isValidInternalEventOrigin(origin, nullptr);
}

bool isValidName(std::string_view name, bool isPublic) {
  if (isPublic && !DataTypeValidator::isValidPublicEventName(name, nullptr)) return false;
  return DataTypeValidator::isValidInternalEventName(name, nullptr);
}

// Whether the seconds `timestamp` become milliseconds that an int64 holds.
bool hasInt64Milliseconds(double timestamp) {
  constexpr double kLimit = 9223372036854775808.0;  // 2^63
  double milliseconds = timestamp * 1000;
  return std::isfinite(milliseconds) && milliseconds >= -kLimit && milliseconds < kLimit;
}

// Seconds as milliseconds truncated toward zero; the initializer made sure they fit.
int64_t milliseconds(double timestamp) { return static_cast<int64_t>(timestamp * 1000); }

bool hasInt64One(const Parameters& parameters, std::string_view key) {
  auto found = parameters.find(key);
  return found != parameters.end() && found->second.isInt64() && found->second.int64Value() == 1;
}

void setFlag(Parameters& parameters, const char* key, bool on) {
  if (on) {
    parameters.insert_or_assign(key, Value(int64_t{1}));
  } else {
    parameters.erase(key);
  }
}

// The text of a screen string given as a plain string or a string Value; nullptr otherwise.
const std::string* screenText(const RawParameter& raw) {
  if (const os::Value* plain = std::get_if<os::Value>(&raw)) return plain->asString();
  return std::get<Value>(raw).stringValue();
}

bool isScreenInstanceID(const RawParameter& raw) {
  if (const os::Value* plain = std::get_if<os::Value>(&raw)) return plain->isNumber();
  return std::get<Value>(raw).isInt64();
}

std::optional<Value> convertedScreenValue(const RawParameter& raw) {
  if (const os::Value* plain = std::get_if<os::Value>(&raw)) return Value::valueFromObject(*plain);
  return std::get<Value>(raw);
}

}  // namespace

std::optional<Event> Event::initWithOrigin(std::string_view origin, bool isPublic,
                                           std::string_view name, double timestamp,
                                           double previousTimestamp,
                                           const RawParameters& parameters) {
  if (!isValidOrigin(origin) || !isValidName(name, isPublic)) return std::nullopt;
  if (!hasInt64Milliseconds(timestamp) || !hasInt64Milliseconds(previousTimestamp)) {
    return std::nullopt;
  }
  if (previousTimestamp > timestamp) {
    monitor().log(MonitorLevel::kWarningSilent, 16002,
                  "Event created with previous timestamp after current timestamp");
  }
  Event event;
  event.origin_ = origin;
  event.name_ = name;
  event.timestamp_ = timestamp;
  event.previousTimestamp_ = previousTimestamp;
  event.parameters_ =
      sanitizedEventParameters(parameters, name, isPublic, false).value_or(Parameters{});
  event.parameters_.insert_or_assign("_o", Value(std::string(origin)));
  if (event.shouldValidateParams() && !hasValidValueAndCurrency(event.parameters_)) {
    event.parameters_.erase("_c");
  }
  return event;
}

std::optional<Event> Event::copyWithPreviousTimestamp(double previousTimestamp) const {
  return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp,
                        rawParameters(parameters_));
}

std::optional<Event> Event::copyWithParameters(const RawParameters& parameters) const {
  return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp_, parameters);
}

std::optional<Event> Event::copy() const { return copyWithPreviousTimestamp(previousTimestamp_); }

bool Event::isConversion() const { return hasInt64One(parameters_, "_c"); }

void Event::setConversion(bool conversion) {
  if (conversion) {
    if (!hasValidValueAndCurrency(parameters_)) return;
    setFlag(parameters_, "_c", true);
    auto error = parameters_.find("_err");
    if (error != parameters_.end() && error->second == Value(kConversionOffErrorCode)) {
      parameters_.erase(error);
    }
  } else if (parameters_.erase("_c") > 0) {
    setErrorCodeIfAbsent(parameters_, kConversionOffErrorCode);
  }
}

bool Event::isRealtime() const {
  auto found = parameters_.find("_r");
  if (found == parameters_.end()) return false;
  if (!found->second.isInt64()) {
    monitor().log(MonitorLevel::kErrorSilent, 16006,
                  "Realtime parameter must be an int64. Event name", name_);
    return false;
  }
  return found->second.int64Value() == 1;
}

void Event::setRealtime(bool realtime) { setFlag(parameters_, "_r", realtime); }

bool Event::isDebug() const { return hasInt64One(parameters_, "_dbg"); }

void Event::setDebug(bool debug) { setFlag(parameters_, "_dbg", debug); }

bool Event::shouldValidateParams() const {
  return isConversion() || name_ == "ad_impression" || name_ == "_ai";
}

void Event::applyParameters(const RawParameters& extra) {
  if (extra.empty()) return;
  std::optional<Parameters> sanitized = sanitizedEventParameters(extra, std::nullopt, true, false);
  if (!sanitized || sanitized->empty()) return;
  for (auto& [key, value] : parameters_) sanitized->insert_or_assign(key, std::move(value));
  parameters_ = std::move(*sanitized);
}

bool Event::addScreenParameters(const RawParameters& screen) {
  if (screen.empty() || hasScreenParameters(parameters_)) return false;
  auto instance = screen.find("_si");
  if (instance == screen.end()) return false;

  // Checks "_sc" or "_sn" when given; logs an invalid string.
  auto acceptable = [&](const char* key, int64_t code, const char* message) {
    auto found = screen.find(key);
    if (found == screen.end()) return true;
    const std::string* text = screenText(found->second);
    if (text == nullptr) return false;
    if (!DataTypeValidator::isValidScreenParameterValue(os::Value(*text), nullptr)) {
      monitor().log(MonitorLevel::kWarning, code, message, *text);
      return false;
    }
    return true;
  };
  if (!acceptable("_sc", 16003, "Received invalid screen class")) return false;
  if (!isScreenInstanceID(instance->second)) return false;
  if (!acceptable("_sn", 16004, "Received invalid screen name")) return false;

  std::optional<Value> instanceID = convertedScreenValue(instance->second);
  if (!instanceID) return false;
  parameters_.insert_or_assign("_si", std::move(*instanceID));
  for (const char* key : {"_sc", "_sn"}) {
    auto found = screen.find(key);
    if (found == screen.end()) continue;
    if (std::optional<Value> value = convertedScreenValue(found->second)) {
      parameters_.insert_or_assign(key, std::move(*value));
    }
  }
  return true;
}

EditEvent Event::editEvent() const {
  const NameTable& publicNames = internalToPublicEventNames();
  auto found = publicNames.find(name_);
  return EditEvent{found != publicNames.end() ? found->second : name_, timestamp_,
                   plainParametersFromEventParameters(parameters_)};
}

std::optional<Event> Event::eventFromEditEvent(const EditEvent& edited) {
  const NameTable& internalNames = publicToInternalEventNames();
  auto found = internalNames.find(edited.name);
  std::string name = found != internalNames.end() ? found->second : edited.name;
  auto origin = edited.parameters.find("_o");
  const std::string* originText =
      origin != edited.parameters.end() ? origin->second.asString() : nullptr;
  return initWithOrigin(originText != nullptr ? *originText : "app", false, name, edited.timestamp,
                        0, rawParameters(edited.parameters));
}

APMPBEvent Event::protoEvent() const {
  APMPBEvent message;
  APMPBSetString(message, kEvent_name, name_);
  if (previousTimestamp_ > std::numeric_limits<double>::epsilon()) {
    APMPBSetInt64(message, kEvent_previous_timestamp_millis, milliseconds(previousTimestamp_));
  }
  APMPBSetInt64(message, kEvent_timestamp_millis, milliseconds(timestamp_));
  APMPBSetArray(message, kEvent_params, eventParamsFromParameters(parameters_, name_));
  return message;
}

std::optional<Event> Event::initWithEventProto(const APMPBEvent& message) {
  std::string name = APMPBGetString(message, kEvent_name).value_or("");
  std::string origin;
  RawParameters parameters;
  for (const APMPBEventParam& param : APMPBGetArray<APMPBEventParam>(message, kEvent_params)) {
    std::optional<std::string> key = APMPBGetString(param, kEventParam_name);
    if (!key) {
      monitor().log(MonitorLevel::kErrorSilent, 15000,
                    "Ignoring parameter. Parameter name is nil. Event name", name);
      continue;
    }
    if (*key == "_o") {
      std::optional<std::string> text = APMPBGetString(param, kEventParam_string_value);
      if (!text) {
        monitor().log(MonitorLevel::kErrorSilent, 15001,
                      "Cannot create an event from event proto. Origin parameter is not a "
                      "string. Event name",
                      name);
        return std::nullopt;
      }
      origin = std::move(*text);
      continue;
    }
    std::optional<Parameters> converted = eventParamsFromProto(param, false, nullptr);
    if (!converted || converted->empty()) {
      monitor().log(MonitorLevel::kWarningSilent, 15002,
                    "Unknown event parameter type from converting an event proto into APMEvent "
                    "instance. Event param name",
                    parameterDisplayName(*key));
      continue;
    }
    for (auto& [entry, value] : *converted) parameters.insert_or_assign(entry, std::move(value));
  }
  return initWithOrigin(
      origin, false, name,
      static_cast<double>(APMPBGetInt64(message, kEvent_timestamp_millis)) / 1000.0,
      static_cast<double>(APMPBGetInt64(message, kEvent_previous_timestamp_millis)) / 1000.0,
      parameters);
}

}  // namespace measurement
