// The diagnostic log of the platform utilities, the application core and the measurement code:
// one line per call, "<version> - <service>[<code>] <message>", to the system log under the
// identity "com.vedodo.utilities.logger" (and to standard error when asked).
//
//   VDULoggerSetVersion("10.29.0");
//   VDULogAtWarning("[VDUNetwork]", /*forced=*/false, "I-NET000003", "Retry %ld of %@", 2, host);
//   // " 10.29.0 - [VDUNetwork][I-NET000003] Retry 2 of example.test" at level 4
//
// Levels are the system log's: 3 error, 4 warning, 5 notice, 6 info, 7 debug. A line passes when
// it is forced, when its level is at most the maximum level (5 until changed), or in debug mode
// (VDULoggerForceDebugLevel, never cleared). A line that does not pass costs no formatting. The
// message is a C-style format filled by os::formatPrintf: a conversion with no argument for it
// stays as written, so a text holding "%" can never read arguments that were not passed.
//
// Lines are formatted on the caller's thread and written from the serial queue
// "VDULoggingClientQueue" (background priority), so lines of one thread keep their order and a
// caller never waits for the system log. The system-log client has a level filter of its own
// (levels 0 through the maximum): a forced line above the maximum is handed to the client but
// the client drops it.
//
// Every function may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "os/sync/mutex.h"
#include "os/value/value.h"

using VDULoggerLevel = int64_t;

inline constexpr VDULoggerLevel kVDULoggerLevelError = 3;
inline constexpr VDULoggerLevel kVDULoggerLevelWarning = 4;
inline constexpr VDULoggerLevel kVDULoggerLevelNotice = 5;
inline constexpr VDULoggerLevel kVDULoggerLevelInfo = 6;
inline constexpr VDULoggerLevel kVDULoggerLevelDebug = 7;

// Opens the system-log client, sets the maximum level to 5 and creates the logging queue, once
// per process; later calls do nothing. The other functions run it themselves when needed.
void VDULoggerSetUpASL();

// Adds standard error as a further output of the client; 0 on success.
int VDULoggerAddStderr();

// Outside an app-store build: turns debug mode on (for good) and sets the maximum level to 7.
// In an app-store build it does nothing.
void VDULoggerForceDebugLevel();

// Sets the maximum level and the client's filter. A level outside 3..7 is refused with the error
// line "Invalid logger level, %ld" (code "I-COR000023") and changes nothing; an app-store build
// silently refuses levels 5 and above.
void VDUSetMaxLoggerLevel(VDULoggerLevel level);

VDULoggerLevel VDUCurrentLoggerLevel();

// True when a line of `level` would pass: level <= maximum, or debug mode.
bool VDULevelIsLoggable(VDULoggerLevel level);

// The version printed at the head of every line ("" until set).
void VDULoggerSetVersion(std::string version);

// The basic write. `arguments` null: `message` is printed as it stands; else it is a format
// filled from them.
void VDULogWithLevel(VDULoggerLevel level, std::string_view service, bool forced,
                     std::string_view messageCode, std::string_view message,
                     const os::Array* arguments);

namespace vdu_logger_internal {

struct CaptureAccess;
extern std::atomic<bool> gSetUp;
extern std::atomic<VDULoggerLevel> gMaxLevel;
extern std::atomic<bool> gDebugMode;

// Whether a line passes the level check; runs the set-up first when needed. Inline so that a
// line that does not pass costs a few loads and nothing else.
inline bool passes(VDULoggerLevel level, bool forced) {
  if (!gSetUp.load(std::memory_order_acquire)) VDULoggerSetUpASL();
  return forced || level <= gMaxLevel.load(std::memory_order_relaxed) ||
         gDebugMode.load(std::memory_order_relaxed);
}

template <typename... Args>
void logFormat(VDULoggerLevel level, std::string_view service, bool forced,
               std::string_view messageCode, std::string_view format, const Args&... args) {
  if (!passes(level, forced)) return;
  const os::Array arguments{os::Value(args)...};
  VDULogWithLevel(level, service, forced, messageCode, format, &arguments);
}

}  // namespace vdu_logger_internal

// VDULogWithLevel at 3, 4, 5, 6 and 7, with the message always read as a format of `args`
// (each anything os::Value is made from).
template <typename... Args>
void VDULogAtError(std::string_view service, bool forced, std::string_view messageCode,
                   std::string_view format, const Args&... args) {
  vdu_logger_internal::logFormat(kVDULoggerLevelError, service, forced, messageCode, format,
                                 args...);
}
template <typename... Args>
void VDULogAtWarning(std::string_view service, bool forced, std::string_view messageCode,
                     std::string_view format, const Args&... args) {
  vdu_logger_internal::logFormat(kVDULoggerLevelWarning, service, forced, messageCode, format,
                                 args...);
}
template <typename... Args>
void VDULogAtNotice(std::string_view service, bool forced, std::string_view messageCode,
                    std::string_view format, const Args&... args) {
  vdu_logger_internal::logFormat(kVDULoggerLevelNotice, service, forced, messageCode, format,
                                 args...);
}
template <typename... Args>
void VDULogAtInfo(std::string_view service, bool forced, std::string_view messageCode,
                  std::string_view format, const Args&... args) {
  vdu_logger_internal::logFormat(kVDULoggerLevelInfo, service, forced, messageCode, format,
                                 args...);
}
template <typename... Args>
void VDULogAtDebug(std::string_view service, bool forced, std::string_view messageCode,
                   std::string_view format, const Args&... args) {
  vdu_logger_internal::logFormat(kVDULoggerLevelDebug, service, forced, messageCode, format,
                                 args...);
}

class VDULoggerWrapper {
 public:
  // VDULogWithLevel, not forced. `arguments` null prints `message` unchanged.
  static void logWithLevel(VDULoggerLevel level, std::string_view service,
                           std::string_view messageCode, std::string_view message,
                           const os::Array* arguments) {
    VDULogWithLevel(level, service, false, messageCode, message, arguments);
  }
};

// One line as handed to the system-log client.
struct VDULoggedLine {
  VDULoggerLevel level;
  std::string text;
};

// For tests: while alive, the lines handed to the system-log client are recorded here instead of
// being written (the client's filter is not applied: filterMask() tells what it would let
// through). Not nestable.
//
//   VDULoggerCapture capture;
//   VDUSetMaxLoggerLevel(2);
//   EXPECT_TRUE(capture.contains("[VDULogger][I-COR000023] Invalid logger level, 2"));
class VDULoggerCapture {
 public:
  VDULoggerCapture();
  ~VDULoggerCapture();
  VDULoggerCapture(const VDULoggerCapture&) = delete;
  VDULoggerCapture& operator=(const VDULoggerCapture&) = delete;

  // The lines recorded so far, after every line queued before this call has been handled.
  std::vector<VDULoggedLine> lines() const;
  bool contains(std::string_view text) const;
  // The client's level filter, after every change queued before this call.
  uint32_t filterMask() const;

 private:
  friend struct vdu_logger_internal::CaptureAccess;
  mutable os::Mutex mutex_;
  std::vector<VDULoggedLine> lines_ OS_GUARDED_BY(mutex_);
};

// Back to the state right after the set-up: maximum level 5, debug mode off, empty version,
// filter 0x3F. For tests only; lines still queued are handled first.
void VDULoggerResetForTesting();
