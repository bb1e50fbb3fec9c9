// APMScreenViewReporter: keeps the screen the application last reported, attaches it to other
// events, and turns each reported screen into the internal screen-view event "_vs". It also
// follows the application's activation and resignation and passes them, with screen changes, to
// the session reporter (once the engine has built its components) and the ad-exposure reporter.
//
//   // The facade, for a public "screen_view" event:
//   APMScreenViewReporter::sharedInstance()->trackScreenWithParameters(parameters, now);
//   // Other events that carry no screen of their own:
//   measurement::Parameters screen = APMScreenViewReporter::sharedInstance()->screenParameters();
//
// Screens are reported manually only: this host has no automatic screen reporting. From the
// first activation on, the application counts as active for the rest of the process.
//
// Threads. Every member may be called from any thread. The current screen lives on the private
// serial queue "APMScreenViewReporter" (read and swapped synchronously there); the "_vs" event and
// the forwarding of the screen change run asynchronously on it, so reports are logged in the
// order they were made. Do not call the reporter from a block of its own queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "measurement/engine/screen.h"
#include "measurement/foundation/value.h"
#include "measurement/model/parameter_sanitizer.h"
#include "os/dispatch/dispatch.h"
#include "os/dispatch/notifications.h"
#include "os/sync/mutex.h"

inline constexpr const char* kScreenViewReporterQueueLabel = "APMScreenViewReporter";

class APMScreenViewReporter : public std::enable_shared_from_this<APMScreenViewReporter> {
  struct Private {};

 public:
  // The process's reporter, created at the first call: it observes the application's
  // notifications from then on and answers the session-start event's screen parameters.
  static std::shared_ptr<APMScreenViewReporter> sharedInstance();
  // Replaces the process's reporter with a new one (inactive, no screen). Tests only.
  static void resetForTesting();

  // A reporter observing the application's activation and resignation on the default centre.
  static std::shared_ptr<APMScreenViewReporter> create();

  explicit APMScreenViewReporter(Private);
  APMScreenViewReporter(const APMScreenViewReporter&) = delete;
  APMScreenViewReporter& operator=(const APMScreenViewReporter&) = delete;

  bool isAppActive() const { return isAppActive_.load(); }

  // A manual screen report of the parameters of a "screen_view" event ("screen_name",
  // "screen_class" and extras), made at `timestamp` (seconds since 1970). An invalid name or
  // class is logged (31027, 31028) and the report dropped; otherwise the screen becomes current
  // and "_vs" is logged with the extras that pass the event parameter checks.
  void trackScreenWithParameters(const measurement::RawParameters& parameters, double timestamp);
  // The current screen's "_si", "_sc" and "_sn" (those known); empty before the first report.
  measurement::Parameters screenParameters() const;
  // The current screen's name and class, into those of the two that are given.
  void getScreenName(std::optional<std::string>* screenName,
                     std::optional<std::string>* screenClass) const;
  // Screens can only be reported through screen_view events here: logs 31000, nothing else.
  void setScreenName(const std::optional<std::string>& screenName,
                     const std::optional<std::string>& screenClass);

  // While the application is active: tells the session reporter (when there is a previous
  // screen and the engine is ready) and the ad-exposure reporter that the screen changed.
  void postScreenDidChangeNotificationWithPreviousScreen(const std::optional<APMScreen>& previous,
                                                         const APMScreen& next);
  // Logs "_vs" for `next` with `parameters`, its screen parameters, those of `previous`, the
  // cut free-ride engagement time "_et" (efficient engagement reporting) and "_mst" = 1.
  void logViewScreenEventWithPreviousScreen(const std::optional<APMScreen>& previous,
                                            const APMScreen& next,
                                            measurement::Parameters parameters);
  // The next screen instance identifier; two threads never get the same one.
  int64_t incrementScreenInstanceID();

  // The application became active / will resign active (its notifications call these).
  void handleApplicationDidBecomeActive();
  void handleApplicationWillResignActive();

 private:
  const std::shared_ptr<os::DispatchQueue> queue_;
  std::atomic<bool> isAppActive_{false};
  std::atomic<int64_t> currentScreenInstanceID_;
  // Read with every event logged, from any thread: a lock, not a sync onto queue_, so that
  // threads logging at once do not wait in turn for one another.
  mutable os::Mutex screenMutex_;
  std::optional<APMScreen> currentScreen_ OS_GUARDED_BY(screenMutex_);
  os::ObserverRegistration didBecomeActive_;
  os::ObserverRegistration willResignActive_;
};
