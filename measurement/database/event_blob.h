// Events kept in a blob column (a conditional user property's events, the main event of a
// complex event): the serialized upload message of the event, read back with its name.
//
//   std::optional<os::Data> blob = eventBlob(event);       // stored as a blob column
//   std::optional<Event> back = eventFromBlob(os::Value(*blob), &error);
//
// Pure functions; any thread.
#pragma once

#include <optional>

#include "measurement/model/event.h"
#include "os/value/error.h"
#include "os/value/value.h"

namespace measurement {

// The event's serialized `Event` message; nullopt when it does not encode.
std::optional<os::Data> eventBlob(const Event& event);

// The event a stored blob holds; nullopt with code 2 and the reason when `stored` is not data,
// does not parse, or parses into a message no event can be made from.
std::optional<Event> eventFromBlob(const os::Value& stored, os::Error* error);

}  // namespace measurement
