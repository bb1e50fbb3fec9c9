// SqliteStore: the one wrapper over SQLite that the measurement databases use. One store owns
// one connection to one file: it opens and validates the file (deleting and recreating it only
// when it is not a database or is corrupt), creates and upgrades tables from column lists,
// runs parameterised statements through a cache of prepared statements keyed by their SQL text,
// turns result rows into SqliteRecords and runs exclusive transactions.
//
//   os::Error error;
//   std::unique_ptr<SqliteStore> store = SqliteStore::open(path, &error);
//   if (!store) return;                              // the file, if any, is still on disk
//   store->performTransactionWithError(&error, [&] {
//     return store->upsertRecord({{"name", "a"}, {"value", 1}}, "t", &error);
//   });
//   auto rows = store->recordsForQuery("SELECT rowid, * FROM t WHERE name = ?", {"a"}, &error);
//
// Errors. Every failing operation returns false, nullopt or nullptr and, when `error` is not
// null, stores a measurement error: code 1 for a bad argument, 2 for a wrong state or failed
// operation, 3 for an SQLite failure ("Database operation \"<name>\" failed with sqlite code
// <n> and error message \"<text>\""), whose user info also carries the SQLite result code
// (sqliteResultCode()). No result depends on whether the caller passed `error`.
//
// Journal. The file is kept in WAL mode with synchronous=NORMAL: a crash of the process never
// loses a committed transaction, a power loss may lose the last ones but never corrupts the
// file. A connection held by another process makes an operation wait up to
// kBusyTimeoutMilliseconds and then fail with SQLITE_BUSY.
//
// Threads. The connection is opened in serialized mode but the store itself has no lock: its
// statement cache assumes one caller at a time. Use a store from one serial queue only (the
// measurement database's is the engine's worker queue, which Database checks).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "measurement/database/sqlite_record.h"
#include "os/value/error.h"
#include "os/value/value.h"

namespace measurement {

// Ordered (column name, SQL type text) pairs. The pair named "PRIMARY KEY" is a table
// constraint whose type text is the parenthesised key list.
using ColumnInfo = std::vector<std::pair<std::string, std::string>>;
// Column name to new SQL type text.
using ModifyColumnInfo = std::map<std::string, std::string>;
// Called with the index of the row among those accepted so far and the row: true keeps the row
// and reads on, false ends the reading without keeping it.
using RecordFilter = std::function<bool(size_t index, const SqliteRecord& row)>;

inline constexpr const char* kPrimaryKeyPseudoColumn = "PRIMARY KEY";
inline constexpr int kBusyTimeoutMilliseconds = 2000;
// The user-info key of a database error (code 3) that holds the SQLite result code.
inline constexpr const char* kSqliteResultCodeKey = "SQLiteResultCode";

// The SQLite result code a database error carries; nullopt for other errors.
std::optional<int> sqliteResultCode(const os::Error& error);
// Whether `error` says the file is unusable as a database: not a database, corrupt, or failing
// its integrity check. Only such a file may be deleted and created anew; a busy, locked,
// read-only, full or failing disk keeps its file for the next attempt.
bool isUnusableDatabaseError(const os::Error& error);
// Whether `error` says a table's columns cannot be reconciled with its description: a required
// column is missing, or a column the description does not name is NOT NULL.
bool isIrreconcilableSchemaError(const os::Error& error);

class SqliteStore {
 public:
  // Opens the file at `path` (creating it and its folder when missing) and validates it. A file
  // that is not a database, is corrupt or fails "PRAGMA integrity_check" is deleted with its
  // companions and opened once more; any other failure returns nullptr and leaves the file as
  // it was. An empty path fails with code 1 "Received empty database path on init".
  static std::unique_ptr<SqliteStore> open(std::string_view path, os::Error* error);

  // Closes the connection.
  ~SqliteStore();
  SqliteStore(const SqliteStore&) = delete;
  SqliteStore& operator=(const SqliteStore&) = delete;

  const std::string& databasePath() const { return databasePath_; }
  // The open connection, or nullptr while closed.
  sqlite3* sqliteHandle() const { return sqliteHandle_; }

  // Life of the connection.
  bool openAndValidateDatabase(os::Error* error);
  bool validateDatabaseWithError(os::Error* error);
  // Finalises the cached statements and closes the connection (34018 when SQLite refuses).
  void closeDatabase();
  // Closes the connection, then removes the file with its "-journal", "-wal" and "-shm"
  // companions. A missing file counts as removed; a failed removal is reported (34019) and
  // returns false.
  bool closeAndDeleteDatabase(os::Error* error = nullptr);

  // Table introspection.
  std::optional<bool> tableExists(std::string_view table, os::Error* error);
  // Column names in table order; empty for a table that does not exist.
  std::optional<std::vector<std::string>> columnsForTableWithName(std::string_view table,
                                                                  os::Error* error);
  // Column name to declared type ("REAL" for "REAL NOT NULL").
  std::optional<std::map<std::string, std::string>> columnInfoForTableWithName(
      std::string_view table, os::Error* error);
  std::optional<int64_t> rowCountForTableWithName(std::string_view table, os::Error* error);
  // Rows whose `column` equals `value`; a null `value` counts the whole table.
  std::optional<int64_t> rowCountForTableWithName(std::string_view table, std::string_view column,
                                                  const os::Value& value, os::Error* error);

  // Records. Column names and table names are put into the SQL text as given: they come from
  // the callers' own constants, never from outside input.
  // INSERT OR REPLACE INTO table (a, b) VALUES (?, ?);
  bool upsertRecord(const SqliteRecord& record, std::string_view table, os::Error* error);
  // UPDATE table SET a=?,b=? WHERE column=?
  bool updateRecord(const SqliteRecord& record, std::string_view table, std::string_view column,
                    const os::Value& value, os::Error* error);
  // UPDATE table SET column=?
  bool updateAllRecordsInTableWithName(std::string_view table, std::string_view column,
                                       const os::Value& value, os::Error* error);
  // UPDATE table SET column = column + amount WHERE condition; the column must be declared
  // INTEGER.
  bool increaseColumn(std::string_view column, int64_t amount, std::string_view table,
                      std::string_view condition, const std::vector<os::Value>& parameterValues,
                      os::Error* error);
  // DELETE FROM table WHERE column=?; true also when no row matched.
  bool deleteRecordFromTableWithName(std::string_view table, std::string_view column,
                                     const os::Value& value, os::Error* error);
  // DELETE FROM table WHERE condition: the number of deleted rows (0 is a result).
  std::optional<int64_t> deleteRecordsFromTableWithName(
      std::string_view table, std::string_view condition,
      const std::vector<os::Value>& parameterValues, os::Error* error);
  bool deleteAllRecordsFromTableWithName(std::string_view table, os::Error* error);
  // Runs one statement that changes rows (INSERT, UPDATE, DELETE) with `parameterValues` bound:
  // the number of changed rows.
  std::optional<int64_t> changeRowsWithStatement(std::string_view statement,
                                                 const std::vector<os::Value>& parameterValues,
                                                 os::Error* error);

  // Queries. The text must start with "select" (any case) at its first character. A query
  // whose first step gives no row answers an empty array; a failed step at any row is the
  // database error "query records" and nullopt. When the filter ends the reading before it kept
  // any row the monitor hears 34005.
  std::optional<std::vector<SqliteRecord>> recordsForQuery(
      std::string_view query, const std::vector<os::Value>& parameterValues, os::Error* error,
      const RecordFilter& filter);
  std::optional<std::vector<SqliteRecord>> recordsForQuery(
      std::string_view query, const std::vector<os::Value>& parameterValues, os::Error* error);
  // The first column of the first row: a number (integer or real), or a null value for NULL;
  // nullopt on failure (no row, a value that is not a number, an SQLite error).
  std::optional<os::Value> numberForQuery(std::string_view query,
                                          const std::vector<os::Value>& parameterValues,
                                          os::Error* error);

  // Statements. A statement from statementForQuery must go back through cleanUpStatement with
  // the same text; the bound values (blobs are bound without copying) must outlive that call.
  // Texts with "?" and texts without a WHERE clause are prepared once and cached until the
  // store closes; the others are prepared for every use.
  sqlite3_stmt* statementForQuery(std::string_view query,
                                  const std::vector<os::Value>& parameterValues, os::Error* error);
  sqlite3_stmt* statementForQuery(std::string_view query, os::Error* error);
  void cleanUpStatement(sqlite3_stmt* statement, std::string_view query);
  // Prepares exactly one statement; a text holding a second one is refused. `prepareFlags` are
  // sqlite3_prepare_v3's (SQLITE_PREPARE_PERSISTENT for a statement kept in the cache).
  sqlite3_stmt* prepareSQL(std::string_view sql, os::Error* error, unsigned int prepareFlags = 0);
  bool executeSQL(std::string_view sql, os::Error* error);
  // Steps once and finalises `statement` in every case; true on SQLITE_DONE.
  bool executeSQLStatement(sqlite3_stmt* statement, os::Error* error);
  // Binds by position from 1. Every value is tried; false when one could not be bound.
  bool bindValues(const std::vector<os::Value>& values, sqlite3_stmt* statement, os::Error* error);
  // The value of `column` in the current row by its storage class; nullopt for a zero-length
  // blob.
  static std::optional<os::Value> valueAtColumn(int column, sqlite3_stmt* statement);

  // Runs `block` inside "BEGIN EXCLUSIVE TRANSACTION" and "END TRANSACTION". A block answering
  // false rolls back (code 3 "Transaction failed"); a block that throws rolls back and the
  // exception goes on to the caller; a failed END rolls back too (code 3 "Failed to end
  // transaction"), so the connection never stays inside a transaction. Transactions do not
  // nest: a BEGIN inside one fails with code 3 "Failed to begin transaction".
  bool performTransactionWithError(os::Error* error, const std::function<bool()>& block);
  // Runs `block` with its queries in one read transaction: one snapshot, and the file's locks
  // taken once instead of by every query. A statement that writes, or a transaction begun in
  // `block`, first ends the read transaction, so it runs as it would outside. Inside a
  // transaction, or when the read transaction cannot begin, `block` just runs.
  void performReads(const std::function<void()>& block);
  bool beginTransaction();
  bool endTransaction();
  bool rollbackTransaction();

  // Error values.
  // Stores code 3 for `operation` with the connection's last result code (or `resultCode`).
  void setDatabaseError(os::Error* error, std::string_view operation,
                        std::optional<int> resultCode = std::nullopt);
  std::string errorDescriptionForDatabaseOperation(std::string_view operation,
                                                   std::optional<int> resultCode = std::nullopt);
  std::string monitorContextForDatabaseOperation(std::string_view operation,
                                                 std::optional<int> resultCode = std::nullopt);
  std::optional<std::string> lastErrorMessage();

  // Tables (sqlite_store_schema.cpp). The callers describe each table completely at every
  // opening; the store brings the file in line with the description.
  //
  // Creates the table when missing, adds missing add-on columns, refuses a table that lacks an
  // elementary column or has a NOT NULL column the lists do not name, then, when `modify` is not
  // empty, rebuilds the table with the modified types where the declared types differ.
  bool ensureTableWithName(std::string_view table, const ColumnInfo& elementary,
                           const ColumnInfo& addOn, const ModifyColumnInfo& modify,
                           os::Error* error);
  bool ensureTableWithName(std::string_view table, const ColumnInfo& elementary,
                           const ColumnInfo& addOn, os::Error* error);
  // `addOnColumns`: (column name, its "ALTER TABLE ... ADD COLUMN ..." statement) pairs.
  bool ensureTableWithName(std::string_view table, std::string_view createSQL,
                           const std::vector<std::string>& requiredColumnNames,
                           const std::vector<std::pair<std::string, std::string>>& addOnColumns,
                           os::Error* error);
  std::optional<bool> validateTableWithName(
      std::string_view table, const std::vector<std::string>& requiredColumnNames,
      const std::vector<std::pair<std::string, std::string>>& addOnColumns, os::Error* error);
  // Rebuilds the table in one transaction when its declared types differ from the lists:
  // renamed to "<table>_old", created anew, the columns both share copied by name, the old table
  // dropped. A failed step rolls the whole rebuild back.
  bool ensureSchemaOfTableWithName(std::string_view table, const ColumnInfo& elementary,
                                   const ColumnInfo& addOn, os::Error* error);
  bool dropTableWithName(std::string_view table, os::Error* error);
  bool renameTable(std::string_view table, std::string_view newName, os::Error* error);
  // INSERT INTO destination SELECT * FROM source, or, with `columns`, only those columns by
  // name: INSERT INTO destination (a, b) SELECT a, b FROM source.
  bool copyContentsFromTable(std::string_view source, std::string_view destination,
                             os::Error* error, const std::vector<std::string>& columns = {});
  // A table with the source's column names and no rows.
  bool createEmptyTable(std::string_view table, std::string_view source, os::Error* error);

 private:
  explicit SqliteStore(std::string path);

  // The busy timeout, WAL and synchronous=NORMAL.
  bool configureConnection(os::Error* error);
  // Steps the statement of `query` over its rows, calling `onRow` until it answers false; a
  // step error is the database error of `operation`.
  bool forEachRow(std::string_view query, const std::vector<os::Value>& values,
                  std::string_view operation, os::Error* error,
                  const std::function<bool(sqlite3_stmt*)>& onRow);
  // Steps the statement of `query` once to its end: the number of changed rows, or nullopt with
  // the database error of `operation`.
  std::optional<int64_t> runToCompletion(std::string_view query,
                                         const std::vector<os::Value>& values,
                                         std::string_view operation, os::Error* error);
  void setTransactionError(os::Error* error, std::string_view message);
  bool isDatabaseWritable() const;
  // Ends the read transaction of performReads before `statement` runs, when it writes.
  void endReadsBefore(sqlite3_stmt* statement);
  void endReads();
  bool rebuildTable(std::string_view table, const ColumnInfo& elementary, const ColumnInfo& addOn,
                    os::Error* error);

  sqlite3* sqliteHandle_ = nullptr;
  // Looked up twice for every statement run: hashed, since the texts are long and share their
  // first words, which an ordered map compares again at every step of its search.
  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };
  std::unordered_map<std::string, sqlite3_stmt*, TextHash, std::equal_to<>> statementCache_;
  // performReads holds a read transaction open.
  bool readsOpen_ = false;
  const std::string databasePath_;
};

}  // namespace measurement
