// The log of the application core and the installation client: thin functions over the platform
// logger (platform/utilities/logger.h) that set it up once per process and add the level-named
// entry points the core calls.
//
//   RVOLogAtError(kRVOLoggerCore, "I-COR000004", "App with name %@ does not exist.", name);
//   // "10.29.0 - [RiveravoCore][I-COR000004] App with name x does not exist." at level 3
//
// The set-up runs at the first log call or level change:
//  - the platform logger gets the SDK version as its line head;
//  - "-RVOLoggerForceSTDERR" among the launch arguments adds standard error as an output;
//  - "-RVODebugDisabled" removes the stored debug switch ("/vedodo/riveravo/debug_mode" in the
//    standard user defaults) and leaves debug mode off; otherwise "-RVODebugEnabled", or a stored
//    switch that is on, stores the switch and turns debug mode on (every level is logged). So a
//    launch with "-RVODebugEnabled" keeps debug logging on for later launches until one with
//    "-RVODebugDisabled".
//
// With the analytics debug flag set, lines of kRVOLoggerAnalytics are written whatever their
// level. Every function may be called from any thread.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "os/value/value.h"
#include "platform/utilities/logger.h"

// Service tags.
inline constexpr const char* kRVOLoggerCore = "[RiveravoCore]";
inline constexpr const char* kRVOLoggerInstallations = "[RiveravoInstallations]";
inline constexpr const char* kRVOLoggerAnalytics = "[RiveravoAnalytics]";

// The persisted debug switch.
inline constexpr const char* kRVODebugModeDefaultsKey = "/vedodo/riveravo/debug_mode";

// The SDK version: the head of every line, the user agent's "rvo-ios" and the base of the
// library version identifier.
const std::string& RVOSDKVersionString();

// Sets the platform logger up as described above, once per process.
void RVOLoggerSetUpOnce();

// The platform logger's maximum level (3 to 7; others are refused and logged).
void RVOSetMaxLoggerLevel(VDULoggerLevel level);
VDULoggerLevel RVOCurrentLoggerLevel();

// Whether a line of `level` would be written; `analyticsComponent` lines always are while the
// analytics debug flag is set.
bool RVOLevelIsLoggable(VDULoggerLevel level, bool analyticsComponent);

void RVOSetAnalyticsDebugFlag(bool analyticsDebugFlag);

// Writes one line through the platform logger, forced when the analytics debug flag is set and
// `service` is kRVOLoggerAnalytics. `arguments` null: `message` is written as it stands; else
// it is a format filled from them (os::formatPrintf).
void RVOLogWithLevel(VDULoggerLevel level, std::string_view service, std::string_view messageCode,
                     std::string_view message, const os::Array* arguments);

namespace rvo_logger_internal {

// Whether a line passes before anything is formatted for it.
bool passes(VDULoggerLevel level, std::string_view service);

template <typename... Args>
void logFormat(VDULoggerLevel level, std::string_view service, std::string_view messageCode,
               std::string_view format, const Args&... args) {
  if (!passes(level, service)) return;
  const os::Array arguments{os::Value(args)...};
  RVOLogWithLevel(level, service, messageCode, format, &arguments);
}

}  // namespace rvo_logger_internal

// RVOLogWithLevel at 3, 4, 5, 6 and 7, the message always read as a format of `args`. A line
// that does not pass costs no formatting.
template <typename... Args>
void RVOLogAtError(std::string_view service, std::string_view code, std::string_view format,
                   const Args&... args) {
  rvo_logger_internal::logFormat(kVDULoggerLevelError, service, code, format, args...);
}
template <typename... Args>
void RVOLogAtWarning(std::string_view service, std::string_view code, std::string_view format,
                     const Args&... args) {
  rvo_logger_internal::logFormat(kVDULoggerLevelWarning, service, code, format, args...);
}
template <typename... Args>
void RVOLogAtNotice(std::string_view service, std::string_view code, std::string_view format,
                    const Args&... args) {
  rvo_logger_internal::logFormat(kVDULoggerLevelNotice, service, code, format, args...);
}
template <typename... Args>
void RVOLogAtInfo(std::string_view service, std::string_view code, std::string_view format,
                  const Args&... args) {
  rvo_logger_internal::logFormat(kVDULoggerLevelInfo, service, code, format, args...);
}
template <typename... Args>
void RVOLogAtDebug(std::string_view service, std::string_view code, std::string_view format,
                   const Args&... args) {
  rvo_logger_internal::logFormat(kVDULoggerLevelDebug, service, code, format, args...);
}

class RVOLoggerWrapper {
 public:
  // RVOLogWithLevel with the arguments given (null: the message as it stands).
  static void logWithLevel(VDULoggerLevel level, std::string_view service, std::string_view code,
                           std::string_view message, const os::Array* arguments) {
    RVOLogWithLevel(level, service, code, message, arguments);
  }
  // The message as it stands, never read as a format.
  static void logWithLevel(VDULoggerLevel level, std::string_view service, std::string_view code,
                           std::string_view message) {
    RVOLogWithLevel(level, service, code, message, nullptr);
  }
};
