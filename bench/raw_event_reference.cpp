#include "bench/raw_event_reference.h"

#include <cstdio>

namespace bench {

RawEventReference::RawEventReference(const std::string& path) {
  sqlite3_open(path.c_str(), &database_);
  sqlite3_busy_timeout(database_, 5000);
  execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL");
  execute(std::string("CREATE TABLE IF NOT EXISTS ") + kTable +
          " (name TEXT NOT NULL, timestamp REAL NOT NULL, metadata_fingerprint INTEGER NOT NULL, "
          "data BLOB NOT NULL, is_realtime INTEGER)");
}

RawEventReference::~RawEventReference() { sqlite3_close(database_); }

void RawEventReference::execute(const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(database_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    std::fprintf(stderr, "%s: %s\n", sql.c_str(), message ? message : "");
  }
  sqlite3_free(message);
}

void RawEventReference::refill(const std::string& table, int stored) {
  execute("DELETE FROM " + table +
          "; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
          std::to_string(stored) + ") INSERT INTO " + table +
          " (name, timestamp, metadata_fingerprint, data, is_realtime) SELECT '_e', "
          "1765400000, 1, x'0a0412025f6f', 0 FROM n WHERE " +
          std::to_string(stored) + " > 0");
}

bool RawEventReference::insert(int count, int64_t fingerprint, const os::Data& data) {
  sqlite3_stmt* insert = nullptr;
  const std::string sql = std::string("INSERT INTO ") + kTable +
                          " (name, timestamp, metadata_fingerprint, data, is_realtime) VALUES "
                          "(?, ?, ?, ?, ?)";
  sqlite3_prepare_v2(database_, sql.c_str(), -1, &insert, nullptr);
  bool ok = insert != nullptr;
  for (int i = 0; ok && i < count; ++i) {
    sqlite3_bind_text(insert, 1, "level_up", -1, SQLITE_STATIC);
    sqlite3_bind_double(insert, 2, 1765400000);
    sqlite3_bind_int64(insert, 3, fingerprint);
    sqlite3_bind_blob(insert, 4, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
    sqlite3_bind_int(insert, 5, 0);
    ok = sqlite3_step(insert) == SQLITE_DONE;
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  return ok;
}

}  // namespace bench
