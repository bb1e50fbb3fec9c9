#include "measurement/foundation/monitor.h"

#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/monitor_capture.h"
#include "measurement/wire/flag_conversion.h"
#include "os/process/process.h"
#include "platform/utilities/app_environment_util.h"
#include "platform/utilities/logger.h"

namespace measurement {
namespace {

constexpr int64_t kDebugModeOnCode = 24000;
constexpr int64_t kDebugModeOffCode = 24001;
constexpr int64_t kVerboseLoggingOnCode = 24003;
constexpr int64_t kVerboseLoggingOffCode = 24004;

enum MigrationState : int64_t { kNeverMigrated = 0, kCopied = 1, kMigrated = 2 };

bool hasAnyArgument(std::initializer_list<std::string_view> arguments) {
  for (std::string_view argument : arguments) {
    if (os::process::hasArgument(argument)) return true;
  }
  return false;
}

}  // namespace

std::shared_ptr<Monitor> Monitor::create(int64_t libraryVersion) {
  auto monitor = std::make_shared<Monitor>(Private{}, libraryVersion);
  // Queued before anything can log, so that an early sample is offered to the loaded one.
  monitor->asyncOnMonitorQueue([](Monitor& self) {
    self.migrateMonitorDataOnMonitorQueue();
    self.loadMonitoringDataOnMonitorQueue();
  });
  if (!VDUAppEnvironmentUtil::isFromAppStore()) monitor->applyLaunchArgumentsAndStoredSwitches();
  return monitor;
}

Monitor::Monitor(Private, int64_t libraryVersion)
    : libraryVersion_(libraryVersion),
      monitorDefaults_(kMonitorSuiteName),
      queue_(os::DispatchQueue::serial("APMMonitorQueue", os::DispatchPriority::Low)),
      logTag_(kMeasurementLogTag) {}

void Monitor::applyLaunchArgumentsAndStoredSwitches() {
  MeasurementUserDefaults& appDefaults = MeasurementUserDefaults::shared();
  // The application core is always linked beside this library, so its debug flags alone decide
  // whether it owns the console logger's level.
  deferToCoreLogger_.store(hasAnyArgument({"-RVODebugDisabled", "-RVODebugEnabled"}));

  if (hasAnyArgument(
          {"-noAPMAnalyticsDebugEnabled", "-noDIZUraruvazeDebugEnabled", "-RVODebugDisabled"})) {
    setDebugModeEnabled(false);
  } else if (appDefaults.boolForKey(kDebugModeKey) ||
             hasAnyArgument(
                 {"-APMAnalyticsDebugEnabled", "-DIZUraruvazeDebugEnabled", "-RVODebugEnabled"})) {
    setDebugModeEnabled(true);
  }

  if (hasAnyArgument(
          {"-APMAnalyticsVerboseLoggingDisabled", "-DIZUraruvazeVerboseLoggingDisabled"})) {
    setVerboseLoggingEnabled(false);
  } else if (appDefaults.boolForKey(kVerboseLoggingKey) ||
             hasAnyArgument(
                 {"-APMAnalyticsVerboseLoggingEnabled", "-DIZUraruvazeVerboseLoggingEnabled"})) {
    setVerboseLoggingEnabled(true);
  }
}

void Monitor::logWithContexts(int64_t level, int64_t code, std::string_view message,
                              std::vector<MonitorContext> contexts) {
  if (capturing_.load()) {
    os::MutexLock lock(captureMutex_);
    if (capture_) capture_->record({level, code, std::string(message), contexts});
  }
  if (!wantsLevel(level)) return;
  if (isLoggableLevel(level)) {
    logToConsole(level, code, stringWithLogMessage(message, contexts, encodeContexts()));
  }
  if (isMonitorableLevel(level)) offerToSample(level, message, contexts);
}

void Monitor::logToConsole(int64_t level, int64_t code, std::string text) {
  asyncOnMonitorQueue([tag = logTag(), level, code, text = std::move(text)](Monitor&) {
    // The text goes out as it stands: the logger reads no format without arguments.
    VDULogWithLevel(loggerLevelFromLogLevel(level), tag, level == 7, consoleMessageCode(code), text,
                    nullptr);
  });
}

void Monitor::offerToSample(int64_t level, std::string_view message,
                            const std::vector<MonitorContext>& contexts) {
  std::string encoded = encodedStringWithContextArray(contexts, false);
  const std::string errorContexts = makeMonitorContextString(contexts);
  if (!errorContexts.empty()) encoded += "," + errorContexts;
  pendingSampleOffers_.fetch_add(1);
  asyncOnMonitorQueue([key = monitoringDataKeyWithMessage(message, level, libraryVersion_),
                       encoded = std::move(encoded)](Monitor& self) {
    self.sampledData_.insertOrUpdateSampledDataWithKey(key, encoded);
    // A burst of offers is saved once, by the last of them: each save writes a whole file.
    if (self.pendingSampleOffers_.fetch_sub(1) == 1) self.saveMonitoringDataOnMonitorQueue();
  });
}

void Monitor::setDebugModeEnabled(bool enabled) {
  const bool on = enabled && !VDUAppEnvironmentUtil::isFromAppStore();
  logLevel_.store(on ? 7 : 6);
  if (!deferToCoreLogger_.load())
    VDUSetMaxLoggerLevel(on ? kVDULoggerLevelDebug : kVDULoggerLevelNotice);
  MeasurementUserDefaults& appDefaults = MeasurementUserDefaults::shared();
  if (on) {
    appDefaults.setBool(true, kDebugModeKey);
    log(MonitorLevel::kDebug, kDebugModeOnCode, "Debug mode is on");
  } else {
    appDefaults.removeObjectForKey(kDebugModeKey);
    log(MonitorLevel::kDebug, kDebugModeOffCode, "Debug mode is off");
  }
  debugModeEnabled_.store(on);
}

void Monitor::setVerboseLoggingEnabled(bool enabled) {
  const bool on = enabled && !VDUAppEnvironmentUtil::isFromAppStore();
  const int64_t level = on ? 8 : (debugModeEnabled_.load() ? 7 : 6);
  logLevel_.store(level);
  if (!deferToCoreLogger_.load()) VDUSetMaxLoggerLevel(loggerLevelFromLogLevel(level));
  MeasurementUserDefaults& appDefaults = MeasurementUserDefaults::shared();
  if (on) {
    appDefaults.setBool(true, kVerboseLoggingKey);
    log(MonitorLevel::kVerbose, kVerboseLoggingOnCode, "Verbose logging is on");
  } else {
    appDefaults.removeObjectForKey(kVerboseLoggingKey);
    log(MonitorLevel::kVerbose, kVerboseLoggingOffCode, "Verbose logging is off");
  }
  verboseLoggingEnabled_.store(on);
}

std::string Monitor::logTag() const {
  os::MutexLock lock(tagMutex_);
  return logTag_;
}

void Monitor::setLogTag(std::string tag) {
  os::MutexLock lock(tagMutex_);
  logTag_ = std::move(tag);
}

std::optional<std::string> Monitor::monitoringDataForDispatchWithSamplePeriod(
    double samplePeriod, double lastSampledTimestamp) {
  std::optional<std::string> text;
  queue_->sync([&] {
    text =
        sampledData_.monitoringDataForDispatchWithSamplePeriod(samplePeriod, lastSampledTimestamp);
    if (text) saveMonitoringDataOnMonitorQueue();
  });
  return text;
}

void Monitor::clearMonitoringData() {
  queue_->sync([&] {
    MeasurementUserDefaults& appDefaults = MeasurementUserDefaults::shared();
    appDefaults.removeObjectForKey(kDebugModeKey);
    appDefaults.removeObjectForKey(kHealthMonitorKey);
    monitorDefaults_.removeObjectForKey(kHealthMonitorKey);
    loadMonitoringDataOnMonitorQueue();
  });
}

void Monitor::drain() {
  queue_->sync([] {});
}

void Monitor::migrateMonitorDataOnMonitorQueue() {
  OS_CHECK_ON(queue_);
  MeasurementUserDefaults& appDefaults = MeasurementUserDefaults::shared();
  int64_t state = monitorDefaults_.integerForKey(kMonitorMigrationStateKey);
  if (state == kNeverMigrated) {
    std::optional<os::Array> older = appDefaults.arrayForKey(kHealthMonitorKey);
    if (older && monitorDefaults_.objectForKey(kHealthMonitorKey).isNull()) {
      monitorDefaults_.setObject(std::move(*older), kHealthMonitorKey);
    }
    monitorDefaults_.setInteger(kCopied, kMonitorMigrationStateKey);
    monitorDefaults_.synchronize();
    state = kCopied;
  }
  if (state == kCopied) {
    appDefaults.removeObjectForKey(kHealthMonitorKey);
    appDefaults.synchronize();
    monitorDefaults_.setInteger(kMigrated, kMonitorMigrationStateKey);
    monitorDefaults_.synchronize();
  }
}

void Monitor::loadMonitoringDataOnMonitorQueue() {
  OS_CHECK_ON(queue_);
  sampledData_ = MonitoringSampledData(monitorDefaults_.objectForKey(kHealthMonitorKey));
}

void Monitor::saveMonitoringDataOnMonitorQueue() {
  OS_CHECK_ON(queue_);
  monitorDefaults_.setObject(sampledData_.sampledData(), kHealthMonitorKey);
  monitorDefaults_.synchronize();
}

void Monitor::asyncOnMonitorQueue(std::function<void(Monitor&)> block) {
  queue_->async([weak = weak_from_this(), block = std::move(block)] {
    if (std::shared_ptr<Monitor> self = weak.lock()) block(*self);
  });
}

Monitor& monitor() {
  // Never destroyed: components log until the process ends. The holder itself stays reachable,
  // so the leak checker does not count it.
  static std::shared_ptr<Monitor>* holder = [] {
    auto* made = new std::shared_ptr<Monitor>(Monitor::create(kMeasurementLibraryVersion));
    // The wire library sits below this one: its flag conversions complain through a sink.
    wire::setFlagMonitorSink([](int level, int code, std::string_view message,
                                const std::optional<std::string>& context) {
      if (context) {
        monitor().log(static_cast<MonitorLevel>(level), code, message, *context);
      } else {
        monitor().log(static_cast<MonitorLevel>(level), code, message);
      }
    });
    return made;
  }();
  return **holder;
}

}  // namespace measurement
