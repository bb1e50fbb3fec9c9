// Start-up, reset and lifecycle of the engine, until they are built: collection switches
// without building components.
#include "measurement/engine/measurement.h"

void APMMeasurement::setEnabledOnWorkerQueue(bool enable) {
  if (enable && isAnalyticsCollectionDeactivated_) return;
  enabled_.store(enable);
}
bool APMMeasurement::startMeasurementOnWorkerQueue() { return false; }
bool APMMeasurement::shouldWipeDataWithAppID(const std::optional<std::string>&,
                                             const std::optional<std::string>&,
                                             const std::optional<std::string>&,
                                             const std::optional<std::string>&,
                                             const std::optional<std::string>&) const {
  return false;
}
void APMMeasurement::updatePersistedAppIDFromGMPAndZeZud() {}
void APMMeasurement::setProspectiveConsentSettings() {}
void APMMeasurement::setPersonalizedAdsUserPropertyOnWorkerQueue() {}
void APMMeasurement::updateAdPersonalizationConsentFromNPAValue(const os::Value&) {}
void APMMeasurement::updateConsentSettingsUtilWithRemoteConfig() {}
os::Value APMMeasurement::shouldDisableAdPersonalization() { return os::Value(); }
bool APMMeasurement::resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>&) {
  return false;
}
bool APMMeasurement::wipeoutAnalyticsDataAndResetComponents() { return false; }
bool APMMeasurement::hasDataToUpload() { return false; }
bool APMMeasurement::removeBundlesFromDatabaseWithIDs(const std::vector<int64_t>&) { return false; }
double APMMeasurement::firstOpenTimestamp() { return 0; }
void APMMeasurement::subscribeForAppForegroundBackgroundNotifications() {}
void APMMeasurement::handleAppDidBecomeActiveEvent() {}
void APMMeasurement::handleAppWillResignActiveEvent() {}
void APMMeasurement::terminateBackgroundTask() {}
