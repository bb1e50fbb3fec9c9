// RVOInstallationsBackoffController: keeps the installation client from hammering the service
// after errors. The ID controller asks isNextRequestAllowed() before each registration or token
// request and reports each outcome with registerEvent().
//
//   RVOInstallationsBackoffController backoff;
//   if (!backoff.isNextRequestAllowed()) return tooManyRequests();
//   send(...);  backoff.registerEvent(kRVOInstallationsBackoffEventRecoverableFailure);
//
// Waits: none after a success; 2^n seconds plus 0 to 999 random milliseconds after the n-th
// recoverable error in a row, at most 1800 s; 24 hours after an unrecoverable error. Only the
// last outcome and its repeat count are kept, in memory. Time is read from the monotonic clock
// (os::clock::monotonic, which a test fakes), so a change of the system time neither lifts nor
// stretches a wait. Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "os/sync/mutex.h"

enum RVOInstallationsBackoffEvent : int64_t {
  kRVOInstallationsBackoffEventSuccess = 0,
  kRVOInstallationsBackoffEventRecoverableFailure = 1,
  kRVOInstallationsBackoffEventUnrecoverableFailure = 2,
};

struct RVOInstallationsBackoffEventData {
  RVOInstallationsBackoffEvent eventType;
  // Monotonic seconds.
  double lastEventDate;
  // The number of consecutive events of this type.
  int64_t eventCount;
  double backoffTimeInterval;
};

class RVOInstallationsBackoffControllerProtocol {
 public:
  virtual ~RVOInstallationsBackoffControllerProtocol() = default;
  virtual void registerEvent(RVOInstallationsBackoffEvent event) = 0;
  virtual bool isNextRequestAllowed() = 0;
};

class RVOInstallationsBackoffController : public RVOInstallationsBackoffControllerProtocol {
 public:
  // Returns the current monotonic time in seconds.
  using TimeProvider = std::function<double()>;

  static constexpr double kUnrecoverableErrorBackoffTime = 86400;
  static constexpr double kMaximumRecoverableErrorBackoffTime = 1800;

  RVOInstallationsBackoffController();
  explicit RVOInstallationsBackoffController(TimeProvider currentTimeProvider);

  void registerEvent(RVOInstallationsBackoffEvent event) override;
  bool isNextRequestAllowed() override;

  static double backoffTimeIntervalWithEvent(RVOInstallationsBackoffEvent event,
                                             int64_t eventCount);
  static double recoverableErrorBackoffTimeForAttemptNumber(int64_t attempt);
  // A whole number of milliseconds from 0 to 999, in seconds.
  static double randomMilliseconds();

 private:
  const TimeProvider currentTimeProvider_;
  os::Mutex mutex_;
  std::optional<RVOInstallationsBackoffEventData> lastEventData_ OS_GUARDED_BY(mutex_);
};
