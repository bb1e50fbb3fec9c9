// The conditional-user-property processing that runs before every event is written, through
// the comparison harness: 1000 events processed (time-outs, expiry and triggers, in one
// transaction per event) with 0 and 100 stored properties waiting for another event, against
// the raw insert of the same 1000 events, one transaction each, on the same database.
//
//   measurement_cup_bench [--runs=N] [--filter=TEXT]
#include <cstdio>
#include <string>

#include "bench/harness.h"
#include "measurement/cup/conditional_user_property_controller.h"
#include "measurement/database/database.h"
#include "os/process/clock.h"
#include "testsupport/sandbox.h"

namespace {

using measurement::ConditionalUserProperty;
using measurement::Database;
using measurement::Event;

constexpr int kEventsPerRun = 1000;

// The engine as the controller sees it: always enabled, writing nothing.
class QuietEngine : public measurement::ConditionalUserPropertyEngine {
 public:
  QuietEngine() {
    scheduler_.dispatchSyncOnWorkerQueue("QuietEngine:1", [&] {
      database_ = Database::open(measurement::kMeasurementDatabaseName, nullptr, nullptr,
                                 scheduler_.workerQueue());
    });
  }
  ~QuietEngine() override {
    scheduler_.dispatchSyncOnWorkerQueue("QuietEngine:2", [&] { database_.reset(); });
  }
  bool isEnabled() const override { return true; }
  Database* database() override { return database_.get(); }
  measurement::Scheduler& scheduler() override { return scheduler_; }
  void writeEventOnWorkerQueue(const Event&) override {}
  void writeFilteredEventOnWorkerQueue(const Event&) override {}

 private:
  measurement::Scheduler scheduler_{measurement::kWorkerQueueLabel};
  std::unique_ptr<Database> database_;
};

}  // namespace

int main(int argc, char** argv) {
  auto harness = bench::Harness::fromArguments(argc, argv, {});
  if (!harness) return 1;
  testsupport::Sandbox sandbox;
  os::clock::ScopedFakeClock clock(1765400000);
  auto engine = std::make_shared<QuietEngine>();
  if (!engine->database()) {
    std::fprintf(stderr, "measurement_cup_bench: no database\n");
    return 1;
  }
  auto controller = measurement::ConditionalUserPropertyController::create(engine);
  auto onWorker = [&](const std::function<bool()>& work) {
    bool ok = false;
    engine->scheduler().dispatchSyncOnWorkerQueue("measurement_cup_bench:1", [&] { ok = work(); });
    return ok;
  };
  const Event event = *Event::initWithOrigin("app", true, "level_up", 1765400000, 0, {});

  for (int waiting : {0, 100}) {
    harness->compare({
        .path = "process 1000 events, " + std::to_string(waiting) + " properties waiting",
        .ours = {"ConditionalUserPropertyController::processEventOnWorkerQueue",
                 {},
                 [&] {
                   return onWorker([&] {
                     bool ok = true;
                     for (int i = 0; i < kEventsPerRun; ++i) {
                       ok &= controller->processEventOnWorkerQueue(&event).has_value();
                     }
                     return ok;
                   });
                 }},
        .reference = {"Database::insertRawEvent, one transaction each",
                      {},
                      [&] {
                        return onWorker([&] {
                          Database* database = engine->database();
                          bool ok = true;
                          for (int i = 0; i < kEventsPerRun; ++i) {
                            ok &= database->performTransaction(
                                [&] { return database->insertRawEvent(event, 1, false, nullptr); });
                          }
                          return ok;
                        });
                      }},
        .prepare =
            [&] {
              return onWorker([&] {
                Database* database = engine->database();
                bool ok = database->deleteRawEventsWithMaxRowID(INT64_MAX, nullptr);
                for (int i = 0; i < waiting; ++i) {
                  ConditionalUserProperty property;
                  property.setName("waiting" + std::to_string(i));
                  property.setOrigin("app");
                  property.setValue(measurement::Value(std::string("gold")));
                  property.setTriggerEventName("purchase");
                  property.setTriggerTimeout(3600);
                  property.setTimeToLive(86400);
                  property.setCreationTimestamp(clock.now());
                  ok &= database->updateConditionalUserProperty(property, nullptr);
                }
                return ok;
              });
            },
    });
  }
  harness->printTable();
  return 0;
}
