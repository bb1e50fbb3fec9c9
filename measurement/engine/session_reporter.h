// APMSessionReporter: measures how long the user engages with the application and reports it as
// the automatic events "_s" (session start, with "_sid" and "_sno"), "_e" (engagement, "_et" in
// ms) and "_ab" (application backgrounded). It also keeps the session bookkeeping the engine
// asks for: whether the session has expired, extending it, and the "_sid" and "_sno" user
// properties.
//
//   auto sessions = APMSessionReporter::create(persistedConfig);   // the engine, at start-up
//   sessions->setReportingEnabled(true);                           // with collection
//   if (sessions->isSessionExpired()) sessions->updatePropertiesForNewSessionStart();
//
// Two clocks, never mixed: engagement spans on the uptime (os::clock::uptime(), immune to
// changes of the wall clock), session expiry and the session identifier on the wall clock. The
// session itself persists as the session number and the time of the last activity. Events and
// properties leave through the facade (reporter_events.h) with origin "auto". The settings are
// read at each use from measurement::remoteSettings().
//
// Threads. The engine calls from its worker queue, the screen-view reporter from the main thread
// (activation, resignation) and its own queue (screen changes), and the "Engagement timer" fires
// on the main queue. Every operation on that timer runs on the main queue (at once when called
// there, else queued to it in call order), and the state both sides read is atomic, so any
// thread may call any member.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "measurement/engine/screen.h"
#include "measurement/foundation/alarm.h"
#include "measurement/foundation/persisted_config.h"
#include "measurement/foundation/user_attribute.h"
#include "os/value/value.h"

// Posted on the default centre (no object) each time the engagement timer fires.
inline constexpr const char* kAPMSessionReporterEngagementTimerDidFire =
    "kAPMSessionReporterEngagementTimerDidFire";
inline constexpr const char* kEngagementTimerName = "Engagement timer";

class APMSessionReporter : public std::enable_shared_from_this<APMSessionReporter> {
  struct Private {};

 public:
  // A reporter over `persistedConfig` (which must outlive it), reporting disabled, its session
  // timeout the server's default, its engagement interval opened now.
  static std::shared_ptr<APMSessionReporter> create(measurement::PersistedConfig* persistedConfig);

  APMSessionReporter(Private, measurement::PersistedConfig* persistedConfig);
  // The engagement timer is cancelled (on the main queue).
  ~APMSessionReporter();
  APMSessionReporter(const APMSessionReporter&) = delete;
  APMSessionReporter& operator=(const APMSessionReporter&) = delete;

  bool isReportingEnabled() const { return reportingEnabled_.load(); }
  // On: while the application is active, arms the engagement timer unless it is armed. Off:
  // cancels it.
  void setReportingEnabled(bool enabled);

  double timeoutSessionInterval() const { return timeoutSessionInterval_.load(); }
  // A negative interval is logged (33001) and stored as 0.
  void setTimeoutSessionInterval(double seconds);

  // Whether the last activity lies more than the timeout away from now, either way.
  bool isSessionExpired() const;
  // The application is active and the session has expired.
  bool shouldStartNewSession() const;
  // Moves the last activity to now unless the session has expired; false when it has.
  bool extendSession();
  // One more session, active now.
  void updatePropertiesForNewSessionStart();
  // The user property "_sid" = `timestamp`'s whole seconds, set at `timestamp`.
  std::optional<measurement::UserAttribute> sessionIDPropertyWithTimestamp(double timestamp) const;
  // The user property "_sno" = the persisted session number, set now.
  std::optional<measurement::UserAttribute> sessionNumberProperty() const;
  // Sets the internal user properties "_sid" and "_sno" (origin "auto"); null clears one.
  void setSessionID(const os::Value& sessionID, const os::Value& sessionNumber);

  // "_s" for a new session, while the application is active (else 33005) and reporting is on.
  void logSessionStartEvent();
  // "_e" for the engagement since the interval opened, without a screen.
  void logUserEngagementEvent();
  // While the application is active (else 33006, and 0): "_e" when reporting is on, with "_et"
  // capped at 3,600,000 ms, the screen's parameters and, for a redundant event under efficient
  // reporting, "_fr" = 1; then reopens the interval, extends the session and re-arms the timer.
  // Returns the "_et" logged, 0 when none was.
  int64_t logEngagementEventAndReturnTimeWithScreen(const APMScreen* screen, bool isRedundant);
  // "_ab" when reporting and the setting are on and the application is active (else 33008),
  // with "_et" = `milliseconds` when at least 1 under efficient reporting.
  void logAppBackgroundEvent(int64_t milliseconds);

  // From the screen-view reporter.
  void handleAppDidBecomeActive();
  void handleAppWillResignActiveWithScreen(const APMScreen* screen);
  // Attributes the engagement of at least a second to the screen being left.
  void handleScreenDidChangeFromScreen(const APMScreen* previous, const APMScreen* next);

  // Arms the engagement timer for the server's engagement interval: when it fires, posts
  // kAPMSessionReporterEngagementTimerDidFire and logs "_e".
  void rescheduleUserEngagementTimer();
  // Seconds of engagement since the (free-ride, under efficient reporting) interval opened; a
  // negative span is logged (33004) and counts as 0.
  double incurredEngagementTime() const;
  // Under efficient reporting: the free-ride engagement in whole ms, reopening that interval;
  // else 0.
  int64_t cutFreerideEngagementTimeMillis();

  static double currentUptime();
  static double currentClockTime();

  // The engagement timer. Main queue only.
  const measurement::Alarm& userEngagementTimer() const;

 private:
  // Runs `block` with this reporter on the main queue: at once on the main thread, else queued
  // there, holding the reporter weakly.
  void onMainQueue(std::function<void(APMSessionReporter&)> block);

  measurement::PersistedConfig* const persistedConfig_;
  // Used and destroyed on the main queue only.
  std::shared_ptr<measurement::Alarm> userEngagementTimer_;
  std::atomic<double> engagementStartUptime_;
  std::atomic<double> freerideEngagementStartUptime_;
  std::atomic<bool> reportingEnabled_{false};
  std::atomic<double> timeoutSessionInterval_;
};
