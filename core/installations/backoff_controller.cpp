#include "core/installations/backoff_controller.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "os/crypto/crypto.h"
#include "os/process/clock.h"

RVOInstallationsBackoffController::RVOInstallationsBackoffController()
    : RVOInstallationsBackoffController([] { return os::clock::monotonic(); }) {}

RVOInstallationsBackoffController::RVOInstallationsBackoffController(
    TimeProvider currentTimeProvider)
    : currentTimeProvider_(std::move(currentTimeProvider)) {}

void RVOInstallationsBackoffController::registerEvent(RVOInstallationsBackoffEvent event) {
  const double now = currentTimeProvider_();
  os::MutexLock lock(mutex_);
  const int64_t count =
      lastEventData_ && lastEventData_->eventType == event ? lastEventData_->eventCount + 1 : 1;
  lastEventData_ = RVOInstallationsBackoffEventData{event, now, count,
                                                    backoffTimeIntervalWithEvent(event, count)};
}

bool RVOInstallationsBackoffController::isNextRequestAllowed() {
  const double now = currentTimeProvider_();
  os::MutexLock lock(mutex_);
  if (!lastEventData_) return true;
  return now - lastEventData_->lastEventDate >= lastEventData_->backoffTimeInterval;
}

double RVOInstallationsBackoffController::backoffTimeIntervalWithEvent(
    RVOInstallationsBackoffEvent event, int64_t eventCount) {
  switch (event) {
    case kRVOInstallationsBackoffEventUnrecoverableFailure:
      return kUnrecoverableErrorBackoffTime;
    case kRVOInstallationsBackoffEventRecoverableFailure:
      return recoverableErrorBackoffTimeForAttemptNumber(eventCount);
    case kRVOInstallationsBackoffEventSuccess:
      break;
  }
  return 0;
}

double RVOInstallationsBackoffController::recoverableErrorBackoffTimeForAttemptNumber(
    int64_t attempt) {
  return std::min(std::pow(2.0, static_cast<double>(attempt)) + randomMilliseconds(),
                  kMaximumRecoverableErrorBackoffTime);
}

double RVOInstallationsBackoffController::randomMilliseconds() {
  uint32_t random = 0;
  if (std::optional<os::Data> bytes = os::crypto::randomBytes(sizeof random)) {
    std::memcpy(&random, bytes->data(), sizeof random);
  }
  return static_cast<double>(random % 1000) * 0.001;
}
