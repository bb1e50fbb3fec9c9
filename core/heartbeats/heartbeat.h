// One heartbeat: the record that the application was in use on a day, under a user-agent text.
//
// Dates are seconds since 1970-01-01 00:00:00 UTC, as everywhere in this system; a heartbeat's
// date is always the start of a UTC day (startOfDay).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace heartbeats {

// The periods a heartbeat counts for; stored and sent as the raw value.
enum class TimePeriod : int64_t { daily = 1 };

// Every period, in order.
inline constexpr TimePeriod kAllTimePeriods[] = {TimePeriod::daily};

// One day, in seconds.
inline constexpr double kSecondsPerDay = 86400;

// The platform's distant past (0001-01-01 of its calendar): the "never" of a period's last date.
inline constexpr double kDistantPast = -63114076800.0 + 978307200.0;

// 00:00:00 UTC of the UTC day that holds `date`.
double startOfDay(double date);

struct Heartbeat {
  std::string agent;
  double date = 0;
  // Every heartbeat this system makes carries 0.
  int64_t version = 0;
  std::vector<TimePeriod> timePeriods;

  friend bool operator==(const Heartbeat&, const Heartbeat&) = default;
};

// "{agent, date, version, [periods]}", for test failures and logs.
std::ostream& operator<<(std::ostream& out, const Heartbeat& heartbeat);

}  // namespace heartbeats
