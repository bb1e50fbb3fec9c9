// The measurement database's journal choice and the store's own cost, through the comparison
// harness, on a file on disk (the sandbox sits in the system's temporary folder):
//  - 2,000 raw prepared INSERTs, each its own transaction, in WAL with synchronous=NORMAL (the
//    store's setting) against the default rollback journal with synchronous=FULL: what a commit
//    costs when every event is written as it comes;
//  - 20,000 autocommit inserts through SqliteStore::upsertRecord against raw prepared INSERTs,
//    both in WAL/NORMAL: what the store adds (building the text, preparing, binding).
//
//   measurement_database_bench [--runs=N] [--filter=TEXT]
#include <sqlite3.h>

#include <filesystem>
#include <string>

#include "bench/harness.h"
#include "measurement/database/sqlite_store.h"
#include "testsupport/sandbox.h"

namespace {

constexpr const char* kCreate =
    "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp REAL NOT "
    "NULL, metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL)";
const os::Data kEventData(120, 0x5a);

void removeDatabase(const std::string& path) {
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    std::filesystem::remove(path + suffix);
  }
}

// Inserts `rows` rows with one prepared statement, each in its own transaction, after setting
// the journal mode and synchronous level.
bool rawInserts(const std::string& path, const char* journal, const char* synchronous, int rows) {
  sqlite3* db = nullptr;
  bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK;
  std::string pragmas = std::string("PRAGMA journal_mode=") + journal +
                        "; PRAGMA synchronous=" + synchronous + "; " + kCreate;
  ok = ok && sqlite3_exec(db, pragmas.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_stmt* insert = nullptr;
  ok = ok && sqlite3_prepare_v2(db,
                                "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, "
                                "data) VALUES (?, ?, ?, ?)",
                                -1, &insert, nullptr) == SQLITE_OK;
  for (int i = 0; ok && i < rows; ++i) {
    sqlite3_bind_text(insert, 1, "_e", -1, SQLITE_STATIC);
    sqlite3_bind_double(insert, 2, 1700000000.0 + i);
    sqlite3_bind_int64(insert, 3, 7);
    sqlite3_bind_blob(insert, 4, kEventData.data(), static_cast<int>(kEventData.size()),
                      SQLITE_STATIC);
    ok = sqlite3_step(insert) == SQLITE_DONE && sqlite3_reset(insert) == SQLITE_OK;
  }
  sqlite3_finalize(insert);
  sqlite3_close(db);
  return ok;
}

bool storeInserts(const std::string& path, int rows) {
  auto store = measurement::SqliteStore::open(path, nullptr);
  if (!store || !store->executeSQL(kCreate, nullptr)) return false;
  for (int i = 0; i < rows; ++i) {
    measurement::SqliteRecord record{{"name", "_e"},
                                     {"timestamp", 1700000000.0 + i},
                                     {"metadata_fingerprint", 7},
                                     {"data", kEventData}};
    if (!store->upsertRecord(record, "raw_events", nullptr)) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  auto harness = bench::Harness::fromArguments(argc, argv, {});
  if (!harness) return 1;
  testsupport::Sandbox sandbox;
  const std::string path = (sandbox.root() / "bench.sql").string();
  auto fresh = [&] {
    removeDatabase(path);
    return true;
  };

  constexpr int kJournalRows = 2'000;
  harness->compare({
      .path = "2,000 autocommit INSERTs, WAL/NORMAL vs DELETE/FULL",
      .ours = {.name = "WAL, synchronous=NORMAL",
               .work = [&] { return rawInserts(path, "WAL", "NORMAL", kJournalRows); }},
      .reference = {.name = "DELETE, synchronous=FULL",
                    .work = [&] { return rawInserts(path, "DELETE", "FULL", kJournalRows); }},
      .prepare = fresh,
  });

  constexpr int kStoreRows = 20'000;
  harness->compare({
      .path = "20,000 autocommit inserts in WAL/NORMAL",
      .ours = {.name = "SqliteStore::upsertRecord",
               .work = [&] { return storeInserts(path, kStoreRows); }},
      .reference = {.name = "raw prepared INSERT",
                    .work = [&] { return rawInserts(path, "WAL", "NORMAL", kStoreRows); }},
      .prepare = fresh,
  });
  harness->printTable();
  return 0;
}
