// ExperimentManager (APMEManager): the front of the experiment service. SDKs register with
// their default flags and get a client; the manager keeps per SDK the pending snapshot (fetched,
// not yet in force), the activated one and the launched one (experiment 0), answers flags from
// activated, then launched, then default values, activates on request and reports the
// activated experiment ids. The task manager (its delegate partner) fetches and stores.
//
//   std::shared_ptr<ExperimentManager> manager = ExperimentManager::sharedInstance();
//   auto client = manager->registerSDKProperty({.name = "sdk"}, {{"f", 1}});
//   std::optional<os::Value> f = client->objectForKeyedSubscript("f");   // 1 until activated
//
// Threads: any, except from a block of the serial queue "APMEExperimentSerialQueue". Every
// change of the snapshots, clients and defaults runs on that queue, in order; activation and
// reset to defaults wait for their turn there. Reads (flags, status, ids, clients) see every
// change queued before them: while changes are queued they wait for them on the queue, else they
// read at once under a shared lock, so that concurrent flag reads do not queue up behind each
// other. clientDidReceiveFetchError runs on the queue and must not call the synchronous
// operations.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/config/experiment_service.h"
#include "measurement/experiments/snapshot.h"
#include "measurement/experiments/task_manager.h"
#include "os/dispatch/dispatch.h"

namespace measurement {

class ExperimentClient;

// activatedSnapshotStatusOfSDKName's answers.
inline constexpr int64_t kSnapshotStatusUnregistered = -1;
inline constexpr int64_t kSnapshotStatusNoActivatedSnapshot = -2;
inline constexpr int64_t kSnapshotStatusStale = 1;
inline constexpr int64_t kSnapshotStatusFresh = 0;

class ExperimentManager final : public APMEManager,
                                public APMETaskManagerDelegate,
                                public std::enable_shared_from_this<ExperimentManager> {
  struct Private {};

 public:
  // The one manager, whose task manager starts with it.
  static std::shared_ptr<ExperimentManager> sharedInstance();
  // A manager over `taskManager`, which it becomes the delegate of; nothing is started.
  static std::shared_ptr<ExperimentManager> initWithTaskManager(
      std::shared_ptr<APMETaskManager> taskManager);
  ExperimentManager(Private, std::shared_ptr<APMETaskManager> taskManager);

  // APMEManager.
  std::shared_ptr<APMEClient> registerSDKProperty(const APMESDKProperty& property,
                                                  const os::Dictionary& defaultFlags) override;
  std::vector<int64_t> experimentIDs() override;
  void reset() override;

  std::shared_ptr<ExperimentClient> clientForSDKName(std::string_view SDKName);
  std::optional<os::Value> flagValueForFlagName(std::string_view flagName,
                                                std::string_view SDKName);
  // false with `error` (code 1) for an empty name; false without touching `error` when nothing
  // is pending.
  bool activateSnapshotOfSDK(std::string_view SDKName, os::Error* error);
  int64_t activatedSnapshotStatusOfSDKName(std::string_view SDKName);
  void resetToDefaultsOfSDKName(std::string_view SDKName);
  void clearAndDelete();

  const std::shared_ptr<APMETaskManager>& taskManager() const { return taskManager_; }

  // APMETaskManagerDelegate (the worker queue).
  bool taskManagerShouldFetchExperiments(APMETaskManager& taskManager) override;
  void taskManagerDidStart(APMETaskManager& taskManager,
                           const std::optional<std::vector<APMESnapshot>>& activated,
                           const std::optional<std::vector<APMESnapshot>>& pending,
                           const std::optional<std::vector<APMESnapshot>>& launched) override;
  void taskManagerDidFinishFetching(APMETaskManager& taskManager,
                                    const std::vector<APMESnapshot>& snapshots,
                                    const std::map<std::string, os::Error>& errors) override;
  void taskManagerDidUpsertPendingSnapshots(APMETaskManager& taskManager,
                                            const std::vector<APMESnapshot>& snapshots) override;

 private:
  using SnapshotMap = std::map<std::string, APMESnapshot, std::less<>>;

  // Queues a change of the state: `block` runs on the serial queue holding the state's lock
  // exclusively, and what it throws is logged (800017).
  void dispatchAsyncOnSerialQueue(std::function<void(ExperimentManager&)> block);
  // Runs a change of the state in its turn on the serial queue (800018 for a throw).
  void dispatchSyncOnSerialQueue(const std::function<void()>& block);
  // Runs `block` holding the state's lock shared, after the changes queued so far.
  void read(const std::function<void()>& block) const;
  std::shared_ptr<ExperimentClient> registeredClient(std::string_view SDKName) const;

  const std::shared_ptr<APMETaskManager> taskManager_;
  const std::shared_ptr<os::DispatchQueue> queue_;
  // Changes queued and not yet run.
  std::atomic<int64_t> queuedChanges_{0};
  // Written on the serial queue only, read anywhere.
  mutable std::shared_mutex stateMutex_;
  std::map<std::string, std::shared_ptr<ExperimentClient>, std::less<>> registeredClientsBySDKName_;
  SnapshotMap activatedSnapshotsBySDKName_;
  SnapshotMap pendingSnapshotsBySDKName_;
  SnapshotMap launchedSnapshotsBySDKName_;
  std::map<std::string, std::map<std::string, APMPBFlag, std::less<>>, std::less<>>
      defaultFlagsBySDKName_;
};

// The client of one registered SDK: every question goes to the manager by the SDK's name.
class ExperimentClient final : public APMEClient {
 public:
  ExperimentClient(APMESDKProperty property, std::vector<APMPBFlag> defaultFlags,
                   std::weak_ptr<ExperimentManager> manager);

  void setDelegate(std::weak_ptr<APMEExperimentObserverDelegate> delegate) override;
  std::shared_ptr<APMEExperimentObserverDelegate> delegate() const;
  bool activateLatestSnapshot(os::Error* error) override;
  std::optional<os::Value> objectForKeyedSubscript(std::string_view flag) override;
  // nullopt (830002) for an empty name.
  std::optional<os::Value> valueForFlag(std::string_view flag);
  bool hasStaleSnapshot();
  void resetToDefaults();

  const std::string& SDKName() const { return property_.name; }
  const APMESDKProperty& SDKProperty() const { return property_; }
  const std::vector<APMPBFlag>& defaultFlags() const { return defaultFlags_; }

 private:
  const APMESDKProperty property_;
  const std::vector<APMPBFlag> defaultFlags_;
  const std::weak_ptr<ExperimentManager> manager_;
  mutable os::Mutex mutex_;
  std::weak_ptr<APMEExperimentObserverDelegate> delegate_ OS_GUARDED_BY(mutex_);
};

}  // namespace measurement
