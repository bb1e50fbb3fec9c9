// A program the database's tests start, so that a real second process holds the file or dies
// by SIGKILL in the middle of a write. It inherits the test's sandbox through the environment.
//
//   hold-exclusive <path>            BEGIN EXCLUSIVE on the file, "locked", then waits
//   open <name>                      opens the database: "opened", or "failed <sqlite code>"
//   insert <name> <count> committed|uncommitted
//                                    inserts <count> raw events in one transaction; "inserted"
//                                    and waits inside it, or "committed" and waits after it
//   rebuild <path>                   opens the store and ensures every table, waiting with
//                                    "copying" when the rebuild of raw_events starts its copy
//   stream <name> <max stored>       writes raw events until killed, one transaction each with
//                                    the cap before the insert, as the engine does, with the
//                                    other deletions between them; "wrote <n>" every 50 events
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "measurement/database/database.h"
#include "measurement/database/database_events_test_support.h"
#include "measurement/foundation/test_support.h"

namespace {

[[noreturn]] void announceAndWait(const char* line) {
  std::printf("%s\n", line);
  std::fflush(stdout);
  for (;;) pause();
}

int holdExclusive(const char* path) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path, &db) != SQLITE_OK) return 2;
  if (sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK) return 3;
  announceAndWait("locked");
}

int open(const char* name) {
  os::Error error;
  auto database = measurement::Database::open(name, nullptr, &error);
  if (database) {
    std::printf("opened\n");
  } else {
    std::printf("failed %d\n", measurement::sqliteResultCode(error).value_or(-1));
  }
  return 0;
}

int insert(const char* name, int count, bool commit) {
  os::Error error;
  auto database = measurement::Database::open(name, nullptr, &error);
  if (!database) return 2;
  bool stored = database->performTransaction([&] {
    for (int i = 0; i < count; ++i) {
      measurement::SqliteRecord record{{"name", "_e"},
                                       {"timestamp", 1000.0 + i},
                                       {"metadata_fingerprint", 7},
                                       {"data", os::Data{1, 2, 3}}};
      if (!database->insertDataType(record, measurement::kRawEventsTable, &error)) return false;
    }
    if (!commit) announceAndWait("inserted");
    return true;
  });
  if (!stored) return 3;
  announceAndWait("committed");
}

int traceCopy(unsigned, void*, void* statement, void*) {
  const char* sql = sqlite3_sql(static_cast<sqlite3_stmt*>(statement));
  if (sql && std::strncmp(sql, "INSERT INTO raw_events (", 24) == 0) announceAndWait("copying");
  return 0;
}

int rebuild(const char* path) {
  os::Error error;
  auto store = measurement::SqliteStore::open(path, &error);
  if (!store) return 2;
  sqlite3_trace_v2(store->sqliteHandle(), SQLITE_TRACE_STMT, traceCopy, nullptr);
  measurement::ensureAllTables(*store, &error);
  return 4;  // the copy never started
}

// Every tenth event is dated 1970, so that the stale-data deletion finds some.
int stream(const char* name, const char* maxEventsStored) {
  measurement::ScopedEngineSettings settings(
      {{"measurement.store.max_stored_events_per_app", maxEventsStored}});
  os::Error error;
  auto database = measurement::Database::open(name, nullptr, &error);
  if (!database) return 2;
  for (int64_t n = 1;; ++n) {
    const double timestamp = n % 10 == 0 ? 1 : 1765400000.0 + static_cast<double>(n);
    bool stored = database->performTransaction([&] {
      return database->deleteRawEventsOverAbsoluteLimit(&error) &&
             database->insertRawEvent(measurement::testing::appEvent("_e", timestamp), 7, false,
                                      &error);
    });
    if (!stored) return 3;
    // A bundle of the oldest rows, then the age limit, each in its own transaction.
    if (n % 7 == 0 && !database->performTransaction(
                          [&] { return database->deleteRawEventsWithMaxRowID(n - 200, &error); })) {
      return 4;
    }
    if (n % 30 == 0 && !database->performTransaction([&] {
          return database->deleteStaleRawEventsDataOlderThanMaxAge(1e9, &error);
        })) {
      return 5;
    }
    if (n % 50 == 0) {
      std::printf("wrote %lld\n", static_cast<long long>(n));
      std::fflush(stdout);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "hold-exclusive" && argc == 3) return holdExclusive(argv[2]);
  if (mode == "open" && argc == 3) return open(argv[2]);
  if (mode == "insert" && argc == 5) {
    return insert(argv[2], std::atoi(argv[3]), std::string(argv[4]) == "committed");
  }
  if (mode == "rebuild" && argc == 3) return rebuild(argv[2]);
  if (mode == "stream" && argc == 4) return stream(argv[2], argv[3]);
  std::fprintf(stderr, "usage: %s hold-exclusive|open|insert|rebuild|stream ...\n", argv[0]);
  return 64;
}
