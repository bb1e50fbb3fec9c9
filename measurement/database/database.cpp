#include "measurement/database/database.h"

#include "measurement/foundation/monitor.h"
#include "measurement/foundation/storage_paths.h"

namespace measurement {

Database::Database(std::string path, PersistedConfig* persistedConfig,
                   std::shared_ptr<os::DispatchQueue> queue)
    : persistedConfig_(persistedConfig), databasePath_(std::move(path)), queue_(std::move(queue)) {}

Database::~Database() = default;

std::unique_ptr<Database> Database::open(std::string_view name, PersistedConfig* persistedConfig,
                                         os::Error* error,
                                         std::shared_ptr<os::DispatchQueue> queue) {
  if (queue) OS_CHECK_ON(queue);
  if (!requireOrSetError(!name.empty(), error, kInvalidInput,
                         "Received empty database name in init")) {
    return nullptr;
  }
  std::unique_ptr<Database> database(
      new Database(measurementDataPath(name), persistedConfig, std::move(queue)));
  if (!database->initializeDatabaseResourcesWithContext("Init", error)) return nullptr;
  return database;
}

void Database::checkQueue() const {
  if (queue_) OS_CHECK_ON(queue_);
}

SqliteStore* Database::store(os::Error* error) const {
  requireOrSetError(sqliteStore_ != nullptr, error, kOperationFailed, "Database not open");
  return sqliteStore_.get();
}

bool Database::initializeDatabaseResourcesWithContext(std::string_view context, os::Error* error) {
  audienceFiltersChanged();
  const std::string occasion = " (" + std::string(context) + ")";
  os::Error failure;
  sqliteStore_ = SqliteStore::open(databasePath_, &failure);
  if (!sqliteStore_) {
    if (error) *error = failure;
    return false;
  }
  if (!ensureAllTables(*sqliteStore_, &failure)) {
    monitor().log(MonitorLevel::kErrorSampled, 12002,
                  "Failed to create or validate required database tables" + occasion);
    // Only a file whose tables cannot be reconciled with their description (or that turned out
    // corrupt) is given up; a busy, read-only or full one keeps its rows for the next launch.
    // The connection closes before the file goes, and the file's companions go with it.
    if (isIrreconcilableSchemaError(failure) || isUnusableDatabaseError(failure)) {
      os::Error deletion;
      if (!sqliteStore_->closeAndDeleteDatabase(&deletion)) {
        monitor().log(
            MonitorLevel::kWarningSampled, 12003,
            "Failed to delete old database file after failed validation. Error" + occasion,
            deletion);
      }
    }
    sqliteStore_.reset();
    if (error) *error = failure;
    return false;
  }
  if (!initializeAppMetadata()) {
    std::string message = "Failed to initialize App Metadata table" + occasion;
    monitor().log(MonitorLevel::kErrorSampled, 12004, message);
    sqliteStore_.reset();
    setErrorOutParameter(error, kOperationFailed, message);
    return false;
  }
  return true;
}

bool Database::reset(os::Error* error) {
  checkQueue();
  audienceFiltersChanged();
  if (sqliteStore_ && !sqliteStore_->closeAndDeleteDatabase()) {
    setErrorOutParameter(error, kOperationFailed, "Failed to delete database data");
    return false;
  }
  sqliteStore_.reset();
  return initializeDatabaseResourcesWithContext("Reset", error);
}

bool Database::performTransaction(const std::function<bool()>& block) {
  checkQueue();
  os::Error failure;
  SqliteStore* sqlite = store(&failure);
  // A rolled-back transaction may take back filter writes made in it, also when the block
  // throws.
  struct RollbackGuard {
    Database& database;
    bool committed = false;
    ~RollbackGuard() {
      if (!committed) database.audienceFiltersChanged();
    }
  } guard{*this};
  if (sqlite && sqlite->performTransactionWithError(&failure, block)) {
    guard.committed = true;
    return true;
  }
  monitor().log(MonitorLevel::kErrorSampled, 12056,
                "Transaction failed. " + failure.localizedDescription());
  return false;
}

void Database::performReads(const std::function<void()>& block) {
  checkQueue();
  if (sqliteStore_) {
    sqliteStore_->performReads(block);
  } else {
    block();
  }
}

bool Database::isAudienceFiltersTable(std::string_view table) {
  return table == kEventFiltersTable || table == kPropertyFiltersTable;
}

std::optional<std::vector<SqliteRecord>> Database::rowsForQuery(
    std::string_view query, const std::vector<os::Value>& values, os::Error* error) {
  SqliteStore* sqlite = store(error);
  if (!sqlite) return std::nullopt;
  return sqlite->recordsForQuery(query, values, error);
}

bool Database::insertDataType(const SqliteRecord& record, std::string_view table,
                              os::Error* error) {
  checkQueue();
  if (isAudienceFiltersTable(table)) audienceFiltersChanged();
  if (!requireOrSetError(!table.empty(), error, kInvalidInput,
                         "Received empty table name for inserting") ||
      !requireOrSetError(!record.empty(), error, kOperationFailed,
                         "Failed to insert empty record")) {
    return false;
  }
  SqliteStore* sqlite = store(error);
  return sqlite && sqlite->upsertRecord(record, table, error);
}

bool Database::upsertDataType(const SqliteRecord& record, std::string_view table,
                              std::string_view column, const os::Value& value, int64_t tableLimit,
                              os::Error* error) {
  checkQueue();
  if (isAudienceFiltersTable(table)) audienceFiltersChanged();
  if (!requireOrSetError(!record.empty(), error, kInvalidInput,
                         "Received empty data type to upsert") ||
      !requireOrSetError(!table.empty(), error, kInvalidInput,
                         "Received empty table name for checking upsert")) {
    return false;
  }
  SqliteStore* sqlite = store(error);
  if (!sqlite) return false;
  std::optional<int64_t> matching = sqlite->rowCountForTableWithName(table, column, value, error);
  if (!matching) return false;
  std::optional<int64_t> all = sqlite->rowCountForTableWithName(table, error);
  if (!all) return false;
  if (*matching == 0 && *all >= tableLimit) {
    setErrorOutParameter(error, kOperationFailed, "Failed to insert data type. Table is full");
    return false;
  }
  return sqlite->upsertRecord(record, table, error);
}

bool Database::updateDataType(const SqliteRecord& record, std::string_view table,
                              std::string_view column, const os::Value& value, os::Error* error) {
  checkQueue();
  if (isAudienceFiltersTable(table)) audienceFiltersChanged();
  if (!requireOrSetError(!record.empty(), error, kInvalidInput,
                         "Received empty data type to update") ||
      !requireOrSetError(!table.empty(), error, kInvalidInput,
                         "Received empty table name for updating")) {
    return false;
  }
  SqliteStore* sqlite = store(error);
  if (!sqlite) return false;
  std::optional<int64_t> matching = sqlite->rowCountForTableWithName(table, column, value, error);
  if (!matching) return false;
  if (!requireOrSetError(*matching > 0, error, kOperationFailed,
                         "Failed to update record. Item doesn't exist")) {
    return false;
  }
  return sqlite->updateRecord(record, table, column, value, error);
}

}  // namespace measurement
