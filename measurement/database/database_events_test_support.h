// For the tests of the database's event tables: the events and bundles the engine would write.
#pragma once

#include <string>

#include "measurement/database/database.h"
#include "measurement/model/event.h"
#include "measurement/wire/access.h"

namespace measurement::testing {

inline Event appEvent(std::string_view name, double timestamp,
                      const os::Dictionary& parameters = {}) {
  return *Event::initWithOrigin("app", false, name, timestamp, 0, rawParameters(parameters));
}

// A bundle of about `padding` bytes, ending at `endMillis`.
inline APMPBMeasurementBundle uploadBundle(int64_t endMillis, size_t padding = 0) {
  APMPBMeasurementBundle bundle;
  APMPBSetString(bundle, kMeasurementBundle_app_id, "1:123:ios:abc");
  APMPBSetInt64(bundle, kMeasurementBundle_end_timestamp_millis, endMillis);
  if (padding > 0) APMPBSetString(bundle, kMeasurementBundle_gmp_app_id, std::string(padding, 'p'));
  return bundle;
}

}  // namespace measurement::testing
