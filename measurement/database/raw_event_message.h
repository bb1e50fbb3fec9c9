// How a raw event is kept in the raw_events table: its upload message without the name (the
// name has its own column), the origin travelling as the parameter "_o".
//
//   std::optional<os::Data> data = rawEventMessageData(event);
//   std::optional<Event> back = eventFromRawEventMessage(event.name(), event.timestamp(), *data,
//                                                        &error);
//
// Pure functions; any thread.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "measurement/model/event.h"
#include "os/value/error.h"
#include "os/value/value.h"

namespace measurement {

// The encoded `Event` message of `event` with its name field cleared; std::nullopt when it does
// not encode.
std::optional<os::Data> rawEventMessageData(const Event& event);

// The event of a stored row: the row's name and timestamp (seconds) with the previous timestamp,
// origin and parameters of the message. Fails (std::nullopt and `*error`) with code 3 "Failed to
// parse event from data", code 2 "Cannot create an event from database. Origin parameter is not
// a string", code 2 "Failed to parse event params from data", code 2 "Cannot create an event
// from database. Missing origin parameter", or code 2 "Failed to initialize raw event data from
// dictionary" when the event initializer refuses what the row holds.
std::optional<Event> eventFromRawEventMessage(std::string_view name, double timestamp,
                                              std::span<const uint8_t> data, os::Error* error);

}  // namespace measurement
