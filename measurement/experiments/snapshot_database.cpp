#include "measurement/experiments/snapshot_database.h"

#include <fmt/format.h>

#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/monitor.h"
#include "measurement/wire/access.h"
#include "os/process/clock.h"

namespace measurement {
namespace {

constexpr const char* kSDKNameColumn = "sdk_name";
constexpr const char* kSnapshotProtoColumn = "snapshotProto";
constexpr const char* kTimestampColumn = "timestamp";
constexpr const char* kManuallyActivatedColumn = "manually_activated";
constexpr const char* kAutomaticActivationQuery =
    "SELECT rowid,* FROM pending_snapshot_table WHERE NOT manually_activated = ? ORDER BY rowid";

const ColumnInfo& snapshotColumns() {
  static const ColumnInfo columns = {{kSDKNameColumn, "TEXT NOT NULL PRIMARY KEY"},
                                     {kSnapshotProtoColumn, "BLOB NOT NULL"},
                                     {kTimestampColumn, "REAL NOT NULL"},
                                     {kManuallyActivatedColumn, "INTEGER"}};
  return columns;
}

}  // namespace

std::unique_ptr<APMEDatabase> APMEDatabase::initWithPath(std::string_view path) {
  if (path.empty()) {
    monitor().log(MonitorLevel::kErrorSampled, 810000,
                  "Cannot initialize the database with invalid path");
    return nullptr;
  }
  std::unique_ptr<APMEDatabase> database(new APMEDatabase());
  if (!database->initializeDatabaseResourcesWithContext("Init", path)) return nullptr;
  return database;
}

bool APMEDatabase::initializeDatabaseResourcesWithContext(std::string_view context,
                                                          std::string_view path) {
  databasePath_ = std::string(path);
  os::Error failure;
  sqliteStore_ = SqliteStore::open(path, &failure);
  if (!sqliteStore_) {
    monitor().log(MonitorLevel::kErrorSampled, 810001,
                  fmt::format("Failed to open database ({})", context), failure);
    return false;
  }
  if (!ensureAllTables(&failure)) {
    monitor().log(
        MonitorLevel::kErrorSampled, 810002,
        fmt::format("Failed to create or validate required database tables ({})", context));
    // Only a file that cannot hold these tables is given up; a busy, locked or full one keeps
    // its snapshots for the next start.
    if (isIrreconcilableSchemaError(failure) || isUnusableDatabaseError(failure)) {
      os::Error deletion;
      if (!sqliteStore_->closeAndDeleteDatabase(&deletion)) {
        monitor().log(
            MonitorLevel::kWarningSampled, 810003,
            fmt::format("Failed to delete old database file after failed validation. Error ({})",
                        context),
            deletion);
      }
    }
    sqliteStore_.reset();
    return false;
  }
  return true;
}

bool APMEDatabase::ensureAllTables(os::Error* error) {
  for (const char* table :
       {kActivatedSnapshotTable, kLaunchedSnapshotTable, kPendingSnapshotTable}) {
    os::Error failure;
    if (!sqliteStore_->ensureTableWithName(table, snapshotColumns(), {}, {}, &failure)) {
      monitor().log(MonitorLevel::kErrorSampled, 810004, "Failed to ensure table. Table, error",
                    table, failure);
      if (error) *error = failure;
      return false;
    }
  }
  return true;
}

void APMEDatabase::closeAndDelete() {
  if (!sqliteStore_ || !sqliteStore_->closeAndDeleteDatabase()) {
    monitor().log(MonitorLevel::kWarningSampled, 810005, "Failed to delete database data");
  }
  sqliteStore_.reset();
}

void APMEDatabase::reset() {
  std::string path = databasePath_;
  closeAndDelete();
  if (!initializeDatabaseResourcesWithContext("Reset", path)) {
    monitor().log(MonitorLevel::kErrorSampled, 810006, "Cannot re-initialize the database");
  }
}

SqliteStore* APMEDatabase::store(os::Error* error) const {
  requireOrSetError(sqliteStore_ != nullptr, error, kOperationFailed, "Database not open");
  return sqliteStore_.get();
}

bool APMEDatabase::performTransaction(const std::function<bool()>& block) {
  os::Error error;
  SqliteStore* sqlite = store(&error);
  if (sqlite && sqlite->performTransactionWithError(&error, block)) return true;
  monitor().log(MonitorLevel::kErrorSampled, 810007,
                fmt::format("Transaction failed. {}", error.localizedDescription()));
  return false;
}

std::optional<std::vector<APMESnapshot>> APMEDatabase::fetchAllActivatedSnapshots(
    os::Error* error) {
  return snapshotsFromTable(kActivatedSnapshotTable, error);
}

std::optional<std::vector<APMESnapshot>> APMEDatabase::fetchAllPendingSnapshots(os::Error* error) {
  return snapshotsFromTable(kPendingSnapshotTable, error);
}

std::optional<std::vector<APMESnapshot>> APMEDatabase::fetchAllLaunchedSnapshots(os::Error* error) {
  return snapshotsFromTable(kLaunchedSnapshotTable, error);
}

std::optional<std::vector<SqliteRecord>> APMEDatabase::allDataTypesFromTableWithName(
    std::string_view table, int64_t limit, os::Error* error) {
  SqliteStore* sqlite = store(error);
  if (!sqlite) return std::nullopt;
  return sqlite->recordsForQuery(
      fmt::format("SELECT rowid, * FROM {} ORDER BY rowid LIMIT {}", table, limit), {}, error);
}

std::optional<std::vector<APMESnapshot>> APMEDatabase::snapshotsFromTable(std::string_view table,
                                                                          os::Error* error) {
  std::optional<std::vector<SqliteRecord>> rows =
      allDataTypesFromTableWithName(table, kSnapshotTableLimit, error);
  if (!rows) return std::nullopt;
  std::vector<APMESnapshot> snapshots;
  for (const SqliteRecord& row : *rows) {
    if (std::optional<APMESnapshot> snapshot = snapshotFromRow(row, table)) {
      snapshots.push_back(std::move(*snapshot));
    }
  }
  return snapshots;
}

std::optional<APMESnapshot> APMEDatabase::snapshotFromRow(const SqliteRecord& row,
                                                          std::string_view table) {
  std::optional<APMESnapshot> snapshot;
  const os::Value* bytes = row.find(kSnapshotProtoColumn);
  if (bytes && bytes->asData()) {
    if (std::optional<APMPBSnapshot> proto = APMPBSnapshot::initWithBuffer(*bytes->asData())) {
      snapshot = APMESnapshot::initWithProtobuf(*proto);
    }
  }
  if (!snapshot) {
    // One damaged row must not hide the others on every launch: it goes, they load.
    const os::Value* rowID = row.find("rowid");
    monitor().log(MonitorLevel::kErrorSampled, 810008,
                  "Deleted a stored snapshot that cannot be read. Table", table);
    if (rowID && sqliteStore_) {
      sqliteStore_->deleteRecordFromTableWithName(table, "rowid", *rowID, nullptr);
    }
    return std::nullopt;
  }
  const os::Value* timestamp = row.find(kTimestampColumn);
  snapshot->setTimestamp(timestamp ? timestamp->doubleValue() : 0);
  const os::Value* manuallyActivated = row.find(kManuallyActivatedColumn);
  if (manuallyActivated && manuallyActivated->isNumber()) {
    snapshot->setManuallyActivated(manuallyActivated->boolValue());
  }
  return snapshot;
}

bool APMEDatabase::upsertSnapshot(const APMPBSnapshot& proto, std::string_view table,
                                  double timestamp, std::optional<bool> manuallyActivated,
                                  os::Error* error) {
  SqliteStore* sqlite = store(error);
  if (!sqlite) return false;
  SqliteRecord record{
      {kSDKNameColumn, APMPBGetString(proto, kSnapshot_sdk_name).value_or("")},
      {kTimestampColumn, timestamp},
      {kSnapshotProtoColumn, proto.protoBuffer().value_or(os::Data())},
  };
  if (manuallyActivated) record.set(kManuallyActivatedColumn, *manuallyActivated ? 1 : 0);
  return sqlite->upsertRecord(record, table, error);
}

bool APMEDatabase::upsertPendingExperimentSnapshots(const std::vector<APMESnapshot>& snapshots,
                                                    os::Error* error) {
  for (const APMESnapshot& snapshot : snapshots) {
    if (!upsertSnapshot(snapshot.proto(), kPendingSnapshotTable, snapshot.timestamp(),
                        snapshot.manuallyActivated(), error)) {
      return false;
    }
  }
  return true;
}

bool APMEDatabase::activateSnapshot(const APMESnapshot& snapshot, double timestamp,
                                    os::Error* error) {
  SqliteStore* sqlite = store(error);
  if (!sqlite) return false;
  const std::string& name = snapshot.SDKName();
  std::optional<APMEExperiment> launched;
  std::vector<APMEExperiment> experiments;
  for (APMEExperiment& experiment : snapshot.experiments()) {
    if (experiment.experimentID() == 0) {
      launched = std::move(experiment);
    } else {
      experiments.push_back(std::move(experiment));
    }
  }
  if (launched) {
    std::optional<APMESnapshot> launchedSnapshot = APMESnapshot::initWithSDKName(name, {*launched});
    if (!launchedSnapshot || !upsertSnapshot(launchedSnapshot->proto(), kLaunchedSnapshotTable,
                                             timestamp, std::nullopt, error)) {
      return false;
    }
  }
  if (experiments.empty()) {
    // What is stored is what is in force: an activation without experiments ends the old ones,
    // as it does in the manager, instead of bringing them back at the next start.
    if (!deleteActivatedExperimentsOfSDKName(name, error)) return false;
  } else {
    std::optional<APMESnapshot> activated = APMESnapshot::initWithSDKName(name, experiments);
    if (!activated || !upsertSnapshot(activated->proto(), kActivatedSnapshotTable, timestamp,
                                      std::nullopt, error)) {
      return false;
    }
  }
  return sqlite
      ->deleteRecordsFromTableWithName(
          kPendingSnapshotTable,
          fmt::format("{} = ? AND {} <= ?", kSDKNameColumn, kTimestampColumn), {name, timestamp},
          error)
      .has_value();
}

bool APMEDatabase::deleteStaleActivatedSnapshots(os::Error* error) {
  SqliteStore* sqlite = store(error);
  if (!sqlite) return false;
  double cutoff = os::clock::now() - kStaleActivatedSnapshotAge;
  return sqlite
      ->deleteRecordsFromTableWithName(kActivatedSnapshotTable,
                                       fmt::format("{} <= ?", kTimestampColumn), {cutoff}, error)
      .has_value();
}

bool APMEDatabase::activatePendingSnapshotsAutomatically(os::Error* error) {
  SqliteStore* sqlite = store(error);
  if (!sqlite) return false;
  std::optional<std::vector<SqliteRecord>> rows =
      sqlite->recordsForQuery(kAutomaticActivationQuery, {true}, error);
  if (!rows) return false;
  for (const SqliteRecord& row : *rows) {
    // A row that does not decode is deleted by the reading and the others go on.
    std::optional<APMESnapshot> snapshot = snapshotFromRow(row, kPendingSnapshotTable);
    if (!snapshot) continue;
    if (!activateSnapshot(*snapshot, snapshot->timestamp(), error)) return false;
    const os::Value* name = row.find(kSDKNameColumn);
    if (!sqlite->deleteRecordFromTableWithName(kPendingSnapshotTable, kSDKNameColumn,
                                               name ? *name : os::Value(), error)) {
      return false;
    }
  }
  return true;
}

bool APMEDatabase::deleteActivatedExperimentsOfSDKName(std::string_view SDKName, os::Error* error) {
  if (!requireOrSetError(!SDKName.empty(), error, kInvalidInput, "Received empty SDK Name")) {
    return false;
  }
  return deleteExperimentsOfSDKName(SDKName, kActivatedSnapshotTable, error);
}

bool APMEDatabase::deleteExperimentsOfSDKName(std::string_view SDKName, std::string_view table,
                                              os::Error* error) {
  SqliteStore* sqlite = store(error);
  if (!sqlite) return false;
  return sqlite->deleteRecordFromTableWithName(table, kSDKNameColumn, SDKName, error);
}

}  // namespace measurement
