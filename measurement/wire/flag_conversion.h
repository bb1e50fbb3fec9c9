// Conversions between an experiment flag message and a plain value, and the sink their
// complaints go to (the measurement monitor once the foundation points it there).
//
//   std::optional<APMPBFlag> flag = flagProtoWithNameAndValue("f", 2.5);   // double_value
//   os::Value value = flagValueFromProto(&*flag);                          // 2.5
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/wire/schema/apmpb.h"
#include "os/value/value.h"

namespace wire {

// One complaint: a monitor level (1: an error that is printed and sampled), a message code, a
// fixed English message and an optional context value.
using FlagMonitorSink = std::function<void(int level, int code, std::string_view message,
                                           const std::optional<std::string>& context)>;
// Replaces the sink; an empty function restores the default, a console line through os/log.
void setFlagMonitorSink(FlagMonitorSink sink);

}  // namespace wire

// The flag's value: int_value as an Integer, else double_value as a Real, else string_value as
// a String, else bool_value as a Boolean; null when `flag` is nullptr or holds none of them.
os::Value flagValueFromProto(const APMPBFlag* flag);

// A flag named `name` holding `value`: a string in string_value, a Real in double_value, any
// other number (booleans too) in int_value as a 64-bit integer. nullopt, with a complaint to the
// sink, when the name is null (850000) or not a string (850001), or when the value is neither a
// number nor a string (850002).
std::optional<APMPBFlag> flagProtoWithNameAndValue(const os::Value& name, const os::Value& value);
