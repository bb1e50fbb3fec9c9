// The reset of all analytics data, the wipe-out beneath it, and the engine's small database
// queries of the upload path.
#include <limits>
#include <utility>

#include "measurement/engine/analytics.h"
#include "measurement/engine/measurement.h"
#include "measurement/engine/session_reporter.h"
#include "measurement/foundation/storage_paths.h"
#include "measurement/privacy/consent_settings.h"

namespace {

using measurement::ConsentSettings;
using measurement::MonitorLevel;
using measurement::Scheduler;

}  // namespace

bool APMMeasurement::resetAnalyticsDataWithAppInstanceID(
    const std::optional<std::string>& appInstanceID) {
  Scheduler::checkOnBackgroundThread("resetAnalyticsData");
  bool denied = ConsentSettings::isAnalyticsStorageDenied();
  if (!appInstanceID || appInstanceID->empty()) {
    if (!denied) {
      monitor().log(MonitorLevel::kErrorSampled, 23167,
                    "Cannot reset with an empty app instance ID");
      return false;
    }
    monitor().log(MonitorLevel::kDebug, 23218, "Resetting with an empty app instance ID");
  }
  double loadTime = APMAnalytics::loadTimestamp();
  bool result = false;
  scheduler_->dispatchSyncOnWorkerQueue("APMMeasurement:3644", [&] {
    if (!wipeoutAnalyticsDataAndResetComponents()) return;
    persistedConfig_->setAppInstanceID(appInstanceID.value_or(""));
    updatePersistedAppIDFromGMPAndZeZud();
    monitor().log(MonitorLevel::kNotice, 23168, "Analytics data has been reset");
    if (!isAnalyticsCollectionDeactivated_ &&
        APMAnalytics::deferredAnalyticsCollection().isNull()) {
      APMAnalytics::setDeferredAnalyticsCollection(os::Value(int64_t{isEnabled() ? 0 : 1}));
    }
    initTimestamp_.store(loadTime);
    persistedConfig_->setLoadTimestampValue(os::Value(loadTime));
    if (isEnabled()) {
      setPersonalizedAdsUserPropertyOnWorkerQueue();
      reportFirstOpenOnWorkerQueue();
    }
    result = true;
  });
  return result;
}

bool APMMeasurement::wipeoutAnalyticsDataAndResetComponents() {
  Scheduler::checkOnBackgroundThread("wipeoutAnalyticsDataAndResetComponents");
  monitor().log(MonitorLevel::kNotice, 23171, "Resetting App Measurement data");
  // (This host has no on-device conversion client, so it keeps no counts of its to clear.)
  previousGMPAppID_ = persistedConfig_->appIDFromGMP();
  persistedConfig_->clearValues();
  monitor().clearMonitoringData();
  if (remoteConfig()->settings()->DMAConsentEnabled() && ConsentSettings::adPersonalization()) {
    ConsentSettings::unsetAdPersonalization();
    ConsentSettings::setDefaultSettings(std::nullopt);
    ConsentSettings::setDelegatedSettings(std::nullopt);
  }
  os::Error error;
  if (database_) {
    if (!database_->reset(&error)) {
      monitor().log(MonitorLevel::kErrorSampled, 23209, "Failed to reset database", error);
      return false;
    }
    if (auto config = remoteConfigInstance()) config->reset();
    auto reporter = APMSessionReporter::create(persistedConfig_);
    reporter->setReportingEnabled(isEnabled());
    os::MutexLock lock(componentsMutex_);
    sessionReporter_ = std::move(reporter);
  } else if (!measurement::deleteFileAtPath(measurement::measurementDataPath(databaseName_),
                                            &error)) {
    monitor().log(MonitorLevel::kErrorSampled, 23014, "Failed to delete old database file. Error",
                  error);
  }
  if (auto identity = this->identity()) {
    identity->updateIdentifiersAndWait();
    identity->resetEphemeralAppInstanceID();
    identity->resetSessionStitchingToken();
  }
  return true;
}

bool APMMeasurement::hasDataToUpload() {
  os::Error error;
  std::optional<bool> queueEmpty = database_->isQueuedBundleTableEmpty(&error);
  if (!queueEmpty) {
    monitor().log(MonitorLevel::kErrorSampled, 23117,
                  "Failed to check if queue table is empty. Error", error);
    return false;
  }
  if (!*queueEmpty) return true;
  std::optional<bool> rawEventsEmpty = database_->isRawEventsTableEmpty(&error);
  if (!rawEventsEmpty) {
    monitor().log(MonitorLevel::kErrorSampled, 23118,
                  "Failed to check if raw events table is empty. Error", error);
    return false;
  }
  return !*rawEventsEmpty;
}

bool APMMeasurement::removeBundlesFromDatabaseWithIDs(const std::vector<int64_t>& rowIDs) {
  os::Error error;
  if (!database_->deleteBundlesWithRowIDs(rowIDs, &error)) {
    monitor().log(MonitorLevel::kErrorSampled, 23122,
                  "Failed to delete bundles from database. Error", error);
    return false;
  }
  return true;
}

double APMMeasurement::firstOpenTimestamp() {
  os::Error error;
  std::optional<std::vector<measurement::UserAttribute>> attributes =
      database_->userAttributesIncludingInternal(true, &error);
  if (!attributes) {
    monitor().log(MonitorLevel::kErrorSampled, 23123,
                  "Unable to query current user properties. Error", error);
    return 0;
  }
  if (attributes->empty()) {
    monitor().log(MonitorLevel::kErrorSilent, 23124,
                  "Cannot extract first open timestamp. Empty user properties");
    return 0;
  }
  double earliest = std::numeric_limits<double>::max();
  for (const measurement::UserAttribute& attribute : *attributes) {
    if (attribute.name() == "_fot") return attribute.lastSetTimestamp();
    earliest = std::min(earliest, attribute.lastSetTimestamp());
  }
  return earliest;
}
