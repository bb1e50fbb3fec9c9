// How the reporters (session, screen view, ad exposure) hand their automatic events and the
// session user properties to the facade, in one place.
//
//   logReporterEvent("auto", "_e", {{"_et", Value(int64_t{1200})}});
//   logReporterEvent("app", "_vs", parameters, screen.eventTimestamp());
//   setReporterUserProperty(os::Value(int64_t{3}), "_sno", "auto");
//
// A test that checks what a reporter reports installs an observer, which then receives the
// reporters' calls instead of the facade:
//
//   ScopedReporterObserver observer;
//   reporter->logUserEngagementEvent();
//   EXPECT_EQ(observer.events()[0].name, "_e");
//
// Any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/foundation/value.h"
#include "os/sync/mutex.h"
#include "os/value/value.h"

// One event a reporter logged: the facade's internal-event call.
struct APMReportedEvent {
  std::string origin;
  std::string name;
  measurement::Parameters parameters;
  // The event's own time (seconds since 1970), or nullopt for "now".
  std::optional<double> timestamp;
};

// One internal user property a reporter set (a null value clears it).
struct APMReportedUserProperty {
  os::Value value;
  std::string name;
  std::string origin;
};

// Logs the internal event through the facade, at `timestamp` when given.
void logReporterEvent(std::string_view origin, std::string_view name,
                      measurement::Parameters parameters,
                      std::optional<double> timestamp = std::nullopt);
// Sets (or, with a null value, clears) the internal user property through the facade.
void setReporterUserProperty(const os::Value& value, std::string_view name,
                             std::string_view origin);

// While alive, records the reporters' calls instead of passing them to the facade. Not
// nestable. Thread-safe.
class ScopedReporterObserver {
 public:
  ScopedReporterObserver();
  ~ScopedReporterObserver();
  ScopedReporterObserver(const ScopedReporterObserver&) = delete;
  ScopedReporterObserver& operator=(const ScopedReporterObserver&) = delete;

  std::vector<APMReportedEvent> events() const;
  // Waits until at least `count` events were recorded; false when `timeoutSeconds` passed
  // first.
  bool waitForEvents(size_t count, double timeoutSeconds) const;
  std::vector<APMReportedUserProperty> userProperties() const;
  // Forgets what was recorded so far.
  void clear();

 private:
  friend void logReporterEvent(std::string_view, std::string_view, measurement::Parameters,
                               std::optional<double>);
  friend void setReporterUserProperty(const os::Value&, std::string_view, std::string_view);

  mutable os::Mutex mutex_;
  mutable os::ConditionVariable recorded_;
  std::vector<APMReportedEvent> events_ OS_GUARDED_BY(mutex_);
  std::vector<APMReportedUserProperty> userProperties_ OS_GUARDED_BY(mutex_);
};
