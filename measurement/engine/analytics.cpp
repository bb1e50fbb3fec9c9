// The facade's queues, start-up, collection switch, event path, listeners and hooks.
#include "measurement/engine/analytics.h"

#include <array>
#include <atomic>
#include <map>
#include <utility>

#include "core/class_registry.h"
#include "measurement/engine/analytics_operation_queue.h"
#include "measurement/engine/analytics_state.h"
#include "measurement/engine/app_delegate_interceptor.h"
#include "measurement/engine/measurement.h"
#include "measurement/engine/screen_view_reporter.h"
#include "measurement/foundation/data_type_validator.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/persisted_config.h"
#include "measurement/model/display_names.h"
#include "measurement/model/error_parameters.h"
#include "measurement/privacy/consent_settings.h"
#include "measurement/privacy/identifiers.h"
#include "measurement/privacy/identity.h"
#include "measurement/privacy/info_plist_file_util.h"
#include "os/dispatch/notifications.h"
#include "os/process/clock.h"
#include "platform/utilities/app_delegate/app_delegate_swizzler.h"

using measurement::DataTypeValidator;
using measurement::monitor;
using measurement::MonitorLevel;
using measurement::RawParameters;

namespace {

constexpr const char* kScreenViewEventName = "screen_view";
constexpr std::array<const char*, 3> kScreenParameterNames = {"_si", "_sc", "_sn"};

bool hasRawScreenParameters(const RawParameters& parameters) {
  for (const char* name : kScreenParameterNames) {
    if (parameters.contains(name)) return true;
  }
  return false;
}

// Moves the screen parameters out of `parameters` into the answer, typed; a value that cannot
// be typed is dropped with them.
measurement::Parameters takeScreenParameters(RawParameters& parameters) {
  measurement::Parameters screen;
  for (const char* name : kScreenParameterNames) {
    auto found = parameters.find(name);
    if (found == parameters.end()) continue;
    std::optional<measurement::Value> value =
        std::holds_alternative<measurement::Value>(found->second)
            ? std::get<measurement::Value>(found->second)
            : measurement::Value::valueFromObject(std::get<os::Value>(found->second));
    if (value) screen.emplace(found->first, std::move(*value));
    parameters.erase(found);
  }
  return screen;
}

measurement::Parameters currentScreenParameters() {
  return APMScreenViewReporter::sharedInstance()->screenParameters();
}

// Held while an event takes its time and enters the operation queue, so that timestamps do not
// go back in queue order. A lock rather than a serial queue's sync: under contention a queue
// hands its turn from thread to thread in order, and every handoff waits for the next thread
// to be scheduled (64 µs a call with 32 threads logging, against 1 µs with the lock).
os::Mutex& timestampMutex() {
  static os::Mutex* const mutex = new os::Mutex();
  return *mutex;
}

AnalyticsOperationQueue& operationQueue() {
  static AnalyticsOperationQueue* const queue =
      new AnalyticsOperationQueue(kAnalyticsOperationQueueName, APMAnalytics::queue());
  return *queue;
}

// The safelist option: an array of valid internal event names, else nothing (logged).
std::optional<std::vector<std::string>> validSafelist(const os::Value& value) {
  const os::Array* names = value.asArray();
  if (!names) {
    monitor().log(MonitorLevel::kError, 25034,
                  "Invalid safelisted event parameter. Type must be an array");
    return std::nullopt;
  }
  std::vector<std::string> safelist;
  for (const os::Value& name : *names) {
    const std::string* text = name.asString();
    if (!text || !DataTypeValidator::isValidInternalEventName(*text, nullptr)) {
      monitor().log(MonitorLevel::kError, 25035, "Invalid event name for safelisting. Name", name);
      return std::nullopt;
    }
    safelist.push_back(*text);
  }
  return safelist;
}

void createAppDelegateProxy() {
  static os::DispatchOnce once;
  once([] {
    VDUAppDelegateSwizzler::proxyOriginalDelegate();
    VDUAppDelegateSwizzler::registerAppDelegateInterceptor(
        APMAppDelegateInterceptor::sharedInstance());
  });
}

void createEngineOnSerialQueue(const std::string& appID, bool enabled,
                               const std::optional<std::vector<std::string>>& safelist) {
  AnalyticsState& state = analyticsState();
  APMMeasurement::initializeSharedInstance(appID, enabled, state.isCollectionDeactivated, safelist);
  if (VDUAppDelegateSwizzler::isAppDelegateProxyEnabled()) {
    if (!state.isCollectionDeactivated) os::DispatchQueue::main()->async(createAppDelegateProxy);
  } else {
    monitor().log(MonitorLevel::kNotice, 25036, "App Delegate Proxy is disabled");
  }
  std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
  state.isAnalyticsEnabled = engine && engine->wasEnabledDuringInitialization();
}

void handleSetEnabled(const os::Notification& notification) {
  const os::Value& value = notification.userInfo[kDIZUraruvazeConfigurationSetEnabledNotification];
  if (!value.isNumber() && !value.isBool()) {
    monitor().log(MonitorLevel::kWarningSampled, 25000,
                  "Received setEnabled notification without NSNumber", value);
    return;
  }
  APMAnalytics::setAnalyticsEnabled(value.boolValue(), false);
}

void observeNotificationsForAnalyticsConfiguration(const void* configuration) {
  AnalyticsState& state = analyticsState();
  state.configurationObserver.reset();
  if (!configuration) return;
  os::NotificationCenter& center = os::NotificationCenter::defaultCenter();
  state.configurationObserver = os::ObserverRegistration(
      center, center.addObserver(kDIZUraruvazeConfigurationSetEnabledNotification, configuration,
                                 handleSetEnabled));
}

// The checks that may refuse the start; true when it may go on.
bool mayStart(std::string_view origin) {
  if (RVOClassRegistry::classNamed("VUVEDatabase")) {
    monitor().log(MonitorLevel::kErrorSampled, 25029,
                  "Detected an older version of Vedodo Analytics for Riveravo framework. Data "
                  "collection will be disabled. Please upgrade to the latest version of Vedodo "
                  "Analytics for Riveravo");
    return false;
  }
  if (RVOClassRegistry::classNamed("DIZUraruvaze")) {
    if (origin != "fa") {
      monitor().log(MonitorLevel::kWarning, 25026,
                    "Deferring to Riveravo for event data collection");
      return false;
    }
  } else if (!measurement::InfoPlistFileUtil::vedodoServiceInfoPlistPath().value_or("").empty()) {
    monitor().log(MonitorLevel::kError, 25027,
                  "Deferring to Vedodo Analytics for Riveravo for event data collection. See "
                  "https://analytics.tessaro.example/docs/start");
    return false;
  }
  return true;
}

void applyLogTagOption(const os::Dictionary& options) {
  if (options.empty()) return;
  auto tag = options.find(kAnalyticsLogTagOption);
  const std::string* text = tag == options.end() ? nullptr : tag->second.asString();
  if (text && !text->empty()) {
    monitor().setLogTag(*text);
  } else {
    monitor().log(MonitorLevel::kErrorSilent, 25030,
                  "Invalid monitor tag. It must be a non-empty string.");
  }
}

void recordAppID(std::string_view appID, std::string_view origin) {
  measurement::Identity& identity = *measurement::Identity::sharedInstance();
  if (origin == "fa") {
    std::string previous = identity.appIDFromGMP().value_or("");
    if (previous != appID) {
      identity.setAppIDFromGMP(appID);
      monitor().log(MonitorLevel::kErrorSampled, 25020,
                    "Analytics requires Vedodo App ID from ZiroreVevuraz-Eziz.plist. Your data "
                    "may be lost. Vedodo App ID has been changed. Original, new ID",
                    previous, std::string(appID));
    }
  } else if (origin == "am") {
    std::string previous = identity.appIDFromZeZud().value_or("");
    if (previous != appID) {
      monitor().log(MonitorLevel::kWarning, 25031, "ZeZud App ID changed. Original, new", previous,
                    std::string(appID));
      identity.setAppIDFromZeZud(appID);
    }
  }
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

void APMAnalytics::startWithAppID(std::string_view appID, std::string_view origin,
                                  const os::Dictionary& options, const void* configuration) {
  if (!mayStart(origin)) return;
  if (RVOClassRegistry::classNamed("GADMobileAds") &&
      measurement::InfoPlistFileUtil::dictionaryFromVedodoServiceInfoPlist() &&
      measurement::Identity::sharedInstance()->appIDFromZeZud().value_or("").empty()) {
    monitor().log(
        MonitorLevel::kWarning, 25028,
        "ZeZud and Riveravo are in use in this app, but are not linked. For analytics "
        "data consistency and integrity, it is highly recommended that you link your "
        "ZeZud app to the corresponding Riveravo app and re-download the "
        "VedodoServices-Info.plist file. See https://analytics.tessaro.example/docs/link");
  }
  applyLogTagOption(options);

  AnalyticsState& state = analyticsState();
  if (state.started.exchange(true)) return;
  if (measurement::ConsentSettings::consentSource() == measurement::kConsentSourceNone) {
    loadPersistedConsentSettings();
  }
  recordAppID(appID, origin);
  os::NotificationCenter::defaultCenter().post(kDIZUraruvazeWillStartNotification);
  measurement::Identifiers::sharedInstance().setOrigin(origin);

  bool enabled = true;
  bool deactivated = false;
  std::optional<std::vector<std::string>> safelist;
  if (!options.empty()) {
    // The options as one value that outlives the references into it.
    const os::Value optionValues(options);
    const os::Value& enabledOption = optionValues[kAnalyticsCollectionEnabledOption];
    if (enabledOption.isNumber() || enabledOption.isBool()) enabled = enabledOption.boolValue();
    const os::Value& deactivatedOption = optionValues[kAnalyticsCollectionDeactivatedOption];
    if (deactivatedOption.isNumber() || deactivatedOption.isBool()) {
      deactivated = deactivatedOption.boolValue();
    }
    if (auto found = options.find(kSafelistedEventsOption); found != options.end()) {
      safelist = validSafelist(found->second);
    }
    os::Dictionary consent = measurement::ConsentSettings::consentSettingsFromDictionary(options);
    if (!consent.empty()) {
      measurement::MeasurementUserDefaults(kAnalyticsSuiteName)
          .setObject(std::move(consent), measurement::kConsentSettingsOnStartKey);
    }
  }
  queue()->async([appID = std::string(appID), enabled, deactivated, safelist] {
    analyticsState().isCollectionDeactivated = deactivated;
    createEngineOnSerialQueue(appID, enabled, safelist);
  });
  observeNotificationsForAnalyticsConfiguration(configuration);
  unsuspendOperationQueue();
}

void APMAnalytics::setAnalyticsEnabled(bool enabled, bool persistSetting) {
  dispatchAsyncOnSerialQueue([enabled, persistSetting] {
    if (persistSetting) {
      if (measurement::PersistedConfig* config = measurement::PersistedConfig::sharedInstance()) {
        config->setMeasurementEnabledState(enabled ? 1 : 2);
      }
    }
    AnalyticsState& state = analyticsState();
    if (state.isCollectionDeactivated && enabled) return;
    state.isAnalyticsEnabled = enabled;
    if (std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance()) {
      engine->setEnabled(enabled);
    }
  });
}

void APMAnalytics::setSessionTimeoutInterval(double seconds) {
  dispatchAsyncOnSerialQueue([seconds] {
    if (std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance()) {
      engine->setSessionTimeoutInterval(seconds);
    }
  });
}

// Events.

void APMAnalytics::logEventWithName(std::string_view name, RawParameters parameters) {
  logEventWithOrigin("app", name, std::move(parameters));
}

void APMAnalytics::logEventWithOrigin(std::string_view origin, std::string_view name,
                                      RawParameters parameters) {
  int32_t failure = measurement::kValidationValid;
  if (!DataTypeValidator::isValidPublicEventName(name, &failure)) {
    const measurement::Value offending{std::string(name)};
    measurement::logErrorEventWithNameAndValue(failure == measurement::kValidationReserved ? 13 : 2,
                                               name, DataTypeValidator::kMaxEventNameLength,
                                               &offending);
    return;
  }
  logEventWithOrigin(origin, true, name, std::move(parameters));
}

void APMAnalytics::logEventWithOrigin(std::string_view origin, bool isPublicEvent,
                                      std::string_view name, RawParameters parameters) {
  if (name == kScreenViewEventName) {
    APMScreenViewReporter::sharedInstance()->trackScreenWithParameters(std::move(parameters),
                                                                       os::clock::now());
    return;
  }
  measurement::Parameters added;
  if (!hasRawScreenParameters(parameters)) added = currentScreenParameters();
  // Taking the time and entering the operation queue in one step keeps timestamps in queue
  // order across threads.
  os::MutexLock lock(timestampMutex());
  queueOperationWithBlock([origin = std::string(origin), isPublicEvent, name = std::string(name),
                           parameters = std::move(parameters), timestamp = os::clock::now(),
                           added = std::move(added)]() mutable {
    logEventOnSerialQueue(origin, isPublicEvent, name, std::move(parameters), timestamp, false,
                          false, std::move(added));
  });
}

void APMAnalytics::logInternalEventWithOrigin(std::string_view origin, std::string_view name,
                                              RawParameters parameters) {
  logEventWithOrigin(origin, false, name, std::move(parameters));
}

void APMAnalytics::logInternalEventWithOrigin(std::string_view origin, std::string_view name,
                                              double timestamp, RawParameters parameters) {
  measurement::Parameters added;
  if (!hasRawScreenParameters(parameters)) added = currentScreenParameters();
  queueOperationWithBlock([origin = std::string(origin), name = std::string(name),
                           parameters = std::move(parameters), timestamp,
                           added = std::move(added)]() mutable {
    logEventOnSerialQueue(origin, false, name, std::move(parameters), timestamp, false, false,
                          std::move(added));
  });
}

void APMAnalytics::logEventWithOrigin(std::string_view origin, bool isPublicEvent,
                                      std::string_view name, RawParameters parameters,
                                      double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
  queueOperationWithBlock([origin = std::string(origin), isPublicEvent, name = std::string(name),
                           parameters = std::move(parameters), timestamp, ignoreEnabled,
                           ignoreInterceptor]() mutable {
    logEventOnSerialQueue(origin, isPublicEvent, name, std::move(parameters), timestamp,
                          ignoreEnabled, ignoreInterceptor, {});
  });
}

void APMAnalytics::logEventOnSerialQueue(const std::string& origin, bool isPublicEvent,
                                         const std::string& name, RawParameters parameters,
                                         double timestamp, bool ignoreEnabled,
                                         bool ignoreInterceptor,
                                         measurement::Parameters addedScreenParameters) {
  OS_CHECK_ON(queue());
  if (ignoreInterceptor && addedScreenParameters.empty() &&
      DataTypeValidator::isValidForwardedEventOrigin(origin, nullptr)) {
    addedScreenParameters = takeScreenParameters(parameters);
  }
  if (!APMMeasurement::hasSharedInstance()) return;
  std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
  AnalyticsState& state = analyticsState();
  engine->logEventWithOrigin(origin, isPublicEvent, name, std::move(parameters), timestamp,
                             state.isAnalyticsEnabled, ignoreEnabled, ignoreInterceptor,
                             state.interceptor, std::move(addedScreenParameters));
}

void APMAnalytics::logInternalEvent(std::string_view origin, std::string_view name,
                                    RawParameters parameters) {
  if (origin == "am") {
    auto adEventID = parameters.find("_aeid");
    const os::Value* plain =
        adEventID == parameters.end() ? nullptr : std::get_if<os::Value>(&adEventID->second);
    if (const std::string* text = plain ? plain->asString() : nullptr) {
      if (measurement::isDecimalNumberString(*text)) {
        adEventID->second = measurement::Value(plain->integerValue());
      } else {
        monitor().log(MonitorLevel::kErrorSilent, 25024, "AdEvent ID string is not a number");
      }
    }
  }
  logInternalEventWithOrigin(origin, name, std::move(parameters));
}

void APMAnalytics::setDefaultEventParameters(std::optional<os::Dictionary> parameters) {
  queueOperationWithBlock([parameters = std::move(parameters)] {
    if (!analyticsState().isAnalyticsEnabled) return;
    if (std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance()) {
      engine->setDefaultEventParameters(parameters);
    }
  });
}

// Listeners and hooks.

namespace {

// Runs `block` at once when the caller is on the serial queue, else queued in order.
void onSerialQueueInOrder(os::DispatchBlock block) {
  if (APMAnalytics::isCurrentQueueSerialQueue()) {
    block();
  } else {
    APMAnalytics::queueOperationWithBlock(std::move(block));
  }
}

}  // namespace

void APMAnalytics::setLogEventInterceptor(EventInterceptor interceptor) {
  onSerialQueueInOrder(
      [interceptor = std::move(interceptor)] { analyticsState().interceptor = interceptor; });
}

std::optional<APMAnalytics::ListenerToken> APMAnalytics::addLogEventListener(
    EventListener listener) {
  if (!listener) {
    monitor().log(MonitorLevel::kErrorSilent, 25012,
                  "Attempted addition of nil log event listener.");
    return std::nullopt;
  }
  const ListenerToken token = analyticsState().lastListenerToken.fetch_add(1) + 1;
  onSerialQueueInOrder([token, listener = std::move(listener)] {
    AnalyticsState& state = analyticsState();
    if (!state.listeners) state.listeners.emplace();
    state.listeners->emplace(token, listener);
  });
  return token;
}

void APMAnalytics::removeLogEventListener(std::optional<ListenerToken> token) {
  if (!token) {
    monitor().log(MonitorLevel::kErrorSilent, 25013, "Attempted removal of nil log event.");
    return;
  }
  queueOperationWithBlock([token = *token] {
    AnalyticsState& state = analyticsState();
    if (!state.listeners) {
      monitor().log(MonitorLevel::kErrorSilent, 25014,
                    "Attempted removal of nil log event listener.");
      return;
    }
    if (state.listeners->erase(token) == 0) {
      monitor().log(MonitorLevel::kErrorSilent, 25015,
                    "Attempted removal of log event listener with invalid token.");
    }
  });
}

void APMAnalytics::notifyEventListeners(const measurement::Event& event) {
  queueOperationWithBlock([event] { notifyEventListenersOnSerialQueue(event); });
}

void APMAnalytics::notifyEventListenersOnSerialQueue(const measurement::Event& event) {
  OS_CHECK_ON(queue());
  AnalyticsState& state = analyticsState();
  if (!state.listeners) return;
  // A listener may add or remove listeners; those calls are queued, so the table stays put.
  for (const auto& [token, listener] : *state.listeners) listener(event);
}

void APMAnalytics::setOpenURLListener(OpenURLListener listener) {
  dispatchAsyncOnSerialQueue(
      [listener = std::move(listener)] { analyticsState().openURLListener = listener; });
}

void APMAnalytics::handleOpenURL(const os::URL& url) {
  const double timestamp = os::clock::now();
  dispatchAsyncOnSerialQueue([url, timestamp] {
    if (std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance()) {
      engine->handleNonFirstOpenEventURL(url, timestamp);
    }
    if (const OpenURLListener& listener = analyticsState().openURLListener) listener(url);
  });
}

bool APMAnalytics::isAppActive() { return APMScreenViewReporter::sharedInstance()->isAppActive(); }

void APMAnalytics::resetForTesting() {
  queue()->sync([] {
    AnalyticsState& state = analyticsState();
    state.isCollectionDeactivated = false;
    state.isAnalyticsEnabled = false;
    state.interceptor = nullptr;
    state.openURLListener = nullptr;
    state.listeners.reset();
    state.configurationObserver.reset();
  });
  operationQueue().suspend();
  analyticsState().started.store(false);
}
