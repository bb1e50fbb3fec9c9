#include <gtest/gtest.h>

#include "measurement/database/database_test_support.h"
#include "measurement/database/sqlite_store.h"
#include "measurement/foundation/measurement_error.h"

namespace measurement {
namespace {

using testing::rawExecute;
using testing::rawQuery;
using testing::RawRows;

const ColumnInfo kEventsElementary = {
    {"name", "TEXT NOT NULL"}, {"timestamp", "INTEGER NOT NULL"}, {"data", "BLOB NOT NULL"}};
const ColumnInfo kEventsAddOn = {{"is_realtime", "INTEGER"}};
const ModifyColumnInfo kEventsModify = {{"timestamp", "REAL NOT NULL"}};

// A store in a sandbox that records the text of every statement it runs.
class SqliteStoreSchemaTest : public ::testing::Test {
 protected:
  void SetUp() override { reopen(); }

  void reopen() {
    store_.reset();
    statements_.clear();
    os::Error error;
    store_ = SqliteStore::open(path_, &error);
    ASSERT_TRUE(store_) << error.description;
    testing::recordStatements(store_->sqliteHandle(), &statements_);
  }

  std::string declared(const std::string& table) {
    std::string text;
    for (const auto& row : rawQuery(
             path_, "SELECT name, type, \"notnull\" FROM pragma_table_info('" + table + "')")) {
      text += row[0] + " " + row[1] + (row[2] == "1" ? " NOT NULL" : "") + "; ";
    }
    return text;
  }

  testing::DatabaseSandbox sandbox_;
  std::string path_ = (sandbox_.root() / "schema.sql").string();
  std::unique_ptr<SqliteStore> store_;
  std::vector<std::string> statements_;
};

TEST_F(SqliteStoreSchemaTest, CreatesANewTableThenAddsItsAddOnColumns) {
  os::Error error;
  ASSERT_TRUE(store_->ensureTableWithName(
      "queue", {{"data", "BLOB NOT NULL"}, {"bundle_end_timestamp", "REAL NOT NULL"}},
      {{"is_realtime", "INTEGER"}, {"", "TEXT"}, {"retry_count", "INTEGER"}}, &error))
      << error.description;
  ASSERT_TRUE(store_->ensureTableWithName("filters",
                                          {{"audience_id", "INTEGER NOT NULL"},
                                           {"filter_id", "INTEGER NOT NULL"},
                                           {kPrimaryKeyPseudoColumn, "(audience_id, filter_id)"}},
                                          {}, &error))
      << error.description;
  std::vector<std::string> writes;
  for (const std::string& text : statements_) {
    if (text.rfind("CREATE", 0) == 0 || text.rfind("ALTER", 0) == 0) writes.push_back(text);
  }
  EXPECT_EQ(writes,
            (std::vector<std::string>{
                "CREATE TABLE IF NOT EXISTS queue ( data BLOB NOT NULL, bundle_end_timestamp REAL "
                "NOT NULL);",
                "ALTER TABLE queue ADD COLUMN is_realtime INTEGER",
                "ALTER TABLE queue ADD COLUMN retry_count INTEGER",
                "CREATE TABLE IF NOT EXISTS filters ( audience_id INTEGER NOT NULL, filter_id "
                "INTEGER NOT NULL, PRIMARY KEY (audience_id, filter_id));",
            }));
  // The composite key makes a second write of the same pair a replacement.
  rawExecute(path_, "INSERT INTO filters VALUES (1, 2)");
  EXPECT_TRUE(store_->upsertRecord({{"audience_id", 1}, {"filter_id", 2}}, "filters", &error));
  EXPECT_EQ(rawQuery(path_, "SELECT count(*) FROM filters"), (RawRows{{"1"}}));
}

TEST_F(SqliteStoreSchemaTest, ValidatesTheColumnsAFileAlreadyHas) {
  struct Case {
    const char* name;
    const char* create;
    bool valid;
    const char* message;
  };
  const Case cases[] = {
      {"every column", "CREATE TABLE t (a TEXT NOT NULL, b INTEGER NOT NULL)", true, ""},
      {"required column missing", "CREATE TABLE t (a TEXT NOT NULL)", false,
       "Table is missing required columns"},
      {"unknown NOT NULL column", "CREATE TABLE t (a TEXT NOT NULL, b INTEGER, x TEXT NOT NULL)",
       false, "Table contains unknown non-optional columns"},
      {"unknown nullable column", "CREATE TABLE t (a TEXT NOT NULL, b INTEGER, x TEXT)", true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store_.reset();
    std::filesystem::remove(path_);
    rawExecute(path_, c.create);
    reopen();
    os::Error error;
    EXPECT_EQ(store_->ensureTableWithName("t", {{"a", "TEXT NOT NULL"}, {"b", "INTEGER NOT NULL"}},
                                          {{"c", "REAL"}}, &error),
              c.valid);
    if (!c.valid) {
      EXPECT_EQ(error.code, kOperationFailed);
      EXPECT_EQ(error.description, c.message);
      EXPECT_TRUE(isIrreconcilableSchemaError(error));
    }
  }
}

TEST_F(SqliteStoreSchemaTest, RebuildsAChangedTableKeepingItsRows) {
  struct Case {
    const char* name;
    const char* create;
  };
  const Case cases[] = {
      {"old timestamp type",
       "CREATE TABLE events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
       "data BLOB NOT NULL, is_realtime INTEGER)"},
      {"add-on column missing",
       "CREATE TABLE events (name TEXT NOT NULL, timestamp INTEGER NOT "
       "NULL, data BLOB NOT NULL)"},
      // A nullable column nobody described: its values stay behind, the rows do not.
      {"extra nullable column",
       "CREATE TABLE events (name TEXT NOT NULL, timestamp INTEGER NOT "
       "NULL, data BLOB NOT NULL, note TEXT, is_realtime INTEGER)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store_.reset();
    std::filesystem::remove(path_);
    rawExecute(path_, c.create);
    rawExecute(path_,
               "INSERT INTO events (name, timestamp, data) VALUES ('a', 5, x'01'), "
               "('b', 6, x'02')");
    reopen();
    os::Error error;
    ASSERT_TRUE(store_->ensureTableWithName("events", kEventsElementary, kEventsAddOn,
                                            kEventsModify, &error))
        << error.description;
    EXPECT_EQ(declared("events"),
              "name TEXT NOT NULL; timestamp REAL NOT NULL; data BLOB NOT NULL; is_realtime "
              "INTEGER; ");
    EXPECT_EQ(rawQuery(path_, "SELECT rowid, name, typeof(timestamp), hex(data) FROM events"),
              (RawRows{{"1", "a", "real", "01"}, {"2", "b", "real", "02"}}));
    EXPECT_EQ(rawQuery(path_, "SELECT name FROM sqlite_master WHERE name = 'events_old'"),
              RawRows{});
  }
}

TEST_F(SqliteStoreSchemaTest, AFailedRebuildLeavesTheTableAsItWas) {
  rawExecute(path_,
             "CREATE TABLE events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
             "data BLOB NOT NULL, is_realtime INTEGER); "
             "INSERT INTO events VALUES ('a', 5, x'01', NULL)");
  reopen();
  const std::string before = declared("events");
  // The new lists want a NOT NULL column the old rows cannot fill: the copy fails.
  ColumnInfo elementary = kEventsElementary;
  elementary.emplace_back("origin", "TEXT NOT NULL");
  os::Error error;
  EXPECT_FALSE(store_->ensureSchemaOfTableWithName("events", elementary, kEventsAddOn, &error));
  EXPECT_EQ(error.code, kDatabaseFailure);
  EXPECT_EQ(sqliteResultCode(error), SQLITE_CONSTRAINT);
  EXPECT_EQ(declared("events"), before);
  EXPECT_EQ(rawQuery(path_, "SELECT name, timestamp FROM events"), (RawRows{{"a", "5"}}));
  EXPECT_EQ(rawQuery(path_, "SELECT count(*) FROM sqlite_master"), (RawRows{{"1"}}));
  EXPECT_TRUE(sqlite3_get_autocommit(store_->sqliteHandle()));
}

TEST_F(SqliteStoreSchemaTest, ACurrentTableRunsOnlyIntrospection) {
  os::Error error;
  ASSERT_TRUE(store_->ensureTableWithName("events", kEventsElementary, kEventsAddOn, kEventsModify,
                                          &error));
  reopen();
  ASSERT_TRUE(store_->ensureTableWithName("events", kEventsElementary, kEventsAddOn, kEventsModify,
                                          &error));
  ASSERT_FALSE(statements_.empty());
  for (const std::string& text : statements_) {
    EXPECT_TRUE(text.rfind("SELECT", 0) == 0 || text.rfind("PRAGMA", 0) == 0) << text;
  }
}

TEST_F(SqliteStoreSchemaTest, CopiesAndEmptiesTablesByName) {
  rawExecute(path_,
             "CREATE TABLE a (x INTEGER, y TEXT); INSERT INTO a VALUES (1, 'p'), (2, 'q');"
             "CREATE TABLE b (y TEXT, z REAL)");
  reopen();
  os::Error error;
  EXPECT_TRUE(store_->copyContentsFromTable("a", "b", &error, {"y"})) << error.description;
  EXPECT_EQ(rawQuery(path_, "SELECT y, z FROM b"), (RawRows{{"p", "NULL"}, {"q", "NULL"}}));
  EXPECT_TRUE(store_->createEmptyTable("a_copy", "a", &error));
  EXPECT_EQ(rawQuery(path_, "SELECT name FROM pragma_table_info('a_copy')"),
            (RawRows{{"x"}, {"y"}}));
  EXPECT_EQ(rawQuery(path_, "SELECT count(*) FROM a_copy"), (RawRows{{"0"}}));
  EXPECT_TRUE(store_->renameTable("a_copy", "c", &error));
  EXPECT_TRUE(store_->dropTableWithName("c", &error));
  EXPECT_EQ(store_->tableExists("c", &error), false);
  EXPECT_EQ(store_->tableExists("a", &error), true);
}

}  // namespace
}  // namespace measurement
