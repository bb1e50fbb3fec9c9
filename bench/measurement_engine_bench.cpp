// The engine's road of an event beside plain SQLite, through the comparison harness: 1000 public
// events per run through handleEventOnWorkerQueue (sessions, editing, the blocklist, one write
// transaction each with daily limits, metadata and the cap on stored events), with 0, 10,000 and
// 100,000 raw events already stored, against one prepared INSERT per event in autocommit on the
// same file (write-ahead log) into a twin of raw_events holding as many rows.
//
//   measurement_engine_bench [--runs=N] [--filter=TEXT]

#include <cstdio>
#include <future>
#include <memory>
#include <string>

#include "bench/harness.h"
#include "bench/raw_event_reference.h"
#include "measurement/database/raw_event_message.h"
#include "measurement/engine/measurement.h"
#include "measurement/foundation/persisted_config.h"
#include "measurement/foundation/scheduler.h"
#include "measurement/foundation/storage_paths.h"
#include "testsupport/sandbox.h"

namespace {

using measurement::Event;

constexpr int kEventsPerRun = 1000;
}  // namespace

int main(int argc, char** argv) {
  auto harness = bench::Harness::fromArguments(argc, argv, {});
  if (!harness) return 1;
  testsupport::Sandbox sandbox;
  std::unique_ptr<measurement::PersistedConfig> config =
      measurement::PersistedConfig::create("com.example.bench");
  APMMeasurement::Parts parts;
  parts.persistedConfig = config.get();
  parts.scheduler = std::make_shared<measurement::Scheduler>(measurement::kWorkerQueueLabel);
  parts.appID = "1:123:macos:abc";
  parts.isAnalyticsCollectionEnabled = true;
  std::shared_ptr<APMMeasurement> engine = APMMeasurement::createWithParts(std::move(parts));
  // On the worker queue's own thread, as in the application: a block run synchronously from the
  // main thread would be reported (and its report stored) as worker code on the main thread.
  auto onWorker = [&](const std::function<void()>& block) {
    std::promise<void> done;
    engine->scheduler().scheduleOnWorkerQueue("MeasurementEngineBench:1", [&] {
      block();
      done.set_value();
    });
    done.get_future().wait();
  };
  onWorker([] {});
  if (!engine->database()) {
    std::fprintf(stderr, "measurement_engine_bench: the engine did not start\n");
    return 1;
  }
  // Many runs must not meet the daily limits: their refusals would be measured instead.
  onWorker([&] {
    auto settings = engine->remoteConfigInstance()->settings();
    settings->cacheValue("1000000", "measurement.upload.max_events_per_day");
    settings->cacheValue("1000000", "measurement.upload.max_public_events_per_day");
  });

  const std::string path = measurement::measurementDataPath(measurement::kMeasurementDatabaseName);
  bench::RawEventReference reference(path);
  const Event event = *Event::initWithOrigin(
      "app", true, "level_up", 1765400000, 0,
      measurement::rawParameters(os::Dictionary{{"level", 3}, {"mode", "hard"}}));
  const os::Data data = *measurement::rawEventMessageData(event);

  for (int stored : {0, 10000, 100000}) {
    harness->compare({
        .path = "handle 1000 events, " + std::to_string(stored) + " stored",
        .ours = {"handleEventOnWorkerQueue",
                 {},
                 [&] {
                   onWorker([&] {
                     for (int i = 0; i < kEventsPerRun; ++i)
                       engine->handleEventOnWorkerQueue(event);
                   });
                   return true;
                 }},
        .reference = {"prepared INSERT, autocommit",
                      {},
                      [&] { return reference.insert(kEventsPerRun, 1, data); }},
        .prepare =
            [&] {
              bool ok = true;
              onWorker([&] {
                reference.refill("raw_events", stored);
                reference.refill(bench::RawEventReference::kTable, stored);
                // Rows written behind the database's back are counted anew at its next use:
                // the cap does it here, untimed, as a running engine would have long before.
                ok = engine->database()->deleteRawEventsOverAbsoluteLimit(nullptr).has_value();
              });
              return ok;
            },
    });
  }
  harness->printTable();
  return 0;
}
