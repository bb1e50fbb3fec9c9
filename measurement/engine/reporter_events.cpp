#include "measurement/engine/reporter_events.h"

#include <utility>

#include "measurement/engine/analytics.h"
#include "measurement/model/parameter_sanitizer.h"
#include "os/dispatch/dispatch.h"

namespace {

os::Mutex observerMutex;
ScopedReporterObserver* currentObserver OS_GUARDED_BY(observerMutex) = nullptr;

}  // namespace

void logReporterEvent(std::string_view origin, std::string_view name,
                      measurement::Parameters parameters, std::optional<double> timestamp) {
  {
    os::MutexLock lock(observerMutex);
    if (currentObserver != nullptr) {
      os::MutexLock recordLock(currentObserver->mutex_);
      currentObserver->events_.push_back(
          {std::string(origin), std::string(name), std::move(parameters), timestamp});
      currentObserver->recorded_.notify_all();
      return;
    }
  }
  measurement::RawParameters raw = measurement::rawParameters(parameters);
  if (timestamp) {
    APMAnalytics::logInternalEventWithOrigin(origin, name, *timestamp, std::move(raw));
  } else {
    APMAnalytics::logInternalEventWithOrigin(origin, name, std::move(raw));
  }
}

void setReporterUserProperty(const os::Value& value, std::string_view name,
                             std::string_view origin) {
  {
    os::MutexLock lock(observerMutex);
    if (currentObserver != nullptr) {
      os::MutexLock recordLock(currentObserver->mutex_);
      currentObserver->userProperties_.push_back({value, std::string(name), std::string(origin)});
      return;
    }
  }
  APMAnalytics::sharedInstance().setInternalUserProperty(value, name, origin);
}

ScopedReporterObserver::ScopedReporterObserver() {
  os::MutexLock lock(observerMutex);
  currentObserver = this;
}

ScopedReporterObserver::~ScopedReporterObserver() {
  os::MutexLock lock(observerMutex);
  currentObserver = nullptr;
}

std::vector<APMReportedEvent> ScopedReporterObserver::events() const {
  os::MutexLock lock(mutex_);
  return events_;
}

bool ScopedReporterObserver::waitForEvents(size_t count, double timeoutSeconds) const {
  os::MutexLock lock(mutex_);
  return recorded_.wait_until(lock, os::monotonicDeadline(timeoutSeconds),
                              [&]() OS_REQUIRES(mutex_) { return events_.size() >= count; });
}

std::vector<APMReportedUserProperty> ScopedReporterObserver::userProperties() const {
  os::MutexLock lock(mutex_);
  return userProperties_;
}

void ScopedReporterObserver::clear() {
  os::MutexLock lock(mutex_);
  events_.clear();
  userProperties_.clear();
}
