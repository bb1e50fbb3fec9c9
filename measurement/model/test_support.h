// For the model's tests: a test whose code logs through the process's monitor waits at its end
// until the monitor queue has handled every line, so that no health sample is still being taken
// while the test program exits (the crypto library's random source is gone by then).
//
//   class EventTest : public MonitorDrainingTest {};
//   TEST_F(EventTest, ...) { ... }
#pragma once

#include <gtest/gtest.h>

#include "measurement/foundation/monitor.h"

namespace measurement {

class MonitorDrainingTest : public testing::Test {
 protected:
  ~MonitorDrainingTest() override { monitor().drain(); }
};

}  // namespace measurement
