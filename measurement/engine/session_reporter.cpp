#include "measurement/engine/session_reporter.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "measurement/engine/reporter_events.h"
#include "measurement/engine/screen_view_reporter.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/monitor_context.h"
#include "measurement/foundation/settings.h"
#include "os/dispatch/notifications.h"
#include "os/process/clock.h"

using measurement::MonitorLevel;
using measurement::Parameters;
using measurement::UserAttribute;
using measurement::Value;

namespace {

// One "_e" reports at most an hour.
constexpr double kMaximumEngagementSeconds = 3600.0;

bool isAppActive() { return APMScreenViewReporter::sharedInstance()->isAppActive(); }

// Whole milliseconds of `seconds`, truncated.
int64_t millisecondsOf(double seconds) { return measurement::saturatingInt64(seconds * 1000.0); }

}  // namespace

std::shared_ptr<APMSessionReporter> APMSessionReporter::create(
    measurement::PersistedConfig* persistedConfig) {
  return std::make_shared<APMSessionReporter>(Private{}, persistedConfig);
}

APMSessionReporter::APMSessionReporter(Private, measurement::PersistedConfig* persistedConfig)
    : persistedConfig_(persistedConfig),
      userEngagementTimer_(
          std::make_shared<measurement::Alarm>(os::DispatchQueue::main(), kEngagementTimerName)),
      engagementStartUptime_(currentUptime()),
      freerideEngagementStartUptime_(engagementStartUptime_.load()),
      timeoutSessionInterval_(measurement::remoteSettings()->sessionDefaultTimeoutInterval()) {}

APMSessionReporter::~APMSessionReporter() {
  if (os::isMainThread()) {
    userEngagementTimer_->cancel();
    return;
  }
  os::DispatchQueue::main()->async([timer = std::move(userEngagementTimer_)] { timer->cancel(); });
}

void APMSessionReporter::onMainQueue(std::function<void(APMSessionReporter&)> block) {
  if (os::isMainThread()) {
    block(*this);
    return;
  }
  std::weak_ptr<APMSessionReporter> weak = weak_from_this();
  os::DispatchQueue::main()->async([weak, block = std::move(block)] {
    if (std::shared_ptr<APMSessionReporter> self = weak.lock()) block(*self);
  });
}

const measurement::Alarm& APMSessionReporter::userEngagementTimer() const {
  OS_CHECK_ON_MAIN();
  return *userEngagementTimer_;
}

void APMSessionReporter::setReportingEnabled(bool enabled) {
  reportingEnabled_.store(enabled);
  onMainQueue([enabled](APMSessionReporter& self) {
    if (!enabled) {
      self.userEngagementTimer_->cancel();
    } else if (isAppActive() && !self.userEngagementTimer_->scheduledTimestamp()) {
      self.rescheduleUserEngagementTimer();
    }
  });
}

void APMSessionReporter::setTimeoutSessionInterval(double seconds) {
  if (seconds < 0) {
    measurement::monitor().log(
        MonitorLevel::kWarning, 33001,
        "Received negative timeout session duration. Setting to 0.0 instead.");
    seconds = 0.0;
  }
  timeoutSessionInterval_.store(seconds);
}

bool APMSessionReporter::isSessionExpired() const {
  double sinceLastActivity =
      std::fabs(currentClockTime() - persistedConfig_->lastSessionActivityClockTime());
  return sinceLastActivity > timeoutSessionInterval();
}

bool APMSessionReporter::shouldStartNewSession() const {
  return isAppActive() && isSessionExpired();
}

bool APMSessionReporter::extendSession() {
  if (isSessionExpired()) return false;
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  return true;
}

void APMSessionReporter::updatePropertiesForNewSessionStart() {
  persistedConfig_->setSessionNumber(persistedConfig_->sessionNumber() + 1);
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
}

std::optional<UserAttribute> APMSessionReporter::sessionIDPropertyWithTimestamp(
    double timestamp) const {
  return UserAttribute::create("auto", "_sid", Value(measurement::saturatingInt64(timestamp)),
                               timestamp);
}

std::optional<UserAttribute> APMSessionReporter::sessionNumberProperty() const {
  return UserAttribute::create("auto", "_sno", Value(persistedConfig_->sessionNumber()),
                               currentClockTime());
}

void APMSessionReporter::setSessionID(const os::Value& sessionID, const os::Value& sessionNumber) {
  setReporterUserProperty(sessionID, "_sid", "auto");
  setReporterUserProperty(sessionNumber, "_sno", "auto");
}

void APMSessionReporter::logSessionStartEvent() {
  if (!isAppActive()) {
    measurement::monitor().log(MonitorLevel::kDebug, 33005,
                               "Session start event not logged. Application is not active");
    return;
  }
  if (!isReportingEnabled()) return;
  updatePropertiesForNewSessionStart();
  int64_t sessionID = measurement::saturatingInt64(currentClockTime());
  int64_t sessionNumber = persistedConfig_->sessionNumber();
  setSessionID(os::Value(sessionID), os::Value(sessionNumber));
  logReporterEvent("auto", "_s",
                   Parameters{{"_sid", Value(sessionID)}, {"_sno", Value(sessionNumber)}});
}

void APMSessionReporter::logUserEngagementEvent() {
  logEngagementEventAndReturnTimeWithScreen(nullptr, false);
}

int64_t APMSessionReporter::logEngagementEventAndReturnTimeWithScreen(const APMScreen* screen,
                                                                      bool isRedundant) {
  if (!isAppActive()) {
    measurement::monitor().log(MonitorLevel::kDebug, 33006,
                               "User engagement event not logged. Application is not active");
    return 0;
  }
  std::shared_ptr<measurement::Settings> settings = measurement::remoteSettings();
  bool efficientReporting = settings->efficientEngagementReportingEnabled();
  int64_t milliseconds = 0;
  if (isReportingEnabled()) {
    milliseconds = millisecondsOf(std::min(incurredEngagementTime(), kMaximumEngagementSeconds));
    Parameters parameters{{"_et", Value(milliseconds)}};
    if (screen) parameters.merge(APMScreenParameters(*screen));
    if (isRedundant && efficientReporting) parameters.insert_or_assign("_fr", Value(int64_t{1}));
    logReporterEvent("auto", "_e", std::move(parameters));
  }
  double now = currentUptime();
  engagementStartUptime_.store(now);
  if (!isRedundant && efficientReporting) freerideEngagementStartUptime_.store(now);
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  rescheduleUserEngagementTimer();
  return milliseconds;
}

void APMSessionReporter::logAppBackgroundEvent(int64_t milliseconds) {
  std::shared_ptr<measurement::Settings> settings = measurement::remoteSettings();
  if (!isReportingEnabled() || !settings->appBackgroundedEventEnabled()) return;
  if (!isAppActive()) {
    measurement::monitor().log(MonitorLevel::kDebug, 33008,
                               "App backgrounded event not logged. Application is not active");
    return;
  }
  Parameters parameters;
  if (milliseconds >= 1 && settings->efficientEngagementReportingEnabled()) {
    parameters.emplace("_et", Value(milliseconds));
  }
  logReporterEvent("auto", "_ab", std::move(parameters));
}

void APMSessionReporter::handleAppDidBecomeActive() {
  double now = currentUptime();
  engagementStartUptime_.store(now);
  freerideEngagementStartUptime_.store(now);
  rescheduleUserEngagementTimer();
  if (shouldStartNewSession() && isReportingEnabled()) {
    setSessionID(os::Value(), os::Value());
    logSessionStartEvent();
  }
}

void APMSessionReporter::handleAppWillResignActiveWithScreen(const APMScreen* screen) {
  std::shared_ptr<measurement::Settings> settings = measurement::remoteSettings();
  bool backgroundedEvent = settings->appBackgroundedEventEnabled();
  int64_t milliseconds = 0;
  if (backgroundedEvent && settings->redundantEngagementRemovalEnabled()) {
    milliseconds = cutFreerideEngagementTimeMillis();
  } else {
    milliseconds = logEngagementEventAndReturnTimeWithScreen(screen, backgroundedEvent);
  }
  logAppBackgroundEvent(milliseconds);
  onMainQueue([](APMSessionReporter& self) { self.userEngagementTimer_->cancel(); });
}

void APMSessionReporter::handleScreenDidChangeFromScreen(const APMScreen* previous,
                                                         const APMScreen*) {
  if (!previous || incurredEngagementTime() < 1.0) return;
  std::shared_ptr<measurement::Settings> settings = measurement::remoteSettings();
  bool efficientReporting = settings->efficientEngagementReportingEnabled();
  if (efficientReporting && settings->redundantEngagementRemovalEnabled()) return;
  logEngagementEventAndReturnTimeWithScreen(previous, efficientReporting);
}

void APMSessionReporter::rescheduleUserEngagementTimer() {
  onMainQueue([](APMSessionReporter& self) {
    std::weak_ptr<APMSessionReporter> weak = self.weak_from_this();
    self.userEngagementTimer_->runAfterDelay(
        measurement::remoteSettings()->sessionEventUserEngagementInterval(), [weak] {
          os::NotificationCenter::defaultCenter().post(kAPMSessionReporterEngagementTimerDidFire);
          if (std::shared_ptr<APMSessionReporter> reporter = weak.lock()) {
            reporter->logUserEngagementEvent();
          }
        });
  });
}

double APMSessionReporter::incurredEngagementTime() const {
  double start = measurement::remoteSettings()->efficientEngagementReportingEnabled()
                     ? freerideEngagementStartUptime_.load()
                     : engagementStartUptime_.load();
  double incurred = currentUptime() - start;
  if (incurred < 0) {
    measurement::monitor().log(MonitorLevel::kWarningSampled, 33004,
                               "Incurred engagement time is negative. Setting to 0.0 instead");
    return 0.0;
  }
  return incurred;
}

int64_t APMSessionReporter::cutFreerideEngagementTimeMillis() {
  if (!measurement::remoteSettings()->efficientEngagementReportingEnabled()) return 0;
  double incurred = incurredEngagementTime();
  freerideEngagementStartUptime_.store(currentUptime());
  return millisecondsOf(incurred);
}

double APMSessionReporter::currentUptime() { return os::clock::uptime(); }

double APMSessionReporter::currentClockTime() { return os::clock::now(); }
