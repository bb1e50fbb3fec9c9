// The plain-SQLite side of the event-write comparisons: the measurement database's file opened a
// second time, with a twin of raw_events (same columns) that the reference writes into, so that
// its rows stay out of the database's own count of raw events.
//
//   bench::RawEventReference reference(path);
//   reference.refill("raw_events", 10000);          // untimed: as many rows in either table
//   reference.insert(1000, fingerprint, data);      // timed: one prepared INSERT per row
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "os/value/value.h"

namespace bench {

class RawEventReference {
 public:
  static constexpr const char* kTable = "reference_events";

  // Opens `path` in write-ahead mode with synchronous NORMAL, as the database runs, and makes
  // the twin table.
  explicit RawEventReference(const std::string& path);
  ~RawEventReference();
  RawEventReference(const RawEventReference&) = delete;
  RawEventReference& operator=(const RawEventReference&) = delete;

  // Runs `sql`, printing its error.
  void execute(const std::string& sql);
  // Leaves exactly `stored` rows in `table` (raw_events or the twin).
  void refill(const std::string& table, int stored);
  // Inserts `count` rows of `data` under `fingerprint` into the twin, one prepared INSERT each
  // in autocommit; false when one fails.
  bool insert(int count, int64_t fingerprint, const os::Data& data);
  // The connection, for other plain-SQLite work on the same file.
  sqlite3* handle() const { return database_; }

 private:
  sqlite3* database_ = nullptr;
};

}  // namespace bench
