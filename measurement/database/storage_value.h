// A value as a value column of the database stores it.
//
//   os::Value stored = storageValueFromValue(attribute.value());
#pragma once

#include "measurement/foundation/value.h"
#include "os/value/value.h"

namespace measurement {

// What a value column stores: the string of a string, a double for a double, and the int64 of
// every other kind (an array stores 0).
os::Value storageValueFromValue(const Value& value);

}  // namespace measurement
