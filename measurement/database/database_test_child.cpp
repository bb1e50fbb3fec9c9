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
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "measurement/database/database.h"

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

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "hold-exclusive" && argc == 3) return holdExclusive(argv[2]);
  if (mode == "open" && argc == 3) return open(argv[2]);
  if (mode == "insert" && argc == 5) {
    return insert(argv[2], std::atoi(argv[3]), std::string(argv[4]) == "committed");
  }
  if (mode == "rebuild" && argc == 3) return rebuild(argv[2]);
  std::fprintf(stderr, "usage: %s hold-exclusive|open|insert|rebuild ...\n", argv[0]);
  return 64;
}
