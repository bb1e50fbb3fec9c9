// Alarm (APMAlarm): a named one-shot timer bound to one dispatch queue, the single timer type of
// the measurement code (the engine's upload timer, the engagement timer, the experiment fetch).
//
//   Alarm alarm(worker, "Measurement timer");
//   alarm.runAfterDelay(15, [] { uploadOnWorkerQueue(); });   // replaces any pending run
//   if (alarm.scheduledTimestamp() > later) alarm.runAfterDelay(...);
//   alarm.cancel();
//
// At most one run is pending: arming again replaces the pending run, and a run that was due but
// had not started when it was replaced or cancelled never runs. The firing first cancels the
// alarm, so inside its own block the alarm reports nothing pending and the block may arm it
// again. Every state change writes a line through the monitor with the alarm's name in front
// ("Measurement timer fired").
//
// Delays: a negative or NaN delay fires as soon as the queue gets to it; a delay beyond a year
// is clamped to a year.
//
// Threads. The alarm holds no lock: its owner calls it from the queue it gave the alarm, and the
// block runs on that queue, so arming, cancelling and firing are serialised by the queue (each
// entry point checks it). Construction may happen anywhere; destroy the alarm on its queue too
// (or while nothing is pending): destruction cancels the pending run. A replaced or cancelled
// block is released at once.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "os/dispatch/dispatch.h"

namespace measurement {

class Alarm {
 public:
  // The longest delay an alarm waits; longer ones are clamped to it.
  static constexpr double kMaximumDelaySeconds = 365.0 * 86400.0;

  // An idle alarm that runs its blocks on `queue`, named `name` ("Timer" when empty).
  Alarm(std::shared_ptr<os::DispatchQueue> queue, std::string_view name);
  // Cancels the pending run.
  ~Alarm();
  Alarm(const Alarm&) = delete;
  Alarm& operator=(const Alarm&) = delete;

  const std::string& name() const;

  // Runs `block` on the queue `delaySeconds` from now, replacing the pending run. An empty
  // block is refused (logged, code 2000) and leaves a pending run as it is. Must run on the
  // alarm's queue.
  void runAfterDelay(double delaySeconds, std::function<void()> block);
  // Drops the pending run; nothing (and no log line) when none is pending. Must run on the
  // alarm's queue.
  void cancel();
  // Whether the timer of the last run was armed and has neither fired nor been cancelled. Must
  // run on the alarm's queue.
  bool hasActiveTimer() const;
  // The wall-clock time (seconds since 1970) at which the pending run is due; nullopt while
  // none is pending. Must run on the alarm's queue.
  std::optional<double> scheduledTimestamp() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace measurement
