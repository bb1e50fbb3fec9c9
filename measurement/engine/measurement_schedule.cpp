// When the next upload runs: the one pending "Measurement timer" run, computed from the last
// successful and failed uploads, the age of the newest data, real-time data, debug mode, the
// server's back-off and a suspension after a failed deletion. Worker queue only.
#include <cfloat>
#include <cmath>

#include "measurement/engine/measurement.h"
#include "os/process/clock.h"

using measurement::MonitorLevel;

namespace {

// How long a failed deletion of uploaded bundles holds uploads back, in seconds of uptime.
constexpr double kSuspensionLength = 3600;

bool isUnset(double time) { return std::fabs(time) < DBL_EPSILON; }

}  // namespace

double APMMeasurement::nextUploadingTime() {
  std::shared_ptr<measurement::Settings> settings = configuration()->settings();
  double lastSuccess = persistedConfig_->lastSuccessfulUploadTimestamp();
  double lastFailure = persistedConfig_->lastFailedUploadTimestamp();

  double latest = 0;
  if (database_) {
    os::Error error;
    if (auto rawTime = database_->queryLatestRawEventTime(&error)) {
      if (*rawTime) latest = **rawTime;
    } else {
      monitor().log(MonitorLevel::kWarningSilent, 23029,
                    "Failed to query latest raw event time. Error", error);
    }
    os::Error bundleError;
    if (auto bundleTime = database_->queryLatestBundleTime(&bundleError)) {
      if (*bundleTime) latest = std::max(latest, **bundleTime);
    } else {
      monitor().log(MonitorLevel::kWarningSilent, 23030,
                    "Failed to query latest bundle time. Error", bundleError);
    }
  }
  if (isUnset(latest)) return 0;

  bool debug = monitor().isDebugModeEnabled();
  bool realtime = debug;
  if (!realtime && database_) {
    os::Error error;
    std::optional<bool> bundles = database_->containsRealtimeBundlesWithError(&error);
    if (!bundles) {
      monitor().log(MonitorLevel::kWarningSilent, 23031,
                    "Failed to query for real-time bundle indicator. Error", error);
    }
    realtime = bundles.value_or(false);
    if (!realtime) {
      os::Error rawError;
      std::optional<bool> raw = database_->containsRealtimeRawEventsWithError(&rawError);
      if (!raw) {
        monitor().log(MonitorLevel::kWarningSilent, 23032,
                      "Failed to query for real-time raw event indicator. Error", rawError);
      }
      realtime = raw.value_or(false);
    }
  }
  double interval =
      realtime ? settings->uploadingRealTimeInterval() : settings->uploadingInterval();
  double now = os::clock::now();
  // Data stamped in the future counts as if it were as far in the past.
  double base = now - std::fabs(latest - now);
  double candidate = std::fabs(now - lastSuccess) < interval
                         ? lastSuccess + interval
                         : base + settings->uploadingInitialDelayInterval();
  if (lastFailure >= base) {
    double retryInterval = settings->uploadingRetryInterval();
    for (int32_t i = 0; i < settings->uploadingRetryCount(); ++i) {
      candidate += std::ldexp(retryInterval, i);
      if (candidate > lastFailure) return candidate;
    }
    // Retries exhausted until newer data arrives or an upload succeeds.
    return 0;
  }
  if (debug) return std::min(candidate, base + settings->uploadingDebugModeInterval());
  return candidate;
}

void APMMeasurement::cancelUploadSchedule() {
  alarm_.cancel();
  if (network_) network_->setReachabilityDelegate({});
  terminateBackgroundTask();
}

void APMMeasurement::updateSchedule() {
  measurement::Scheduler::checkOnBackgroundThread("updateSchedule");
  // Reachability may change before start-up has opened the database: nothing waits yet.
  if (!database_) {
    alarm_.cancel();
    return;
  }
  if (suspendedUploadTimestamp_ != 0) {
    double elapsed = std::fabs(os::clock::uptime() - suspendedUploadTimestamp_);
    if (elapsed < kSuspensionLength) {
      monitor().log(MonitorLevel::kWarning, 23023,
                    "Upload has been suspended. Will update scheduling later. Seconds",
                    kSuspensionLength - elapsed);
      cancelUploadSchedule();
      return;
    }
    suspendedUploadTimestamp_ = 0;
  }
  std::shared_ptr<measurement::RemoteConfig> config = configuration();
  if (!hasDataToUpload()) {
    config->activateNewSnapshot();
    monitor().log(MonitorLevel::kVerbose, 23024,
                  "No data to upload. Upload task will not be scheduled");
    cancelUploadSchedule();
    return;
  }
  double next = nextUploadingTime();
  if (isUnset(next)) {
    monitor().log(MonitorLevel::kVerbose, 23025,
                  "No next uploading time. Upload task will not be scheduled");
    cancelUploadSchedule();
    return;
  }
  if (!network_ || !network_->isNetworkConnected()) {
    monitor().log(MonitorLevel::kVerbose, 23026, "No network. Upload task will not be scheduled");
    // The reachability callback reschedules once the network is back.
    if (network_) network_->setReachabilityDelegate(weak_from_this());
    alarm_.cancel();
    terminateBackgroundTask();
    return;
  }
  network_->setReachabilityDelegate({});
  double backoff = persistedConfig_->lastBackoffTimestamp();
  double backoffInterval = config->settings()->uploadingBackoffInterval();
  double now = os::clock::now();
  if (!isUnset(backoff) && now - backoff < backoffInterval) {
    next = std::max(next, backoff + backoffInterval);
  }
  std::optional<double> scheduled = alarm_.scheduledTimestamp();
  if (scheduled && !isUnset(*scheduled) && next >= *scheduled) {
    monitor().log(
        MonitorLevel::kVerbose, 23027,
        "Do not schedule an upload task. Task already exists. Will be executed in seconds",
        *scheduled - now);
    return;
  }
  double delay = next - now;
  if (std::fabs(delay) < DBL_EPSILON) delay = 0.001;
  alarm_.runAfterDelay(delay, [weak = weak_from_this()] {
    auto engine = weak.lock();
    if (!engine) return;
    engine->scheduler_->scheduleOnWorkerQueue("APMMeasurement:1762", [weak] {
      if (auto engine = weak.lock()) engine->uploadData();
    });
  });
  monitor().log(MonitorLevel::kVerbose, 23028,
                "Upload task scheduled to be executed in approx. (s)", delay);
}

void APMMeasurement::uploadDataOrRegisterAlarm() {
  if (database_ && network_ && network_->isNetworkConnected() && hasDataToUpload()) {
    uploadData();
  } else {
    updateSchedule();
  }
}
