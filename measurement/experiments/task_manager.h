// APMETaskManager: the worker of the experiment service. On its worker queue it opens the
// snapshot database, drops stale activated snapshots, activates the pending ones no client
// activates by hand, reports what is stored to its delegate (the manager), and keeps the fetch
// schedule: one POST of an experiment request 4 hours after the last success, a doubling retry
// ladder after failures, a 12-hour back-off after HTTP 429 or 503, one alarm at most.
//
//   auto taskManager = APMETaskManager::create();
//   taskManager->setDelegate(manager);
//   taskManager->startTaskManager();
//
// Replies. A 200 or 204 whose body is empty is a success without snapshots; one whose body does
// not inflate (within the gzip helper's output cap) or decode, or that came with a transport
// error, is a failed fetch and takes the retry ladder.
//
// Time comes from os::clock, so a test moves it with a fake clock; the alarm itself waits on the
// real clock, and a test runs its block through alarmDidFire().
//
// Threads: every member may be called from any thread; the work runs on the worker queue
// "APMExperimentWorkerQueue", which calls the delegate. Blocks hold the task manager weakly.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/experiments/request_builder.h"
#include "measurement/experiments/snapshot.h"
#include "measurement/experiments/snapshot_database.h"
#include "measurement/foundation/alarm.h"
#include "measurement/foundation/config_store.h"
#include "os/dispatch/dispatch.h"
#include "os/net/url.h"
#include "os/value/error.h"
#include "platform/utilities/network.h"

namespace measurement {

inline constexpr const char* kExperimentSuiteName = "APMExperimentSuiteName";
inline constexpr const char* kExperimentFetchSuccessTimestampKey =
    "APMExperimentFetchSuccessTimestamp";
inline constexpr const char* kExperimentFetchFailureTimestampKey =
    "APMExperimentFetchFailureTimestamp";
inline constexpr const char* kExperimentFetchBackoffTimestampKey =
    "APMExperimentFetchBackoffTimestamp";
inline constexpr const char* kExperimentErrorDomain =
    "com.vedodo.gmp.measurement.experiment.ErrorDomain";
// Seconds from a success to the next fetch, the least wait of a process's first fetch, and the
// back-off after HTTP 429 or 503.
inline constexpr double kExperimentFetchInterval = 14400;
inline constexpr double kExperimentInitialFetchDelay = 10;
inline constexpr double kExperimentBackoffInterval = 43200;

class APMETaskManager;

// The manager's side: told on the worker queue.
class APMETaskManagerDelegate {
 public:
  virtual ~APMETaskManagerDelegate() = default;
  virtual bool taskManagerShouldFetchExperiments(APMETaskManager& taskManager) = 0;
  // The stored snapshots at start-up; nullopt where a read failed.
  virtual void taskManagerDidStart(APMETaskManager& taskManager,
                                   const std::optional<std::vector<APMESnapshot>>& activated,
                                   const std::optional<std::vector<APMESnapshot>>& pending,
                                   const std::optional<std::vector<APMESnapshot>>& launched) = 0;
  // The snapshots of a successful reply and the errors it reported per SDK name.
  virtual void taskManagerDidFinishFetching(APMETaskManager& taskManager,
                                            const std::vector<APMESnapshot>& snapshots,
                                            const std::map<std::string, os::Error>& errors) = 0;
  virtual void taskManagerDidUpsertPendingSnapshots(APMETaskManager& taskManager,
                                                    const std::vector<APMESnapshot>& snapshots) = 0;
};

class APMETaskManager : public std::enable_shared_from_this<APMETaskManager> {
  struct Private {};

 public:
  // Everything the task manager works with.
  struct Parts {
    std::shared_ptr<os::DispatchQueue> queue;
    // On `queue`.
    std::shared_ptr<Alarm> alarm;
    std::shared_ptr<VDUNetwork> network;
    std::shared_ptr<ConfigStore> persistedStorage;
    std::string databasePath;
    double initTimestamp = 0;
    std::shared_ptr<APMEExperimentRequestBuilder> requestBuilder;
    os::URL fetchURL;
  };

  // The worker queue, the alarm "APMExperimentAlarm", a network client for the experiment
  // host, the suite "APMExperimentSuiteName", the measurement folder's database file, now, the
  // shared request builder and the experiment endpoint.
  static Parts defaultParts();
  static std::shared_ptr<APMETaskManager> create(Parts parts = defaultParts());
  APMETaskManager(Private, Parts parts);

  void setDelegate(std::weak_ptr<APMETaskManagerDelegate> delegate);
  const std::shared_ptr<APMEExperimentRequestBuilder>& requestBuilder() const {
    return parts_.requestBuilder;
  }
  const std::shared_ptr<os::DispatchQueue>& workerQueue() const { return parts_.queue; }
  double initializationTimestamp() const { return parts_.initTimestamp; }

  // Asynchronously: opens the database, loads and reports the snapshots, schedules the fetch.
  void startTaskManager();

  // Worker queue only.
  void startTaskManagerOnWorkerQueue();
  void fetchAllSnapshotsOnWorkerQueue();
  void scheduleFetchingExperimentsOnWorkerQueue();
  // The time of the next fetch; 0 when the retry ladder is exhausted.
  double fetchTimeFromLastSuccessfulTimestamp(double success, double failure);
  // What the alarm runs: the fetch, or a postponement when the delegate says not now.
  void alarmDidFire();
  void fetchExperiments();
  void postponeFetchExperiments();
  // `status` 0 without a response; `data` the inflated body; `error` a transport error, or the
  // reason the body could not be inflated.
  void handleFetchingExperimentsResponse(int status, const std::optional<os::Data>& data,
                                         const std::optional<os::Error>& error);
  std::vector<APMESnapshot> experimentSnapshotsFromExperimentResponse(
      const APMPBExperimentResponse& response);
  std::map<std::string, os::Error> errorsFromExperimentResponse(
      const APMPBExperimentResponse& response);
  bool hasMadeInitialFetch() const { return hasMadeInitialFetch_; }

  // Asynchronously on the worker queue.
  void activatePendingSnapshot(const APMESnapshot& snapshot, double timestamp);
  void resetToDefaultsForSDKName(const std::string& SDKName);
  void upsertPendingSnapshots(const std::vector<APMESnapshot>& snapshots);
  void reset();
  void clearAndDelete();

  void dispatchAsyncOnWorkerQueue(std::function<void(APMETaskManager&)> block);

 private:
  std::shared_ptr<APMETaskManagerDelegate> delegate() const;
  // The reply of a failed fetch.
  void recordFailure(int status, const std::optional<os::Error>& error);
  void removeTimestamps();

  const Parts parts_;
  // Worker queue only.
  std::unique_ptr<APMEDatabase> database_;
  bool hasMadeInitialFetch_ = false;

  mutable os::Mutex mutex_;
  std::weak_ptr<APMETaskManagerDelegate> delegate_ OS_GUARDED_BY(mutex_);
};

}  // namespace measurement
