// APMEDatabase: the experiment snapshots of every SDK in a SQLite file of their own, three
// tables of one shape (pending, activated, launched) with at most one row per SDK each, and the
// storage rules of activation.
//
//   std::unique_ptr<APMEDatabase> database = APMEDatabase::initWithPath(path);
//   database->performTransaction([&] { return database->activateSnapshot(pending, now, &error); });
//   std::optional<std::vector<APMESnapshot>> activated = database->fetchAllActivatedSnapshots(&error);
//
// Damage. A row whose snapshot does not decode is logged (810008), deleted and skipped, so the
// other rows still load and activate. The file is deleted only when its tables cannot be
// reconciled with their description or it is not a usable database; a busy, locked, full or
// failing file stays for the next start.
//
// Threads. No lock: the task manager uses it on its worker queue only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/database/sqlite_store.h"
#include "measurement/experiments/snapshot.h"
#include "os/value/error.h"

namespace measurement {

inline constexpr const char* kExperimentDatabaseFileName = "vedodo_experimentation_database.sql";
inline constexpr const char* kPendingSnapshotTable = "pending_snapshot_table";
inline constexpr const char* kActivatedSnapshotTable = "activated_snapshot_table";
inline constexpr const char* kLaunchedSnapshotTable = "launched_snapshot_table";
// The most rows one read returns.
inline constexpr int64_t kSnapshotTableLimit = 100000;
// Activated snapshots older than this (inclusive) are dropped at start-up.
inline constexpr double kStaleActivatedSnapshotAge = 259200;

class APMEDatabase {
 public:
  // Opens (creating) the file and its tables; nullptr (810000 for an empty path, 810001,
  // 810002) when it cannot.
  static std::unique_ptr<APMEDatabase> initWithPath(std::string_view path);

  bool initializeDatabaseResourcesWithContext(std::string_view context, std::string_view path);
  bool ensureAllTables(os::Error* error = nullptr);
  // Deletes the file; later operations fail.
  void closeAndDelete();
  // Deletes the file and opens a new empty one at the same path.
  void reset();
  // One exclusive transaction, rolled back when `block` answers false (810007).
  bool performTransaction(const std::function<bool()>& block);

  std::optional<std::vector<APMESnapshot>> fetchAllActivatedSnapshots(os::Error* error);
  std::optional<std::vector<APMESnapshot>> fetchAllPendingSnapshots(os::Error* error);
  std::optional<std::vector<APMESnapshot>> fetchAllLaunchedSnapshots(os::Error* error);
  // "SELECT rowid, * FROM <table> ORDER BY rowid LIMIT <limit>".
  std::optional<std::vector<SqliteRecord>> allDataTypesFromTableWithName(std::string_view table,
                                                                         int64_t limit,
                                                                         os::Error* error);

  // INSERT OR REPLACE of the SDK's row; "manually_activated" stays NULL when not given.
  bool upsertSnapshot(const APMPBSnapshot& proto, std::string_view table, double timestamp,
                      std::optional<bool> manuallyActivated, os::Error* error);
  bool upsertPendingExperimentSnapshots(const std::vector<APMESnapshot>& snapshots,
                                        os::Error* error);
  // The launched experiment (id 0) to the launched table, the others to the activated table
  // (an empty list deletes the SDK's activated row, so that what is stored is what is in
  // force), then the pending row no newer than `timestamp` is deleted.
  bool activateSnapshot(const APMESnapshot& snapshot, double timestamp, os::Error* error);
  bool deleteStaleActivatedSnapshots(os::Error* error);
  // Activates every pending row not marked manually activated, in rowid order.
  bool activatePendingSnapshotsAutomatically(os::Error* error);

  bool deleteActivatedExperimentsOfSDKName(std::string_view SDKName, os::Error* error);
  bool deleteExperimentsOfSDKName(std::string_view SDKName, std::string_view table,
                                  os::Error* error);

  // The open store, nullptr after a failed (re)opening or closeAndDelete.
  SqliteStore* sqliteStore() const { return sqliteStore_.get(); }

 private:
  APMEDatabase() = default;
  // A store error for a missing store.
  SqliteStore* store(os::Error* error) const;
  // The snapshots of `table`'s rows; rows that do not decode are deleted.
  std::optional<std::vector<APMESnapshot>> snapshotsFromTable(std::string_view table,
                                                              os::Error* error);
  // The snapshot of one row, or nullopt after deleting the row (810008).
  std::optional<APMESnapshot> snapshotFromRow(const SqliteRecord& row, std::string_view table);

  std::unique_ptr<SqliteStore> sqliteStore_;
  std::string databasePath_;
};

}  // namespace measurement
