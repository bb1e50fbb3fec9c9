#include "measurement/database/raw_events_count.h"

#include "measurement/foundation/measurement_error.h"

namespace measurement {
namespace {

// The count when the table holds exactly one row whose count fits the rowids it was taken
// with, and those are still the table's first and last; else NULL. Each bound is a lone MIN or
// MAX, which SQLite answers from the b-tree's edge.
constexpr const char* kTrustedCountQuery =
    "SELECT CASE WHEN count(*) = 1 AND typeof(max(row_count)) = 'integer' AND "
    "max(first_rowid) IS (SELECT MIN(rowid) FROM raw_events) AND max(last_rowid) IS (SELECT "
    "MAX(rowid) FROM raw_events) AND (max(row_count) > 0) = (max(first_rowid) IS NOT NULL) AND "
    "max(row_count) <= coalesce(max(last_rowid) - max(first_rowid) + 1, 0) THEN max(row_count) "
    "END FROM raw_events_count";

std::optional<os::Value> trustedCount(SqliteStore& store, os::Error* error) {
  return store.numberForQuery(kTrustedCountQuery, {}, error);
}

// Counts the rows anew, in the caller's transaction if any.
bool recount(SqliteStore& store, os::Error* error) {
  return store.executeSQL("DELETE FROM raw_events_count", error) &&
         store.executeSQL(
             "INSERT INTO raw_events_count (row_count, first_rowid, last_rowid) SELECT count(*), "
             "MIN(rowid), MAX(rowid) FROM raw_events",
             error);
}

bool inTransaction(const SqliteStore& store) {
  return store.sqliteHandle() != nullptr && sqlite3_get_autocommit(store.sqliteHandle()) == 0;
}

}  // namespace

bool ensureRawEventsCount(SqliteStore& store, os::Error* error) {
  std::optional<os::Value> count = trustedCount(store, error);
  if (!count) return false;
  if (!count->isNull()) return true;
  return store.performTransactionWithError(error, [&] { return recount(store, error); });
}

std::optional<int64_t> rawEventsCount(SqliteStore& store, os::Error* error) {
  std::optional<os::Value> count = trustedCount(store, error);
  if (!count) return std::nullopt;
  if (count->isNull()) {
    if (!recount(store, error)) return std::nullopt;
    count = trustedCount(store, error);
    if (!count || !requireOrSetError(!count->isNull(), error, kOperationFailed,
                                     "Failed to count raw events")) {
      return std::nullopt;
    }
  }
  return count->integerValue();
}

std::optional<int64_t> changeRawEvents(SqliteStore& store, os::Error* error,
                                       const std::function<std::optional<int64_t>()>& change) {
  std::optional<int64_t> moved;
  auto changeAndCount = [&] {
    // The count moves only from a trusted one: moving an untrusted count would record it
    // with the table's current rowids, and so make it look trusted.
    if (!rawEventsCount(store, error)) return false;
    moved = change();
    if (!moved) return false;
    if (*moved == 0) return true;
    std::optional<int64_t> updated = store.changeRowsWithStatement(
        "UPDATE raw_events_count SET row_count = row_count + ?, first_rowid = (SELECT "
        "MIN(rowid) FROM raw_events), last_rowid = (SELECT MAX(rowid) FROM raw_events)",
        {*moved}, error);
    return updated.has_value();
  };
  if (inTransaction(store)) return changeAndCount() ? moved : std::nullopt;
  if (!store.performTransactionWithError(error, changeAndCount)) return std::nullopt;
  return moved;
}

}  // namespace measurement
