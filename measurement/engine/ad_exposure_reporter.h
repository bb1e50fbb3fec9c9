// APMAdExposureReporter: measures how long ads are shown. An ads component announces each ad
// unit with beginAdUnitExposure and endAdUnitExposure; the reporter times each ad unit ("_xu",
// with "_ai" = the ad unit and "_xt" in ms) and the span in which at least one was shown ("_xa",
// with "_xt"). Exposure is cut into pieces and reported whenever the screen changes, the
// engagement timer fires and the application resigns, each piece with the parameters of the
// screen it was shown on; activation restarts the clocks without reporting. A piece under a
// second is dropped. Events leave through the facade with origin "am".
//
//   auto ads = APMAdExposureReporter::sharedInstance();
//   ads->beginAdUnitExposure("banner-1");
//   ...
//   ads->endAdUnitExposure("banner-1");    // "_xu" and "_xa" when shown for a second or more
//
// At most 100 distinct ad units are open at once. Times are uptime seconds, taken on the
// caller's thread before the reporter's queue is entered.
//
// Threads. Every member may be called from any thread, but not from a block of the reporter's
// serial queue "APMAdExposureReporter", which holds the open ad units: begin enqueues
// asynchronously, end and the cuts run synchronously, so an end after a begin on one thread sees
// it.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "measurement/engine/screen.h"
#include "measurement/foundation/value.h"
#include "os/dispatch/dispatch.h"
#include "os/dispatch/notifications.h"

inline constexpr const char* kAdExposureReporterQueueLabel = "APMAdExposureReporter";

class APMAdExposureReporter : public std::enable_shared_from_this<APMAdExposureReporter> {
  struct Private {};

 public:
  // Ad units open at once beyond which a begin is refused.
  static constexpr size_t kMaximumOpenAdUnits = 100;

  // The process's reporter, created at the first call.
  static std::shared_ptr<APMAdExposureReporter> sharedInstance();
  // Replaces the process's reporter with a new one. Tests only.
  static void resetForTesting();

  // A reporter with nothing open, reporting enabled, that cuts exposure whenever the session
  // reporter's engagement timer fires.
  static std::shared_ptr<APMAdExposureReporter> create();

  explicit APMAdExposureReporter(Private);
  APMAdExposureReporter(const APMAdExposureReporter&) = delete;
  APMAdExposureReporter& operator=(const APMAdExposureReporter&) = delete;

  // Opens one exposure of `adUnitID` (an empty id is logged, 1000; the 101st open ad unit is
  // refused, 1002).
  void beginAdUnitExposure(std::string_view adUnitID);
  // Closes one exposure of `adUnitID`; the last one reports the ad unit and, when no other is
  // open, the ad exposure (an empty id logs 1003, one not open 1004).
  void endAdUnitExposure(std::string_view adUnitID);

  // Cuts the exposure on the screen being left.
  void handleScreenDidChangeFromScreen(const APMScreen* previous, const APMScreen* next);
  // Cuts the exposure on the current screen.
  void handleEngagementTimer();
  void handleAppDidBecomeActive();
  // Cuts the exposure on `screen`, or on the current screen when it has no parameters.
  void handleAppWillResignActiveWithScreen(const APMScreen* screen);
  // Reports every open ad unit's piece and the ad exposure's, ending now, and restarts them.
  void logExposureEventsWithScreenParameters(const measurement::Parameters& screenParameters);

  bool isReportingEnabled() const { return reportingEnabled_.load(); }
  void setReportingEnabled(bool enabled) { reportingEnabled_.store(enabled); }

  static double currentTime();

 private:
  void logAdUnitExposureEventOnSerialQueue(const std::string& adUnitID, double endTime,
                                           const measurement::Parameters& screenParameters);
  void logAdExposureEventOnSerialQueue(double endTime,
                                       const measurement::Parameters& screenParameters);
  void logExposureEventsOnSerialQueue(double endTime,
                                      const measurement::Parameters& screenParameters);
  void updateStartTimesOnSerialQueue(double time);

  const std::shared_ptr<os::DispatchQueue> queue_;
  std::atomic<bool> reportingEnabled_{true};
  // Touched on queue_ only.
  std::map<std::string, int64_t, std::less<>> adUnitCounts_;
  std::map<std::string, double, std::less<>> adUnitStartTimes_;
  double adExposureStartTime_;
  os::ObserverRegistration engagementTimerDidFire_;
};
