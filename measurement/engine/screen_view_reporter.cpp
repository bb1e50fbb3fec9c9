#include "measurement/engine/screen_view_reporter.h"

#include <utility>

#include "measurement/engine/ad_exposure_reporter.h"
#include "measurement/engine/measurement.h"
#include "measurement/engine/reporter_events.h"
#include "measurement/engine/session_reporter.h"
#include "measurement/foundation/data_type_validator.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/numeric.h"
#include "measurement/foundation/settings.h"
#include "measurement/model/session_start_event.h"
#include "os/sync/mutex.h"

using measurement::MonitorLevel;
using measurement::Parameters;
using measurement::RawParameters;
using measurement::Value;

namespace {

os::Mutex sharedMutex;
std::shared_ptr<APMScreenViewReporter> sharedReporter OS_GUARDED_BY(sharedMutex);

// The engine's session reporter once the engine has built its components, else null.
std::shared_ptr<APMSessionReporter> readySessionReporter() {
  if (!APMMeasurement::hasSharedInstance()) return nullptr;
  std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
  if (!engine || !engine->didInitializeComponents()) return nullptr;
  return engine->sessionReporter();
}

// The parameter `key` as a plain value; nullopt when absent.
std::optional<os::Value> plainParameter(const RawParameters& parameters, std::string_view key) {
  auto found = parameters.find(key);
  if (found == parameters.end()) return std::nullopt;
  if (const auto* plain = std::get_if<os::Value>(&found->second)) return *plain;
  return std::get<Value>(found->second).object();
}

// The screen value `key` when present: nullopt when absent, false (logged with `code` and
// `message`) when it fails the screen parameter checks.
bool readScreenValue(const RawParameters& parameters, std::string_view key, int64_t code,
                     std::string_view message, std::optional<std::string>* value) {
  std::optional<os::Value> plain = plainParameter(parameters, key);
  if (!plain) return true;
  if (!measurement::DataTypeValidator::isValidScreenParameterValue(*plain, nullptr)) {
    measurement::monitor().log(MonitorLevel::kWarning, code, message, plain->description());
    return false;
  }
  *value = *plain->asString();
  return true;
}

// Adds every entry of `added` to `parameters`, replacing entries of the same name.
void addParameters(Parameters& parameters, Parameters added) {
  for (auto& [key, value] : added) parameters.insert_or_assign(key, std::move(value));
}

// Makes `reporter` the process's reporter, which the session-start event asks for the current
// screen through its hook.
void publishLocked(std::shared_ptr<APMScreenViewReporter> reporter) OS_REQUIRES(sharedMutex) {
  sharedReporter = std::move(reporter);
  measurement::setScreenParametersProvider(
      [] { return APMScreenViewReporter::sharedInstance()->screenParameters(); });
}

}  // namespace

std::shared_ptr<APMScreenViewReporter> APMScreenViewReporter::sharedInstance() {
  {
    os::MutexLock lock(sharedMutex);
    if (sharedReporter) return sharedReporter;
  }
  std::shared_ptr<APMScreenViewReporter> made = create();
  os::MutexLock lock(sharedMutex);
  if (!sharedReporter) publishLocked(std::move(made));
  return sharedReporter;
}

void APMScreenViewReporter::resetForTesting() {
  std::shared_ptr<APMScreenViewReporter> made = create();
  os::MutexLock lock(sharedMutex);
  publishLocked(std::move(made));
}

std::shared_ptr<APMScreenViewReporter> APMScreenViewReporter::create() {
  auto reporter = std::make_shared<APMScreenViewReporter>(Private{});
  std::weak_ptr<APMScreenViewReporter> weak = reporter;
  os::NotificationCenter& center = os::NotificationCenter::defaultCenter();
  reporter->didBecomeActive_ = os::ObserverRegistration(
      center, center.addObserver(os::kApplicationDidBecomeActiveNotification, nullptr,
                                 [weak](const os::Notification&) {
                                   if (auto self = weak.lock()) {
                                     self->handleApplicationDidBecomeActive();
                                   }
                                 }));
  reporter->willResignActive_ = os::ObserverRegistration(
      center, center.addObserver(os::kApplicationWillResignActiveNotification, nullptr,
                                 [weak](const os::Notification&) {
                                   if (auto self = weak.lock()) {
                                     self->handleApplicationWillResignActive();
                                   }
                                 }));
  return reporter;
}

APMScreenViewReporter::APMScreenViewReporter(Private)
    : queue_(os::DispatchQueue::serial(kScreenViewReporterQueueLabel)),
      currentScreenInstanceID_(measurement::randomInt64()) {}

void APMScreenViewReporter::trackScreenWithParameters(const RawParameters& parameters,
                                                      double timestamp) {
  std::optional<std::string> name;
  std::optional<std::string> className;
  if (!readScreenValue(parameters, "screen_name", 31027, "Received invalid name for screen",
                       &name) ||
      !readScreenValue(parameters, "screen_class", 31028, "Received invalid class for screen",
                       &className)) {
    return;
  }
  APMScreen screen(name, className, incrementScreenInstanceID());
  screen.setManuallyTracked(true);
  screen.setEventTimestamp(timestamp);
  measurement::monitor().log(MonitorLevel::kDebug, 31029,
                             "Logging screen view with screen name and screen class",
                             name.value_or(""), className.value_or(""));
  // The previous screen is taken in the same step that replaces it, so that concurrent reports
  // form one chain of screens.
  std::optional<APMScreen> previous;
  {
    os::MutexLock lock(screenMutex_);
    previous = std::exchange(currentScreen_, screen);
  }
  std::weak_ptr<APMScreenViewReporter> weak = weak_from_this();
  queue_->async([weak, previous, screen, parameters] {
    std::shared_ptr<APMScreenViewReporter> self = weak.lock();
    if (!self) return;
    self->postScreenDidChangeNotificationWithPreviousScreen(previous, screen);
    Parameters extras =
        measurement::sanitizedEventParameters(parameters, "screen_view", true, false)
            .value_or(Parameters{});
    extras.erase("screen_name");
    extras.erase("screen_class");
    self->logViewScreenEventWithPreviousScreen(previous, screen, std::move(extras));
  });
}

Parameters APMScreenViewReporter::screenParameters() const {
  Parameters parameters;
  os::MutexLock lock(screenMutex_);
  if (!currentScreen_) return parameters;
  parameters.emplace("_si", Value(currentScreen_->instanceID()));
  const std::optional<std::string>& className = currentScreen_->className();
  if (className && !className->empty()) parameters.emplace("_sc", Value(*className));
  const std::optional<std::string>& name = currentScreen_->name();
  if (name && !name->empty()) parameters.emplace("_sn", Value(*name));
  return parameters;
}

void APMScreenViewReporter::getScreenName(std::optional<std::string>* screenName,
                                          std::optional<std::string>* screenClass) const {
  if (screenName == nullptr && screenClass == nullptr) return;
  os::MutexLock lock(screenMutex_);
  if (screenName) *screenName = currentScreen_ ? currentScreen_->name() : std::nullopt;
  if (screenClass) *screenClass = currentScreen_ ? currentScreen_->className() : std::nullopt;
}

void APMScreenViewReporter::setScreenName(const std::optional<std::string>&,
                                          const std::optional<std::string>&) {
  measurement::monitor().log(
      MonitorLevel::kWarning, 31000,
      "Ignoring call to setScreenName:screenClass:. Screen reporting is disabled.");
}

void APMScreenViewReporter::postScreenDidChangeNotificationWithPreviousScreen(
    const std::optional<APMScreen>& previous, const APMScreen& next) {
  if (!isAppActive()) return;
  if (previous) {
    if (std::shared_ptr<APMSessionReporter> sessions = readySessionReporter()) {
      sessions->handleScreenDidChangeFromScreen(&*previous, &next);
    }
  }
  APMAdExposureReporter::sharedInstance()->handleScreenDidChangeFromScreen(
      previous ? &*previous : nullptr, &next);
}

void APMScreenViewReporter::logViewScreenEventWithPreviousScreen(
    const std::optional<APMScreen>& previous, const APMScreen& next, Parameters parameters) {
  addParameters(parameters, APMScreenParameters(next));
  if (previous) {
    addParameters(parameters, APMPreviousScreenParameters(*previous));
    std::shared_ptr<APMSessionReporter> sessions = readySessionReporter();
    if (sessions && measurement::remoteSettings()->efficientEngagementReportingEnabled()) {
      int64_t milliseconds = sessions->cutFreerideEngagementTimeMillis();
      if (milliseconds >= 1) parameters.insert_or_assign("_et", Value(milliseconds));
    }
  }
  parameters.insert_or_assign("_mst", Value(int64_t{1}));
  if (next.isManuallyTracked()) {
    logReporterEvent("app", "_vs", std::move(parameters), next.eventTimestamp());
  } else {
    logReporterEvent("auto", "_vs", std::move(parameters));
  }
}

int64_t APMScreenViewReporter::incrementScreenInstanceID() {
  // Unsigned, so that passing the largest identifier wraps instead of overflowing.
  return static_cast<int64_t>(static_cast<uint64_t>(currentScreenInstanceID_.fetch_add(1)) + 1);
}

void APMScreenViewReporter::handleApplicationDidBecomeActive() {
  isAppActive_.store(true);
  if (std::shared_ptr<APMSessionReporter> sessions = readySessionReporter()) {
    sessions->handleAppDidBecomeActive();
  }
  APMAdExposureReporter::sharedInstance()->handleAppDidBecomeActive();
}

void APMScreenViewReporter::handleApplicationWillResignActive() {
  if (std::shared_ptr<APMSessionReporter> sessions = readySessionReporter()) {
    sessions->handleAppWillResignActiveWithScreen(nullptr);
  }
  APMAdExposureReporter::sharedInstance()->handleAppWillResignActiveWithScreen(nullptr);
}
