#include "core/logger.h"

#include "os/dispatch/dispatch.h"
#include "os/process/process.h"
#include "platform/utilities/user_defaults.h"

namespace {

std::atomic<bool> gAnalyticsDebugFlag{false};

bool isForced(std::string_view service) {
  return gAnalyticsDebugFlag.load(std::memory_order_relaxed) && service == kRVOLoggerAnalytics;
}

}  // namespace

const std::string& RVOSDKVersionString() {
  static const std::string version = "10.29.0";
  return version;
}

void RVOLoggerSetUpOnce() {
  static os::DispatchOnce once;
  once([] {
    VDULoggerSetVersion(RVOSDKVersionString());
    const bool forceStderr = os::process::hasArgument("-RVOLoggerForceSTDERR");
    VDUUserDefaults& defaults = VDUUserDefaults::standardUserDefaults();
    bool debugMode = false;
    if (os::process::hasArgument("-RVODebugDisabled")) {
      defaults.removeObjectForKey(kRVODebugModeDefaultsKey);
    } else if (os::process::hasArgument("-RVODebugEnabled") ||
               defaults.boolForKey(kRVODebugModeDefaultsKey)) {
      defaults.setBool(true, kRVODebugModeDefaultsKey);
      debugMode = true;
    }
    VDULoggerSetUpASL();
    if (forceStderr) VDULoggerAddStderr();
    if (debugMode) VDULoggerForceDebugLevel();
  });
}

void RVOSetMaxLoggerLevel(VDULoggerLevel level) {
  RVOLoggerSetUpOnce();
  VDUSetMaxLoggerLevel(level);
}

VDULoggerLevel RVOCurrentLoggerLevel() { return VDUCurrentLoggerLevel(); }

bool RVOLevelIsLoggable(VDULoggerLevel level, bool analyticsComponent) {
  RVOLoggerSetUpOnce();
  if (analyticsComponent && gAnalyticsDebugFlag.load(std::memory_order_relaxed)) return true;
  return VDULevelIsLoggable(level);
}

void RVOSetAnalyticsDebugFlag(bool analyticsDebugFlag) {
  gAnalyticsDebugFlag.store(analyticsDebugFlag, std::memory_order_relaxed);
}

void RVOLogWithLevel(VDULoggerLevel level, std::string_view service, std::string_view messageCode,
                     std::string_view message, const os::Array* arguments) {
  RVOLoggerSetUpOnce();
  VDULogWithLevel(level, service, isForced(service), messageCode, message, arguments);
}

namespace rvo_logger_internal {

bool passes(VDULoggerLevel level, std::string_view service) {
  RVOLoggerSetUpOnce();
  return isForced(service) || VDULevelIsLoggable(level);
}

}  // namespace rvo_logger_internal
