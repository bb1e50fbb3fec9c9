#include "support/date_extensions.h"

#include <time.h>

#include <cmath>

#include "os/process/clock.h"

namespace ExtendTool {
namespace {

// Seconds east of UTC of the local time zone at `date`.
double localOffsetAt(os::Date date) {
  // localtime_r need not read TZ again; tzset() makes a changed TZ count.
  tzset();
  // Beyond this the conversion to time_t would overflow; no zone has an offset there anyway.
  if (!(std::fabs(date.secondsSince1970) < 1e15)) return 0;
  const auto seconds = static_cast<time_t>(std::floor(date.secondsSince1970));
  struct tm local;
  if (localtime_r(&seconds, &local) == nullptr) return 0;
  return static_cast<double>(timegm(&local) - seconds);
}

}  // namespace

os::Date utcSinceDate() { return os::Date{0}; }

os::Date utcToLocalDate(os::Date date) {
  return os::Date{date.secondsSince1970 + localOffsetAt(date)};
}

os::Date localToUtcDate(os::Date date) {
  return os::Date{date.secondsSince1970 - localOffsetAt(date)};
}

os::Date toLocalTime(os::Date date) { return utcToLocalDate(date); }

os::Date toGlobalTime(os::Date date) { return localToUtcDate(date); }

os::Date getDateTimeFromTimeStamp2001(double seconds) {
  return os::Date{os::clock::kReferenceDate1970 + seconds};
}

}  // namespace ExtendTool
