#include "measurement/database/event_blob.h"

#include "measurement/foundation/measurement_error.h"

namespace measurement {

std::optional<os::Data> eventBlob(const Event& event) { return event.protoEvent().protoBuffer(); }

std::optional<Event> eventFromBlob(const os::Value& stored, os::Error* error) {
  const os::Data* bytes = stored.asData();
  if (!requirePointerOrSetError(bytes, error, kOperationFailed,
                                "Failed to convert data to an event. Data must be a NSData "
                                "instance")) {
    return std::nullopt;
  }
  std::optional<APMPBEvent> message = APMPBEvent::initWithBuffer(*bytes);
  if (!requireObjectOrSetError(message, error, kOperationFailed,
                               "Failed to parse event from data")) {
    return std::nullopt;
  }
  std::optional<Event> event = Event::initWithEventProto(*message);
  requireObjectOrSetError(event, error, kOperationFailed,
                          "Failed to initialize event from proto data");
  return event;
}

}  // namespace measurement
