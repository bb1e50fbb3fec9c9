// The wall clock and the monotonic clock, both replaceable by a test.
//
//   double started = os::clock::monotonic();
//   ...
//   double elapsed = os::clock::monotonic() - started;
//   os::Date today{os::clock::now()};
//
// A test that depends on time fixes and advances it:
//
//   os::clock::ScopedFakeClock clock(1700000000.0);
//   cache.store(entry);
//   clock.advance(24 * 3600);
//   EXPECT_TRUE(cache.isExpired(entry));
#pragma once

#include <atomic>

namespace os::clock {

// Seconds from 1970-01-01 00:00:00 UTC to the platform's reference date, 2001-01-01 00:00:00 UTC.
inline constexpr double kReferenceDate1970 = 978307200.0;

// Wall-clock time: seconds since 1970-01-01 00:00:00 UTC, with sub-second precision. It can jump
// when the system time is set; measure durations with monotonic().
double now();

// Seconds from an arbitrary origin fixed at boot; never goes backwards.
double monotonic();

// Seconds since the machine booted, counting time spent asleep (CLOCK_BOOTTIME), so that a span
// measured on it is what the user lived through and no change of system time distorts it; -1.0
// when the kernel cannot tell. Under a fake clock: the fake's monotonic time.
double uptime();

// While alive, now(), monotonic() and uptime() on every thread return this object's times instead of the
// system's; they move only when the test calls set or advance. Fakes nest: the innermost one
// answers, and the previous one answers again after it is destroyed. Create and destroy a fake
// on one thread; reads and advances are thread-safe.
class ScopedFakeClock {
 public:
  // Starts the wall clock at `wallSeconds` (seconds since 1970) and the monotonic clock at
  // `monotonicSeconds`.
  explicit ScopedFakeClock(double wallSeconds = kReferenceDate1970, double monotonicSeconds = 0);
  ~ScopedFakeClock();
  ScopedFakeClock(const ScopedFakeClock&) = delete;
  ScopedFakeClock& operator=(const ScopedFakeClock&) = delete;

  // Moves both clocks forward by `seconds` (negative values move the wall clock back, as a
  // change of system time would; the monotonic clock then stays where it is).
  void advance(double seconds);
  // Sets the wall clock alone, as a change of system time does.
  void setNow(double wallSeconds);
  // Sets the monotonic clock alone.
  void setMonotonic(double monotonicSeconds);

  double now() const;
  double monotonic() const;

 private:
  // Atomic so that the fake's own getters need no lock; changes also take the clock module's
  // mutex so that now() and monotonic() never see half of an advance().
  std::atomic<double> wall_;
  std::atomic<double> monotonic_;
  ScopedFakeClock* previous_;  // the fake that answered before this one, or null
};

}  // namespace os::clock
