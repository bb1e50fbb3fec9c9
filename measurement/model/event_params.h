// Conversions of an event's parameters to and from the upload message's `EventParam`s and the
// plain values that event editing works on.
//
//   std::vector<APMPBEventParam> params = eventParamsFromParameters(event.parameters(), "_vs");
//   os::Dictionary plain = plainParametersFromEventParameters(event.parameters());
//
// An array parameter (the "items" of e-commerce events) is one `EventParam` whose `param_value`
// holds a nameless `EventParam` per item, which in turn holds the item's parameters in its own
// `param_value`. Deeper nesting is never written. Pure functions; any thread.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "measurement/foundation/value.h"
#include "measurement/wire/schema/apmpb.h"
#include "os/value/error.h"
#include "os/value/value.h"

namespace measurement {

// One `EventParam` per entry, in key order. Inside an item (`nested`), an array is dropped with
// code 16007 and a value that is not a number or string with code 16005, both naming the event
// and the parameter.
std::vector<APMPBEventParam> eventParamsFromParameters(const Parameters& parameters,
                                                       std::string_view eventName,
                                                       bool nested = false);

// Doubles as Real, int64s as Integer, strings as String; an array, unless `nested`, as an array
// of its items with their own arrays and non-plain values dropped.
os::Dictionary plainParametersFromEventParameters(const Parameters& parameters,
                                                  bool nested = false);

// One `EventParam` read back: {name: value} for a string, int64 or double (checked in that
// order); at the top level a parameter with items as {name: array of item dictionaries}. With
// `nested` (an item), the entries of the children that carry a value. Fails (std::nullopt and
// `*error` when given) with code 1 "Event parameter name is empty" for a nameless top-level
// parameter and code 2 "Failed to parse invalid event params data" for one with no value at all
// (a float, or an empty item list).
std::optional<Parameters> eventParamsFromProto(const APMPBEventParam& param, bool nested,
                                               os::Error* error);

}  // namespace measurement
