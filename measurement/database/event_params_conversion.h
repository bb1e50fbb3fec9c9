// The conversions between stored event parameters and values: an EventParam message (as raw
// events and main events keep their parameters) into parameter values, and a value into what a
// value column stores.
//
//   os::Error error;
//   auto params = eventParamsFromProto(&param, false, &error);  // {"items": [{...}, {...}]}
//   os::Value stored = storageValueFromValue(attribute.value());
#pragma once

#include <map>
#include <optional>
#include <string>

#include "measurement/foundation/value.h"
#include "measurement/wire/schema/apmpb.h"
#include "os/error.h"
#include "os/value.h"

namespace measurement {

// The values of `param`, by name:
//  - a string, int or double value (the first present, in that order) gives {name: value};
//  - nested parameters at the top level give {name: array}, one dictionary of values per child
//    (children that do not convert are left out); below the top level (`nested`), the
//    children's own values, {child name: value, ...}, with no entry of the parameter's name;
//  - nothing of these (only a float value, say) fails with code 2 "Failed to parse invalid event
//    params data"; a missing message with code 1 "Failed to parse empty event params data", a
//    top-level parameter without a name with code 1 "Event parameter name is empty".
std::optional<std::map<std::string, Value>> eventParamsFromProto(const APMPBEventParam* param,
                                                                 bool nested, os::Error* error);

// What a value column stores: the string of a string, a double for a double, and the int64 of
// every other kind (an array stores 0).
os::Value storageValueFromValue(const Value& value);

}  // namespace measurement
