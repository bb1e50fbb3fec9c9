// For the programs the engine's tests start: waiting until the facade and the engine have
// handled everything given to the facade before.
//
//   APMAnalytics::logEventWithName("level_up", parameters);
//   testsupport::waitForFacadeAndEngine();   // the event has reached the database
#pragma once

#include <future>
#include <memory>

#include "measurement/engine/analytics.h"
#include "measurement/engine/measurement.h"

namespace testsupport {

// Returns once everything the facade was given before has been handled by the engine: the
// operation queue, the facade's serial queue and the engine's worker queue in turn, each in the
// order it was given its blocks.
inline void waitForFacadeAndEngine() {
  std::promise<void> done;
  APMAnalytics::queueOperationWithBlock([&done] {
    APMAnalytics::dispatchAsyncOnSerialQueue([&done] {
      std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
      if (!engine) {
        done.set_value();
        return;
      }
      engine->scheduler().scheduleOnWorkerQueue("APMMeasurementTest:2",
                                                [&done] { done.set_value(); });
    });
  });
  done.get_future().wait();
}

}  // namespace testsupport
