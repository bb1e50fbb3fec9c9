// The facade's queues and load time; the event path, consent and user properties follow.
#include "measurement/engine/analytics.h"

#include <utility>

#include "measurement/engine/analytics_operation_queue.h"
#include "measurement/engine/analytics_state.h"

namespace {

AnalyticsOperationQueue& operationQueue() {
  static AnalyticsOperationQueue* const queue =
      new AnalyticsOperationQueue(kAnalyticsOperationQueueName, APMAnalytics::queue());
  return *queue;
}

}  // namespace

AnalyticsState& analyticsState() {
  static AnalyticsState* const state = new AnalyticsState();
  return *state;
}

APMAnalytics& APMAnalytics::sharedInstance() {
  static APMAnalytics* const instance = new APMAnalytics();
  return *instance;
}

const std::shared_ptr<os::DispatchQueue>& APMAnalytics::queue() {
  static const std::shared_ptr<os::DispatchQueue> queue =
      os::DispatchQueue::serial(kAnalyticsQueueLabel, os::DispatchPriority::Low);
  return queue;
}

void APMAnalytics::dispatchAsyncOnSerialQueue(os::DispatchBlock block) {
  queue()->async(std::move(block));
}

void APMAnalytics::queueOperationWithBlock(os::DispatchBlock block) {
  operationQueue().addOperation(std::move(block));
}

void APMAnalytics::queueOperationWithBlockThenWait(os::DispatchBlock block) {
  AnalyticsOperationQueue& operations = operationQueue();
  operations.addOperation(std::move(block));
  if (operations.isSuspended()) return;
  operations.waitUntilAllOperationsAreFinished();
  operations.suspend();
  queue()->after(0.5, unsuspendOperationQueue);
}

void APMAnalytics::unsuspendOperationQueue() { operationQueue().resume(); }

bool APMAnalytics::isCurrentQueueSerialQueue() { return queue()->isCurrent(); }

double APMAnalytics::loadTimestamp() {
  AnalyticsState& state = analyticsState();
  os::MutexLock lock(state.loadTimestampMutex);
  return state.loadTimestamp;
}

void APMAnalytics::setLoadTimestamp(double timestamp) {
  AnalyticsState& state = analyticsState();
  os::MutexLock lock(state.loadTimestampMutex);
  state.loadTimestamp = timestamp;
}

// Until the engine exists, the rest of the facade holds nothing and forwards nothing.
void APMAnalytics::startWithAppID(std::string_view, std::string_view, const os::Dictionary&,
                                  const void*) {}
void APMAnalytics::setAnalyticsEnabled(bool, bool) {}
void APMAnalytics::setSessionTimeoutInterval(double) {}
void APMAnalytics::logEventWithName(std::string_view, measurement::RawParameters) {}
void APMAnalytics::logEventWithOrigin(std::string_view, std::string_view,
                                      measurement::RawParameters) {}
void APMAnalytics::logEventWithOrigin(std::string_view, bool, std::string_view,
                                      measurement::RawParameters) {}
void APMAnalytics::logInternalEventWithOrigin(std::string_view, std::string_view,
                                              measurement::RawParameters) {}
void APMAnalytics::logInternalEventWithOrigin(std::string_view, std::string_view, double,
                                              measurement::RawParameters) {}
void APMAnalytics::logEventWithOrigin(std::string_view, bool, std::string_view,
                                      measurement::RawParameters, double, bool, bool) {}
void APMAnalytics::logInternalEvent(std::string_view, std::string_view,
                                    measurement::RawParameters) {}
void APMAnalytics::setDefaultEventParameters(std::optional<os::Dictionary>) {}
void APMAnalytics::setLogEventInterceptor(EventInterceptor) {}
std::optional<APMAnalytics::ListenerToken> APMAnalytics::addLogEventListener(EventListener) {
  return std::nullopt;
}
void APMAnalytics::removeLogEventListener(std::optional<ListenerToken>) {}
void APMAnalytics::notifyEventListeners(const measurement::Event&) {}
void APMAnalytics::setOpenURLListener(OpenURLListener) {}
void APMAnalytics::handleOpenURL(const std::string&) {}
bool APMAnalytics::isAppActive() { return false; }
void APMAnalytics::setUserPropertyString(std::optional<std::string>, std::string_view) {}
void APMAnalytics::setUserID(const os::Value&) {}
void APMAnalytics::setUserAttributeNumber(const os::Value&, std::string_view) {}
void APMAnalytics::removeUserAttributeForName(std::string_view) {}
void APMAnalytics::setInternalUserProperty(const os::Value&, std::string_view, std::string_view) {}
void APMAnalytics::removeInternalUserAttributeForName(std::string_view) {}
void APMAnalytics::userPropertiesIncludingInternal(bool, std::shared_ptr<os::DispatchQueue>,
                                                   UserPropertiesCallback) {}
void APMAnalytics::maxUserPropertiesForOrigin(std::string_view, std::shared_ptr<os::DispatchQueue>,
                                              std::function<void(int32_t)>) {}
void APMAnalytics::setConsent(const os::Dictionary&) {}
void APMAnalytics::setConsent(const os::Dictionary&, std::string_view) {}
void APMAnalytics::loadPersistedConsentSettings() {}
void APMAnalytics::persistConsentSettings(const os::Dictionary&, int64_t) {}
void APMAnalytics::clearConsent() {}
void APMAnalytics::resetAnalyticsData() {}
std::optional<std::string> APMAnalytics::appInstanceID() { return std::nullopt; }
void APMAnalytics::sessionIDWithCompletion(SessionIDCompletion) {}
void APMAnalytics::setUserData(const os::Dictionary&) {}
void APMAnalytics::resetForTesting() {
  operationQueue().suspend();
  analyticsState().started.store(false);
}
