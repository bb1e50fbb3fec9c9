// The engine's operations that the event road, the upload and the reports fill in. Start-up
// and the facade already call them in their places; until then they do nothing.
#include "measurement/engine/measurement.h"

void APMMeasurement::handleNonFirstOpenEventURL(const os::URL&, double) {}

std::optional<os::URL> APMMeasurement::deepLinkFromUserActivity(const os::Value& userActivity) {
  if (userActivity.isNull()) {
    monitor().log(7, 23003, "User Activity is empty. User Activity", nullptr);
    return std::nullopt;
  }
  // This host has no user activities to read a web page link from.
  monitor().log(3, 23005, "NSUserActivity is not supported");
  return std::nullopt;
}

void APMMeasurement::updateSchedule() {}
void APMMeasurement::uploadData() {}
void APMMeasurement::fetchRemoteConfig() {}
bool APMMeasurement::isNetworkReadyForRequest() { return false; }
void APMMeasurement::reportStoredCampaignEventOnWorkerQueue(const std::optional<os::URL>&) {}
bool APMMeasurement::shouldAllowRequestDeferredDeepLink() { return false; }
void APMMeasurement::requestDeferredDeepLink() {}
void APMMeasurement::clearExpiredDeepLink() {}
void APMMeasurement::startSearchAdReporterOnWorkerQueue() {}
void APMMeasurement::resetPSMCounts() {}
void APMMeasurement::backfillSessionNumber() {}
