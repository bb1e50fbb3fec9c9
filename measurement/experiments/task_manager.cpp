#include "measurement/experiments/task_manager.h"

#include <cmath>
#include <limits>

#include "measurement/config/endpoints.h"
#include "measurement/foundation/measurement_user_defaults.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/scheduler.h"
#include "measurement/foundation/storage_paths.h"
#include "measurement/wire/access.h"
#include "os/process/clock.h"
#include "platform/utilities/gzip.h"

namespace measurement {
namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
constexpr double kRetryInterval = 1800;
constexpr int kRetryCount = 6;
constexpr double kShortestDelay = 0.001;

int64_t errorCodeForResponseCode(int32_t code) {
  switch (code) {
    case 1:
      return -2;
    case 2:
      return -3;
    case 3:
      return -4;
    default:
      return -1;
  }
}

std::string describe(const NANOMessageBase& message) { return message.className(); }

}  // namespace

APMETaskManager::Parts APMETaskManager::defaultParts() {
  auto queue = os::DispatchQueue::serial("APMExperimentWorkerQueue", os::DispatchPriority::Low);
  return Parts{
      .queue = queue,
      .alarm = std::make_shared<Alarm>(queue, "APMExperimentAlarm"),
      .network = VDUNetwork::initWithReachabilityHost(kExperimentServicesHost),
      .persistedStorage = std::make_shared<MeasurementUserDefaults>(kExperimentSuiteName),
      .databasePath = measurementDataPath(kExperimentDatabaseFileName),
      .initTimestamp = os::clock::now(),
      .requestBuilder = APMEExperimentRequestBuilder::sharedInstance(),
      .fetchURL = experimentFetchURL(),
  };
}

std::shared_ptr<APMETaskManager> APMETaskManager::create(Parts parts) {
  return std::make_shared<APMETaskManager>(Private{}, std::move(parts));
}

APMETaskManager::APMETaskManager(Private, Parts parts) : parts_(std::move(parts)) {}

void APMETaskManager::setDelegate(std::weak_ptr<APMETaskManagerDelegate> delegate) {
  os::MutexLock lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<APMETaskManagerDelegate> APMETaskManager::delegate() const {
  os::MutexLock lock(mutex_);
  return delegate_.lock();
}

void APMETaskManager::dispatchAsyncOnWorkerQueue(std::function<void(APMETaskManager&)> block) {
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  parts_.queue->async([weak, block = std::move(block)] {
    std::shared_ptr<APMETaskManager> self = weak.lock();
    if (!self) return;
    try {
      block(*self);
    } catch (const std::exception& exception) {
      monitor().log(MonitorLevel::kErrorSampled, 820026, "Exception on async worker queue",
                    exception.what());
    }
  });
}

// ---- Start-up ----

void APMETaskManager::startTaskManager() {
  dispatchAsyncOnWorkerQueue([](APMETaskManager& self) { self.startTaskManagerOnWorkerQueue(); });
}

void APMETaskManager::startTaskManagerOnWorkerQueue() {
  OS_CHECK_ON(parts_.queue);
  Scheduler::checkOnBackgroundThread("startTaskManagerOnWorkerQueue");
  database_ = APMEDatabase::initWithPath(parts_.databasePath);
  if (!database_) return;
  fetchAllSnapshotsOnWorkerQueue();
  scheduleFetchingExperimentsOnWorkerQueue();
}

void APMETaskManager::fetchAllSnapshotsOnWorkerQueue() {
  OS_CHECK_ON(parts_.queue);
  Scheduler::checkOnBackgroundThread("fetchAllSnapshotsOnWorkerQueue");
  bool started = database_->performTransaction([this] {
    os::Error error;
    if (!database_->deleteStaleActivatedSnapshots(&error) && !error.domain.empty()) {
      monitor().log(MonitorLevel::kErrorSampled, 820006,
                    "Cannot delete stale activated snapshots. Error", error);
      return false;
    }
    error = {};
    if (!database_->activatePendingSnapshotsAutomatically(&error) && !error.domain.empty()) {
      monitor().log(MonitorLevel::kErrorSampled, 820007,
                    "Cannot activate pending snapshots automatically. Error", error);
      return false;
    }
    return true;
  });
  if (!started) {
    monitor().log(MonitorLevel::kErrorSilent, 820008, "Failed to start the task manager");
    return;
  }
  monitor().log(MonitorLevel::kVerbose, 820009, "Successfully start the task manager");
  std::shared_ptr<APMETaskManagerDelegate> observer = delegate();
  if (!observer) return;
  struct Read {
    std::optional<std::vector<APMESnapshot>> (APMEDatabase::*fetch)(os::Error*);
    int64_t code;
    const char* message;
  };
  const Read reads[] = {
      {&APMEDatabase::fetchAllActivatedSnapshots, 820010,
       "Error in fetching all activated snapshots. Error"},
      {&APMEDatabase::fetchAllPendingSnapshots, 820011,
       "Error in fetching all pending snapshots. Error"},
      {&APMEDatabase::fetchAllLaunchedSnapshots, 820012,
       "Error in fetching all launched snapshots. Error"},
  };
  std::optional<std::vector<APMESnapshot>> results[3];
  for (size_t i = 0; i < 3; ++i) {
    os::Error error;
    results[i] = (database_.get()->*reads[i].fetch)(&error);
    if (!results[i])
      monitor().log(MonitorLevel::kErrorSilent, reads[i].code, reads[i].message, error);
  }
  observer->taskManagerDidStart(*this, results[0], results[1], results[2]);
}

// ---- Schedule ----

double APMETaskManager::fetchTimeFromLastSuccessfulTimestamp(double success, double failure) {
  const double now = os::clock::now();
  const double base = now - std::fabs(success - now);
  const double next = base + kExperimentFetchInterval;
  if (!hasMadeInitialFetch_) {
    hasMadeInitialFetch_ = true;
    return std::max(next, now + kExperimentInitialFetchDelay);
  }
  if (!(failure > 0)) return next;
  double t = base == 0 ? parts_.initTimestamp : next;
  for (int i = 0; i < kRetryCount; ++i) {
    t += std::ldexp(kRetryInterval, i);
    if (t > failure) return t;
  }
  return 0;
}

void APMETaskManager::scheduleFetchingExperimentsOnWorkerQueue() {
  OS_CHECK_ON(parts_.queue);
  Scheduler::checkOnBackgroundThread("scheduleFetchingExperimentsOnWorkerQueue");
  ConfigStore& storage = *parts_.persistedStorage;
  double t = fetchTimeFromLastSuccessfulTimestamp(
      storage.doubleForKey(kExperimentFetchSuccessTimestampKey),
      storage.doubleForKey(kExperimentFetchFailureTimestampKey));
  if (std::fabs(t) < kEpsilon) {
    storage.removeObjectForKey(kExperimentFetchSuccessTimestampKey);
    monitor().log(MonitorLevel::kErrorSilent, 820024,
                  "Network attempted too many times. Will not schedule new network.");
    return;
  }
  const double now = os::clock::now();
  std::optional<double> pending = parts_.alarm->scheduledTimestamp();
  if (pending && *pending != 0 && t >= *pending) {
    monitor().log(MonitorLevel::kVerbose, 820017,
                  "Do not schedule a fetch task. Task already exists. Will be executed in seconds",
                  *pending - now);
    return;
  }
  const double backoff = storage.doubleForKey(kExperimentFetchBackoffTimestampKey);
  if (std::fabs(backoff) >= kEpsilon && now - backoff < kExperimentBackoffInterval) {
    t = std::max(backoff + kExperimentBackoffInterval, t);
  }
  double delay = t - now;
  if (std::fabs(delay) < kEpsilon || delay < 0) delay = kShortestDelay;
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  parts_.alarm->runAfterDelay(delay, [weak] {
    if (std::shared_ptr<APMETaskManager> self = weak.lock()) self->alarmDidFire();
  });
}

void APMETaskManager::alarmDidFire() {
  OS_CHECK_ON(parts_.queue);
  std::shared_ptr<APMETaskManagerDelegate> observer = delegate();
  if (observer && !observer->taskManagerShouldFetchExperiments(*this)) {
    postponeFetchExperiments();
  } else {
    fetchExperiments();
  }
}

void APMETaskManager::postponeFetchExperiments() {
  OS_CHECK_ON(parts_.queue);
  parts_.persistedStorage->setDouble(os::clock::now(), kExperimentFetchSuccessTimestampKey);
  parts_.persistedStorage->removeObjectForKey(kExperimentFetchFailureTimestampKey);
  parts_.persistedStorage->removeObjectForKey(kExperimentFetchBackoffTimestampKey);
  scheduleFetchingExperimentsOnWorkerQueue();
}

// ---- Fetch ----

void APMETaskManager::fetchExperiments() {
  OS_CHECK_ON(parts_.queue);
  APMPBExperimentRequest request = parts_.requestBuilder->request();
  os::Data body = request.protoBuffer().value_or(os::Data());
  monitor().log(MonitorLevel::kVerbose, 820001, "Fetching new experiments. Request",
                describe(request));
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  auto completion = [weak](std::shared_ptr<const os::HTTPURLResponse> response,
                           std::optional<os::Data> data, std::optional<os::Error> error) {
    std::shared_ptr<APMETaskManager> self = weak.lock();
    if (!self) return;
    std::optional<os::Data> inflated;
    if (data && !data->empty()) {
      os::Error inflateError;
      inflated = VDUNSDataZlib::gul_dataByInflatingGzippedData(*data, &inflateError);
      if (!inflated) {
        monitor().log(MonitorLevel::kErrorSilent, 820023,
                      "Cannot inflate downloaded experiment data. Error", inflateError);
        // A body that cannot be read is a failed fetch, not an empty success.
        if (!error) error = inflateError;
      }
    }
    self->handleFetchingExperimentsResponse(response ? response->statusCode() : 0, inflated, error);
  };
  if (!parts_.network) {
    completion(nullptr, std::nullopt,
               os::Error(kExperimentErrorDomain, -1, "No network client for the experiment host"));
    return;
  }
  parts_.network->postURL(parts_.fetchURL, body, parts_.queue, false, std::move(completion));
}

void APMETaskManager::handleFetchingExperimentsResponse(int status,
                                                        const std::optional<os::Data>& data,
                                                        const std::optional<os::Error>& error) {
  OS_CHECK_ON(parts_.queue);
  if ((status != 200 && status != 204) || error) return recordFailure(status, error);
  std::optional<APMPBExperimentResponse> response =
      APMPBExperimentResponse::initWithBuffer(data.value_or(os::Data()));
  if (!response) {
    monitor().log(MonitorLevel::kErrorSilent, 820015,
                  "Cannot create experiment snapshots from nil response");
    return recordFailure(
        status, os::Error(kExperimentErrorDomain, -1, "The reply is not an experiment response"));
  }
  monitor().log(MonitorLevel::kVerbose, 820003,
                "Successful fetch. Got network response. Code, data", status, describe(*response));
  parts_.persistedStorage->setDouble(os::clock::now(), kExperimentFetchSuccessTimestampKey);
  parts_.persistedStorage->removeObjectForKey(kExperimentFetchFailureTimestampKey);
  parts_.persistedStorage->removeObjectForKey(kExperimentFetchBackoffTimestampKey);
  std::vector<APMESnapshot> snapshots = experimentSnapshotsFromExperimentResponse(*response);
  std::map<std::string, os::Error> errors = errorsFromExperimentResponse(*response);
  if (!snapshots.empty() && database_) {
    os::Error storeError;
    if (!database_->upsertPendingExperimentSnapshots(snapshots, &storeError)) {
      monitor().log(MonitorLevel::kErrorSampled, 820022,
                    "Cannot upsert pending snapshots. Error, snapshots", storeError,
                    snapshots.size());
    }
  }
  if (std::shared_ptr<APMETaskManagerDelegate> observer = delegate()) {
    observer->taskManagerDidFinishFetching(*this, snapshots, errors);
  }
  scheduleFetchingExperimentsOnWorkerQueue();
}

void APMETaskManager::recordFailure(int status, const std::optional<os::Error>& error) {
  const double now = os::clock::now();
  parts_.persistedStorage->setDouble(now, kExperimentFetchFailureTimestampKey);
  if (status == 503 || status == 429) {
    parts_.persistedStorage->setDouble(now, kExperimentFetchBackoffTimestampKey);
  }
  monitor().log(MonitorLevel::kErrorSampled, 820002,
                "Network fetch failed. Will retry later. Code, error", status,
                error ? MonitorContext(*error) : MonitorContext());
  scheduleFetchingExperimentsOnWorkerQueue();
}

std::vector<APMESnapshot> APMETaskManager::experimentSnapshotsFromExperimentResponse(
    const APMPBExperimentResponse& response) {
  std::vector<APMPBSnapshot> protos =
      APMPBGetArray<APMPBSnapshot>(response, kExperimentResponse_snapshots);
  if (protos.empty()) {
    for (const APMPBSdkResponse& sdk :
         APMPBGetArray<APMPBSdkResponse>(response, kExperimentResponse_sdk_responses)) {
      std::optional<APMPBSnapshot> snapshot =
          APMPBGetMessage<APMPBSnapshot>(sdk, kSdkResponse_snapshot);
      if (!snapshot) continue;
      std::optional<std::string> name = APMPBGetString(sdk, kSdkResponse_sdk_name);
      if (name && !name->empty()) APMPBSetString(*snapshot, kSnapshot_sdk_name, *name);
      protos.push_back(std::move(*snapshot));
    }
  }
  std::vector<APMESnapshot> snapshots;
  for (const APMPBSnapshot& proto : protos) {
    std::optional<APMESnapshot> snapshot = APMESnapshot::initWithProtobuf(proto);
    if (!snapshot) {
      monitor().log(MonitorLevel::kErrorSilent, 820016, "Cannot create a snapshot from the proto");
      continue;
    }
    snapshots.push_back(std::move(*snapshot));
  }
  return snapshots;
}

std::map<std::string, os::Error> APMETaskManager::errorsFromExperimentResponse(
    const APMPBExperimentResponse& response) {
  std::map<std::string, os::Error> errors;
  for (const APMPBSdkResponse& sdk :
       APMPBGetArray<APMPBSdkResponse>(response, kExperimentResponse_sdk_responses)) {
    if (!APMPBHasField(sdk, kSdkResponse_error_code)) continue;
    int32_t code = APMPBGetInt32(sdk, kSdkResponse_error_code);
    std::string name = APMPBGetString(sdk, kSdkResponse_sdk_name).value_or("");
    if (code == 0 || name.empty()) continue;
    errors.insert_or_assign(name,
                            os::Error(kExperimentErrorDomain, errorCodeForResponseCode(code)));
  }
  return errors;
}

// ---- Storage ----

void APMETaskManager::activatePendingSnapshot(const APMESnapshot& snapshot, double timestamp) {
  dispatchAsyncOnWorkerQueue([snapshot, timestamp](APMETaskManager& self) {
    if (!self.database_) return;
    self.database_->performTransaction([&] {
      os::Error error;
      if (self.database_->activateSnapshot(snapshot, timestamp, &error)) return true;
      monitor().log(MonitorLevel::kErrorSampled, 820014,
                    "Cannot activate snapshot for SDK Name. Error", snapshot.SDKName(), error);
      return false;
    });
  });
}

void APMETaskManager::resetToDefaultsForSDKName(const std::string& SDKName) {
  dispatchAsyncOnWorkerQueue([SDKName](APMETaskManager& self) {
    if (SDKName.empty()) {
      monitor().log(MonitorLevel::kErrorSampled, 820018,
                    "Cannot reset to defaults for empty SDK name");
      return;
    }
    if (!self.database_) return;
    os::Error error;
    if (!self.database_->deleteActivatedExperimentsOfSDKName(SDKName, &error)) {
      monitor().log(MonitorLevel::kErrorSampled, 820019,
                    "Cannot reset to defaults in the database. SDK Name, error", SDKName, error);
    }
  });
}

void APMETaskManager::upsertPendingSnapshots(const std::vector<APMESnapshot>& snapshots) {
  dispatchAsyncOnWorkerQueue([snapshots](APMETaskManager& self) {
    if (snapshots.empty()) {
      monitor().log(MonitorLevel::kErrorSilent, 820020,
                    "Cannot upsert empty pending snapshot list");
      return;
    }
    if (!self.database_) return;
    os::Error error;
    if (!self.database_->upsertPendingExperimentSnapshots(snapshots, &error)) {
      monitor().log(MonitorLevel::kErrorSampled, 820021,
                    "Cannot upsert pending snapshots into the database. Error", error);
      return;
    }
    if (std::shared_ptr<APMETaskManagerDelegate> observer = self.delegate()) {
      observer->taskManagerDidUpsertPendingSnapshots(self, snapshots);
    }
  });
}

void APMETaskManager::removeTimestamps() {
  parts_.persistedStorage->removeObjectForKey(kExperimentFetchBackoffTimestampKey);
  parts_.persistedStorage->removeObjectForKey(kExperimentFetchFailureTimestampKey);
  parts_.persistedStorage->removeObjectForKey(kExperimentFetchSuccessTimestampKey);
}

void APMETaskManager::reset() {
  dispatchAsyncOnWorkerQueue([](APMETaskManager& self) {
    if (self.database_) self.database_->reset();
    self.removeTimestamps();
    self.scheduleFetchingExperimentsOnWorkerQueue();
  });
}

void APMETaskManager::clearAndDelete() {
  dispatchAsyncOnWorkerQueue([](APMETaskManager& self) {
    if (self.database_) self.database_->closeAndDelete();
    self.removeTimestamps();
  });
}

}  // namespace measurement
