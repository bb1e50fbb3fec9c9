// Console and system-log lines: the host's replacement for the platform's console logging
// and system log. Each line goes to standard error, prefixed like the platform's console lines
// ("2026-12-10 12:24:39.123 program[pid:tid] message"), and to syslog(3) at the matching level.
//
//   os::log::write(os::log::Level::Warning, "could not open the cache");
//   os::log::console("plain console line");   // Level::Notice
//
// Tests capture lines instead of printing them:
//
//   os::log::Capture capture;
//   codeThatLogs();
//   EXPECT_TRUE(capture.contains("could not open"));
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "os/sync/mutex.h"

namespace os::log {

// The system log's levels.
enum class Level { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

// Writes one line at `level`. Thread-safe; lines from different threads never interleave.
void write(Level level, std::string_view message);
// A plain console line (Level::Notice).
void console(std::string_view message);
// The time stamp a console line written now starts with ("2026-12-10 12:24:39.123", local
// time). Stamps of this form sort as the moments they name.
std::string timestampNow();

struct Line {
  Level level;
  std::string message;
};

// While a Capture is alive, lines are recorded by it instead of being printed or sent to the
// system log. Captures nest: the innermost one records.
class Capture {
 public:
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  std::vector<Line> lines() const;
  // True when a recorded line contains `text`.
  bool contains(std::string_view text) const;

 private:
  friend void write(Level, std::string_view);
  void record(Level level, std::string_view message);

  mutable os::Mutex mutex_;
  std::vector<Line> lines_ OS_GUARDED_BY(mutex_);
  Capture* previous_;
};

}  // namespace os::log
