#include "measurement/database/sqlite_store.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "measurement/database/database_test_support.h"
#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/monitor_capture.h"

namespace measurement {
namespace {

using testing::rawExecute;
using testing::rawQuery;
using testing::RawRows;

// A fresh store on a file in a sandbox, with table t (a INTEGER, b REAL, c TEXT, d BLOB).
class SqliteStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    os::Error error;
    store_ = SqliteStore::open(path_, &error);
    ASSERT_TRUE(store_) << error.description;
    ASSERT_TRUE(store_->executeSQL("CREATE TABLE t (a INTEGER, b REAL, c TEXT, d BLOB)", &error))
        << error.description;
  }

  // Statements the connection holds (cached ones stay, the others are finalised).
  int liveStatements() const {
    int count = 0;
    for (sqlite3_stmt* s = sqlite3_next_stmt(store_->sqliteHandle(), nullptr); s;
         s = sqlite3_next_stmt(store_->sqliteHandle(), s)) {
      ++count;
    }
    return count;
  }

  testing::DatabaseSandbox sandbox_;
  std::string path_ = (sandbox_.root() / "folder/store.sql").string();
  std::unique_ptr<SqliteStore> store_;
};

TEST_F(SqliteStoreTest, ReadsValuesBackByTheirStorageClass) {
  MonitorCapture capture;
  os::Error error;
  ASSERT_TRUE(store_->upsertRecord({{"a", 42}, {"b", 1.5}, {"c", "text"}, {"d", os::Data{1, 2}}},
                                   "t", &error))
      << error.description;
  ASSERT_TRUE(store_->upsertRecord({{"a", true}, {"b", 7}, {"c", nullptr}, {"d", os::Data{}}}, "t",
                                   &error));
  auto rows = store_->recordsForQuery("SELECT a, b, c, d FROM t ORDER BY rowid", {}, &error);
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 2u);
  EXPECT_EQ((*rows)[0],
            (SqliteRecord{{"a", int64_t{42}}, {"b", 1.5}, {"c", "text"}, {"d", os::Data{1, 2}}}));
  // A boolean is the integer 1; an integer in a REAL column comes back as a double; a
  // zero-length blob gives no value and is left out.
  EXPECT_EQ((*rows)[1], (SqliteRecord{{"a", int64_t{1}}, {"b", 7.0}, {"c", nullptr}}));
  EXPECT_TRUE(capture.contains(34004));
}

TEST_F(SqliteStoreTest, BuildsTheSameTextForTheSameRecordOrder) {
  std::vector<std::string> texts;
  testing::recordStatements(store_->sqliteHandle(), &texts);
  os::Error error;
  ASSERT_TRUE(store_->upsertRecord({{"c", "x"}, {"a", 1}}, "t", &error));
  ASSERT_TRUE(store_->updateRecord({{"b", 2.0}, {"c", "y"}}, "t", "a", 1, &error));
  testing::stopRecordingStatements(store_->sqliteHandle());
  EXPECT_EQ(texts, (std::vector<std::string>{"INSERT OR REPLACE INTO t (c, a) VALUES (?, ?);",
                                             "UPDATE t SET b=?,c=? WHERE a=?"}));
  EXPECT_EQ(rawQuery(path_, "SELECT a, b, c FROM t"), (RawRows{{"1", "2.0", "y"}}));
}

// Blobs are bound without a copy, so the bytes must still be there when the update runs:
// large enough that freed memory would not keep them by chance.
TEST_F(SqliteStoreTest, AnUpdateWritesTheBytesOfItsBlobs) {
  os::Data bytes(4096);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  os::Error error;
  ASSERT_TRUE(store_->upsertRecord({{"a", 1}, {"d", os::Data{9}}}, "t", &error));
  ASSERT_TRUE(
      store_->updateRecord({{"d", bytes}, {"c", std::string(300, 'c')}}, "t", "a", 1, &error))
      << error.description;
  auto rows = store_->recordsForQuery("SELECT d FROM t", {}, &error);
  ASSERT_TRUE(rows && rows->size() == 1);
  EXPECT_EQ(rows->front(), (SqliteRecord{{"d", bytes}}));
}

TEST_F(SqliteStoreTest, RefusesValuesOfAnotherKindWithAnError) {
  const os::Value unexpected[] = {os::Array{1}, os::Dictionary{{"k", 1}}, os::Date{5}};
  for (const os::Value& value : unexpected) {
    SCOPED_TRACE(value.description());
    MonitorCapture capture;
    os::Error error;
    EXPECT_FALSE(store_->upsertRecord({{"a", 1}, {"c", value}}, "t", &error));
    EXPECT_EQ(error.code, kInvalidInput);
    EXPECT_EQ(error.description, "Record has value of unexpected type");
    EXPECT_TRUE(capture.contains(34020));
    EXPECT_FALSE(store_->updateRecord({{"c", value}}, "t", "a", 1, &error));
    EXPECT_EQ(error.description, "Failed to bind parameter of unexpected type to update statement");
    EXPECT_TRUE(capture.contains(34021));
    // Without an error out-parameter the answer is the same.
    EXPECT_FALSE(store_->upsertRecord({{"c", value}}, "t", nullptr));
  }
  EXPECT_EQ(rawQuery(path_, "SELECT count(*) FROM t"), (RawRows{{"0"}}));
}

TEST_F(SqliteStoreTest, ChecksArgumentsBeforeAnySql) {
  struct Case {
    const char* name;
    std::function<bool(SqliteStore&, os::Error*)> call;
    int64_t code;
    const char* message;
  };
  const Case cases[] = {
      {"empty table exists", [](auto& s, auto* e) { return s.tableExists("", e).has_value(); }, 1,
       "Received empty table name for table exists"},
      {"empty row count",
       [](auto& s, auto* e) { return s.rowCountForTableWithName("", e).has_value(); }, 1,
       "Received empty table name for row count"},
      {"empty upsert record", [](auto& s, auto* e) { return s.upsertRecord({}, "t", e); }, 1,
       "Received empty record for upsert"},
      {"empty upsert table",
       [](auto& s, auto* e) {
         return s.upsertRecord({{"a", 1}}, "", e);
       },
       1, "Received empty table name for upsert"},
      {"nil update value",
       [](auto& s, auto* e) {
         return s.updateRecord({{"a", 1}}, "t", "a", nullptr, e);
       },
       1, "Nil column value for update"},
      {"empty increase condition",
       [](auto& s, auto* e) { return s.increaseColumn("a", 1, "t", "", {}, e); }, 1,
       "Empty condition for increase column"},
      {"unknown increase column",
       [](auto& s, auto* e) { return s.increaseColumn("zz", 1, "t", "a = 1", {}, e); }, 1,
       "Invalid column or table name"},
      {"increase of a real column",
       [](auto& s, auto* e) { return s.increaseColumn("b", 1, "t", "a = 1", {}, e); }, 1,
       "Column type is not integer."},
      {"nil delete value",
       [](auto& s, auto* e) { return s.deleteRecordFromTableWithName("t", "a", nullptr, e); }, 1,
       "Received nil value for delete record"},
      {"empty delete condition",
       [](auto& s, auto* e) {
         return s.deleteRecordsFromTableWithName("t", "", {}, e).has_value();
       },
       1, "Received empty condition for delete record"},
      {"query starting with a blank",
       [](auto& s, auto* e) { return s.recordsForQuery(" SELECT 1", {}, e).has_value(); }, 1,
       "Received invalid select query"},
      {"query starting with WITH",
       [](auto& s, auto* e) {
         return s.recordsForQuery("WITH x AS (SELECT 1) SELECT * FROM x", {}, e).has_value();
       },
       1, "Received invalid select query"},
      {"placeholder without values",
       [](auto& s, auto* e) { return s.recordsForQuery("SELECT ?", {}, e).has_value(); }, 1,
       "Received empty parameters"},
      {"two statements",
       [](auto& s, auto* e) { return s.recordsForQuery("SELECT 1; SELECT 2", {}, e).has_value(); },
       1, "Query contained more than one SQL statement."},
      {"text result of a number query",
       [](auto& s, auto* e) { return s.numberForQuery("SELECT 'x'", {}, e).has_value(); }, 1,
       "Found result that was not numeric"},
      {"empty SQL", [](auto& s, auto* e) { return s.executeSQL("", e); }, 1,
       "Received empty SQL string to execute"},
      {"null statement", [](auto& s, auto* e) { return s.executeSQLStatement(nullptr, e); }, 1,
       "Execute SQL statement failed. Statement is NULL."},
      {"nil transaction block",
       [](auto& s, auto* e) { return s.performTransactionWithError(e, nullptr); }, 1,
       "Received nil transaction block"},
      {"duplicate rename", [](auto& s, auto* e) { return s.renameTable("t", "t", e); }, 1,
       "Received duplicate name for rename table"},
      {"duplicate copy", [](auto& s, auto* e) { return s.copyContentsFromTable("t", "t", e); }, 1,
       "Received duplicate name for copy table"},
      {"duplicate empty copy", [](auto& s, auto* e) { return s.createEmptyTable("t", "t", e); }, 1,
       "Received duplicate name for create empty copy"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    os::Error error;
    EXPECT_FALSE(c.call(*store_, &error));
    EXPECT_EQ(error.code, c.code);
    EXPECT_EQ(error.description, c.message);
    EXPECT_FALSE(c.call(*store_, nullptr));
  }
}

TEST_F(SqliteStoreTest, EveryOperationFailsOnAClosedStore) {
  store_->closeDatabase();
  MonitorCapture capture;
  const std::pair<std::function<bool(os::Error*)>, const char*> cases[] = {
      {[&](auto* e) { return store_->tableExists("t", e).has_value(); },
       "Table exists failed. Database not open."},
      {[&](auto* e) {
         return store_->upsertRecord({{"a", 1}}, "t", e);
       },
       "Upsert record failed. Database not open."},
      {[&](auto* e) {
         return store_->updateRecord({{"a", 1}}, "t", "a", 1, e);
       },
       "Update record failed. Database not open."},
      {[&](auto* e) { return store_->recordsForQuery("SELECT 1", {}, e).has_value(); },
       "Query records failed. Database not open."},
      {[&](auto* e) { return store_->numberForQuery("SELECT 1", {}, e).has_value(); },
       "Query numeric result failed. Database not open."},
      {[&](auto* e) { return store_->executeSQL("SELECT 1", e); },
       "Execute SQL failed. Database not open."},
      {[&](auto* e) { return store_->validateDatabaseWithError(e); },
       "Validate database failed. Database not open."},
      {[&](auto* e) { return store_->performTransactionWithError(e, [] { return true; }); },
       "Database not open"},
  };
  for (const auto& [call, message] : cases) {
    SCOPED_TRACE(message);
    os::Error error;
    EXPECT_FALSE(call(&error));
    EXPECT_EQ(error.description, message);
  }
  EXPECT_EQ(store_->lastErrorMessage(), std::nullopt);
  EXPECT_TRUE(capture.contains(34022));
}

TEST_F(SqliteStoreTest, CachesTextsWithPlaceholdersOrWithoutAWhereClause) {
  rawExecute(path_, "INSERT INTO t (a) VALUES (1), (2)");
  struct Case {
    const char* query;
    std::vector<os::Value> values;
    bool cached;
  };
  const Case cases[] = {
      {"SELECT a FROM t WHERE a = ?", {1}, true},
      {"SELECT a FROM t", {}, true},
      {"SELECT a FROM t where a = 1", {}, false},
      {"SELECT a FROM t WHERE a = 2", {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    int before = liveStatements();
    os::Error error;
    ASSERT_TRUE(store_->recordsForQuery(c.query, c.values, &error)) << error.description;
    EXPECT_EQ(liveStatements(), before + (c.cached ? 1 : 0));
    // A second use of a cached text reuses its statement.
    ASSERT_TRUE(store_->recordsForQuery(c.query, c.values, &error));
    EXPECT_EQ(liveStatements(), before + (c.cached ? 1 : 0));
  }
  store_->closeDatabase();
  EXPECT_EQ(store_->sqliteHandle(), nullptr);
}

TEST_F(SqliteStoreTest, FiltersRowsAndReportsOnlyWhenEveryReadRowWasRefused) {
  rawExecute(path_, "INSERT INTO t (a) VALUES (1), (2), (3)");
  struct Case {
    const char* name;
    const char* query;
    std::function<bool(size_t, const SqliteRecord&)> filter;
    size_t rows;
    bool reported;
  };
  const Case cases[] = {
      {"no rows at all", "SELECT a FROM t WHERE a > ?", [](size_t, auto&) { return true; }, 0,
       false},
      {"first row refused", "SELECT a FROM t", [](size_t, auto&) { return false; }, 0, true},
      {"stops after two", "SELECT a FROM t", [](size_t index, auto&) { return index < 2; }, 2,
       false},
      {"all kept", "SELECT a FROM t", [](size_t, auto&) { return true; }, 3, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MonitorCapture capture;
    os::Error error;
    std::vector<os::Value> values;
    if (std::string_view(c.query).find('?') != std::string_view::npos) values.push_back(5);
    auto rows = store_->recordsForQuery(c.query, values, &error, c.filter);
    ASSERT_TRUE(rows) << error.description;
    EXPECT_EQ(rows->size(), c.rows);
    EXPECT_EQ(capture.contains(34005), c.reported);
  }
}

TEST_F(SqliteStoreTest, AStepErrorAtAnyRowFailsTheQuery) {
  rawExecute(path_, "INSERT INTO t (a) VALUES (1), (2), (3)");
  // abs() of the smallest integer raises "integer overflow" at the row where it runs.
  const char* queries[] = {
      "SELECT abs(-9223372036854775807 - a) FROM t WHERE a = ?",
      "SELECT CASE WHEN a = ? THEN abs(-9223372036854775807 - 1) ELSE a END FROM t",
  };
  const int64_t failingRows[] = {1, 3};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(queries[i]);
    os::Error error;
    EXPECT_EQ(store_->recordsForQuery(queries[i], {failingRows[i]}, &error), std::nullopt);
    EXPECT_EQ(error.code, kDatabaseFailure);
    EXPECT_NE(error.description.find("\"query records\""), std::string::npos) << error.description;
    EXPECT_EQ(store_->recordsForQuery(queries[i], {failingRows[i]}, nullptr), std::nullopt);
  }
  // The cached statement was reset: the store goes on answering.
  EXPECT_EQ(store_->recordsForQuery("SELECT a FROM t", {}, nullptr)->size(), 3u);
}

TEST_F(SqliteStoreTest, AnswersNumbersNullsAndMissingRowsApart) {
  rawExecute(path_, "INSERT INTO t (a, b) VALUES (4, 2.5)");
  os::Error error;
  EXPECT_EQ(store_->numberForQuery("SELECT a FROM t", {}, &error), os::Value(int64_t{4}));
  EXPECT_EQ(store_->numberForQuery("SELECT b FROM t", {}, &error), os::Value(2.5));
  EXPECT_EQ(store_->numberForQuery("SELECT c FROM t", {}, &error), os::Value());
  EXPECT_EQ(store_->numberForQuery("SELECT a FROM t WHERE a = ?", {9}, &error), std::nullopt);
  EXPECT_NE(error.description.find("\"query numeric result\""), std::string::npos);
  EXPECT_EQ(store_->rowCountForTableWithName("t", &error), 1);
  EXPECT_EQ(store_->rowCountForTableWithName("t", "a", 5, &error), 0);
}

TEST_F(SqliteStoreTest, ChangesRowsByKeyConditionAndColumn) {
  rawExecute(path_, "INSERT INTO t (a, c) VALUES (1, 'x'), (2, 'y'), (3, 'z')");
  os::Error error;
  EXPECT_EQ(store_->deleteRecordsFromTableWithName("t", "a > ?", {5}, &error), 0);
  EXPECT_EQ(store_->deleteRecordsFromTableWithName("t", "a >= ?", {3}, &error), 1);
  EXPECT_TRUE(store_->deleteRecordFromTableWithName("t", "a", 9, &error));
  EXPECT_TRUE(store_->increaseColumn("a", 10, "t", "c = ?", {"y"}, &error)) << error.description;
  EXPECT_TRUE(store_->updateAllRecordsInTableWithName("t", "b", 0.5, &error));
  EXPECT_EQ(rawQuery(path_, "SELECT a, b, c FROM t ORDER BY a"),
            (RawRows{{"1", "0.5", "x"}, {"12", "0.5", "y"}}));
  EXPECT_TRUE(store_->deleteRecordFromTableWithName("t", "a", 1, &error));
  EXPECT_TRUE(store_->deleteAllRecordsFromTableWithName("t", &error));
  EXPECT_EQ(rawQuery(path_, "SELECT count(*) FROM t"), (RawRows{{"0"}}));
}

TEST_F(SqliteStoreTest, ATransactionCommitsOrLeavesNothingBehind) {
  struct Case {
    const char* name;
    std::function<bool()> block;
    bool committed;
    const char* message;
  };
  auto insert = [&] { return store_->upsertRecord({{"a", 1}}, "t", nullptr); };
  const Case cases[] = {
      {"block succeeds", [&] { return insert(); }, true, ""},
      {"block fails", [&] { return insert() && false; }, false, "Transaction failed"},
      {"nested transaction",
       [&] {
         os::Error inner;
         bool nested = store_->performTransactionWithError(&inner, insert);
         EXPECT_EQ(inner.description, "Failed to begin transaction");
         return insert() && !nested && false;
       },
       false, "Transaction failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rawExecute(path_, "DELETE FROM t");
    os::Error error;
    EXPECT_EQ(store_->performTransactionWithError(&error, c.block), c.committed);
    if (!c.committed) {
      EXPECT_EQ(error.description, c.message);
    }
    EXPECT_EQ(rawQuery(path_, "SELECT count(*) FROM t"), (RawRows{{c.committed ? "1" : "0"}}));
    EXPECT_TRUE(sqlite3_get_autocommit(store_->sqliteHandle()));
  }
  os::Error error;
  EXPECT_THROW(store_->performTransactionWithError(&error,
                                                   [&]() -> bool {
                                                     insert();
                                                     throw std::runtime_error("thrown");
                                                   }),
               std::runtime_error);
  EXPECT_EQ(rawQuery(path_, "SELECT count(*) FROM t"), (RawRows{{"0"}}));
}

// Reads grouped by performReads share one snapshot: a row another connection adds meanwhile is
// not seen until the reads end. A write among them ends the snapshot first, so it commits at
// once and what it and the other connection wrote is read back.
TEST_F(SqliteStoreTest, GroupedReadsShareASnapshotUntilAWrite) {
  struct Case {
    const char* name;
    // Writes one row with a = 2; empty for none.
    std::function<bool()> write;
  };
  const Case cases[] = {
      {"reads only", {}},
      {"upsert",
       [&] {
         return store_->upsertRecord({{"a", 2}}, "t", nullptr);
       }},
      {"update",
       [&] {
         return store_->updateRecord({{"a", 2}}, "t", "a", 1, nullptr);
       }},
      {"statement", [&] { return store_->executeSQL("INSERT INTO t (a) VALUES (2)", nullptr); }},
      {"transaction",
       [&] {
         return store_->performTransactionWithError(nullptr, [&] {
           return store_->upsertRecord({{"a", 2}}, "t", nullptr);
         });
       }},
  };
  auto count = [&] {
    return store_->numberForQuery("SELECT count(*) FROM t", {}, nullptr)
        .value_or(-1)
        .integerValue();
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rawExecute(path_, "DELETE FROM t; INSERT INTO t (a) VALUES (1);");
    std::vector<int64_t> counts;
    store_->performReads([&] {
      counts.push_back(count());
      rawExecute(path_, "INSERT INTO t (a) VALUES (3)");
      counts.push_back(count());
      if (!c.write) return;
      ASSERT_TRUE(c.write());
      EXPECT_EQ(rawQuery(path_, "SELECT count(*) FROM t WHERE a = 2"), (RawRows{{"1"}}));
      counts.push_back(count());
    });
    std::vector<int64_t> expected{1, 1};
    // An update changes the row of a = 1 instead of adding one.
    if (c.write) expected.push_back(std::string(c.name) == "update" ? 2 : 3);
    EXPECT_EQ(counts, expected);
    EXPECT_TRUE(sqlite3_get_autocommit(store_->sqliteHandle()));
  }
  // Inside a transaction the reads are the transaction's own.
  EXPECT_TRUE(store_->performTransactionWithError(nullptr, [&] {
    store_->performReads([&] { EXPECT_TRUE(store_->upsertRecord({{"a", 4}}, "t", nullptr)); });
    return !sqlite3_get_autocommit(store_->sqliteHandle());
  }));
  EXPECT_EQ(rawQuery(path_, "SELECT count(*) FROM t WHERE a = 4"), (RawRows{{"1"}}));
}

TEST_F(SqliteStoreTest, AFailedCommitRollsBackAndTheNextTransactionWorks) {
  // A deferred foreign key is checked at COMMIT, which then fails and, left alone, would keep
  // the transaction open for good.
  os::Error error;
  ASSERT_TRUE(store_->executeSQL("PRAGMA foreign_keys = ON", &error));
  ASSERT_TRUE(store_->executeSQL("CREATE TABLE parent (id INTEGER PRIMARY KEY)", &error));
  ASSERT_TRUE(store_->executeSQL(
      "CREATE TABLE child (id INTEGER REFERENCES parent(id) DEFERRABLE INITIALLY DEFERRED)",
      &error));
  EXPECT_FALSE(store_->performTransactionWithError(&error, [&] {
    return store_->upsertRecord({{"id", 5}}, "child", nullptr);
  }));
  EXPECT_EQ(error.code, kDatabaseFailure);
  EXPECT_EQ(error.description, "Failed to end transaction");
  EXPECT_EQ(sqliteResultCode(error), SQLITE_CONSTRAINT);
  EXPECT_TRUE(sqlite3_get_autocommit(store_->sqliteHandle()));
  EXPECT_TRUE(store_->performTransactionWithError(&error, [&] {
    return store_->upsertRecord({{"id", 5}}, "parent", nullptr) &&
           store_->upsertRecord({{"id", 5}}, "child", nullptr);
  })) << error.description;
  EXPECT_EQ(rawQuery(path_, "SELECT id FROM child"), (RawRows{{"5"}}));
}

TEST_F(SqliteStoreTest, DescribesDatabaseErrorsWithOperationCodeAndAccess) {
  os::Error error;
  EXPECT_FALSE(store_->executeSQL("INSERT INTO missing VALUES (1)", &error));
  EXPECT_EQ(error.code, kDatabaseFailure);
  EXPECT_EQ(error.description,
            "Database operation \"prepare statement\" failed with sqlite code 1 and error "
            "message \"no such table: missing\"");
  EXPECT_EQ(error.userInfo[kMonitorContextKey], os::Value("prepare statement,1,A"));
  EXPECT_EQ(sqliteResultCode(error), SQLITE_ERROR);
  EXPECT_EQ(store_->monitorContextForDatabaseOperation(""), "Unknown operation,1,A");
}

TEST(SqliteStore, OpensInWriteAheadModeAndRefusesAnEmptyPath) {
  testing::DatabaseSandbox sandbox;
  os::Error error;
  EXPECT_EQ(SqliteStore::open("", &error), nullptr);
  EXPECT_EQ(error.description, "Received empty database path on init");
  std::string path = (sandbox.root() / "a/b/c.sql").string();
  auto store = SqliteStore::open(path, &error);
  ASSERT_TRUE(store);
  EXPECT_EQ(store->databasePath(), path);
  EXPECT_EQ(store->recordsForQuery("SELECT * FROM pragma_journal_mode", {}, &error),
            (std::vector<SqliteRecord>{{{"journal_mode", "wal"}}}));
  EXPECT_EQ(store->numberForQuery("SELECT * FROM pragma_synchronous", {}, &error),
            os::Value(int64_t{1}));  // NORMAL
}

}  // namespace
}  // namespace measurement
