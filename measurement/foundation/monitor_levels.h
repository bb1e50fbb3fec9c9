// The monitor's log levels and the texts it derives from a log call.
//
// A level is 0 to 8. In each of the error (0-2) and warning (3-5) groups the first level is
// printed only, the second printed and sampled for health monitoring, the third sampled only;
// 6 is a notice, 7 debug, and 8 prints only while verbose logging is on. Any other level is
// silent and sampled.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "measurement/foundation/monitor_context.h"

namespace measurement {

// The level of a log call, named by what the monitor does with it: printed on the console,
// sampled for health monitoring, or both ("Silent": sampled, never printed).
enum class MonitorLevel : int64_t {
  kError = 0,           // printed
  kErrorSampled = 1,    // printed and sampled
  kErrorSilent = 2,     // sampled
  kWarning = 3,         // printed
  kWarningSampled = 4,  // printed and sampled
  kWarningSilent = 5,   // sampled
  kNotice = 6,          // printed
  kDebug = 7,           // printed in debug mode
  kVerbose = 8,         // printed while verbose logging is on
};

// Never printed: 2, 5 and every level outside 0-8.
constexpr bool isSilentLevel(int64_t level) {
  return level < 0 || level > 8 || level == 2 || level == 5;
}
// Sampled for health monitoring: 1, 2, 4, 5 and every level outside 0-8.
constexpr bool isMonitorableLevel(int64_t level) {
  return level < 0 || level > 8 || level == 1 || level == 2 || level == 4 || level == 5;
}
// "ERROR" (0-2), "WARNING" (3-5), "NOTICE" (6), "DEBUG" (7); "" for the others.
std::string_view logLevelDescriptionFromLogLevel(int64_t level);
// The console logger's level: 0-2 give 3, 3-5 give 4, 6 gives 5, 7 and 8 give 7, others 4.
constexpr int64_t loggerLevelFromLogLevel(int64_t level) {
  if (level >= 0 && level <= 2) return 3;
  if (level == 6) return 5;
  if (level == 7 || level == 8) return 7;
  return 4;
}

// "1", the level's letter (E, W, else ?), "_", the library version, ":" and the message:
// "1W_80100:Upload failed".
std::string monitoringDataKeyWithMessage(std::string_view message, int64_t level,
                                         int64_t libraryVersion);

// The console text of a log call: the message ("(Message was empty)" for an empty one) and, with
// contexts, ": " and the contexts joined by ", ", encoded or each as its console form.
std::string stringWithLogMessage(std::string_view message, std::span<const MonitorContext> contexts,
                                 bool encodeContexts);

}  // namespace measurement
