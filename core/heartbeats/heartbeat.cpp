#include "core/heartbeats/heartbeat.h"

#include <cmath>
#include <ostream>

namespace heartbeats {

double startOfDay(double date) { return std::floor(date / kSecondsPerDay) * kSecondsPerDay; }

std::ostream& operator<<(std::ostream& out, const Heartbeat& heartbeat) {
  out << "{" << heartbeat.agent << ", " << std::to_string(heartbeat.date) << ", "
      << heartbeat.version << ", [";
  for (TimePeriod period : heartbeat.timePeriods) out << static_cast<int64_t>(period) << " ";
  return out << "]}";
}

}  // namespace heartbeats
