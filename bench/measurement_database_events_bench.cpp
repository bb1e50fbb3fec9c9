// The measurement database's hot paths beside plain SQLite and zlib, through the comparison
// harness:
//  - the engine's write of one event (metadata insert-if-absent, the cap on stored events, the
//    aggregate's read and upsert, the raw insert, in one transaction), 1000 events per run, with
//    0, 10,000 and 100,000 raw events already stored, against one prepared INSERT per event in
//    autocommit on the same file (write-ahead log, synchronous NORMAL) into a twin of raw_events
//    that holds as many rows, so that the reference's rows stay out of the database's count of
//    raw events;
//  - reading 100 queued bundles of about 64 KB for upload (query, inflate, parse), against
//    inflating the same 100 gzip streams with zlib alone.
//
//   measurement_database_events_bench [--runs=N] [--filter=TEXT]
#include <sqlite3.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/harness.h"
#include "bench/raw_event_reference.h"
#include "measurement/database/database.h"
#include "measurement/database/raw_event_message.h"
#include "measurement/foundation/data_extensions.h"
#include "measurement/foundation/persisted_config.h"
#include "measurement/foundation/storage_paths.h"
#include "measurement/wire/access.h"
#include "os/process/clock.h"
#include "testsupport/sandbox.h"

namespace {

using measurement::Database;
using measurement::Event;

constexpr int kEventsPerRun = 1000;

// Leaves exactly `stored` raw events (and no aggregates) in the file, and as many rows in the
// reference's table.
void refill(bench::RawEventReference& reference, int stored) {
  reference.execute("DELETE FROM events");
  reference.refill("raw_events", stored);
  reference.refill(bench::RawEventReference::kTable, stored);
}

}  // namespace

int main(int argc, char** argv) {
  auto harness = bench::Harness::fromArguments(argc, argv, {});
  if (!harness) return 1;
  testsupport::Sandbox sandbox;
  std::unique_ptr<measurement::PersistedConfig> config =
      measurement::PersistedConfig::create("com.example.bench");
  os::Error error;
  std::unique_ptr<Database> database =
      Database::open(measurement::kMeasurementDatabaseName, config.get(), &error);
  if (!database) {
    std::fprintf(stderr, "measurement_database_events_bench: %s\n", error.description.c_str());
    return 1;
  }
  const std::string path = measurement::measurementDataPath(measurement::kMeasurementDatabaseName);
  bench::RawEventReference reference(path);

  APMPBMeasurementBundle metadata;
  APMPBSetString(metadata, kMeasurementBundle_app_id, "1:123:ios:abc");
  const int64_t fingerprint = measurement::apm_64LSBMD5(*metadata.protoBuffer());
  const Event event = *Event::initWithOrigin(
      "app", true, "level_up", 1765400000, 0,
      measurement::rawParameters(os::Dictionary{{"level", 3}, {"mode", "hard"}}));
  const os::Data data = *measurement::rawEventMessageData(event);

  for (int stored : {0, 10000, 100000}) {
    harness->compare({
        .path = "write 1000 events, " + std::to_string(stored) + " stored",
        .ours = {"Database per-event write",
                 {},
                 [&] {
                   bool ok = true;
                   for (int i = 0; i < kEventsPerRun; ++i) {
                     ok &= database->performTransaction([&] {
                       os::Error failure;
                       if (!database->insertIfNotExistsRawEventMetadata(metadata, &failure) ||
                           !database->deleteRawEventsOverAbsoluteLimit(&failure)) {
                         return false;
                       }
                       auto found = database->eventAggregatesWithName(event.name(), &failure);
                       if (!found) return false;
                       std::optional<measurement::EventAggregates> tally =
                           *found ? **found
                                  : *measurement::EventAggregates::initWithName(
                                        event.name(), 0, 0, 0, event.timestamp());
                       tally->incrementLifetimeCount();
                       tally->incrementCurrentBundleCount();
                       tally->incrementCurrentSessionCount();
                       return database->updateEventAggregates(*tally, &failure) &&
                              database->insertRawEvent(event, fingerprint, false, &failure);
                     });
                   }
                   return ok;
                 }},
        .reference = {"prepared INSERT, autocommit",
                      {},
                      [&] { return reference.insert(kEventsPerRun, fingerprint, data); }},
        .prepare =
            [&] {
              refill(reference, stored);
              // Rows written behind the database's back are counted anew at its next use: the
              // cap does it here, untimed, as a running engine would have done long before.
              return database->deleteRawEventsOverAbsoluteLimit(nullptr).has_value();
            },
    });
  }

  // 100 bundles whose encodings are about 64 KB of mixed, compressible text.
  refill(reference, 0);
  reference.execute("DELETE FROM queue");
  std::vector<os::Data> streams;
  {
    os::clock::ScopedFakeClock clock(1765400000);
    config->setLastDeleteStaleBundlesTimestamp(1765400000);
    for (int b = 0; b < 100; ++b) {
      APMPBMeasurementBundle bundle;
      APMPBSetString(bundle, kMeasurementBundle_app_id, "1:123:ios:abc");
      APMPBSetInt64(bundle, kMeasurementBundle_end_timestamp_millis, 1765400000000);
      std::vector<APMPBEvent> events;
      for (int e = 0; e < 400; ++e) {
        APMPBEvent one = event.protoEvent();
        APMPBSetString(one, kEvent_name, "event_" + std::to_string((b * 400 + e) % 997));
        APMPBSetInt64(one, kEvent_timestamp_millis, 1765400000000 + b * 1000 + e);
        events.push_back(std::move(one));
      }
      APMPBSetArray(bundle, kMeasurementBundle_events, events);
      std::string padding;
      for (int i = 0; padding.size() < 40000; ++i) padding += std::to_string(i * 7919) + ",";
      APMPBSetString(bundle, kMeasurementBundle_gmp_app_id, padding);
      if (!database->insertBundle(bundle, false, &error)) {
        std::fprintf(stderr, "measurement_database_events_bench: %s\n", error.description.c_str());
        return 1;
      }
    }
  }
  sqlite3_stmt* select = nullptr;
  sqlite3_prepare_v2(reference.handle(), "SELECT data FROM queue ORDER BY rowid", -1, &select,
                     nullptr);
  while (sqlite3_step(select) == SQLITE_ROW) {
    const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(select, 0));
    streams.emplace_back(bytes, bytes + sqlite3_column_bytes(select, 0));
  }
  sqlite3_finalize(select);
  const size_t encodedSize =
      database->queryBundlesWithCountLimit(1, 1 << 30, nullptr)->at(0).bundle.protoBuffer()->size();

  harness->compare({
      .path = "read 100 queued bundles of " + std::to_string(encodedSize / 1024) + " KB",
      .ours = {"Database::queryBundlesWithCountLimit",
               {},
               [&] {
                 auto bundles = database->queryBundlesWithCountLimit(100, 1 << 30, nullptr);
                 return bundles && bundles->size() == 100;
               }},
      .reference = {"zlib inflate",
                    {},
                    [&] {
                      std::vector<uint8_t> out(encodedSize + 1024);
                      bool ok = streams.size() == 100;
                      for (const os::Data& stream : streams) {
                        z_stream z{};
                        inflateInit2(&z, 31);
                        z.next_in = const_cast<uint8_t*>(stream.data());
                        z.avail_in = static_cast<uInt>(stream.size());
                        z.next_out = out.data();
                        z.avail_out = static_cast<uInt>(out.size());
                        ok &= inflate(&z, Z_FINISH) == Z_STREAM_END;
                        inflateEnd(&z);
                      }
                      return ok;
                    }},
  });
  harness->printTable();
  return 0;
}
