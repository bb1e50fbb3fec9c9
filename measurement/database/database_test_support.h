// For the database's tests: a sandbox that keeps the monitor's work inside it, and files made
// and read with plain SQLite beside the store, so that a test sets up and checks what is on
// disk independently of the code it tests.
//
//   rawExecute(path, "CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1);");
//   EXPECT_EQ(rawQuery(path, "SELECT a FROM t"), (RawRows{{"1"}}));
//   recordStatements(store->sqliteHandle(), &texts);   // what the store runs
//
// OpenDatabaseTest gives a test an open Database in a sandbox.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "measurement/database/database.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/persisted_config.h"
#include "measurement/foundation/storage_paths.h"
#include "testsupport/sandbox.h"

namespace measurement::testing {

// A sandbox in which the process's monitor does all its work: the reports a test causes are
// sampled and saved on the monitor's queue, which reads the sandbox's folders, so the queue is
// drained before the environment is restored.
class DatabaseSandbox : public testsupport::Sandbox {
 public:
  ~DatabaseSandbox() { monitor().drain(); }
};

using RawRows = std::vector<std::vector<std::string>>;

// Runs `sql` (any number of statements) on its own connection; fails the test on an error.
inline void rawExecute(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK) << path;
  char* message = nullptr;
  int result = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  EXPECT_EQ(result, SQLITE_OK) << (message ? message : "") << " in " << sql;
  sqlite3_free(message);
  sqlite3_close(db);
}

// Every row of `sql` with each column as text ("NULL" for NULL).
inline RawRows rawQuery(const std::string& path, const std::string& sql) {
  RawRows rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << "cannot open " << path;
    sqlite3_close(db);
    return rows;
  }
  sqlite3_exec(
      db, sql.c_str(),
      [](void* out, int count, char** values, char**) {
        auto& collected = *static_cast<RawRows*>(out);
        collected.emplace_back();
        for (int i = 0; i < count; ++i) collected.back().push_back(values[i] ? values[i] : "NULL");
        return 0;
      },
      &rows, nullptr);
  sqlite3_close(db);
  return rows;
}

// Appends the SQL text of every statement `db` starts to `*texts` (sqlite3_trace_v2), until
// the connection closes or stopRecordingStatements() is called.
inline void recordStatements(sqlite3* db, std::vector<std::string>* texts) {
  sqlite3_trace_v2(
      db, SQLITE_TRACE_STMT,
      [](unsigned, void* context, void* statement, void*) {
        static_cast<std::vector<std::string>*>(context)->push_back(
            sqlite3_sql(static_cast<sqlite3_stmt*>(statement)));
        return 0;
      },
      texts);
}
inline void stopRecordingStatements(sqlite3* db) { sqlite3_trace_v2(db, 0, nullptr, nullptr); }

inline std::string rawIntegrity(const std::string& path) {
  RawRows rows = rawQuery(path, "PRAGMA integrity_check");
  return rows.size() == 1 && rows[0].size() == 1 ? rows[0][0] : "not ok";
}

// A fixture with the database open in a fresh sandbox; the sandbox, destroyed last, waits for
// the monitor after the database has closed.
class OpenDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(config_);
    os::Error error;
    database_ = Database::open(kMeasurementDatabaseName, config_.get(), &error);
    ASSERT_TRUE(database_) << error.description;
  }

  DatabaseSandbox sandbox_;
  std::unique_ptr<PersistedConfig> config_ = PersistedConfig::create("com.example.database");
  std::unique_ptr<Database> database_;
  std::string path_ = measurementDataPath(kMeasurementDatabaseName);
};

}  // namespace measurement::testing
