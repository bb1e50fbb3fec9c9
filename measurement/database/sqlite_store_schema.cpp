// The table operations of SqliteStore: creation from column lists, added columns, validation
// against the lists and the rebuild of a table whose column types changed.
#include <algorithm>
#include <set>

#include "measurement/database/sqlite_store.h"
#include "measurement/foundation/measurement_error.h"

namespace measurement {
namespace {

constexpr const char* kMissingRequiredColumns = "Table is missing required columns";
constexpr const char* kUnknownNotNullColumns = "Table contains unknown non-optional columns";

std::string firstWord(const std::string& type) { return type.substr(0, type.find(' ')); }

ColumnInfo withModifiedTypes(const ColumnInfo& columns, const ModifyColumnInfo& modify) {
  ColumnInfo rewritten = columns;
  for (auto& [name, type] : rewritten) {
    auto found = modify.find(name);
    if (name != kPrimaryKeyPseudoColumn && found != modify.end()) type = found->second;
  }
  return rewritten;
}

}  // namespace

bool isIrreconcilableSchemaError(const os::Error& error) {
  return error.domain == kMeasurementErrorDomain && error.code == kOperationFailed &&
         (error.description == kMissingRequiredColumns ||
          error.description == kUnknownNotNullColumns);
}

bool SqliteStore::ensureTableWithName(std::string_view table, const ColumnInfo& elementary,
                                      const ColumnInfo& addOn, const ModifyColumnInfo& modify,
                                      os::Error* error) {
  if (!ensureTableWithName(table, elementary, addOn, error)) return false;
  if (modify.empty()) return true;
  return ensureSchemaOfTableWithName(table, withModifiedTypes(elementary, modify),
                                     withModifiedTypes(addOn, modify), error);
}

bool SqliteStore::ensureTableWithName(std::string_view table, const ColumnInfo& elementary,
                                      const ColumnInfo& addOn, os::Error* error) {
  if (!requireOrSetError(!table.empty(), error, kInvalidInput,
                         "Received empty table name for ensure table") ||
      !requireOrSetError(!elementary.empty(), error, kInvalidInput,
                         "Received empty elementary column info for ensure table")) {
    return false;
  }
  std::string createSQL = "CREATE TABLE IF NOT EXISTS " + std::string(table) + " ( ";
  std::vector<std::string> required;
  for (const auto& [name, type] : elementary) {
    createSQL += name + " " + type + ", ";
    if (name != kPrimaryKeyPseudoColumn) required.push_back(name);
  }
  createSQL.resize(createSQL.size() - 2);
  createSQL += ");";
  std::vector<std::pair<std::string, std::string>> addOnColumns;
  for (const auto& [name, type] : addOn) {
    if (name.empty()) continue;
    addOnColumns.emplace_back(
        name, "ALTER TABLE " + std::string(table) + " ADD COLUMN " + name + " " + type);
  }
  return ensureTableWithName(table, createSQL, required, addOnColumns, error);
}

bool SqliteStore::ensureTableWithName(
    std::string_view table, std::string_view createSQL,
    const std::vector<std::string>& requiredColumnNames,
    const std::vector<std::pair<std::string, std::string>>& addOnColumns, os::Error* error) {
  if (!requireOrSetError(!table.empty(), error, kInvalidInput,
                         "Received empty table name for ensure table") ||
      !requireOrSetError(!requiredColumnNames.empty(), error, kInvalidInput,
                         "Received no table columns for ensure table") ||
      !requireOrSetError(!createSQL.empty(), error, kInvalidInput,
                         "Received empty create statement for ensure table") ||
      !requireOrSetError(sqliteHandle_ != nullptr, error, kOperationFailed,
                         "Ensure table failed. Database not open.")) {
    return false;
  }
  std::optional<bool> exists = tableExists(table, error);
  if (!exists) return false;
  if (!*exists && !executeSQL(createSQL, error)) return false;
  std::optional<bool> valid =
      validateTableWithName(table, requiredColumnNames, addOnColumns, error);
  return valid.value_or(false);
}

std::optional<bool> SqliteStore::validateTableWithName(
    std::string_view table, const std::vector<std::string>& requiredColumnNames,
    const std::vector<std::pair<std::string, std::string>>& addOnColumns, os::Error* error) {
  if (!requireOrSetError(!table.empty(), error, kInvalidInput,
                         "Received empty table name for validate table") ||
      !requireOrSetError(!requiredColumnNames.empty(), error, kInvalidInput,
                         "Received no table columns for validate table") ||
      !requireOrSetError(sqliteHandle_ != nullptr, error, kOperationFailed,
                         "Validate table failed. Database not open.")) {
    return std::nullopt;
  }
  std::optional<std::vector<std::string>> columns = columnsForTableWithName(table, error);
  if (!columns) return std::nullopt;
  if (!requireOrSetError(!columns->empty(), error, kOperationFailed,
                         "Table does not exist for validate table")) {
    return std::nullopt;
  }
  std::set<std::string> extra(columns->begin(), columns->end());
  for (const std::string& name : requiredColumnNames) {
    if (!extra.erase(name)) {
      setErrorOutParameter(error, kOperationFailed, kMissingRequiredColumns);
      return false;
    }
  }
  for (const auto& [name, alterSQL] : addOnColumns) {
    if (extra.erase(name)) continue;
    if (!executeSQL(alterSQL, error)) return false;
  }
  if (extra.empty()) return true;
  bool unknownNotNull = false;
  std::string query = "PRAGMA table_info(" + std::string(table) + ")";
  bool read = forEachRow(query, {}, "validate table", error, [&](sqlite3_stmt* statement) {
    const unsigned char* name = sqlite3_column_text(statement, 1);
    if (name && extra.count(reinterpret_cast<const char*>(name)) &&
        sqlite3_column_int(statement, 3) != 0) {
      unknownNotNull = true;
      return false;
    }
    return true;
  });
  if (!read) return std::nullopt;
  if (unknownNotNull) {
    setErrorOutParameter(error, kOperationFailed, kUnknownNotNullColumns);
    return false;
  }
  return true;
}

bool SqliteStore::ensureSchemaOfTableWithName(std::string_view table, const ColumnInfo& elementary,
                                              const ColumnInfo& addOn, os::Error* error) {
  if (!requireOrSetError(!table.empty(), error, kInvalidInput,
                         "Received empty table name for ensure table schema") ||
      !requireOrSetError(!elementary.empty(), error, kInvalidInput,
                         "Received empty column info for ensure table schema")) {
    return false;
  }
  std::optional<std::map<std::string, std::string>> actual =
      columnInfoForTableWithName(table, error);
  if (!actual) return false;
  if (!requireOrSetError(!actual->empty(), error, kOperationFailed,
                         "Table does not exist for ensure table schema")) {
    return false;
  }
  std::map<std::string, std::string> expected;
  for (const auto& [name, type] : elementary) {
    if (name.empty() || type.empty() || name == kPrimaryKeyPseudoColumn) continue;
    expected[name] = firstWord(type);
  }
  for (const auto& [name, type] : addOn) {
    if (!name.empty() && !type.empty()) expected[name] = type;
  }
  if (expected == *actual) return true;
  return rebuildTable(table, elementary, addOn, error);
}

bool SqliteStore::rebuildTable(std::string_view table, const ColumnInfo& elementary,
                               const ColumnInfo& addOn, os::Error* error) {
  std::string old = std::string(table) + "_old";
  os::Error stepError;
  bool stepFailed = false;
  os::Error transactionError;
  bool rebuilt = performTransactionWithError(&transactionError, [&] {
    auto step = [&](bool ok) {
      stepFailed = !ok;
      return ok;
    };
    if (!step(renameTable(table, old, &stepError)) ||
        !step(ensureTableWithName(table, elementary, addOn, &stepError))) {
      return false;
    }
    // The columns both tables have, by name: a column the old table has and the new one does
    // not (a nullable column someone added) is left behind instead of failing the copy.
    std::optional<std::vector<std::string>> oldColumns = columnsForTableWithName(old, &stepError);
    std::optional<std::vector<std::string>> newColumns =
        oldColumns ? columnsForTableWithName(table, &stepError) : std::nullopt;
    if (!step(newColumns.has_value())) return false;
    std::vector<std::string> shared;
    for (const std::string& column : *newColumns) {
      if (std::find(oldColumns->begin(), oldColumns->end(), column) != oldColumns->end()) {
        shared.push_back(column);
      }
    }
    return step(copyContentsFromTable(old, table, &stepError, shared)) &&
           step(dropTableWithName(old, &stepError));
  });
  if (!rebuilt && error) *error = stepFailed ? stepError : transactionError;
  return rebuilt;
}

bool SqliteStore::dropTableWithName(std::string_view table, os::Error* error) {
  if (!requireOrSetError(!table.empty(), error, kInvalidInput,
                         "Received empty table name for drop table")) {
    return false;
  }
  return executeSQL("DROP TABLE " + std::string(table), error);
}

bool SqliteStore::renameTable(std::string_view table, std::string_view newName, os::Error* error) {
  if (!requireOrSetError(!table.empty(), error, kInvalidInput,
                         "Received empty old name for rename table") ||
      !requireOrSetError(!newName.empty(), error, kInvalidInput,
                         "Received empty new name for rename table") ||
      !requireOrSetError(table != newName, error, kInvalidInput,
                         "Received duplicate name for rename table")) {
    return false;
  }
  return executeSQL("ALTER TABLE " + std::string(table) + " RENAME TO " + std::string(newName),
                    error);
}

bool SqliteStore::copyContentsFromTable(std::string_view source, std::string_view destination,
                                        os::Error* error, const std::vector<std::string>& columns) {
  if (!requireOrSetError(!source.empty(), error, kInvalidInput,
                         "Received empty source name for copy table") ||
      !requireOrSetError(!destination.empty(), error, kInvalidInput,
                         "Received empty destination name for copy table") ||
      !requireOrSetError(source != destination, error, kInvalidInput,
                         "Received duplicate name for copy table")) {
    return false;
  }
  if (columns.empty()) {
    return executeSQL(
        "INSERT INTO " + std::string(destination) + " SELECT * FROM " + std::string(source), error);
  }
  std::string list;
  for (const std::string& column : columns) list += (list.empty() ? "" : ", ") + column;
  return executeSQL("INSERT INTO " + std::string(destination) + " (" + list + ") SELECT " + list +
                        " FROM " + std::string(source),
                    error);
}

bool SqliteStore::createEmptyTable(std::string_view table, std::string_view source,
                                   os::Error* error) {
  if (!requireOrSetError(!source.empty(), error, kInvalidInput,
                         "Received empty source name for create empty copy") ||
      !requireOrSetError(!table.empty(), error, kInvalidInput,
                         "Received empty destination name for create empty copy") ||
      !requireOrSetError(table != source, error, kInvalidInput,
                         "Received duplicate name for create empty copy")) {
    return false;
  }
  return executeSQL("CREATE TABLE IF NOT EXISTS " + std::string(table) + " AS SELECT * FROM " +
                        std::string(source) + " WHERE false",
                    error);
}

}  // namespace measurement
