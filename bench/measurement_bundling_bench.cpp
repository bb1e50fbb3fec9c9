// Bundling raw events into upload bundles beside plain SQLite, through the comparison harness:
// 10,000 raw events of one metadata fingerprint turned into queued bundles by the engine's
// bundleRawEvents, one transaction per group (at most 1000 events or 64 KB), against reading the
// same rows' blobs 1000 at a time and deleting them, one transaction per 1000, from a twin table
// in the same file. Both sides are refilled, untimed, before every run.
//
//   measurement_bundling_bench [--runs=N] [--filter=TEXT]
#include <sqlite3.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "bench/harness.h"
#include "measurement/engine/measurement.h"
#include "measurement/foundation/data_extensions.h"
#include "measurement/foundation/persisted_config.h"
#include "measurement/privacy/identifiers.h"
#include "measurement/privacy/identity.h"
#include "os/process/clock.h"
#include "testsupport/sandbox.h"

namespace {

constexpr int kEvents = 10000;
constexpr int kGroup = 1000;
constexpr const char* kAppID = "1:1:macos:bench";
constexpr const char* kReferenceTable = "reference_events";

void execute(sqlite3* db, const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    std::fprintf(stderr, "measurement_bundling_bench: %s: %s\n", sql.c_str(),
                 message ? message : "");
  }
  sqlite3_free(message);
}

void onWorkerQueue(APMMeasurement& engine, const std::function<void()>& block) {
  engine.scheduler().dispatchSyncOnWorkerQueue("APMMeasurementBench:1", block);
}

// The engine's raw events: kEvents of one fingerprint within one clock hour.
bool fillRawEvents(measurement::Database& database) {
  APMPBMeasurementBundle metadata;
  APMPBSetString(metadata, kMeasurementBundle_app_id, kAppID);
  const int64_t fingerprint = measurement::apm_64LSBMD5(*metadata.protoBuffer());
  double start = std::floor(os::clock::now() / 3600) * 3600 - 3600;
  return database.performTransaction([&] {
    os::Error error;
    if (!database.insertIfNotExistsRawEventMetadata(metadata, &error)) return false;
    for (int i = 0; i < kEvents; ++i) {
      auto event = measurement::Event::initWithOrigin(
          "app", true, "level_up", start + i * 0.01, 0,
          measurement::rawParameters(os::Dictionary{{"level", i}, {"mode", "hard"}}));
      if (!event || !database.insertRawEvent(*event, fingerprint, false, &error)) return false;
    }
    return true;
  });
}

}  // namespace

int main(int argc, char** argv) {
  auto harness = bench::Harness::fromArguments(argc, argv, {});
  if (!harness) return 1;
  testsupport::Sandbox sandbox;
  measurement::Identifiers::sharedInstance().setOrigin("fa");
  measurement::Identity::sharedInstance()->setAppIDFromGMP(kAppID);
  APMMeasurement::Parts parts;
  parts.persistedConfig = measurement::PersistedConfig::sharedInstance();
  parts.scheduler = std::make_shared<measurement::Scheduler>(measurement::kWorkerQueueLabel);
  parts.appID = kAppID;
  parts.isAnalyticsCollectionEnabled = true;
  std::shared_ptr<APMMeasurement> engine = APMMeasurement::createWithParts(std::move(parts));
  std::string path;
  onWorkerQueue(*engine, [&] {
    if (engine->database()) path = engine->database()->databasePath();
  });
  if (path.empty()) {
    std::fprintf(stderr, "measurement_bundling_bench: the engine did not start\n");
    return 1;
  }
  sqlite3* raw = nullptr;
  sqlite3_open(path.c_str(), &raw);
  sqlite3_busy_timeout(raw, 5000);
  execute(raw, std::string("CREATE TABLE IF NOT EXISTS ") + kReferenceTable +
                   " (name TEXT NOT NULL, timestamp REAL NOT NULL, metadata_fingerprint INTEGER "
                   "NOT NULL, data BLOB NOT NULL, is_realtime INTEGER)");

  harness->compare({
      .path = "bundle " + std::to_string(kEvents) + " raw events",
      .ours = {"APMMeasurement::bundleRawEvents",
               {},
               [&] {
                 bool emptied = false;
                 onWorkerQueue(*engine, [&] {
                   while (engine->bundleRawEvents()) {
                   }
                   emptied = engine->database()->isRawEventsTableEmpty(nullptr).value_or(false);
                 });
                 return emptied;
               }},
      .reference = {"SQLite SELECT + DELETE",
                    {},
                    [&] {
                      bool ok = true;
                      sqlite3_stmt* select = nullptr;
                      sqlite3_prepare_v2(raw,
                                         "SELECT rowid, data FROM reference_events ORDER BY "
                                         "rowid LIMIT 1000",
                                         -1, &select, nullptr);
                      for (int group = 0; group < kEvents / kGroup; ++group) {
                        execute(raw, "BEGIN EXCLUSIVE");
                        int64_t last = 0;
                        size_t bytes = 0;
                        while (sqlite3_step(select) == SQLITE_ROW) {
                          last = sqlite3_column_int64(select, 0);
                          bytes += static_cast<size_t>(sqlite3_column_bytes(select, 1));
                        }
                        sqlite3_reset(select);
                        ok &= bytes > 0;
                        execute(raw, "DELETE FROM reference_events WHERE rowid <= " +
                                         std::to_string(last));
                        execute(raw, "COMMIT");
                      }
                      sqlite3_finalize(select);
                      return ok;
                    }},
      .prepare =
          [&] {
            bool ok = false;
            onWorkerQueue(*engine, [&] {
              execute(raw, "DELETE FROM queue; DELETE FROM raw_events_metadata");
              ok = fillRawEvents(*engine->database());
            });
            execute(raw, std::string("DELETE FROM ") + kReferenceTable +
                             "; INSERT INTO reference_events SELECT name, timestamp, "
                             "metadata_fingerprint, data, is_realtime FROM raw_events");
            return ok;
          },
  });
  sqlite3_close(raw);
  harness->printTable();
  std::_Exit(0);
}
