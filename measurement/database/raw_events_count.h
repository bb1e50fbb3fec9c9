// The number of rows in raw_events, kept in the one row of raw_events_count so that the cap on
// stored events reads a number instead of walking the table.
//
//   std::optional<int64_t> stored = rawEventsCount(store, &error);
//   changeRawEvents(store, &error, [&]() -> std::optional<int64_t> {
//     return store.upsertRecord(row, kRawEventsTable, &error) ? std::optional<int64_t>(1)
//                                                              : std::nullopt;
//   });
//
// The database moves the count itself, in the transaction that adds or deletes the rows, so a
// rollback or a crash takes it back with them. (Triggers would keep it too, but a trigger makes
// SQLite keep a statement journal for every insert, whose 64 KB buffer costs more than the
// insert.) Beside the count the row records the smallest and largest rowid it was taken with,
// and the count is trusted only while the table's rowids still begin and end there: rows that
// another writer added or took from either end (a build that keeps no count, another
// connection) make it be counted anew, as does a file without the row.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "measurement/database/sqlite_store.h"
#include "os/value/error.h"

namespace measurement {

// Counts the raw events anew, in one transaction of its own, unless the stored count can be
// trusted (then it only reads). raw_events and raw_events_count must exist.
bool ensureRawEventsCount(SqliteStore& store, os::Error* error);

// The number of raw events. A count that cannot be trusted is counted anew first, in the
// caller's transaction when one is open. nullopt on failure.
std::optional<int64_t> rawEventsCount(SqliteStore& store, os::Error* error);

// Runs `change`, which adds or deletes raw events and answers by how many rows the count moves
// (negative for deletions; nullopt when it failed), then moves the count, both in one
// transaction: the caller's when one is open, else one of their own. The answer is `change`'s.
std::optional<int64_t> changeRawEvents(SqliteStore& store, os::Error* error,
                                       const std::function<std::optional<int64_t>()>& change);

}  // namespace measurement
