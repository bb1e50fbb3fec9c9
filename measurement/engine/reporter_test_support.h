// For the reporters' tests: a sandbox with a fake clock, fresh shared screen-view and
// ad-exposure reporters, the reporters' events recorded instead of reaching the facade, and the
// monitor's lines captured.
//
//   class SessionReporterTest : public ReporterTest {};
//   TEST_F(SessionReporterTest, ...) {
//     activate();
//     clock_.advance(2);
//     ...
//     EXPECT_EQ(eventsNamed("_e").size(), 1u);
//   }
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "measurement/engine/ad_exposure_reporter.h"
#include "measurement/engine/reporter_events.h"
#include "measurement/engine/screen_view_reporter.h"
#include "measurement/foundation/monitor_capture.h"
#include "measurement/foundation/test_support.h"
#include "measurement/foundation/value.h"
#include "os/process/clock.h"

namespace measurement {

inline void PrintTo(const Value& value, std::ostream* out) { *out << value.description(); }

class ReporterTest : public testing::Test {
 protected:
  // Wall clock and uptime both start at fixed points and move only when the test moves them.
  static constexpr double kStartTime = 1700000000.25;
  static constexpr double kStartUptime = 5000;
  static constexpr double kDeadline = 30;

  ReporterTest() {
    APMScreenViewReporter::resetForTesting();
    APMAdExposureReporter::resetForTesting();
  }
  ~ReporterTest() override {
    APMScreenViewReporter::resetForTesting();
    APMAdExposureReporter::resetForTesting();
  }

  // The application becomes active, as its notification tells the screen-view reporter.
  static void activate() {
    os::NotificationCenter::defaultCenter().post(os::kApplicationDidBecomeActiveNotification);
  }

  std::vector<APMReportedEvent> eventsNamed(const std::string& name) const {
    std::vector<APMReportedEvent> found;
    for (APMReportedEvent& event : observer_.events()) {
      if (event.name == name) found.push_back(std::move(event));
    }
    return found;
  }
  // The codes of the monitor lines, in order.
  std::vector<int64_t> codes() const {
    std::vector<int64_t> found;
    for (const MonitorRecord& record : capture_.records()) found.push_back(record.code);
    return found;
  }

  PreferencesSandbox sandbox_;
  os::clock::ScopedFakeClock clock_{kStartTime, kStartUptime};
  ScopedReporterObserver observer_;
  MonitorCapture capture_;
};

}  // namespace measurement
