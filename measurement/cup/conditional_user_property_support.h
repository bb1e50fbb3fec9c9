// What the conditional-user-property operations share: the events they make from a property's
// templates and the user attribute an active property is mirrored in. Worker queue (the
// database calls) or any thread (the rest).
#pragma once

#include <optional>
#include <string_view>

#include "measurement/database/database.h"
#include "measurement/foundation/value.h"
#include "measurement/model/event.h"
#include "os/value/error.h"

namespace measurement {

// A new internal event with `origin`, the template's name and parameters, `timestamp` and no
// previous timestamp; nothing without a template or when the event's own checks refuse it.
std::optional<Event> eventFromTemplate(const std::optional<Event>& eventTemplate,
                                       std::string_view origin, double timestamp);

// Writes the user attribute `name` = `value` set at `lastSetTimestamp` by `origin`. False, with
// `error` set when given, when there is no value, the attribute rules refuse it or the database
// fails.
bool writeUserAttribute(Database& database, std::string_view origin, std::string_view name,
                        const std::optional<Value>& value, double lastSetTimestamp,
                        os::Error* error);

}  // namespace measurement
