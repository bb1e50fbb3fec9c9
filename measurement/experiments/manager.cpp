#include "measurement/experiments/manager.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/monitor.h"
#include "measurement/wire/access.h"
#include "measurement/wire/flag_conversion.h"
#include "os/process/clock.h"

namespace measurement {
namespace {

// The flag's value, or nullopt when it holds none.
std::optional<os::Value> valueOfFlag(const APMPBFlag* flag) {
  os::Value value = flagValueFromProto(flag);
  if (value.isNull()) return std::nullopt;
  return value;
}

}  // namespace

std::shared_ptr<ExperimentManager> ExperimentManager::sharedInstance() {
  static const std::shared_ptr<ExperimentManager> shared = [] {
    std::shared_ptr<ExperimentManager> manager = initWithTaskManager(APMETaskManager::create());
    manager->taskManager()->startTaskManager();
    return manager;
  }();
  return shared;
}

std::shared_ptr<ExperimentManager> ExperimentManager::initWithTaskManager(
    std::shared_ptr<APMETaskManager> taskManager) {
  auto manager = std::make_shared<ExperimentManager>(Private{}, std::move(taskManager));
  manager->taskManager_->setDelegate(manager);
  return manager;
}

ExperimentManager::ExperimentManager(Private, std::shared_ptr<APMETaskManager> taskManager)
    : taskManager_(std::move(taskManager)),
      queue_(os::DispatchQueue::serial("APMEExperimentSerialQueue", os::DispatchPriority::Low)) {}

void ExperimentManager::dispatchAsyncOnSerialQueue(std::function<void(ExperimentManager&)> block) {
  std::weak_ptr<ExperimentManager> weak = weak_from_this();
  ++queuedChanges_;
  queue_->async([weak, block = std::move(block)] {
    std::shared_ptr<ExperimentManager> self = weak.lock();
    if (!self) return;
    try {
      block(*self);
    } catch (const std::exception& exception) {
      monitor().log(MonitorLevel::kErrorSampled, 800017,
                    "Exception on async Experimentation serial queue", exception.what());
    }
    --self->queuedChanges_;
  });
}

void ExperimentManager::dispatchSyncOnSerialQueue(const std::function<void()>& block) {
  queue_->sync([&] {
    std::unique_lock lock(stateMutex_);
    try {
      block();
    } catch (const std::exception& exception) {
      monitor().log(MonitorLevel::kErrorSampled, 800018,
                    "Exception on sync Experimentation serial queue", exception.what());
    }
  });
}

void ExperimentManager::read(const std::function<void()>& block) const {
  auto run = [&] {
    std::shared_lock lock(stateMutex_);
    block();
  };
  if (queuedChanges_.load() > 0) {
    queue_->sync(run);
  } else {
    run();
  }
}

std::shared_ptr<ExperimentClient> ExperimentManager::registeredClient(
    std::string_view SDKName) const {
  auto found = registeredClientsBySDKName_.find(SDKName);
  return found == registeredClientsBySDKName_.end() ? nullptr : found->second;
}

// ---- Registration and lookup ----

std::shared_ptr<APMEClient> ExperimentManager::registerSDKProperty(
    const APMESDKProperty& property, const os::Dictionary& defaultFlags) {
  const std::string name = property.name;
  if (name.empty()) {
    monitor().log(MonitorLevel::kError, 800001,
                  "Cannot register experiment client with no SDK name");
    return nullptr;
  }
  std::map<std::string, APMPBFlag, std::less<>> flags;
  std::vector<APMPBFlag> flagList;
  for (const auto& [flagName, value] : defaultFlags) {
    std::optional<APMPBFlag> flag = flagProtoWithNameAndValue(flagName, value);
    if (!flag) {
      monitor().log(MonitorLevel::kError, 800002,
                    "Cannot register experiment client invalid flags. Flag name, value", flagName,
                    value.description());
      return nullptr;
    }
    flags.insert_or_assign(flagName, *flag);
    flagList.push_back(std::move(*flag));
  }
  auto client = std::make_shared<ExperimentClient>(property, std::move(flagList), weak_from_this());
  dispatchAsyncOnSerialQueue([name, client, flags = std::move(flags)](ExperimentManager& self) {
    std::unique_lock lock(self.stateMutex_);
    if (self.registeredClient(name)) {
      monitor().log(MonitorLevel::kWarning, 800003,
                    "Registered an SDK that has already registered. Default flags will be "
                    "overwritten. SDK name",
                    name);
    }
    self.registeredClientsBySDKName_.insert_or_assign(name, client);
    self.defaultFlagsBySDKName_.insert_or_assign(name, flags);
    self.taskManager_->requestBuilder()->addSDKProperty(client->SDKProperty());
    monitor().log(MonitorLevel::kVerbose, 800005, "Registered client", name);
  });
  return client;
}

std::shared_ptr<ExperimentClient> ExperimentManager::clientForSDKName(std::string_view SDKName) {
  if (SDKName.empty()) {
    monitor().log(MonitorLevel::kError, 800007, "Cannot find the client for empty SDK Name");
    return nullptr;
  }
  std::shared_ptr<ExperimentClient> client;
  read([&] { client = registeredClient(SDKName); });
  return client;
}

std::optional<os::Value> ExperimentManager::flagValueForFlagName(std::string_view flagName,
                                                                 std::string_view SDKName) {
  if (SDKName.empty()) {
    monitor().log(MonitorLevel::kError, 800010, "Cannot retrieve flag value for empty SDK name");
    return std::nullopt;
  }
  if (flagName.empty()) {
    monitor().log(MonitorLevel::kError, 800011, "Cannot retrieve flag value for empty flag name");
    return std::nullopt;
  }
  std::optional<os::Value> result;
  read([&] {
    const std::string_view name = SDKName;
    if (!registeredClient(name)) {
      monitor().log(MonitorLevel::kWarning, 800012, "SDK is not registered yet", name);
      return;
    }
    auto defaults = defaultFlagsBySDKName_.find(SDKName);
    if (defaults == defaultFlagsBySDKName_.end()) {
      monitor().log(MonitorLevel::kWarning, 800013,
                    "Cannot get flag for unregistered SDK. SDK name, flag name", name, flagName);
      return;
    }
    auto activated = activatedSnapshotsBySDKName_.find(SDKName);
    monitor().log(MonitorLevel::kVerbose, 800015,
                  "Looking for activated flag. SDK name, flag name, activated snapshot", name,
                  flagName, activated != activatedSnapshotsBySDKName_.end());
    if (activated != activatedSnapshotsBySDKName_.end()) {
      if ((result = valueOfFlag(activated->second.flagByName(flagName)))) return;
    }
    auto launched = launchedSnapshotsBySDKName_.find(SDKName);
    monitor().log(MonitorLevel::kVerbose, 800016,
                  "Cannot find activated flag. Looking for launched flag. SDK name, flag name, "
                  "launched flag",
                  name, flagName, launched != launchedSnapshotsBySDKName_.end());
    if (launched != launchedSnapshotsBySDKName_.end()) {
      if ((result = valueOfFlag(launched->second.flagByName(flagName)))) return;
    }
    auto fallback = defaults->second.find(flagName);
    if (fallback == defaults->second.end()) {
      monitor().log(MonitorLevel::kVerbose, 800014, "No default flag value. SDK name, flag name",
                    name, flagName);
      return;
    }
    result = valueOfFlag(&fallback->second);
    monitor().log(MonitorLevel::kVerbose, 800019,
                  "Cannot find launched flag. Returned the default flag value. SDK name, flag "
                  "name, default flag",
                  name, flagName, result ? result->description() : std::string());
  });
  return result;
}

// ---- Activation and status ----

bool ExperimentManager::activateSnapshotOfSDK(std::string_view SDKName, os::Error* error) {
  if (SDKName.empty()) {
    setErrorOutParameter(error, kInvalidInput, "SDK name cannot be empty");
    monitor().log(MonitorLevel::kWarning, 800022,
                  "Cannot activate a pending snapshot for an empty SDK name");
    return false;
  }
  bool activated = false;
  dispatchSyncOnSerialQueue([&] {
    auto pending = pendingSnapshotsBySDKName_.find(SDKName);
    if (pending == pendingSnapshotsBySDKName_.end()) {
      monitor().log(MonitorLevel::kWarning, 800023, "No pending snapshot to activate. SDK name",
                    SDKName);
      return;
    }
    const double now = os::clock::now();
    const std::string name(SDKName);
    std::vector<APMEExperiment> experiments;
    for (const APMEExperiment& experiment : pending->second.experiments()) {
      if (experiment.experimentID() == 0) {
        launchedSnapshotsBySDKName_.insert_or_assign(
            name, *APMESnapshot::initWithSDKName(name, {experiment}));
      } else {
        experiments.push_back(experiment);
      }
    }
    APMESnapshot inForce = *APMESnapshot::initWithSDKName(name, experiments);
    inForce.setTimestamp(now);
    activatedSnapshotsBySDKName_.insert_or_assign(name, std::move(inForce));
    APMESnapshot stored = pending->second;
    pendingSnapshotsBySDKName_.erase(pending);
    taskManager_->activatePendingSnapshot(stored, now);
    activated = true;
  });
  if (activated)
    monitor().log(MonitorLevel::kVerbose, 800028, "Successfully activated a snapshot of SDK",
                  SDKName);
  return activated;
}

int64_t ExperimentManager::activatedSnapshotStatusOfSDKName(std::string_view SDKName) {
  if (SDKName.empty()) {
    monitor().log(MonitorLevel::kError, 800024,
                  "Cannot check activated snapshot for empty SDK Name");
    return kSnapshotStatusUnregistered;
  }
  int64_t status = kSnapshotStatusUnregistered;
  read([&] {
    if (!registeredClient(SDKName)) return;
    auto activated = activatedSnapshotsBySDKName_.find(SDKName);
    if (activated == activatedSnapshotsBySDKName_.end() ||
        !(activated->second.timestamp() > std::numeric_limits<double>::epsilon())) {
      status = kSnapshotStatusNoActivatedSnapshot;
    } else if (std::fabs(activated->second.timestamp() - os::clock::now()) >
               kStaleActivatedSnapshotAge) {
      status = kSnapshotStatusStale;
    } else {
      status = kSnapshotStatusFresh;
    }
  });
  return status;
}

void ExperimentManager::resetToDefaultsOfSDKName(std::string_view SDKName) {
  if (SDKName.empty()) {
    monitor().log(MonitorLevel::kError, 800025, "Cannot reset to defaults for empty SDK Name");
    return;
  }
  dispatchSyncOnSerialQueue([&] {
    auto activated = activatedSnapshotsBySDKName_.find(SDKName);
    if (activated == activatedSnapshotsBySDKName_.end()) {
      monitor().log(MonitorLevel::kError, 800026,
                    "Cannot reset to defaults for unregistered SDK name", SDKName);
      return;
    }
    activatedSnapshotsBySDKName_.erase(activated);
    taskManager_->resetToDefaultsForSDKName(std::string(SDKName));
    monitor().log(MonitorLevel::kVerbose, 800027, "Reset all experiments to default. SDK name",
                  SDKName);
  });
}

std::vector<int64_t> ExperimentManager::experimentIDs() {
  std::vector<int64_t> ids;
  read([&] {
    for (const auto& [name, client] : registeredClientsBySDKName_) {
      if (client->SDKProperty().diversionKey) continue;
      auto activated = activatedSnapshotsBySDKName_.find(name);
      if (activated == activatedSnapshotsBySDKName_.end()) continue;
      for (const APMEExperiment& experiment : activated->second.experiments()) {
        ids.push_back(experiment.experimentID());
      }
    }
  });
  std::sort(ids.begin(), ids.end());
  return ids;
}

void ExperimentManager::reset() {
  dispatchAsyncOnSerialQueue([](ExperimentManager& self) {
    std::unique_lock lock(self.stateMutex_);
    self.taskManager_->reset();
    self.activatedSnapshotsBySDKName_.clear();
    self.pendingSnapshotsBySDKName_.clear();
    self.launchedSnapshotsBySDKName_.clear();
  });
}

void ExperimentManager::clearAndDelete() {
  dispatchAsyncOnSerialQueue([](ExperimentManager& self) {
    std::unique_lock lock(self.stateMutex_);
    self.taskManager_->clearAndDelete();
    self.activatedSnapshotsBySDKName_.clear();
    self.pendingSnapshotsBySDKName_.clear();
    self.launchedSnapshotsBySDKName_.clear();
  });
}

// ---- The task manager's reports ----

bool ExperimentManager::taskManagerShouldFetchExperiments(APMETaskManager&) {
  std::map<std::string, std::shared_ptr<ExperimentClient>, std::less<>> clients;
  {
    std::shared_lock lock(stateMutex_);
    clients = registeredClientsBySDKName_;
  }
  for (const auto& [name, client] : clients) {
    std::shared_ptr<APMEExperimentObserverDelegate> observer = client->delegate();
    if (!observer || observer->shouldFetchExperimentsForClient(*client)) return true;
  }
  return false;
}

void ExperimentManager::taskManagerDidStart(
    APMETaskManager&, const std::optional<std::vector<APMESnapshot>>& activated,
    const std::optional<std::vector<APMESnapshot>>& pending,
    const std::optional<std::vector<APMESnapshot>>& launched) {
  dispatchAsyncOnSerialQueue([activated, pending, launched](ExperimentManager& self) {
    std::unique_lock lock(self.stateMutex_);
    auto store = [](SnapshotMap& map, const std::optional<std::vector<APMESnapshot>>& list) {
      for (const APMESnapshot& snapshot : list.value_or(std::vector<APMESnapshot>())) {
        map.insert_or_assign(snapshot.SDKName(), snapshot.copy());
      }
    };
    store(self.activatedSnapshotsBySDKName_, activated);
    store(self.pendingSnapshotsBySDKName_, pending);
    store(self.launchedSnapshotsBySDKName_, launched);
  });
}

void ExperimentManager::taskManagerDidFinishFetching(
    APMETaskManager&, const std::vector<APMESnapshot>& snapshots,
    const std::map<std::string, os::Error>& errors) {
  if (snapshots.empty() && errors.empty()) {
    monitor().log(MonitorLevel::kWarning, 800020, "No pending snapshots to notify the clients");
    return;
  }
  dispatchAsyncOnSerialQueue([snapshots, errors](ExperimentManager& self) {
    std::vector<APMESnapshot> manual;
    std::vector<std::pair<std::shared_ptr<ExperimentClient>, os::Error>> failures;
    {
      std::unique_lock lock(self.stateMutex_);
      for (const APMESnapshot& snapshot : snapshots) {
        APMESnapshot copy = snapshot.copy();
        std::shared_ptr<ExperimentClient> client = self.registeredClient(snapshot.SDKName());
        if (client && client->delegate()) {
          copy.setManuallyActivated(true);
          manual.push_back(copy);
        }
        self.pendingSnapshotsBySDKName_.insert_or_assign(snapshot.SDKName(), std::move(copy));
      }
      for (const auto& [name, error] : errors) {
        if (std::shared_ptr<ExperimentClient> client = self.registeredClient(name)) {
          failures.emplace_back(client, error);
        }
      }
    }
    // Told without the lock, still on the serial queue.
    for (const auto& [client, error] : failures) {
      if (auto observer = client->delegate()) observer->clientDidReceiveFetchError(*client, &error);
    }
    if (!manual.empty()) self.taskManager_->upsertPendingSnapshots(manual);
  });
}

void ExperimentManager::taskManagerDidUpsertPendingSnapshots(
    APMETaskManager&, const std::vector<APMESnapshot>& snapshots) {
  for (const APMESnapshot& snapshot : snapshots) {
    std::shared_ptr<ExperimentClient> client;
    {
      std::shared_lock lock(stateMutex_);
      client = registeredClient(snapshot.SDKName());
    }
    std::shared_ptr<APMEExperimentObserverDelegate> observer =
        client ? client->delegate() : nullptr;
    if (!observer) {
      monitor().log(MonitorLevel::kError, 800021,
                    "Cannot notify new snapshot for SDK because the delegate does not implement "
                    "-clientDidReceiveNewSnapshot:",
                    snapshot.SDKName());
      continue;
    }
    std::shared_ptr<os::DispatchQueue> queue = observer->queue();
    if (!queue) queue = os::DispatchQueue::main();
    queue->async([observer, client] { observer->clientDidReceiveNewSnapshot(*client); });
  }
}

// ---- Client ----

ExperimentClient::ExperimentClient(APMESDKProperty property, std::vector<APMPBFlag> defaultFlags,
                                   std::weak_ptr<ExperimentManager> manager)
    : property_(std::move(property)),
      defaultFlags_(std::move(defaultFlags)),
      manager_(std::move(manager)) {}

void ExperimentClient::setDelegate(std::weak_ptr<APMEExperimentObserverDelegate> delegate) {
  os::MutexLock lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<APMEExperimentObserverDelegate> ExperimentClient::delegate() const {
  os::MutexLock lock(mutex_);
  return delegate_.lock();
}

bool ExperimentClient::activateLatestSnapshot(os::Error* error) {
  std::shared_ptr<ExperimentManager> manager = manager_.lock();
  return manager && manager->activateSnapshotOfSDK(SDKName(), error);
}

std::optional<os::Value> ExperimentClient::objectForKeyedSubscript(std::string_view flag) {
  std::shared_ptr<ExperimentManager> manager = manager_.lock();
  if (!manager) return std::nullopt;
  return manager->flagValueForFlagName(flag, SDKName());
}

std::optional<os::Value> ExperimentClient::valueForFlag(std::string_view flag) {
  if (flag.empty()) {
    monitor().log(MonitorLevel::kError, 830002, "Cannot get value for empty flag name");
    return std::nullopt;
  }
  return objectForKeyedSubscript(flag);
}

bool ExperimentClient::hasStaleSnapshot() {
  std::shared_ptr<ExperimentManager> manager = manager_.lock();
  return manager && manager->activatedSnapshotStatusOfSDKName(SDKName()) == kSnapshotStatusStale;
}

void ExperimentClient::resetToDefaults() {
  if (std::shared_ptr<ExperimentManager> manager = manager_.lock()) {
    manager->resetToDefaultsOfSDKName(SDKName());
  }
}

}  // namespace measurement
