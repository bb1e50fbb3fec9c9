// The installation's lifecycle events: the first open "_f" (once per installation and data
// set, with the "_fi" and "_fot" user properties that mark it), the session start that comes
// with it, and the app and OS update events "_au" and "_ou".
#include "measurement/engine/analytics.h"
#include "measurement/engine/measurement.h"
#include "measurement/engine/screen_view_reporter.h"
#include "measurement/engine/session_reporter.h"
#include "measurement/privacy/environment_info.h"

namespace {

using measurement::Event;
using measurement::MonitorLevel;
using measurement::RawParameters;
using measurement::Scheduler;
using measurement::UserAttribute;
using measurement::Value;

constexpr int64_t kMillisecondsPerHour = 3600000;

// Whether the user property exists; nullopt after logging `code` when the query failed and
// after logging `missingCode` when it does not exist.
bool propertyWasSet(measurement::Database& database, const char* name, int64_t code,
                    const char* message, int64_t missingCode, const char* missingMessage) {
  os::Error error;
  std::optional<bool> exists = database.containsUserAttributeWithName(name, &error);
  if (!exists) {
    APMMeasurement::monitor().log(MonitorLevel::kErrorSampled, code, message, error);
    return false;
  }
  if (!*exists) {
    APMMeasurement::monitor().log(MonitorLevel::kErrorSampled, missingCode, missingMessage);
    return false;
  }
  return true;
}

// An engine event of origin "auto" with the current screen's parameters.
std::optional<Event> autoEventWithScreen(std::string_view name, double timestamp,
                                         const RawParameters& parameters) {
  std::optional<Event> event = Event::initWithOrigin("auto", false, name, timestamp, 0, parameters);
  if (event) {
    event->addScreenParameters(
        measurement::rawParameters(APMScreenViewReporter::sharedInstance()->screenParameters()));
  }
  return event;
}

}  // namespace

int64_t APMMeasurement::timestampMillisRoundedUpToNextHour(int64_t milliseconds) {
  return milliseconds / kMillisecondsPerHour * kMillisecondsPerHour + kMillisecondsPerHour;
}

void APMMeasurement::reportFirstOpenOnWorkerQueue() {
  Scheduler::checkOnBackgroundThread("reportFirstOpenOnWorkerQueue");
  if (!database_) return;
  os::Error error;
  std::optional<bool> reported = database_->containsUserAttributeWithName("_fot", &error);
  if (!reported) {
    monitor().log(MonitorLevel::kErrorSampled, 23019, "Failed to query first open property. Error",
                  error);
    return;
  }
  int64_t previous = os::Value(previousFirstOpenCount().value_or("0")).integerValue();
  double initTimestamp = initTimestamp_.load();
  if (*reported) {
    if (previous < 1) setPreviousFirstOpenCount("1");
    APMAnalytics::setDeferredAnalyticsCollection(os::Value());
    reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp, false);
    persistedConfig_->setLoadTimestampValue(os::Value());
    return;
  }

  int64_t firstInstall = 1;
  int64_t storedFirstOpen = persistedConfig_->firstOpenTimestampMilliseconds();
  double fiTimestamp = storedFirstOpen != 0 ? storedFirstOpen / 1000.0 : initTimestamp;
  if (auto fi = UserAttribute::create("auto", "_fi", Value(firstInstall), fiTimestamp)) {
    setUserAttributeOnWorkerQueue(*fi);
  }
  if (!propertyWasSet(*database_, "_fi", 23161,
                      "Failed to query first open after install property after setting it. Error",
                      23162, "Failed to set first open after install property")) {
    return;
  }
  auto firstOpenMillis = static_cast<int64_t>(initTimestamp * 1000);
  if (auto fot = UserAttribute::create("auto", "_fot",
                                       Value(timestampMillisRoundedUpToNextHour(firstOpenMillis)),
                                       initTimestamp)) {
    setUserAttributeOnWorkerQueue(*fot);
  }
  if (!propertyWasSet(*database_, "_fot", 23020,
                      "Failed to query first open property after setting it. Error", 23021,
                      "Failed to set first open property")) {
    return;
  }

  std::shared_ptr<measurement::Settings> settings = engineConfig()->settings();
  RawParameters parameters;
  if (previousGMPAppID_ && !previousGMPAppID_->empty())
    parameters["_pgmp"] = Value(*previousGMPAppID_);
  parameters["_pfo"] = Value(previous < 1 ? int64_t{0} : previous);
  parameters["_uwa"] = Value(1 - firstInstall);
  if (APMAnalytics::deferredAnalyticsCollection().boolValue())
    parameters["_dac"] = Value(int64_t{1});
  if (settings->efficientEngagementReportingEnabled()) parameters["_et"] = Value(int64_t{1});
  if (std::optional<Event> firstOpen = autoEventWithScreen("_f", initTimestamp, parameters)) {
    handleInternalEventOnWorkerQueue(*firstOpen);
  }
  APMAnalytics::setDeferredAnalyticsCollection(os::Value());
  persistedConfig_->setLoadTimestampValue(os::Value());
  reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp, false);
  if (!settings->redundantEngagementRemovalEnabled()) {
    RawParameters engagement{{"_et", Value(int64_t{1})}};
    if (settings->efficientEngagementReportingEnabled()) engagement["_fr"] = Value(int64_t{1});
    if (std::optional<Event> event = autoEventWithScreen("_e", initTimestamp, engagement)) {
      handleInternalEventOnWorkerQueue(*event);
    }
  }
  persistedConfig_->setFirstOpenTimestampMilliseconds(firstOpenMillis);
  reportStoredCampaignEventOnWorkerQueue(firstOpenMillis - 1);
}

void APMMeasurement::reportAppUpdateOnWorkerQueue() {
  Scheduler::checkOnBackgroundThread("reportAppUpdateOnWorkerQueue");
  std::shared_ptr<measurement::Identity> identity = this->identity();
  if (!identity) return;
  std::optional<std::string> current = identity->appVersion();
  std::optional<std::string> previous = persistedConfig_->appVersion();
  if (current == previous) return;
  persistedConfig_->setAppVersion(current);
  if (previous && !previous->empty()) {
    APMAnalytics::logInternalEventWithOrigin("auto", "_au",
                                             RawParameters{{"_pv", Value(*previous)}});
  }
}

void APMMeasurement::reportOSUpdateOnWorkerQueue() {
  Scheduler::checkOnBackgroundThread("reportOSUpdateOnWorkerQueue");
  std::string current = measurement::EnvironmentInfo::sharedInstance().deviceOSVersion();
  std::optional<std::string> previous = persistedConfig_->osVersion();
  if (previous == current) return;
  persistedConfig_->setOSVersion(current);
  if (previous && !previous->empty()) {
    APMAnalytics::logInternalEventWithOrigin("auto", "_ou",
                                             RawParameters{{"_po", Value(*previous)}});
  }
}
