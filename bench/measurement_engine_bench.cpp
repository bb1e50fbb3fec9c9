// The engine's road of an event beside plain SQLite, through the comparison harness: 1000 public
// events per run through handleEventOnWorkerQueue (sessions, editing, the blocklist, one write
// transaction each with daily limits, metadata and the cap on stored events), with 0, 10,000 and
// 100,000 raw events already stored, against one prepared INSERT per event in autocommit on the
// same file (write-ahead log) into a twin of raw_events holding as many rows.
//
//   measurement_engine_bench [--runs=N] [--filter=TEXT]
#include <sqlite3.h>

#include <cstdio>
#include <future>
#include <memory>
#include <string>

#include "bench/harness.h"
#include "measurement/database/raw_event_message.h"
#include "measurement/engine/measurement.h"
#include "measurement/foundation/persisted_config.h"
#include "measurement/foundation/scheduler.h"
#include "measurement/foundation/storage_paths.h"
#include "testsupport/sandbox.h"

namespace {

using measurement::Event;

constexpr int kEventsPerRun = 1000;
constexpr const char* kReferenceTable = "reference_events";

void execute(sqlite3* db, const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    std::fprintf(stderr, "measurement_engine_bench: %s: %s\n", sql.c_str(), message ? message : "");
  }
  sqlite3_free(message);
}

// Leaves exactly `stored` rows in `table`.
void refill(sqlite3* db, const std::string& table, int stored) {
  execute(db, "DELETE FROM " + table +
                  "; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                  std::to_string(stored) + ") INSERT INTO " + table +
                  " (name, timestamp, metadata_fingerprint, data, is_realtime) SELECT '_e', "
                  "1765400000, 1, x'0a0412025f6f', 0 FROM n WHERE " +
                  std::to_string(stored) + " > 0");
}

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
  sqlite3* raw = nullptr;
  sqlite3_open(path.c_str(), &raw);
  sqlite3_busy_timeout(raw, 5000);
  execute(raw, std::string("CREATE TABLE IF NOT EXISTS ") + kReferenceTable +
                   " (name TEXT NOT NULL, timestamp REAL NOT NULL, metadata_fingerprint INTEGER "
                   "NOT NULL, data BLOB NOT NULL, is_realtime INTEGER)");
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
                      [&] {
                        sqlite3_stmt* insert = nullptr;
                        const std::string sql =
                            std::string("INSERT INTO ") + kReferenceTable +
                            " (name, timestamp, metadata_fingerprint, data, is_realtime) VALUES "
                            "(?, ?, ?, ?, ?)";
                        sqlite3_prepare_v2(raw, sql.c_str(), -1, &insert, nullptr);
                        bool ok = insert != nullptr;
                        for (int i = 0; ok && i < kEventsPerRun; ++i) {
                          sqlite3_bind_text(insert, 1, "level_up", -1, SQLITE_STATIC);
                          sqlite3_bind_double(insert, 2, 1765400000);
                          sqlite3_bind_int64(insert, 3, 1);
                          sqlite3_bind_blob(insert, 4, data.data(), static_cast<int>(data.size()),
                                            SQLITE_STATIC);
                          sqlite3_bind_int(insert, 5, 0);
                          ok = sqlite3_step(insert) == SQLITE_DONE;
                          sqlite3_reset(insert);
                        }
                        sqlite3_finalize(insert);
                        return ok;
                      }},
        .prepare =
            [&] {
              bool ok = true;
              onWorker([&] {
                refill(raw, "raw_events", stored);
                refill(raw, kReferenceTable, stored);
                // Rows written behind the database's back are counted anew at its next use:
                // the cap does it here, untimed, as a running engine would have long before.
                ok = engine->database()->deleteRawEventsOverAbsoluteLimit(nullptr).has_value();
              });
              return ok;
            },
    });
  }
  sqlite3_close(raw);
  harness->printTable();
  return 0;
}
