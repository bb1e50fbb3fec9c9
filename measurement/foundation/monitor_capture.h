// For tests: records every log call a monitor receives, whether or not it is printed or
// sampled, so that a test can check what a component reported.
//
//   measurement::MonitorCapture capture;                 // on measurement::monitor()
//   validator.isValidPublicEventName("ga_x", &failure);
//   EXPECT_TRUE(capture.contains(13007));
//
// Not nestable on one monitor. Thread-safe: calls from any thread are recorded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "measurement/foundation/monitor.h"
#include "os/sync/mutex.h"

namespace measurement {

struct MonitorRecord {
  int64_t level;
  int64_t code;
  std::string message;
  std::vector<MonitorContext> contexts;
};

class MonitorCapture {
 public:
  explicit MonitorCapture(Monitor& monitor = measurement::monitor());
  ~MonitorCapture();
  MonitorCapture(const MonitorCapture&) = delete;
  MonitorCapture& operator=(const MonitorCapture&) = delete;

  std::vector<MonitorRecord> records() const;
  // Whether a call with `code` was recorded.
  bool contains(int64_t code) const;

 private:
  friend class Monitor;
  void record(MonitorRecord record);

  Monitor& monitor_;
  mutable os::Mutex mutex_;
  std::vector<MonitorRecord> records_ OS_GUARDED_BY(mutex_);
};

}  // namespace measurement
