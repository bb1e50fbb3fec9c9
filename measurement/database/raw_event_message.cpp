#include "measurement/database/raw_event_message.h"

#include <string>
#include <utility>

#include "measurement/foundation/measurement_error.h"
#include "measurement/model/event_params.h"
#include "measurement/wire/access.h"

namespace measurement {

std::optional<os::Data> rawEventMessageData(const Event& event) {
  APMPBEvent message = event.protoEvent();
  APMPBClearField(message, kEvent_name);
  return message.protoBuffer();
}

std::optional<Event> eventFromRawEventMessage(std::string_view name, double timestamp,
                                              std::span<const uint8_t> data, os::Error* error) {
  std::optional<APMPBEvent> message = APMPBEvent::initWithBuffer(data);
  if (!requireObjectOrSetError(message, error, kDatabaseFailure,
                               "Failed to parse event from data")) {
    return std::nullopt;
  }
  std::string origin;
  RawParameters parameters;
  for (const APMPBEventParam& param : APMPBGetArray<APMPBEventParam>(*message, kEvent_params)) {
    std::optional<std::string> key = APMPBGetString(param, kEventParam_name);
    if (key == "_o") {
      std::optional<std::string> text = APMPBGetString(param, kEventParam_string_value);
      if (!requireObjectOrSetError(
              text, error, kOperationFailed,
              "Cannot create an event from database. Origin parameter is not a string")) {
        return std::nullopt;
      }
      origin = std::move(*text);
      continue;
    }
    std::optional<Parameters> converted = eventParamsFromProto(param, false, nullptr);
    auto value = converted && key ? converted->find(*key) : Parameters::iterator();
    if (!converted || !key || value == converted->end()) {
      setErrorOutParameter(error, kOperationFailed, "Failed to parse event params from data");
      return std::nullopt;
    }
    parameters.insert_or_assign(*key, std::move(value->second));
  }
  if (!requireOrSetError(!origin.empty(), error, kOperationFailed,
                         "Cannot create an event from database. Missing origin parameter")) {
    return std::nullopt;
  }
  double previousTimestamp =
      static_cast<double>(APMPBGetInt64(*message, kEvent_previous_timestamp_millis)) / 1000.0;
  std::optional<Event> event =
      Event::initWithOrigin(origin, false, name, timestamp, previousTimestamp, parameters);
  requireObjectOrSetError(event, error, kOperationFailed,
                          "Failed to initialize raw event data from dictionary");
  return event;
}

}  // namespace measurement
