#include "measurement/database/sqlite_store.h"

#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <string>

#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/storage_paths.h"
#include "os/files/files.h"

namespace measurement {
namespace {

// Companions SQLite may leave beside the file; a stale one would be replayed into a new file of
// the same name, so they go before the file itself.
constexpr const char* kCompanionSuffixes[] = {"-journal", "-wal", "-shm"};

// SQL keywords are ASCII: an ASCII case fold is the whole comparison.
std::string asciiUppercase(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

bool startsWithSelect(std::string_view query) {
  return asciiUppercase(query.substr(0, 6)) == "SELECT";
}

bool containsWhere(std::string_view text) {
  return asciiUppercase(text).find("WHERE") != std::string::npos;
}

bool onlyBlanks(const char* text) {
  for (; text && *text; ++text) {
    if (!std::isspace(static_cast<unsigned char>(*text))) return false;
  }
  return true;
}

void reportUnexpectedType(int64_t code, std::string_view message) {
  monitor().log(MonitorLevel::kWarningSampled, code, message);
}

}  // namespace

std::optional<int> sqliteResultCode(const os::Error& error) {
  if (error.domain != kMeasurementErrorDomain) return std::nullopt;
  const os::Value& code = error.userInfo[kSqliteResultCodeKey];
  if (!code.isInteger()) return std::nullopt;
  return static_cast<int>(code.integerValue());
}

bool isUnusableDatabaseError(const os::Error& error) {
  std::optional<int> code = sqliteResultCode(error);
  if (!code) return false;
  int primary = *code & 0xff;
  return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

SqliteStore::SqliteStore(std::string path) : databasePath_(std::move(path)) {}

SqliteStore::~SqliteStore() { closeDatabase(); }

std::unique_ptr<SqliteStore> SqliteStore::open(std::string_view path, os::Error* error) {
  if (!requireOrSetError(!path.empty(), error, kInvalidInput,
                         "Received empty database path on init")) {
    return nullptr;
  }
  std::unique_ptr<SqliteStore> store(new SqliteStore(std::string(path)));
  os::Error failure;
  if (store->openAndValidateDatabase(&failure)) return store;
  // Only a file that is no database, or a corrupt one, is given up; anything else (another
  // process holding it, a read-only file, a full disk) keeps the file for the next attempt.
  if (isUnusableDatabaseError(failure)) {
    os::Error deletion;
    if (!store->closeAndDeleteDatabase(&deletion)) {
      if (error) *error = deletion;
      return nullptr;
    }
    if (store->openAndValidateDatabase(&failure)) return store;
  }
  if (error) *error = failure;
  return nullptr;
}

bool SqliteStore::openAndValidateDatabase(os::Error* error) {
  std::filesystem::path path(databasePath_);
  std::error_code status;
  bool exists = std::filesystem::exists(std::filesystem::symlink_status(path, status));
  if (status && status != std::errc::no_such_file_or_directory) {
    return os::fail(error, os::posixError(status.value(), databasePath_));
  }
  // Linux has no immutable mark that the process itself would clear: nothing to do for an
  // existing file.
  if (!exists && path.has_parent_path() &&
      !os::files::createDirectory(path.parent_path(), true, error)) {
    return false;
  }
  int result =
      sqlite3_open_v2(databasePath_.c_str(), &sqliteHandle_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (result != SQLITE_OK) {
    setDatabaseError(error, "initialize sqlite handle", result);
    closeDatabase();
    return false;
  }
  // SQLite quietly opens a file it may not write read-only; every later write would fail, so
  // the open fails now and the file stays as it is.
  if (sqlite3_db_readonly(sqliteHandle_, "main") == 1) {
    setDatabaseError(error, "initialize sqlite handle", SQLITE_READONLY);
    closeDatabase();
    return false;
  }
  os::Error backup;
  if (!excludePathFromBackup(databasePath_, &backup)) {
    monitor().log(MonitorLevel::kWarningSampled, 34017,
                  "Failed to exclude database file from backup", backup);
  }
  if (!configureConnection(error) || !validateDatabaseWithError(error)) {
    closeDatabase();
    return false;
  }
  return true;
}

bool SqliteStore::configureConnection(os::Error* error) {
  sqlite3_busy_timeout(sqliteHandle_, kBusyTimeoutMilliseconds);
  sqlite3_stmt* statement = nullptr;
  int result =
      sqlite3_prepare_v2(sqliteHandle_, "PRAGMA journal_mode=WAL", -1, &statement, nullptr);
  if (result == SQLITE_OK) result = sqlite3_step(statement);
  bool wal = false;
  if (result == SQLITE_ROW) {
    const unsigned char* mode = sqlite3_column_text(statement, 0);
    wal = mode && std::string_view(reinterpret_cast<const char*>(mode)) == "wal";
  }
  if (!wal) {
    // Without WAL the folder could not take the write-ahead log: the file is usable elsewhere,
    // so the failure is one of access, never of the file.
    int code = result == SQLITE_ROW || result == SQLITE_DONE ? SQLITE_CANTOPEN : result;
    setDatabaseError(error, "initialize sqlite handle", code);
    sqlite3_finalize(statement);
    return false;
  }
  sqlite3_finalize(statement);
  result = sqlite3_exec(sqliteHandle_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  if (result != SQLITE_OK) {
    setDatabaseError(error, "initialize sqlite handle", result);
    return false;
  }
  return true;
}

bool SqliteStore::validateDatabaseWithError(os::Error* error) {
  if (!requireOrSetError(sqliteHandle_ != nullptr, error, kOperationFailed,
                         "Validate database failed. Database not open.")) {
    return false;
  }
  sqlite3_stmt* statement = nullptr;
  int result = sqlite3_prepare_v2(sqliteHandle_, "PRAGMA integrity_check", -1, &statement, nullptr);
  if (result != SQLITE_OK) {
    setDatabaseError(error, "validate database", result);
    sqlite3_finalize(statement);
    return false;
  }
  result = sqlite3_step(statement);
  bool ok = false;
  if (result == SQLITE_ROW && sqlite3_column_count(statement) == 1) {
    const unsigned char* text = sqlite3_column_text(statement, 0);
    ok = text && std::string_view(reinterpret_cast<const char*>(text)) == "ok";
  }
  if (!ok) {
    // An answer other than "ok" lists damage that SQLite found: the file is corrupt.
    setDatabaseError(error, "validate database",
                     result == SQLITE_ROW || result == SQLITE_DONE ? SQLITE_CORRUPT : result);
  }
  sqlite3_finalize(statement);
  return ok;
}

void SqliteStore::closeDatabase() {
  if (!sqliteHandle_) return;
  endReads();
  for (auto& [query, statement] : statementCache_) sqlite3_finalize(statement);
  statementCache_.clear();
  int result = sqlite3_close(sqliteHandle_);
  if (result != SQLITE_OK) {
    monitor().log(MonitorLevel::kErrorSampled, 34018, "Failed to close database. Got error code",
                  int64_t{result});
    // Statements prepared outside the cache keep the connection alive; v2 closes it once
    // they are finalised instead of leaking it.
    sqlite3_close_v2(sqliteHandle_);
  }
  sqliteHandle_ = nullptr;
}

bool SqliteStore::closeAndDeleteDatabase(os::Error* error) {
  closeDatabase();
  std::vector<std::string> paths;
  for (const char* suffix : kCompanionSuffixes) paths.push_back(databasePath_ + suffix);
  paths.push_back(databasePath_);
  for (const std::string& path : paths) {
    std::error_code status;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, status))) continue;
    os::Error removal;
    if (!os::files::removeItem(path, &removal)) {
      monitor().log(MonitorLevel::kErrorSampled, 34019, "Failed to delete database. Error",
                    removal);
      if (error) *error = removal;
      return false;
    }
  }
  return true;
}

std::optional<bool> SqliteStore::tableExists(std::string_view table, os::Error* error) {
  if (!requireOrSetError(!table.empty(), error, kInvalidInput,
                         "Received empty table name for table exists") ||
      !requireOrSetError(sqliteHandle_ != nullptr, error, kOperationFailed,
                         "Table exists failed. Database not open.")) {
    return std::nullopt;
  }
  sqlite3_stmt* statement =
      prepareSQL("SELECT name FROM sqlite_master WHERE type='table' AND name=?", error);
  if (!statement) return std::nullopt;
  std::optional<bool> exists;
  if (bindValues({os::Value(table)}, statement, error)) {
    int result = sqlite3_step(statement);
    if (result == SQLITE_ROW || result == SQLITE_DONE) {
      exists = result == SQLITE_ROW;
    } else {
      setDatabaseError(error, "table exists");
    }
  }
  sqlite3_finalize(statement);
  return exists;
}

bool SqliteStore::forEachRow(std::string_view query, const std::vector<os::Value>& values,
                             std::string_view operation, os::Error* error,
                             const std::function<bool(sqlite3_stmt*)>& onRow) {
  sqlite3_stmt* statement = statementForQuery(query, values, error);
  if (!statement) return false;
  bool ok = true;
  for (;;) {
    int result = sqlite3_step(statement);
    if (result == SQLITE_DONE) break;
    if (result != SQLITE_ROW) {
      setDatabaseError(error, operation);
      ok = false;
      break;
    }
    if (!onRow(statement)) break;
  }
  cleanUpStatement(statement, query);
  return ok;
}

std::optional<std::vector<std::string>> SqliteStore::columnsForTableWithName(std::string_view table,
                                                                             os::Error* error) {
  if (!requireOrSetError(!table.empty(), error, kInvalidInput,
                         "Received empty table name for get columns") ||
      !requireOrSetError(sqliteHandle_ != nullptr, error, kOperationFailed,
                         "Get table columns failed. Database not open.")) {
    return std::nullopt;
  }
  std::vector<std::string> columns;
  std::string query = "PRAGMA table_info(" + std::string(table) + ")";
  bool ok = forEachRow(query, {}, "get table columns", error, [&](sqlite3_stmt* statement) {
    const unsigned char* name = sqlite3_column_text(statement, 1);
    if (name && *name) columns.emplace_back(reinterpret_cast<const char*>(name));
    return true;
  });
  if (!ok) return std::nullopt;
  return columns;
}

std::optional<std::map<std::string, std::string>> SqliteStore::columnInfoForTableWithName(
    std::string_view table, os::Error* error) {
  if (!requireOrSetError(!table.empty(), error, kInvalidInput,
                         "Received empty table name for column info") ||
      !requireOrSetError(sqliteHandle_ != nullptr, error, kOperationFailed,
                         "Get table column info failed. Database not open.")) {
    return std::nullopt;
  }
  std::map<std::string, std::string> info;
  std::string query = "PRAGMA table_info(" + std::string(table) + ")";
  bool ok = forEachRow(query, {}, "get table column info", error, [&](sqlite3_stmt* statement) {
    const unsigned char* name = sqlite3_column_text(statement, 1);
    const unsigned char* type = sqlite3_column_text(statement, 2);
    if (name && *name && type && *type) {
      info.emplace(reinterpret_cast<const char*>(name), reinterpret_cast<const char*>(type));
    }
    return true;
  });
  if (!ok) return std::nullopt;
  return info;
}

std::optional<int64_t> SqliteStore::rowCountForTableWithName(std::string_view table,
                                                             os::Error* error) {
  return rowCountForTableWithName(table, {}, os::Value(), error);
}

std::optional<int64_t> SqliteStore::rowCountForTableWithName(std::string_view table,
                                                             std::string_view column,
                                                             const os::Value& value,
                                                             os::Error* error) {
  if (!requireOrSetError(!table.empty(), error, kInvalidInput,
                         "Received empty table name for row count") ||
      !requireOrSetError(sqliteHandle_ != nullptr, error, kOperationFailed,
                         "Row count failed. Database not open.")) {
    return std::nullopt;
  }
  std::string query = "SELECT count(1) FROM " + std::string(table);
  std::vector<os::Value> values;
  if (!column.empty() && !value.isNull()) {
    query += " WHERE " + std::string(column) + "=?";
    values.push_back(value);
  }
  std::optional<os::Value> count = numberForQuery(query, values, error);
  if (!count) return std::nullopt;
  return count->integerValue();
}

bool SqliteStore::upsertRecord(const SqliteRecord& record, std::string_view table,
                               os::Error* error) {
  if (!requireOrSetError(!record.empty(), error, kInvalidInput,
                         "Received empty record for upsert") ||
      !requireOrSetError(!table.empty(), error, kInvalidInput,
                         "Received empty table name for upsert") ||
      !requireOrSetError(sqliteHandle_ != nullptr, error, kOperationFailed,
                         "Upsert record failed. Database not open.")) {
    return false;
  }
  std::string columns;
  std::string placeholders;
  std::vector<os::Value> values;
  for (const auto& [column, value] : record) {
    if (!isBindableValue(value)) {
      // The value is refused with an error, so that no caller counts the record as stored.
      reportUnexpectedType(34020, "Record has value of unexpected type");
      setErrorOutParameter(error, kInvalidInput, "Record has value of unexpected type");
      return false;
    }
    columns += column + ", ";
    placeholders += "?, ";
    values.push_back(value);
  }
  columns.resize(columns.size() - 2);
  placeholders.resize(placeholders.size() - 2);
  std::string sql = "INSERT OR REPLACE INTO " + std::string(table) + " (" + columns + ") VALUES (" +
                    placeholders + ");";
  return runToCompletion(sql, values, "execute statement", error).has_value();
}

bool SqliteStore::updateRecord(const SqliteRecord& record, std::string_view table,
                               std::string_view column, const os::Value& value, os::Error* error) {
  if (!record.empty() && !table.empty() && !column.empty() && !value.isNull() &&
      !requireOrSetError(sqliteHandle_ != nullptr, error, kOperationFailed,
                         "Update record failed. Database not open.")) {
    return false;
  }
  if (!requireOrSetError(!record.empty(), error, kInvalidInput, "Empty record for update") ||
      !requireOrSetError(!table.empty(), error, kInvalidInput, "Empty table name for update") ||
      !requireOrSetError(!column.empty(), error, kInvalidInput, "Empty column name for update") ||
      !requireOrSetError(!value.isNull(), error, kInvalidInput, "Nil column value for update")) {
    return false;
  }
  std::string assignments;
  // Blobs are bound without copying: their values stay here until the statement has run.
  std::vector<os::Value> values;
  for (const auto& [name, recordValue] : record) {
    if (!isBindableValue(recordValue)) {
      reportUnexpectedType(34021, "Record has value of unexpected type (update)");
      setErrorOutParameter(error, kInvalidInput,
                           "Failed to bind parameter of unexpected type to update statement");
      return false;
    }
    assignments += name + "=?,";
    values.push_back(recordValue);
  }
  assignments.pop_back();
  values.push_back(value);
  std::string sql = "UPDATE " + std::string(table) + " SET " + assignments + " WHERE " +
                    std::string(column) + "=?";
  return runToCompletion(sql, values, "execute statement", error).has_value();
}

bool SqliteStore::updateAllRecordsInTableWithName(std::string_view table, std::string_view column,
                                                  const os::Value& value, os::Error* error) {
  if (!requireOrSetError(!table.empty(), error, kInvalidInput, "Empty table name for update") ||
      !requireOrSetError(!column.empty(), error, kInvalidInput, "Empty column name for update") ||
      !requireOrSetError(!value.isNull(), error, kInvalidInput, "Nil column value for update") ||
      !requireOrSetError(sqliteHandle_ != nullptr, error, kOperationFailed,
                         "Update record failed. Database not open.")) {
    return false;
  }
  std::string query = "UPDATE " + std::string(table) + " SET " + std::string(column) + "=?";
  return runToCompletion(query, {value}, "update all records value", error).has_value();
}

bool SqliteStore::increaseColumn(std::string_view column, int64_t amount, std::string_view table,
                                 std::string_view condition,
                                 const std::vector<os::Value>& parameterValues, os::Error* error) {
  if (!requireOrSetError(!table.empty(), error, kInvalidInput,
                         "Empty table name for increase column") ||
      !requireOrSetError(!column.empty(), error, kInvalidInput,
                         "Empty column name for increase column") ||
      !requireOrSetError(!condition.empty(), error, kInvalidInput,
                         "Empty condition for increase column") ||
      !requireOrSetError(sqliteHandle_ != nullptr, error, kOperationFailed,
                         "Increase column failed. Database not open.")) {
    return false;
  }
  std::optional<std::map<std::string, std::string>> info = columnInfoForTableWithName(table, error);
  if (!info) return false;
  auto found = info->find(std::string(column));
  if (!requireOrSetError(found != info->end(), error, kInvalidInput,
                         "Invalid column or table name")) {
    return false;
  }
  if (!requireOrSetError(asciiUppercase(found->second) == "INTEGER", error, kInvalidInput,
                         "Column type is not integer.")) {
    return false;
  }
  std::string query = "UPDATE " + std::string(table) + " SET " + std::string(column) + " = " +
                      std::string(column) + " + " + std::to_string(amount) + " WHERE " +
                      std::string(condition);
  return runToCompletion(query, parameterValues, "increase records value", error).has_value();
}

bool SqliteStore::deleteRecordFromTableWithName(std::string_view table, std::string_view column,
                                                const os::Value& value, os::Error* error) {
  if (!requireOrSetError(!table.empty(), error, kInvalidInput,
                         "Received empty table name for delete record") ||
      !requireOrSetError(!column.empty(), error, kInvalidInput,
                         "Received empty column for delete record") ||
      !requireOrSetError(!value.isNull(), error, kInvalidInput,
                         "Received nil value for delete record") ||
      !requireOrSetError(sqliteHandle_ != nullptr, error, kOperationFailed,
                         "Delete record failed. Database not open.")) {
    return false;
  }
  std::string sql = "DELETE FROM " + std::string(table) + " WHERE " + std::string(column) + "=?";
  return runToCompletion(sql, {value}, "delete record", error).has_value();
}

std::optional<int64_t> SqliteStore::deleteRecordsFromTableWithName(
    std::string_view table, std::string_view condition,
    const std::vector<os::Value>& parameterValues, os::Error* error) {
  if (!requireOrSetError(!table.empty(), error, kInvalidInput,
                         "Received empty table name for delete record") ||
      !requireOrSetError(!condition.empty(), error, kInvalidInput,
                         "Received empty condition for delete record") ||
      !requireOrSetError(sqliteHandle_ != nullptr, error, kOperationFailed,
                         "Delete records with condition failed. Database not open.")) {
    return std::nullopt;
  }
  std::string query = "DELETE FROM " + std::string(table) + " WHERE " + std::string(condition);
  return runToCompletion(query, parameterValues, "delete records with condition", error);
}

bool SqliteStore::deleteAllRecordsFromTableWithName(std::string_view table, os::Error* error) {
  if (!requireOrSetError(!table.empty(), error, kInvalidInput,
                         "Received empty table name for delete all records") ||
      !requireOrSetError(sqliteHandle_ != nullptr, error, kOperationFailed,
                         "Delete all records failed. Database not open.")) {
    return false;
  }
  return runToCompletion("DELETE FROM " + std::string(table), {}, "delete all records", error)
      .has_value();
}

std::optional<int64_t> SqliteStore::changeRowsWithStatement(
    std::string_view statement, const std::vector<os::Value>& parameterValues, os::Error* error) {
  if (!requireOrSetError(!statement.empty(), error, kInvalidInput,
                         "Received empty statement to change rows") ||
      !requireOrSetError(sqliteHandle_ != nullptr, error, kOperationFailed,
                         "Change rows failed. Database not open.")) {
    return std::nullopt;
  }
  return runToCompletion(statement, parameterValues, "change rows", error);
}

std::optional<int64_t> SqliteStore::runToCompletion(std::string_view query,
                                                    const std::vector<os::Value>& values,
                                                    std::string_view operation, os::Error* error) {
  sqlite3_stmt* statement = statementForQuery(query, values, error);
  if (!statement) return std::nullopt;
  std::optional<int64_t> changes;
  if (sqlite3_step(statement) == SQLITE_DONE) {
    changes = sqlite3_changes64(sqliteHandle_);
  } else {
    setDatabaseError(error, operation);
  }
  cleanUpStatement(statement, query);
  return changes;
}

std::optional<std::vector<SqliteRecord>> SqliteStore::recordsForQuery(
    std::string_view query, const std::vector<os::Value>& parameterValues, os::Error* error) {
  return recordsForQuery(query, parameterValues, error,
                         [](size_t, const SqliteRecord&) { return true; });
}

std::optional<std::vector<SqliteRecord>> SqliteStore::recordsForQuery(
    std::string_view query, const std::vector<os::Value>& parameterValues, os::Error* error,
    const RecordFilter& filter) {
  if (!requireOrSetError(!query.empty(), error, kInvalidInput,
                         "Received empty query for records for query") ||
      !requireOrSetError(static_cast<bool>(filter), error, kInvalidInput,
                         "Received empty filter for selecting records") ||
      !requireOrSetError(sqliteHandle_ != nullptr, error, kOperationFailed,
                         "Query records failed. Database not open.") ||
      !requireOrSetError(startsWithSelect(query), error, kInvalidInput,
                         "Received invalid select query")) {
    return std::nullopt;
  }
  std::vector<SqliteRecord> rows;
  bool readAny = false;
  bool ok =
      forEachRow(query, parameterValues, "query records", error, [&](sqlite3_stmt* statement) {
        readAny = true;
        SqliteRecord row;
        int count = sqlite3_column_count(statement);
        for (int column = 0; column < count; ++column) {
          const char* name = sqlite3_column_name(statement, column);
          if (!name) {
            monitor().log(MonitorLevel::kWarningSampled, 34003, "Failed to get column name");
            continue;
          }
          std::optional<os::Value> value = valueAtColumn(column, statement);
          if (!value) {
            monitor().log(MonitorLevel::kWarningSampled, 34004, "Value is nil for column",
                          std::string(name));
            continue;
          }
          row.set(name, std::move(*value));
        }
        if (!filter(rows.size(), row)) return false;
        rows.push_back(std::move(row));
        return true;
      });
  if (!ok) return std::nullopt;
  if (readAny && rows.empty()) {
    monitor().log(MonitorLevel::kWarningSampled, 34005,
                  "Database contains records that were all filtered out");
  }
  return rows;
}

std::optional<os::Value> SqliteStore::numberForQuery(std::string_view query,
                                                     const std::vector<os::Value>& parameterValues,
                                                     os::Error* error) {
  if (!requireOrSetError(!query.empty(), error, kInvalidInput,
                         "Received empty query to get numeric result") ||
      !requireOrSetError(sqliteHandle_ != nullptr, error, kOperationFailed,
                         "Query numeric result failed. Database not open.")) {
    return std::nullopt;
  }
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (!statement) return std::nullopt;
  std::optional<os::Value> number;
  if (sqlite3_step(statement) == SQLITE_ROW) {
    switch (sqlite3_column_type(statement, 0)) {
      case SQLITE_NULL:
        number = os::Value();
        break;
      case SQLITE_INTEGER:
      case SQLITE_FLOAT:
        number = valueAtColumn(0, statement);
        break;
      default:
        setErrorOutParameter(error, kInvalidInput, "Found result that was not numeric");
    }
  } else {
    setDatabaseError(error, "query numeric result");
  }
  cleanUpStatement(statement, query);
  return number;
}

sqlite3_stmt* SqliteStore::statementForQuery(std::string_view query, os::Error* error) {
  return statementForQuery(query, {}, error);
}

sqlite3_stmt* SqliteStore::statementForQuery(std::string_view query,
                                             const std::vector<os::Value>& parameterValues,
                                             os::Error* error) {
  auto cached = statementCache_.find(query);
  if (cached != statementCache_.end()) {
    endReadsBefore(cached->second);
    if (!parameterValues.empty() && !bindValues(parameterValues, cached->second, error)) {
      sqlite3_clear_bindings(cached->second);
      return nullptr;
    }
    return cached->second;
  }
  if (!requireOrSetError(sqliteHandle_ != nullptr, error, kOperationFailed,
                         "Statement for query failed. Database not open.")) {
    return nullptr;
  }
  bool hasPlaceholder = query.find('?') != std::string_view::npos;
  if (hasPlaceholder && !requireOrSetError(!parameterValues.empty(), error, kInvalidInput,
                                           "Received empty parameters")) {
    return nullptr;
  }
  // A text that writes its values into a WHERE clause changes with every value: caching it
  // would keep one statement per value until the store closes.
  bool cacheable = hasPlaceholder || !containsWhere(query);
  sqlite3_stmt* statement = prepareSQL(query, error, cacheable ? SQLITE_PREPARE_PERSISTENT : 0);
  if (!statement) return nullptr;
  if (cacheable) statementCache_.emplace(std::string(query), statement);
  if (!parameterValues.empty() && !bindValues(parameterValues, statement, error)) {
    cleanUpStatement(statement, query);
    return nullptr;
  }
  return statement;
}

void SqliteStore::cleanUpStatement(sqlite3_stmt* statement, std::string_view query) {
  if (!statement) return;
  auto cached = statementCache_.find(query);
  if (cached == statementCache_.end()) {
    sqlite3_finalize(statement);
    return;
  }
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  if (cached->second != statement) {
    monitor().log(MonitorLevel::kWarningSilent, 34016,
                  "Statement is not the same one in the cache");
  }
}

sqlite3_stmt* SqliteStore::prepareSQL(std::string_view sql, os::Error* error,
                                      unsigned int prepareFlags) {
  if (!requireOrSetError(!sql.empty(), error, kInvalidInput,
                         "Received empty SQL string to prepare") ||
      !requireOrSetError(sqliteHandle_ != nullptr, error, kOperationFailed,
                         "Prepare SQL failed. Database not open.")) {
    return nullptr;
  }
  std::string text(sql);
  sqlite3_stmt* statement = nullptr;
  const char* tail = nullptr;
  int result = sqlite3_prepare_v3(sqliteHandle_, text.c_str(), static_cast<int>(text.size() + 1),
                                  prepareFlags, &statement, &tail);
  if (result != SQLITE_OK || !statement) {
    setDatabaseError(error, "prepare statement", result == SQLITE_OK ? SQLITE_MISUSE : result);
    sqlite3_finalize(statement);
    return nullptr;
  }
  if (!onlyBlanks(tail)) {
    sqlite3_finalize(statement);
    setErrorOutParameter(error, kInvalidInput, "Query contained more than one SQL statement.");
    return nullptr;
  }
  endReadsBefore(statement);
  return statement;
}

bool SqliteStore::executeSQL(std::string_view sql, os::Error* error) {
  if (!requireOrSetError(!sql.empty(), error, kInvalidInput,
                         "Received empty SQL string to execute") ||
      !requireOrSetError(sqliteHandle_ != nullptr, error, kOperationFailed,
                         "Execute SQL failed. Database not open.")) {
    return false;
  }
  sqlite3_stmt* statement = prepareSQL(sql, error);
  if (!statement) return false;
  return executeSQLStatement(statement, error);
}

bool SqliteStore::executeSQLStatement(sqlite3_stmt* statement, os::Error* error) {
  if (!requireOrSetError(statement != nullptr, error, kInvalidInput,
                         "Execute SQL statement failed. Statement is NULL.")) {
    return false;
  }
  if (!requireOrSetError(sqliteHandle_ != nullptr, error, kOperationFailed,
                         "Execute SQL statement failed. Database not open.")) {
    sqlite3_finalize(statement);
    return false;
  }
  bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, "execute statement");
  sqlite3_finalize(statement);
  return done;
}

bool SqliteStore::bindValues(const std::vector<os::Value>& values, sqlite3_stmt* statement,
                             os::Error* error) {
  if (!requireOrSetError(statement != nullptr, error, kInvalidInput,
                         "Failed to bind to NULL statement")) {
    return false;
  }
  sqlite3_clear_bindings(statement);
  bool ok = true;
  for (size_t index = 0; index < values.size(); ++index) {
    const os::Value& value = values[index];
    int position = static_cast<int>(index + 1);
    int result = SQLITE_MISMATCH;
    if (const os::Data* data = value.asData()) {
      // Bound without a copy: the caller's value lives until the statement is cleaned up.
      result = data->empty() ? sqlite3_bind_zeroblob(statement, position, 0)
                             : sqlite3_bind_blob64(statement, position, data->data(), data->size(),
                                                   SQLITE_STATIC);
    } else if (const double* real = value.asReal()) {
      result = sqlite3_bind_double(statement, position, *real);
    } else if (value.isNumber() || value.isBool()) {
      result = sqlite3_bind_int64(statement, position, value.integerValue());
    } else if (const std::string* text = value.asString()) {
      result = sqlite3_bind_text64(statement, position, text->data(), text->size(),
                                   SQLITE_TRANSIENT, SQLITE_UTF8);
    } else if (value.isNull()) {
      result = sqlite3_bind_null(statement, position);
    }
    if (result != SQLITE_OK) {
      setDatabaseError(error, "bind values", result);
      ok = false;
    }
  }
  return ok;
}

std::optional<os::Value> SqliteStore::valueAtColumn(int column, sqlite3_stmt* statement) {
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
      return os::Value(static_cast<int64_t>(sqlite3_column_int64(statement, column)));
    case SQLITE_FLOAT:
      return os::Value(sqlite3_column_double(statement, column));
    case SQLITE_TEXT: {
      const unsigned char* text = sqlite3_column_text(statement, column);
      int length = sqlite3_column_bytes(statement, column);
      return os::Value(std::string(reinterpret_cast<const char*>(text), length));
    }
    case SQLITE_BLOB: {
      const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(statement, column));
      int length = sqlite3_column_bytes(statement, column);
      if (!bytes || length == 0) return std::nullopt;
      return os::Value(os::Data(bytes, bytes + length));
    }
    default:
      return os::Value();
  }
}

bool SqliteStore::performTransactionWithError(os::Error* error,
                                              const std::function<bool()>& block) {
  if (!requireOrSetError(static_cast<bool>(block), error, kInvalidInput,
                         "Received nil transaction block") ||
      !requireOrSetError(sqliteHandle_ != nullptr, error, kOperationFailed, "Database not open")) {
    return false;
  }
  if (!beginTransaction()) {
    setTransactionError(error, "Failed to begin transaction");
    return false;
  }
  bool succeeded = false;
  try {
    succeeded = block();
  } catch (...) {
    if (!rollbackTransaction()) {
      monitor().log(MonitorLevel::kErrorSampled, 34009,
                    "Failed to rollback transaction after exception");
    }
    throw;
  }
  if (!succeeded) {
    setErrorOutParameter(error, kDatabaseFailure, "Transaction failed");
    if (!rollbackTransaction())
      monitor().log(MonitorLevel::kErrorSampled, 34011, "Failed to rollback transaction");
    return false;
  }
  if (!endTransaction()) {
    setTransactionError(error, "Failed to end transaction");
    // A failed commit may leave the transaction open (SQLite rolls some failures back by
    // itself); left open, every later BEGIN would fail and nothing would be stored again.
    if (!sqlite3_get_autocommit(sqliteHandle_) && !rollbackTransaction()) {
      monitor().log(MonitorLevel::kErrorSampled, 34011, "Failed to rollback transaction");
    }
    return false;
  }
  return true;
}

void SqliteStore::setTransactionError(os::Error* error, std::string_view message) {
  if (!error) return;
  *error = measurementError(kDatabaseFailure, message);
  if (os::Dictionary* userInfo = error->userInfo.asDictionary()) {
    (*userInfo)[kSqliteResultCodeKey] = int64_t{sqlite3_errcode(sqliteHandle_)};
  }
}

void SqliteStore::performReads(const std::function<void()>& block) {
  if (readsOpen_ || !sqliteHandle_ || !sqlite3_get_autocommit(sqliteHandle_) ||
      sqlite3_exec(sqliteHandle_, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
    block();
    return;
  }
  readsOpen_ = true;
  struct EndReads {
    SqliteStore& store;
    ~EndReads() { store.endReads(); }
  } end{*this};
  block();
}

void SqliteStore::endReadsBefore(sqlite3_stmt* statement) {
  if (readsOpen_ && !sqlite3_stmt_readonly(statement)) endReads();
}

void SqliteStore::endReads() {
  if (!readsOpen_) return;
  readsOpen_ = false;
  // Nothing was written: ending the transaction only lets go of the snapshot and the locks.
  if (sqliteHandle_ && !sqlite3_get_autocommit(sqliteHandle_) &&
      sqlite3_exec(sqliteHandle_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    rollbackTransaction();
  }
}

bool SqliteStore::beginTransaction() {
  endReads();
  return sqliteHandle_ && sqlite3_exec(sqliteHandle_, "BEGIN EXCLUSIVE TRANSACTION", nullptr,
                                       nullptr, nullptr) == SQLITE_OK;
}

bool SqliteStore::endTransaction() {
  return sqliteHandle_ &&
         sqlite3_exec(sqliteHandle_, "END TRANSACTION", nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool SqliteStore::rollbackTransaction() {
  return sqliteHandle_ &&
         sqlite3_exec(sqliteHandle_, "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK;
}

void SqliteStore::setDatabaseError(os::Error* error, std::string_view operation,
                                   std::optional<int> resultCode) {
  if (!error) return;
  int code = resultCode.value_or(sqliteHandle_ ? sqlite3_errcode(sqliteHandle_) : SQLITE_MISUSE);
  *error = measurementError(kDatabaseFailure,
                            errorDescriptionForDatabaseOperation(operation, resultCode),
                            monitorContextForDatabaseOperation(operation, resultCode));
  if (!error->userInfo.isDictionary()) error->userInfo = os::Dictionary();
  (*error->userInfo.asDictionary())[kSqliteResultCodeKey] = int64_t{code};
}

std::string SqliteStore::errorDescriptionForDatabaseOperation(std::string_view operation,
                                                              std::optional<int> resultCode) {
  if (!sqliteHandle_) return {};
  int code = resultCode.value_or(sqlite3_errcode(sqliteHandle_));
  // A code given by the caller (an integrity answer, a refused read-only file) is not the
  // connection's own: its message is SQLite's text for that code.
  std::string message = resultCode && *resultCode != sqlite3_errcode(sqliteHandle_)
                            ? sqlite3_errstr(code)
                            : lastErrorMessage().value_or("");
  return "Database operation \"" + std::string(operation) + "\" failed with sqlite code " +
         std::to_string(code) + " and error message \"" + message + "\"";
}

std::string SqliteStore::monitorContextForDatabaseOperation(std::string_view operation,
                                                            std::optional<int> resultCode) {
  int code = resultCode.value_or(sqliteHandle_ ? sqlite3_errcode(sqliteHandle_) : SQLITE_MISUSE);
  return (operation.empty() ? std::string("Unknown operation") : std::string(operation)) + "," +
         std::to_string(code) + "," + (isDatabaseWritable() ? "A" : "NA");
}

bool SqliteStore::isDatabaseWritable() const { return ::access(databasePath_.c_str(), W_OK) == 0; }

std::optional<std::string> SqliteStore::lastErrorMessage() {
  if (!sqliteHandle_) {
    monitor().log(MonitorLevel::kErrorSampled, 34022,
                  "Failed to get last error message. Database not open");
    return std::nullopt;
  }
  return std::string(sqlite3_errmsg(sqliteHandle_));
}

}  // namespace measurement
