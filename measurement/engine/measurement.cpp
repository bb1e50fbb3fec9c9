// Creation of the engine, its process-wide accessors, its plain accessors and its role as the
// network client's logger and reachability delegate.
#include "measurement/engine/measurement.h"

#include <utility>

#include "measurement/config/endpoints.h"
#include "measurement/engine/aeu.h"
#include "measurement/engine/analytics.h"
#include "measurement/engine/dizuraruvaze.h"
#include "measurement/engine/search_ad_reporter.h"
#include "measurement/foundation/config_store.h"
#include "measurement/privacy/identifiers.h"
#include "platform/utilities/logger.h"

namespace {

using measurement::MonitorLevel;
using measurement::Scheduler;

// The creation state of the process. The mutex serialises creation; the instance is published
// atomically after it, so that readers never take the mutex.
os::Mutex& creationMutex() {
  static auto* mutex = new os::Mutex;
  return *mutex;
}
std::atomic<bool> gCreationAttempted{false};
std::atomic<std::shared_ptr<APMMeasurement>> gSharedInstance;

os::Mutex& logEventObserverMutex() {
  static auto* mutex = new os::Mutex;
  return *mutex;
}
std::function<void(const APMLogEventCall&)>& logEventObserver()
    OS_REQUIRES(logEventObserverMutex()) {
  static auto* observer = new std::function<void(const APMLogEventCall&)>;
  return *observer;
}

// The network client's contexts keep their numbers and texts; anything else shows its
// description.
measurement::MonitorContext monitorContextOf(const os::Value& value) {
  switch (value.type()) {
    case os::Value::Type::Null:
      return std::monostate{};
    case os::Value::Type::String:
      return *value.asString();
    case os::Value::Type::Real:
      return value.doubleValue();
    default:
      if (value.isNumber()) return value.integerValue();
      return measurement::OtherContext{value.description()};
  }
}

// Where the launch-argument hints send the reader for the logging switches.
constexpr const char* kDocumentationSuffix =
    " (see https://docs.tessaro.example/analytics/debug-logging)";

// The line that names the launch argument turning one kind of logging (`kind`: "debug",
// "verbose") the other way.
void logSwitchHint(measurement::Monitor& log, measurement::MonitorLevel level, int64_t code,
                   std::string_view kind, bool enabled, const char* disablingArgument,
                   const char* enablingArgument) {
  log.log(level, code,
          std::string(enabled ? "To disable " : "To enable ") + std::string(kind) +
              " logging set the following application argument: %@" + kDocumentationSuffix,
          enabled ? disablingArgument : enablingArgument);
}

// The lines that open an engine's log: its version and build, and the launch argument that
// turns the debug and the verbose logging the other way. The public interface is part of this
// library, so its version and its argument names are the ones to give.
void logStartLines(measurement::Monitor& log) {
  log.log(MonitorLevel::kNotice, 23007, "Analytics v.%@ started", DIZUraruvaze::topLevelVersion());
  log.log(MonitorLevel::kVerbose, 23222, "Build %lld",
          measurement::Identity::zadOdavodiveziLibraryVersion());
  logSwitchHint(log, measurement::MonitorLevel::kNotice, 23008, "debug", log.isDebugModeEnabled(),
                "-noDIZUraruvazeDebugEnabled", "-DIZUraruvazeDebugEnabled");
  log.log(MonitorLevel::kDebug, 23009, "Debug logging enabled");
  logSwitchHint(log, measurement::MonitorLevel::kDebug, 23207, "verbose",
                log.isVerboseLoggingEnabled(), "-DIZUraruvazeVerboseLoggingDisabled",
                "-DIZUraruvazeVerboseLoggingEnabled");
}

}  // namespace

// ---- The process's engine ----

void APMMeasurement::initializeSharedInstance(
    std::string_view appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated,
    std::optional<std::vector<std::string>> safelistedEvents) {
  os::MutexLock lock(creationMutex());
  if (gCreationAttempted.load()) return;
  std::shared_ptr<APMMeasurement> engine;
  if (!appID.empty()) {
    monitor();
    engine = create(appID, isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated,
                    std::move(safelistedEvents));
  }
  gSharedInstance.store(std::move(engine));
  gCreationAttempted.store(true);
}

bool APMMeasurement::hasSharedInstance() {
  return gCreationAttempted.load() && gSharedInstance.load() != nullptr;
}

std::shared_ptr<APMMeasurement> APMMeasurement::sharedInstance() {
  if (!gCreationAttempted.load()) {
    VDULogAtWarning(measurement::kMeasurementLogTag, false, measurement::consoleMessageCode(23147),
                    "Vedodo Analytics for Riveravo has not been created. Please, configure "
                    "Riveravo by calling [ZUZAze configure]");
    return nullptr;
  }
  return gSharedInstance.load();
}

measurement::Monitor& APMMeasurement::monitor() { return measurement::monitor(); }

std::shared_ptr<measurement::RemoteConfig> APMMeasurement::remoteConfig() {
  if (auto engine = gSharedInstance.load()) {
    if (auto config = engine->remoteConfigInstance()) return config;
  }
  return measurement::RemoteConfig::defaultInstance();
}

// ---- Creation ----

APMMeasurement::APMMeasurement(Private, Parts parts)
    : databaseName_(std::move(parts.databaseName)),
      appID_(std::move(parts.appID)),
      isAnalyticsCollectionEnabled_(parts.isAnalyticsCollectionEnabled),
      isAnalyticsCollectionDeactivated_(parts.isAnalyticsCollectionDeactivated),
      safelistedEvents_(std::move(parts.safelistedEvents)),
      persistedConfig_(parts.persistedConfig),
      network_(std::move(parts.network)),
      scheduler_(std::move(parts.scheduler)),
      eventEditingFactory_(std::move(parts.eventEditingFactory)),
      searchAdTokenProvider_(std::move(parts.searchAdTokenProvider)),
      alarm_(scheduler_->workerQueue(), "Measurement timer") {
  // The load time of the stack, kept across runs until the first open has been reported.
  if (persistedConfig_) {
    os::Value stored = persistedConfig_->loadTimestampValue();
    if (stored.isNumber()) {
      initTimestamp_.store(stored.doubleValue());
    } else {
      initTimestamp_.store(APMAnalytics::loadTimestamp());
      persistedConfig_->setLoadTimestampValue(os::Value(initTimestamp_.load()));
    }
  }
}

APMMeasurement::~APMMeasurement() = default;

std::shared_ptr<APMMeasurement> APMMeasurement::create(
    std::string_view appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated,
    std::optional<std::vector<std::string>> safelistedEvents) {
  measurement::Monitor& log = monitor();
  if (appID.empty()) {
    log.log(MonitorLevel::kErrorSampled, 23170, "Cannot start Measurement. App ID is empty.");
    return nullptr;
  }
  logStartLines(log);
  Parts parts;
  parts.network = VDUNetwork::initWithReachabilityHost(measurement::uploadReachabilityHost());
  if (!parts.network)
    log.log(MonitorLevel::kErrorSampled, 23010, "Failed to initialize network component");
  parts.persistedConfig = measurement::PersistedConfig::sharedInstance();
  parts.scheduler = std::make_shared<Scheduler>(measurement::kWorkerQueueLabel);
  parts.appID = std::string(appID);
  parts.isAnalyticsCollectionEnabled = isAnalyticsCollectionEnabled;
  parts.isAnalyticsCollectionDeactivated = isAnalyticsCollectionDeactivated;
  parts.safelistedEvents = std::move(safelistedEvents);
  return createWithParts(std::move(parts));
}

std::shared_ptr<APMMeasurement> APMMeasurement::createWithParts(Parts parts) {
  auto engine = std::make_shared<APMMeasurement>(Private{}, std::move(parts));
  // The identity sits beneath the engine and learns from it how the app was built.
  measurement::Identity::setFromAppStoreProvider(&APMAEU::isFAS);
  if (engine->network_) {
    engine->network_->setLoggerDelegate(engine);
    engine->network_->setReachabilityDelegate(engine);
    engine->network_->setIsDebugModeEnabled(monitor().isDebugModeEnabled());
  }
  engine->conditionalUserPropertyController_ =
      measurement::ConditionalUserPropertyController::create(engine);
  bool enabled = engine->shouldEnableMeasurement();
  engine->enabled_.store(enabled);
  engine->setEnabled(enabled);
  engine->wasEnabledDuringInitialization_ = enabled;
  return engine;
}

bool APMMeasurement::shouldEnableMeasurement() const {
  if (isAnalyticsCollectionDeactivated_) return false;
  int64_t state = persistedConfig_ ? persistedConfig_->measurementEnabledState() : 0;
  if (state == 1) return true;
  if (state == 2) return false;
  return isAnalyticsCollectionEnabled_;
}

void APMMeasurement::setEnabled(bool enabled) {
  scheduleWeakly("APMMeasurement:611",
                 [enabled](APMMeasurement& engine) { engine.setEnabledOnWorkerQueue(enabled); });
}

void APMMeasurement::scheduleWeakly(std::string_view blockID,
                                    std::function<void(APMMeasurement&)> block) {
  scheduler_->scheduleOnWorkerQueue(blockID, [weak = weak_from_this(), block = std::move(block)] {
    if (auto engine = weak.lock()) block(*engine);
  });
}

// ---- Accessors ----

std::shared_ptr<measurement::Identity> APMMeasurement::identity() const {
  os::MutexLock lock(componentsMutex_);
  return identity_;
}

std::shared_ptr<measurement::RemoteConfig> APMMeasurement::remoteConfigInstance() const {
  os::MutexLock lock(componentsMutex_);
  return remoteConfig_;
}

std::shared_ptr<APMSessionReporter> APMMeasurement::sessionReporter() const {
  os::MutexLock lock(componentsMutex_);
  return sessionReporter_;
}

bool isAdExposureEvent(const measurement::Event& event) {
  return event.origin() == "am" || event.name() == "_xa" || event.name() == "_xu";
}

// ---- Network client delegates ----

int64_t APMMeasurement::monitorLevelFromNetworkLevel(int64_t networkLevel) {
  switch (networkLevel) {
    case 3:
      return 1;
    case 4:
      return 4;
    case 5:
      return 3;
    case 6:
      return 6;
    case 7:
      return 7;
    default:
      return 3;
  }
}

void APMMeasurement::VDUNetwork_logWithLevel(VDUNetworkLogLevel level, VDUNetworkMessageCode code,
                                             const std::string& message,
                                             const std::vector<os::Value>& contexts) {
  std::vector<measurement::MonitorContext> monitorContexts;
  monitorContexts.reserve(contexts.size());
  for (const os::Value& context : contexts) {
    monitorContexts.push_back(monitorContextOf(context));
  }
  monitor().logWithContexts(monitorLevelFromNetworkLevel(static_cast<int64_t>(level)), code,
                            message, std::move(monitorContexts));
}

void APMMeasurement::VDUNetwork_logWithLevel(VDUNetworkLogLevel level, VDUNetworkMessageCode code,
                                             const std::string& message, const os::Value& context) {
  std::vector<os::Value> contexts;
  if (!context.isNull()) contexts.push_back(context);
  VDUNetwork_logWithLevel(level, code, message, contexts);
}

void APMMeasurement::VDUNetwork_logWithLevel(VDUNetworkLogLevel level, VDUNetworkMessageCode code,
                                             const std::string& message) {
  VDUNetwork_logWithLevel(level, code, message, std::vector<os::Value>{});
}

void APMMeasurement::reachabilityDidChange() {
  scheduleWeakly("APMMeasurement:1034", [](APMMeasurement& engine) { engine.updateSchedule(); });
}

// ---- Event road ----

void APMMeasurement::logEventWithOrigin(std::string origin, bool isPublicEvent, std::string name,
                                        measurement::RawParameters parameters, double timestamp,
                                        bool enabled, bool ignoreEnabled, bool ignoreInterceptor,
                                        APMLogEventInterceptor interceptor,
                                        measurement::Parameters addedScreenParameters) {
  std::function<void(const APMLogEventCall&)> observer;
  {
    os::MutexLock lock(logEventObserverMutex());
    observer = logEventObserver();
  }
  if (observer) {
    observer(APMLogEventCall{
        .origin = std::move(origin),
        .isPublicEvent = isPublicEvent,
        .name = std::move(name),
        .parameters = std::move(parameters),
        .timestamp = timestamp,
        .enabled = enabled,
        .ignoreEnabled = ignoreEnabled,
        .ignoreInterceptor = ignoreInterceptor,
        .hasInterceptor = static_cast<bool>(interceptor),
        .addedScreenParameters = std::move(addedScreenParameters),
    });
    return;
  }
  // Held strongly until it has run: an event handed over is not lost to a release.
  scheduler_->scheduleOnWorkerQueue(
      "APMMeasurement:2403",
      [engine = shared_from_this(), origin = std::move(origin), isPublicEvent,
       name = std::move(name), parameters = std::move(parameters), timestamp, enabled,
       ignoreEnabled, ignoreInterceptor, interceptor = std::move(interceptor),
       screen = std::move(addedScreenParameters)] {
        engine->logEventOnWorkerQueueWithOrigin(origin, isPublicEvent, name, parameters, timestamp,
                                                enabled, ignoreEnabled, ignoreInterceptor,
                                                interceptor, screen);
      });
}

void APMMeasurement::setLogEventObserverForTesting(
    std::function<void(const APMLogEventCall&)> observer) {
  os::MutexLock lock(logEventObserverMutex());
  logEventObserver() = std::move(observer);
}
