// The one logging and health-monitoring sink of the measurement code. Every component logs
// through the process's monitor:
//
//   measurement::monitor().log(MonitorLevel::kWarningSampled, 12001,
//                              "Failed to open database. Path", path);
//   measurement::monitor().log(MonitorLevel::kErrorSampled, 30000,
//                              "Exception on worker queue. Block ID=x. Exception", exception);
//
// A call carries a level (see monitor_levels.h), a code, a fixed English message and up to a
// few context values (MonitorContext: null, number, string, error, exception, other), which are
// never formatted into the message. A loggable call is printed on the console through the
// utilities' logger as "<tag>[I-ACS0ddddd] message: contexts"; a call of a monitorable level is
// offered to the health sample (MonitoringSampledData) with its contexts encoded, and the sample
// is kept in the suite "com.vedodo.gmp.measurement.monitor" for the engine to collect.
//
// The debug-mode and verbose-logging switches come from the launch arguments and the
// application's own preferences at start-up and persist there; an application installed from
// the app store honours neither.
//
// Threads. Every member may be called from any thread. Console lines, sample updates and their
// saves run in call order on the private serial queue "APMMonitorQueue"; collection and
// clearing run synchronously on it and so must not be called from a block of that queue. The
// switches are atomics and the tag is guarded, so they may change while other threads log.
//
// Tests that reach the process's monitor (directly or through the code they test) run in a
// testsupport::Sandbox: the monitor keeps its sample and switches in the preferences folder.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "measurement/foundation/measurement_user_defaults.h"
#include "measurement/foundation/monitor_context.h"
#include "measurement/foundation/monitor_levels.h"
#include "measurement/foundation/monitoring_sampled_data.h"
#include "os/dispatch/dispatch.h"
#include "os/sync/mutex.h"
#include "platform/utilities/logger.h"

namespace measurement {

// The measurement library's version, part of every sample key.
inline constexpr int64_t kMeasurementLibraryVersion = 102800;

inline constexpr const char* kMonitorSuiteName = "com.vedodo.gmp.measurement.monitor";
inline constexpr const char* kDebugModeKey = "/vedodo/measurement/debug_mode";
inline constexpr const char* kVerboseLoggingKey = "/vedodo/measurement/verbose_logging";
inline constexpr const char* kHealthMonitorKey = "/vedodo/measurement/health_monitor";
inline constexpr const char* kMonitorMigrationStateKey =
    "/vedodo/measurement/monitor_migration_state";

class MonitorCapture;

class Monitor : public std::enable_shared_from_this<Monitor> {
  struct Private {};

 public:
  // A monitor at level 6 that has queued the migration and load of the stored sample and
  // applied the launch arguments and the switches stored in the application's own preferences.
  static std::shared_ptr<Monitor> create(int64_t libraryVersion);

  Monitor(Private, int64_t libraryVersion);
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // The central log call; see the header comment. Never fails.
  void logWithContexts(int64_t level, int64_t code, std::string_view message,
                       std::vector<MonitorContext> contexts);
  // The same with the contexts given one by one. A call that will be neither printed nor
  // sampled (a debug line outside debug mode) builds no context.
  template <typename... Contexts>
  void log(MonitorLevel level, int64_t code, std::string_view message, Contexts&&... contexts) {
    const auto number = static_cast<int64_t>(level);
    if (!capturing_.load(std::memory_order_relaxed) && !wantsLevel(number)) return;
    logWithContexts(
        number, code, message,
        std::vector<MonitorContext>{makeMonitorContext(std::forward<Contexts>(contexts))...});
  }

  bool isDebugModeEnabled() const { return debugModeEnabled_.load(); }
  bool isVerboseLoggingEnabled() const { return verboseLoggingEnabled_.load(); }
  // Turns debug mode on (level 7, console level 7, stored YES, "Debug mode is on") or off
  // (level 6, console level 5, stored value removed, "Debug mode is off"); always off for an
  // application installed from the app store.
  void setDebugModeEnabled(bool enabled);
  // Turns verbose logging on (level 8, console level 7, stored YES) or off (level 7 or 6 by
  // debug mode, and its console level; stored value removed); always off for an application
  // installed from the app store.
  void setVerboseLoggingEnabled(bool enabled);

  int64_t logLevel() const { return logLevel_.load(); }
  void setLogLevel(int64_t level) { logLevel_.store(level); }
  // Whether console lines show contexts in their encoded form.
  bool encodeContexts() const { return encodeContexts_.load(); }
  void setEncodeContexts(bool encode) { encodeContexts_.store(encode); }
  std::string logTag() const;
  void setLogTag(std::string tag);

  // The sample as upload text when it is due (see MonitoringSampledData), after which the
  // sample is gone from memory and from the suite; std::nullopt when nothing is due.
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                       double lastSampledTimestamp);
  // Removes the stored debug switch and every stored sample, and drops the sample in memory.
  // The debug-mode flag itself stays.
  void clearMonitoringData();

  // Returns after every block queued on the monitor queue before the call has run (so a test
  // can look at the console and the suite).
  void drain();

 private:
  friend class MonitorCapture;

  // Whether a call of `level` can be printed or sampled at all. Inline: a filtered-out call
  // costs a few comparisons and the logger's level check.
  bool wantsLevel(int64_t level) const {
    if (!isMonitorableLevel(level) && !isLoggableLevel(level)) return false;
    return level < 8 || verboseLoggingEnabled_.load(std::memory_order_relaxed);
  }
  static bool isLoggableLevel(int64_t level) {
    return !isSilentLevel(level) && VDULevelIsLoggable(loggerLevelFromLogLevel(level));
  }
  void applyLaunchArgumentsAndStoredSwitches();
  void logToConsole(int64_t level, int64_t code, std::string text);
  void offerToSample(int64_t level, std::string_view message,
                     const std::vector<MonitorContext>& contexts);
  void migrateMonitorDataOnMonitorQueue();
  void loadMonitoringDataOnMonitorQueue();
  void saveMonitoringDataOnMonitorQueue();
  // Queues `block` on the monitor queue, to run only while the monitor is alive.
  void asyncOnMonitorQueue(std::function<void(Monitor&)> block);

  const int64_t libraryVersion_;
  MeasurementUserDefaults monitorDefaults_;
  const std::shared_ptr<os::DispatchQueue> queue_;
  // Touched on queue_ only.
  MonitoringSampledData sampledData_;
  // Offers queued and not yet taken into the sample.
  std::atomic<int64_t> pendingSampleOffers_{0};

  std::atomic<int64_t> logLevel_{6};
  // The application core owns the console logger's level when started with its debug flags.
  std::atomic<bool> deferToCoreLogger_{false};
  std::atomic<bool> debugModeEnabled_{false};
  std::atomic<bool> verboseLoggingEnabled_{false};
  std::atomic<bool> encodeContexts_{false};
  mutable os::Mutex tagMutex_;
  std::string logTag_ OS_GUARDED_BY(tagMutex_);

  std::atomic<bool> capturing_{false};
  os::Mutex captureMutex_;
  MonitorCapture* capture_ OS_GUARDED_BY(captureMutex_) = nullptr;
};

// The process's monitor, created on first use for kMeasurementLibraryVersion over the
// application's own preferences; never destroyed.
Monitor& monitor();

}  // namespace measurement
