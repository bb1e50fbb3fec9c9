#include "measurement/engine/ad_exposure_reporter.h"

#include <utility>

#include "measurement/engine/reporter_events.h"
#include "measurement/engine/screen_view_reporter.h"
#include "measurement/engine/session_reporter.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/monitor_context.h"
#include "os/process/clock.h"
#include "os/sync/mutex.h"

using measurement::MonitorLevel;
using measurement::Parameters;
using measurement::Value;

namespace {

os::Mutex sharedMutex;
std::shared_ptr<APMAdExposureReporter> sharedReporter OS_GUARDED_BY(sharedMutex);

bool isAppActive() { return APMScreenViewReporter::sharedInstance()->isAppActive(); }

Parameters currentScreenParameters() {
  return APMScreenViewReporter::sharedInstance()->screenParameters();
}

// Whole milliseconds from `start` to `end`, truncated.
int64_t millisecondsBetween(double start, double end) {
  return measurement::saturatingInt64((end - start) * 1000.0);
}

}  // namespace

std::shared_ptr<APMAdExposureReporter> APMAdExposureReporter::sharedInstance() {
  {
    os::MutexLock lock(sharedMutex);
    if (sharedReporter) return sharedReporter;
  }
  std::shared_ptr<APMAdExposureReporter> made = create();
  os::MutexLock lock(sharedMutex);
  if (!sharedReporter) sharedReporter = std::move(made);
  return sharedReporter;
}

void APMAdExposureReporter::resetForTesting() {
  std::shared_ptr<APMAdExposureReporter> made = create();
  os::MutexLock lock(sharedMutex);
  sharedReporter = std::move(made);
}

std::shared_ptr<APMAdExposureReporter> APMAdExposureReporter::create() {
  auto reporter = std::make_shared<APMAdExposureReporter>(Private{});
  std::weak_ptr<APMAdExposureReporter> weak = reporter;
  os::NotificationCenter& center = os::NotificationCenter::defaultCenter();
  reporter->engagementTimerDidFire_ =
      os::ObserverRegistration(center, center.addObserver(kAPMSessionReporterEngagementTimerDidFire,
                                                          nullptr, [weak](const os::Notification&) {
                                                            if (auto self = weak.lock())
                                                              self->handleEngagementTimer();
                                                          }));
  return reporter;
}

APMAdExposureReporter::APMAdExposureReporter(Private)
    : queue_(os::DispatchQueue::serial(kAdExposureReporterQueueLabel)),
      adExposureStartTime_(currentTime()) {}

void APMAdExposureReporter::beginAdUnitExposure(std::string_view adUnitID) {
  if (adUnitID.empty()) {
    measurement::monitor().log(
        MonitorLevel::kWarningSilent, 1000,
        "Ignoring call to begin ad unit exposure. Received empty ad unit ID");
    return;
  }
  double now = currentTime();
  std::weak_ptr<APMAdExposureReporter> weak = weak_from_this();
  queue_->async([weak, id = std::string(adUnitID), now] {
    std::shared_ptr<APMAdExposureReporter> self = weak.lock();
    if (!self) return;
    if (self->adUnitCounts_.size() >= kMaximumOpenAdUnits) {
      measurement::monitor().log(MonitorLevel::kWarningSilent, 1002,
                                 "Reached limit on ad units. Ignoring ad unit with ID", id);
      return;
    }
    if (self->adUnitCounts_.empty()) self->adExposureStartTime_ = now;
    self->adUnitStartTimes_.try_emplace(id, now);
    self->adUnitCounts_[id] += 1;
  });
}

void APMAdExposureReporter::endAdUnitExposure(std::string_view adUnitID) {
  if (adUnitID.empty()) {
    measurement::monitor().log(MonitorLevel::kWarningSilent, 1003,
                               "Ignoring call to end ad unit exposure. Received empty ad unit ID");
    return;
  }
  double now = currentTime();
  Parameters screenParameters = currentScreenParameters();
  queue_->sync([&] {
    auto count = adUnitCounts_.find(adUnitID);
    if (count == adUnitCounts_.end()) {
      measurement::monitor().log(MonitorLevel::kWarningSilent, 1004,
                                 "Unknown ad unit. Ignoring ad unit with ID",
                                 std::string(adUnitID));
      return;
    }
    if (count->second >= 2) {
      count->second -= 1;
      return;
    }
    std::string id = count->first;
    logAdUnitExposureEventOnSerialQueue(id, now, screenParameters);
    adUnitCounts_.erase(count);
    adUnitStartTimes_.erase(id);
    if (adUnitCounts_.empty()) {
      logAdExposureEventOnSerialQueue(now, screenParameters);
      adExposureStartTime_ = now;
    }
  });
}

void APMAdExposureReporter::handleScreenDidChangeFromScreen(const APMScreen* previous,
                                                            const APMScreen*) {
  if (previous) logExposureEventsWithScreenParameters(APMScreenParameters(*previous));
}

void APMAdExposureReporter::handleEngagementTimer() {
  logExposureEventsWithScreenParameters(currentScreenParameters());
}

void APMAdExposureReporter::handleAppDidBecomeActive() {
  double now = currentTime();
  queue_->sync([&] { updateStartTimesOnSerialQueue(now); });
}

void APMAdExposureReporter::handleAppWillResignActiveWithScreen(const APMScreen* screen) {
  Parameters screenParameters;
  if (screen) screenParameters = APMScreenParameters(*screen);
  if (screenParameters.empty()) screenParameters = currentScreenParameters();
  double now = currentTime();
  queue_->sync([&] { logExposureEventsOnSerialQueue(now, screenParameters); });
}

void APMAdExposureReporter::logExposureEventsWithScreenParameters(
    const Parameters& screenParameters) {
  double now = currentTime();
  queue_->sync([&] { logExposureEventsOnSerialQueue(now, screenParameters); });
}

void APMAdExposureReporter::logAdUnitExposureEventOnSerialQueue(
    const std::string& adUnitID, double endTime, const Parameters& screenParameters) {
  OS_CHECK_ON(queue_);
  if (!isReportingEnabled()) {
    measurement::monitor().log(MonitorLevel::kWarningSilent, 1007,
                               "Ad unit exposure not logged. Reporting is disabled.");
    return;
  }
  if (adUnitID.empty()) {
    measurement::monitor().log(MonitorLevel::kWarningSilent, 1008,
                               "Ad unit exposure not logged. Received empty ad unit ID");
    return;
  }
  if (!isAppActive()) {
    measurement::monitor().log(MonitorLevel::kVerbose, 1011,
                               "Ad unit exposure not logged. App is not active.");
    return;
  }
  auto start = adUnitStartTimes_.find(adUnitID);
  if (start == adUnitStartTimes_.end()) return;
  int64_t milliseconds = millisecondsBetween(start->second, endTime);
  if (milliseconds < 1000) {
    measurement::monitor().log(MonitorLevel::kVerbose, 1009,
                               "Ad unit exposure not logged. Exposure time was less than 1 sec");
    return;
  }
  Parameters parameters = screenParameters;
  parameters.insert_or_assign("_ai", Value(adUnitID));
  parameters.insert_or_assign("_xt", Value(milliseconds));
  logReporterEvent("am", "_xu", std::move(parameters));
}

void APMAdExposureReporter::logAdExposureEventOnSerialQueue(double endTime,
                                                            const Parameters& screenParameters) {
  OS_CHECK_ON(queue_);
  if (!isReportingEnabled()) {
    measurement::monitor().log(MonitorLevel::kWarningSilent, 1005,
                               "Ad exposure not logged. Reporting is disabled.");
    return;
  }
  if (!isAppActive()) {
    measurement::monitor().log(MonitorLevel::kVerbose, 1010,
                               "Ad exposure not logged. App is not active.");
    return;
  }
  int64_t milliseconds = millisecondsBetween(adExposureStartTime_, endTime);
  if (milliseconds < 1000) {
    measurement::monitor().log(MonitorLevel::kVerbose, 1006,
                               "Ad exposure not logged. Exposure time was less than 1 sec");
    return;
  }
  Parameters parameters = screenParameters;
  parameters.insert_or_assign("_xt", Value(milliseconds));
  logReporterEvent("am", "_xa", std::move(parameters));
}

void APMAdExposureReporter::logExposureEventsOnSerialQueue(double endTime,
                                                           const Parameters& screenParameters) {
  OS_CHECK_ON(queue_);
  for (const auto& [adUnitID, count] : adUnitCounts_) {
    logAdUnitExposureEventOnSerialQueue(adUnitID, endTime, screenParameters);
  }
  if (!adUnitCounts_.empty()) logAdExposureEventOnSerialQueue(endTime, screenParameters);
  updateStartTimesOnSerialQueue(endTime);
}

void APMAdExposureReporter::updateStartTimesOnSerialQueue(double time) {
  OS_CHECK_ON(queue_);
  if (adUnitCounts_.empty()) return;
  for (auto& [adUnitID, start] : adUnitStartTimes_) start = time;
  adExposureStartTime_ = time;
}

double APMAdExposureReporter::currentTime() { return os::clock::uptime(); }
