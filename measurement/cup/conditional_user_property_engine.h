// ConditionalUserPropertyEngine: what the conditional-user-property controller needs from the
// measurement engine: its enabled switch, its database and worker queue, and its two ways of
// writing an event. The engine implements it; tests give a recording fake.
//
//   class Engine : public ConditionalUserPropertyEngine { ... };
//   auto engine = std::make_shared<Engine>();
//   auto controller = ConditionalUserPropertyController::create(engine);
#pragma once

#include "measurement/database/database.h"
#include "measurement/foundation/scheduler.h"
#include "measurement/model/event.h"

namespace measurement {

class ConditionalUserPropertyEngine {
 public:
  virtual ~ConditionalUserPropertyEngine() = default;

  // Whether measurement collection is enabled. Any thread.
  virtual bool isEnabled() const = 0;
  // The engine's database, used on the worker queue only; null while none is open.
  virtual Database* database() = 0;
  // The scheduler of the engine's worker queue; lives as long as the engine.
  virtual Scheduler& scheduler() = 0;

  // Worker queue only. Processes conditional user properties for `event`
  // (ConditionalUserPropertyController::processEventOnWorkerQueue), then writes `event` and the
  // events that processing answered through writeFilteredEventOnWorkerQueue.
  virtual void writeEventOnWorkerQueue(const Event& event) = 0;
  // Worker queue only. Writes `event` without processing conditional user properties.
  virtual void writeFilteredEventOnWorkerQueue(const Event& event) = 0;
};

}  // namespace measurement
