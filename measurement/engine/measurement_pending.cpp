// The one engine operation this host has nothing for: the counts of on-device conversion
// measurement, whose client does not exist here, so a reset has none to clear.
#include "measurement/engine/measurement.h"

void APMMeasurement::resetPSMCounts() {}
