// One upload pass: bundle the waiting raw events, take the oldest queued bundles within the
// limits, post them as one gzipped MeasurementBatch, and on the reply delete them (200 or 204
// only) or record the failure, the server's back-off and one more retry each. Worker queue only;
// the network's completion comes back to it.
#include <cmath>

#include "measurement/engine/bundle_fields.h"
#include "measurement/engine/kill_point.h"
#include "measurement/engine/measurement.h"
#include "measurement/foundation/data_extensions.h"
#include "measurement/foundation/lookup.h"
#include "measurement/privacy/consent_settings.h"
#include "measurement/privacy/identity.h"
#include "os/process/clock.h"

using measurement::MonitorLevel;

namespace {

// How long a failed deletion of uploaded bundles suspends uploads (seconds of uptime).
constexpr double kSuspensionAfterFailedDeletion = 3600;

std::string stringField(const APMPBMeasurementBundle& bundle, int32_t index) {
  return APMPBGetString(bundle, index).value_or("");
}

bool isSuccess(int status) { return status == 200 || status == 204; }
bool isBackoff(int status) { return status == 429 || status == 503; }

// The consent as it stands when a batch is sent, read once for all its bundles.
struct ConsentAtUpload {
  std::string signals = measurement::ConsentSettings::consentSignals();
  std::string diagnostics = measurement::ConsentSettings::consentDiagnostics();
  bool isAdUserDataDenied = measurement::ConsentSettings::isAdUserDataDenied();
  std::optional<APMPBUserAttribute> npa;
};

// Gives each fetched bundle the identifiers and consent fields the consent allows now. Under
// DMA consent with no signal denied, the bundles made before a first open keep the fields they
// were written with; from the first bundle holding one on, and whenever a signal is denied, the
// current consent replaces them.
void stampBundles(std::vector<measurement::QueuedBundle>& bundles, const ConsentAtUpload& consent,
                  const measurement::RemoteConfig& config, measurement::Identity* identity) {
  std::shared_ptr<measurement::Settings> settings = config.settings();
  bool dma = settings->DMAConsentEnabled();
  bool overwrite = !dma || consent.signals.find('0') != std::string::npos;
  for (measurement::QueuedBundle& queued : bundles) {
    overwrite = overwrite || measurement::bundleContainsFirstOpen(&queued.bundle);
    if (identity) {
      measurement::setBundleIdentifiersAndConsent(queued.bundle, consent.signals,
                                                  settings->gateIDFAOnATTMASEnabled(), *identity,
                                                  overwrite);
    }
    if (dma) {
      measurement::setBundleDMAConsentFields(
          queued.bundle, consent.diagnostics, consent.isAdUserDataDenied,
          consent.npa ? &*consent.npa : nullptr, config, overwrite);
    }
  }
}

}  // namespace

std::shared_ptr<measurement::RemoteConfig> APMMeasurement::configuration() const {
  std::shared_ptr<measurement::RemoteConfig> config = remoteConfigInstance();
  return config ? config : measurement::RemoteConfig::defaultInstance();
}

void APMMeasurement::setSamplingRollForTesting(std::function<uint32_t(uint32_t)> roll) {
  samplingRoll_ = std::move(roll);
}

bool APMMeasurement::isNetworkReadyForRequest() {
  bool networkBusy = network_ && network_->hasUploadInProgress();
  if (!isNetworkRequestPending_) return !networkBusy;
  if (!networkBusy) {
    monitor().log(MonitorLevel::kErrorSampled, 23041,
                  "Analytics is uploading but network is not uploading");
  }
  return false;
}

std::vector<measurement::QueuedBundle> APMMeasurement::filteredBundlesWithCompatibleAppID(
    const std::string& appID, const std::string& resettableDeviceID,
    const std::string& vendorDeviceID, const std::vector<measurement::QueuedBundle>& bundles) {
  if (!resettableDeviceID.empty() && !vendorDeviceID.empty()) {
    monitor().log(MonitorLevel::kErrorSilent, 23042,
                  "Bundle filter must not specify both resettableDeviceID and vendorDeviceID");
    return {};
  }
  bool useResettable = !resettableDeviceID.empty();
  const std::string& deviceID = useResettable ? resettableDeviceID : vendorDeviceID;
  int32_t deviceField =
      useResettable ? kMeasurementBundle_resettable_device_id : kMeasurementBundle_vendor_device_id;
  std::vector<measurement::QueuedBundle> run;
  for (const measurement::QueuedBundle& queued : bundles) {
    std::string id = stringField(queued.bundle, deviceField);
    bool sameDevice = id.empty() || deviceID.empty() || id == deviceID;
    if (!sameDevice || stringField(queued.bundle, kMeasurementBundle_app_id) != appID) break;
    run.push_back(queued);
  }
  return run;
}

void APMMeasurement::setUploadInProgressWithBundleIDs(std::vector<int64_t> rowIDs) {
  if (!uploadingBundleIDs_.empty()) {
    monitor().log(MonitorLevel::kErrorSilent, 23047,
                  "Set uploading progress before finishing the previous upload");
    return;
  }
  uploadingBundleIDs_ = std::move(rowIDs);
}

void APMMeasurement::incrementRetryCounter() {
  os::Error error;
  if (database_ &&
      !database_->incrementRetryCounterForBundlesWithIDs(uploadingBundleIDs_, &error)) {
    monitor().log(MonitorLevel::kErrorSilent, 23166,
                  "Failed to update the bundles' retry counts. Error", error);
  }
}

void APMMeasurement::uploadData() {
  measurement::Scheduler::checkOnBackgroundThread("uploadData");
  if (suspendedUploadTimestamp_ > 0) {
    updateSchedule();
    return;
  }
  monitor().log(MonitorLevel::kVerbose, 23033, "Starting data upload");
  if (!isNetworkReadyForRequest()) {
    monitor().log(MonitorLevel::kVerbose, 23034,
                  "Network operation is pending. Ignoring upload request");
    return;
  }
  if (!network_ || !network_->isNetworkConnected()) {
    monitor().log(MonitorLevel::kDebug, 23035, "Network not connected, ignoring upload request");
    updateSchedule();
    return;
  }
  if (!database_) return;
  std::shared_ptr<measurement::RemoteConfig> config = configuration();
  std::shared_ptr<measurement::Settings> settings = config->settings();
  // Nothing new is bundled under an expired configuration: it may forbid what it would bundle.
  if (!config->isExpired()) {
    int32_t limit = settings->maxBundlesCreatedPerIteration();
    for (int32_t i = 0; i < limit && bundleRawEvents(); ++i) {
    }
  }
  os::Error error;
  std::optional<std::vector<measurement::QueuedBundle>> bundles =
      database_->queryBundlesWithCountLimit(settings->uploadMaxBundlesLimit(),
                                            settings->uploadMaxSizeLimitBytes(), &error);
  if (!bundles) {
    monitor().log(MonitorLevel::kErrorSampled, 23036, "Failed to query bundles. Error", error);
    terminateBackgroundTask();
    return;
  }
  if (bundles->empty()) {
    config->activateNewSnapshot();
    monitor().log(MonitorLevel::kVerbose, 23037, "No data to upload");
    if (config->isExpired()) {
      fetchRemoteConfig();
    } else {
      terminateBackgroundTask();
    }
    return;
  }

  // The stored TCF data may have changed the consent since these bundles were made.
  if (settings->tcfFeatureEnabled() && tcfClient_) tcfClient_->setConsentFromTCFData();
  ConsentAtUpload consent;
  os::Error npaError;
  measurement::Lookup<measurement::UserAttribute> npa =
      database_->userAttributeWithName("_npa", &npaError);
  if (npa && *npa) consent.npa = (*npa)->protoUserAttribute();
  std::shared_ptr<measurement::Identity> identity = this->identity();
  stampBundles(*bundles, consent, *config, identity.get());

  double lastSuccess = persistedConfig_->lastSuccessfulUploadTimestamp();
  if (lastSuccess != 0) {
    monitor().log(MonitorLevel::kVerbose, 23038,
                  "Uploading events. Elapsed time since last successful upload (s)",
                  std::fabs(os::clock::now() - lastSuccess));
  }
  std::string appID = stringField(bundles->front().bundle, kMeasurementBundle_app_id);
  std::string resettableDeviceID;
  std::string vendorDeviceID;
  for (const measurement::QueuedBundle& queued : *bundles) {
    resettableDeviceID = stringField(queued.bundle, kMeasurementBundle_resettable_device_id);
    if (resettableDeviceID.empty()) {
      vendorDeviceID = stringField(queued.bundle, kMeasurementBundle_vendor_device_id);
    }
    if (!resettableDeviceID.empty() || !vendorDeviceID.empty()) break;
  }
  std::vector<measurement::QueuedBundle> filtered =
      filteredBundlesWithCompatibleAppID(appID, resettableDeviceID, vendorDeviceID, *bundles);

  double now = os::clock::now();
  auto uploadTime = static_cast<int64_t>(now * 1000);
  int64_t libraryVersion = measurement::Identity::zadOdavodiveziLibraryVersion();
  bool checksum = settings->checksumEnabled();
  std::vector<std::string> dataControls = config->dataControls();
  // Under DMA consent a batch carries one set of consent fields: the bundles from the first
  // that differs from the first bundle's wait for a later batch.
  std::optional<APMPBMeasurementBundle> first;
  if (settings->DMAConsentEnabled() && filtered.size() >= 2) first = filtered.front().bundle;
  std::vector<APMPBMeasurementBundle> batchBundles;
  std::vector<int64_t> rowIDs;
  for (measurement::QueuedBundle& queued : filtered) {
    APMPBSetInt64(queued.bundle, kMeasurementBundle_upload_library_version, libraryVersion);
    APMPBSetInt64(queued.bundle, kMeasurementBundle_upload_timestamp_millis, uploadTime);
    if (identity) measurement::applyDataControls(queued.bundle, dataControls, *identity);
    if (checksum) {
      // Over the bundle as it is sent, after the upload fields above.
      std::optional<os::Data> encoded = queued.bundle.protoBuffer();
      APMPBSetInt64(queued.bundle, kMeasurementBundle_bundle_checksum,
                    measurement::apm_64LSBMD5(encoded ? *encoded : os::Data()));
    }
    if (first && !batchBundles.empty() &&
        !measurement::haveSameConsentFields(&*first, &queued.bundle)) {
      break;
    }
    batchBundles.push_back(queued.bundle);
    rowIDs.push_back(queued.rowID);
  }
  APMPBMeasurementBatch batch;
  APMPBSetArray(batch, kMeasurementBatch_bundles, batchBundles);
  std::optional<os::Data> payload = batch.protoBuffer();
  monitor().log(MonitorLevel::kDebug, 23039,
                "Measurement data sent to network. Timestamp (ms), data", uploadTime,
                static_cast<int64_t>(rowIDs.size()));
  setUploadInProgressWithBundleIDs(rowIDs);
  // Set before sending: an upload that never completes (the process dies) counts as failed.
  persistedConfig_->setLastFailedUploadTimestamp(now);
  persistedConfig_->synchronizeToDisk();
  isNetworkRequestPending_ = true;
  network_->setTimeoutInterval(settings->networkTimeout());
  std::optional<std::string> sessionID = network_->postURL(
      config->uploadURL(), os::HTTPHeaders(), payload ? *payload : os::Data(),
      scheduler_->workerQueue(), /*usingBackgroundSession=*/false,
      [weak = weak_from_this()](std::shared_ptr<const os::HTTPURLResponse> response,
                                std::optional<os::Data>, std::optional<os::Error> error) {
        auto engine = weak.lock();
        if (!engine) return;
        engine->isNetworkRequestPending_ = false;
        engine->networkUploadCompletionHandler(response, error);
      });
  if (!sessionID || sessionID->empty()) {
    // The network reports the refusal to the completion as well.
    monitor().log(MonitorLevel::kErrorSilent, 23040, "Unable to create network session.");
    uploadingBundleIDs_.clear();
  }
}

void APMMeasurement::networkUploadCompletionHandler(
    const std::shared_ptr<const os::HTTPURLResponse>& response,
    const std::optional<os::Error>& error) {
  // An answer cut off in transit is no answer: the bundles stay for a retry, whatever status
  // line arrived before the connection dropped.
  int status = response && !error ? response->statusCode() : 0;
  double now = os::clock::now();
  if (!isSuccess(status)) {
    persistedConfig_->setLastFailedUploadTimestamp(now);
    if (isBackoff(status)) persistedConfig_->setLastBackoffTimestamp(now);
    persistedConfig_->synchronizeToDisk();
    monitor().log(MonitorLevel::kDebug, 23043,
                  "Network upload failed. Will retry later. Code, error",
                  static_cast<int64_t>(status), error ? error->description : std::string());
    incrementRetryCounter();
    uploadingBundleIDs_.clear();
    updateSchedule();
    notifyRestWaitersIfIdle();
    return;
  }
  monitor().log(MonitorLevel::kDebug, 23044, "Successful upload. Got network response. Code, size",
                static_cast<int64_t>(status), response->expectedContentLength());
  persistedConfig_->setLastSuccessfulUploadTimestamp(now);
  persistedConfig_->setLastFailedUploadTimestamp(0);
  persistedConfig_->setLastBackoffTimestamp(0);
  persistedConfig_->synchronizeToDisk();
  updateSchedule();
  measurement::killPoint("answered-before-delete");
  if (removeBundlesFromDatabaseWithIDs(uploadingBundleIDs_)) {
    suspendedUploadTimestamp_ = 0;
  } else {
    monitor().log(MonitorLevel::kErrorSampled, 23045,
                  "Unable to delete uploaded bundles. Uploads will be suspended for seconds",
                  kSuspensionAfterFailedDeletion);
    suspendedUploadTimestamp_ = os::clock::uptime();
  }
  uploadingBundleIDs_.clear();
  if ((network_ && network_->isNetworkConnected() && hasDataToUpload()) ||
      configuration()->isExpired()) {
    uploadData();
  } else {
    updateSchedule();
  }
  notifyRestWaitersIfIdle();
}

void APMMeasurement::notifyRestWaitersIfIdle() {
  if (isNetworkRequestPending_) return;
  std::vector<std::function<void()>> waiters = std::move(restWaiters_);
  restWaiters_.clear();
  for (auto& waiter : waiters) waiter();
}
