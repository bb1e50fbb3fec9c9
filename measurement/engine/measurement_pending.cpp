// The engine's operations that the event road, the upload and the reports fill in. Start-up
// and the facade already call them in their places; until then they do nothing.
#include "measurement/engine/measurement.h"
#include "measurement/model/display_names.h"
#include "measurement/model/error_parameters.h"
#include "measurement/model/event_names.h"

void APMMeasurement::writeEventOnWorkerQueue(const measurement::Event& event) {
  monitor().log(7, 23051, "Logging event: origin, name, params", event.origin(),
                measurement::eventDisplayName(event.name()),
                measurement::dictionaryDescription(event.parameters()));
  std::optional<std::vector<measurement::Event>> triggered =
      conditionalUserPropertyController_->processEventOnWorkerQueue(&event);
  if (!triggered) {
    monitor().log(4, 23050, "Unable to process conditional user property. Event name, origin",
                  event.name(), event.origin());
  }
  writeFilteredEventOnWorkerQueue(event);
  if (triggered) {
    for (const measurement::Event& next : *triggered) writeFilteredEventOnWorkerQueue(next);
  }
}

void APMMeasurement::writeFilteredEventOnWorkerQueue(const measurement::Event& event) {
  std::shared_ptr<measurement::RemoteConfig> config = remoteConfig();
  if (config->isEventBlocklisted(event.name())) {
    monitor().log(5, 23052, "Rejected event. Event name", event.name());
    std::shared_ptr<measurement::Settings> settings = config->settings();
    if (settings->blocklistInternal() || settings->blocklistPublic() || event.name() == "_err") {
      return;
    }
    measurement::logErrorEventWithNameAndValue(11, event.name(), 40, nullptr);
    return;
  }
  if (auto identity = this->identity()) identity->updateIdentifiers();
  measurement::Event marked = event;
  if (measurement::isPurchaseEventName(marked.name())) marked.setConversion(true);
  writeEventTransactionOnWorkerQueue(marked);
}

void APMMeasurement::writeEventTransactionOnWorkerQueue(const measurement::Event&) {}

void APMMeasurement::setUserAttributeOnWorkerQueue(const measurement::UserAttribute& attribute) {
  os::Error error;
  if (database_ && !database_->updateUserAttribute(attribute, &error)) {
    monitor().log(1, 23076, "Unable to set user property. Name, error", attribute.name(), error);
  }
}

void APMMeasurement::setDefaultEventParameters(std::optional<os::Dictionary>) {}
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

void APMMeasurement::filterPurchaseTransactions(std::vector<os::Value>,
                                                std::function<void(std::vector<os::Value>)>) {}
void APMMeasurement::setUserAttribute(const measurement::UserAttribute&) {}
void APMMeasurement::removeUserAttribute(const measurement::UserAttribute&) {}
void APMMeasurement::userPropertiesIncludingInternal(bool, std::function<void(os::Dictionary)>) {}
void APMMeasurement::maxUserPropertiesForOrigin(std::string_view, std::function<void(int32_t)>) {}
void APMMeasurement::setSessionTimeoutInterval(double) {}
void APMMeasurement::sessionIDWithCompletion(
    std::function<void(int64_t, std::optional<os::Error>)>) {}
void APMMeasurement::setUserData(os::Dictionary) {}
void APMMeasurement::reportFirstOpenOnWorkerQueue() {}
void APMMeasurement::reportStoredCampaignEventOnWorkerQueue(const std::optional<os::URL>&) {}
bool APMMeasurement::shouldAllowRequestDeferredDeepLink() { return false; }
void APMMeasurement::requestDeferredDeepLink() {}
void APMMeasurement::clearExpiredDeepLink() {}
void APMMeasurement::reportAppUpdateOnWorkerQueue() {}
void APMMeasurement::reportOSUpdateOnWorkerQueue() {}
void APMMeasurement::startSearchAdReporterOnWorkerQueue() {}
void APMMeasurement::checkPSMDependencyOnWorkerQueue() {}
void APMMeasurement::maybeDeleteExpiredPSMValueOnWorkerQueue() {}
void APMMeasurement::resetPSMCounts() {}
void APMMeasurement::backfillSessionNumber() {}
