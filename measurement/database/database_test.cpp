#include "measurement/database/database.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "measurement/database/database_test_support.h"
#include "measurement/foundation/monitor_capture.h"
#include "measurement/foundation/storage_paths.h"
#include "testsupport/child_process.h"
#include "testsupport/random.h"

namespace measurement {
namespace {

using testing::rawExecute;
using testing::rawIntegrity;
using testing::rawQuery;
using testing::RawRows;

constexpr const char* kOldRawEvents =
    "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
    "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL);"
    "INSERT INTO raw_events VALUES ('_e', 1700000000123, 7, x'0102'), ('_s', 5, 8, x'03');";

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(path_.parent_path()); }

  std::unique_ptr<Database> open(os::Error* error = nullptr) {
    return Database::open(kMeasurementDatabaseName, nullptr, error);
  }
  std::string path() const { return path_.string(); }
  RawRows tables() const {
    return rawQuery(path(), "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name");
  }

  testing::DatabaseSandbox sandbox_;
  std::filesystem::path path_ = measurementDataPath(kMeasurementDatabaseName);
};

const RawRows kAllTables = {{"app_metadata"},
                            {"audience_filter_values"},
                            {"conditional_properties"},
                            {"event_filters"},
                            {"events"},
                            {"main_event_params"},
                            {"property_filters"},
                            {"purchase_transactions"},
                            {"queue"},
                            {"raw_events"},
                            {"raw_events_count"},
                            {"raw_events_metadata"},
                            {"subscriptions"},
                            {"user_attributes"}};

TEST_F(DatabaseTest, ANewFileGetsEveryTableAndRowOne) {
  os::Error error;
  EXPECT_EQ(Database::open("", nullptr, &error), nullptr);
  EXPECT_EQ(error.description, "Received empty database name in init");
  auto database = open(&error);
  ASSERT_TRUE(database) << error.description;
  EXPECT_EQ(database->databasePath(), path());
  EXPECT_EQ(tables(), kAllTables);
  const char* row =
      "SELECT last_bundle_index, last_bundle_start_timestamp, last_bundle_end_timestamp, day, "
      "remote_config_data FROM app_metadata";
  EXPECT_EQ(rawQuery(path(), row), (RawRows{{"0", "0.0", "0.0", "NULL", "NULL"}}));
  EXPECT_EQ(rawQuery(path(),
                     "SELECT type, \"notnull\" FROM pragma_table_info('raw_events') "
                     "WHERE name = 'timestamp'"),
            (RawRows{{"REAL", "1"}}));
  database.reset();
  rawExecute(path(), "UPDATE app_metadata SET last_bundle_index = 9");
  ASSERT_TRUE(open(&error));
  EXPECT_EQ(rawQuery(path(), "SELECT rowid, last_bundle_index FROM app_metadata"),
            (RawRows{{"1", "9"}}));
}

TEST_F(DatabaseTest, ACurrentFileRunsOnlyIntrospectionOnItsTables) {
  ASSERT_TRUE(open());
  os::Error error;
  auto store = SqliteStore::open(path(), &error);
  ASSERT_TRUE(store) << error.description;
  std::vector<std::string> statements;
  testing::recordStatements(store->sqliteHandle(), &statements);
  ASSERT_TRUE(ensureAllTables(*store, &error)) << error.description;
  ASSERT_FALSE(statements.empty());
  for (const std::string& text : statements) {
    EXPECT_TRUE(text.rfind("SELECT", 0) == 0 || text.rfind("PRAGMA", 0) == 0) << text;
  }
}

// What an opening makes of files that older versions, other programs or damage left behind.
TEST_F(DatabaseTest, OpensOrGivesUpFilesByWhatTheirTablesHold) {
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> make;
    bool opens;
    const char* check;  // a query on the file after the opening
    RawRows expected;
  };
  const Case cases[] = {
      {"raw events with an integer timestamp",
       [](const std::string& p) { rawExecute(p, kOldRawEvents); },
       true,
       "SELECT name, timestamp, typeof(timestamp), hex(data) FROM raw_events ORDER BY rowid",
       {{"_e", "1700000000123.0", "real", "0102"}, {"_s", "5.0", "real", "03"}}},
      {"raw events with an extra nullable column",
       [](const std::string& p) {
         rawExecute(p,
                    "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp REAL NOT NULL, "
                    "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL, "
                    "is_realtime INTEGER, note TEXT);"
                    "INSERT INTO raw_events VALUES ('_e', 1.5, 7, x'01', 1, 'n');");
       },
       true,
       "SELECT name, timestamp, is_realtime FROM raw_events",
       {{"_e", "1.5", "1"}}},
      {"events without a required column",
       [](const std::string& p) {
         rawExecute(p,
                    "CREATE TABLE events (name TEXT NOT NULL PRIMARY KEY, lifetime_count "
                    "INTEGER NOT NULL); INSERT INTO events VALUES ('_e', 3);");
       },
       false,
       nullptr,
       {}},
      {"user attributes with an unknown NOT NULL column",
       [](const std::string& p) {
         rawExecute(p,
                    "CREATE TABLE user_attributes (name TEXT NOT NULL PRIMARY KEY, "
                    "set_timestamp REAL NOT NULL, value BLOB NOT NULL, secret TEXT NOT NULL)");
       },
       false,
       nullptr,
       {}},
      {"garbage with a stale journal",
       [](const std::string& p) {
         testsupport::writeRandomFile(p, 8192);
         testsupport::writeRandomFile(p + "-journal", 4096);
       },
       true,
       "SELECT count(*) FROM raw_events",
       {{"0"}}},
      {"a truncated file",
       [](const std::string& p) {
         rawExecute(p,
                    "CREATE TABLE big (b BLOB); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL "
                    "SELECT i + 1 FROM n WHERE i < 400) INSERT INTO big SELECT "
                    "randomblob(900) FROM n;");
         std::filesystem::resize_file(p, std::filesystem::file_size(p) / 2);
       },
       true,
       "SELECT count(*) FROM sqlite_master WHERE name = 'big'",
       {{"0"}}},
      {"a file failing its integrity check",
       [](const std::string& p) {
         rawExecute(p,
                    "CREATE TABLE t (a, b); CREATE INDEX i ON t (a); "
                    "INSERT INTO t VALUES (1, 5), (2, 6); PRAGMA writable_schema = ON; "
                    "UPDATE sqlite_master SET sql = 'CREATE INDEX i ON t (b)' WHERE name = 'i';");
       },
       true,
       "SELECT count(*) FROM sqlite_master WHERE name = 't'",
       {{"0"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(path_.parent_path());
    std::filesystem::create_directories(path_.parent_path());
    c.make(path());
    MonitorCapture capture;
    os::Error error;
    auto database = open(&error);
    EXPECT_EQ(database != nullptr, c.opens) << error.description;
    if (c.opens) {
      EXPECT_EQ(tables(), kAllTables);
      EXPECT_EQ(rawQuery(path(), c.check), c.expected);
      database.reset();
      EXPECT_EQ(rawIntegrity(path()), "ok");
      continue;
    }
    // A table that cannot be reconciled is reported and its file given up with its companions;
    // the next opening starts empty.
    EXPECT_TRUE(capture.contains(12047));
    EXPECT_TRUE(capture.contains(12002));
    EXPECT_FALSE(std::filesystem::exists(path_));
    EXPECT_FALSE(std::filesystem::exists(path() + "-wal"));
    ASSERT_TRUE(open(&error)) << error.description;
    EXPECT_EQ(rawQuery(path(), "SELECT count(*) FROM events"), (RawRows{{"0"}}));
  }
}

TEST_F(DatabaseTest, AFileAnotherProcessHoldsIsKeptAndOpensLater) {
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> make;
  };
  const Case cases[] = {
      // Readers go on in WAL mode; the opening fails at its first transaction.
      {"a current database",
       [this](const std::string& p) {
         ASSERT_TRUE(open());
         rawExecute(p, "INSERT INTO raw_events VALUES ('_e', 1.5, 7, x'01', 0)");
       }},
      // A rollback-journal file cannot even be read while it is held.
      {"an older rollback-journal file",
       [](const std::string& p) { rawExecute(p, kOldRawEvents); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(path_.parent_path());
    std::filesystem::create_directories(path_.parent_path());
    c.make(path());
    const RawRows before = rawQuery(path(), "SELECT name, data FROM raw_events");
    {
      testsupport::Child holder({DATABASE_CHILD, "hold-exclusive", path()},
                                testsupport::ChildOutput::StandardOutput);
      ASSERT_EQ(holder.readLine(), "locked");
      os::Error error;
      EXPECT_EQ(open(&error), nullptr);
      EXPECT_FALSE(isUnusableDatabaseError(error));
      holder.signal(SIGKILL);
      holder.wait();
    }
    EXPECT_EQ(rawQuery(path(), "SELECT name, data FROM raw_events"), before);
    os::Error error;
    ASSERT_TRUE(open(&error)) << error.description;
    EXPECT_EQ(rawQuery(path(), "SELECT name, hex(data) FROM raw_events").size(), before.size());
  }
}

TEST_F(DatabaseTest, AReadOnlyFileOrFolderFailsTheOpeningAndKeepsTheRows) {
  { ASSERT_TRUE(open()); }
  rawExecute(path(), "INSERT INTO raw_events VALUES ('_e', 1.5, 7, x'01', 0)");
  const std::filesystem::path folder = path_.parent_path();
  struct Case {
    const char* name;
    std::filesystem::path item;
    std::filesystem::perms mode;
  };
  const Case cases[] = {
      {"read-only file", path_, std::filesystem::perms(0444)},
      {"read-only folder", folder, std::filesystem::perms(0555)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // As a clean close leaves it: the last connection takes the write-ahead log along, so
    // nothing writable is left in the folder.
    rawExecute(path(), "PRAGMA user_version");
    ASSERT_FALSE(std::filesystem::exists(path() + "-wal"));
    const auto saved = std::filesystem::status(c.item).permissions();
    std::filesystem::permissions(c.item, c.mode);
    // Root writes anything: the child gives up the capability that lets it.
    std::vector<std::string> command;
    if (geteuid() == 0) {
      command = {"setpriv", "--bounding-set=-dac_override,-dac_read_search"};
    }
    command.insert(command.end(), {DATABASE_CHILD, "open", kMeasurementDatabaseName});
    testsupport::ChildRun run = testsupport::runChild(command);
    std::filesystem::permissions(c.item, saved);
    EXPECT_TRUE(run.succeeded());
    EXPECT_EQ(run.output.rfind("failed", 0), 0u) << run.output;
    EXPECT_EQ(rawQuery(path(), "SELECT name, timestamp FROM raw_events"), (RawRows{{"_e", "1.5"}}));
  }
}

TEST_F(DatabaseTest, ATableAtItsLimitRefusesNewKeysOnly) {
  auto database = open();
  ASSERT_TRUE(database);
  os::Error error;
  for (const char* name : {"a", "b"}) {
    ASSERT_TRUE(database->upsertDataType({{"fingerprint", name}}, kPurchaseTransactionsTable,
                                         "fingerprint", name, 2, &error));
  }
  EXPECT_FALSE(database->upsertDataType({{"fingerprint", "c"}}, kPurchaseTransactionsTable,
                                        "fingerprint", "c", 2, &error));
  EXPECT_EQ(error.code, kOperationFailed);
  EXPECT_EQ(error.description, "Failed to insert data type. Table is full");
  EXPECT_TRUE(database->upsertDataType({{"fingerprint", "b"}}, kPurchaseTransactionsTable,
                                       "fingerprint", "b", 2, &error));
  EXPECT_EQ(rawQuery(path(), "SELECT fingerprint FROM purchase_transactions ORDER BY 1"),
            (RawRows{{"a"}, {"b"}}));
  // app_metadata holds row 1 only: a second row is a new key in a full table.
  EXPECT_FALSE(database->upsertDataType({{"rowid", 2}, {"last_bundle_index", 0}}, kAppMetadataTable,
                                        "rowid", 2, 1, &error));
  EXPECT_FALSE(database->updateDataType({{"fingerprint", "z"}}, kPurchaseTransactionsTable,
                                        "fingerprint", "y", &error));
  EXPECT_EQ(error.description, "Failed to update record. Item doesn't exist");
}

TEST_F(DatabaseTest, ReadsRowsIntoDataTypes) {
  auto database = open();
  ASSERT_TRUE(database);
  rawExecute(path(), "INSERT INTO subscriptions VALUES ('s1'), ('s2'), ('bad')");
  Database::CreateDataTypeBlock<std::string> create = [](const SqliteRecord& row, os::Error* e) {
    const std::string* id = row.find("subscription_id")->asString();
    if (*id == "bad") {
      setErrorOutParameter(e, kDatabaseFailure, "unusable");
      return std::optional<std::string>();
    }
    return std::optional<std::string>(std::to_string(row.find("rowid")->integerValue()) + *id);
  };
  os::Error error;
  EXPECT_EQ(database->allDataTypesFromTableWithName(kSubscriptionsTable, 2, &error, create),
            (std::vector<std::string>{"1s1", "2s2"}));
  EXPECT_EQ(database->allDataTypesFromTableWithName(kSubscriptionsTable, -1, &error, create),
            (std::vector<std::string>{"1s1", "2s2"}));
  EXPECT_EQ(database->dataTypesFromTableWithName(kSubscriptionsTable, "subscription_id", "none",
                                                 &error, create),
            std::vector<std::string>{});
  EXPECT_EQ(database->dataTypesFromTableWithName(kSubscriptionsTable, "subscription_id", "bad",
                                                 &error, create),
            std::nullopt);
  EXPECT_EQ(error.description, "Failed to initialize data types from dictionaries");
  EXPECT_TRUE(database->insertDataType({{"subscription_id", "s3"}}, kSubscriptionsTable, &error));
  EXPECT_FALSE(database->insertDataType({}, kSubscriptionsTable, &error));
  EXPECT_EQ(error.description, "Failed to insert empty record");
}

TEST_F(DatabaseTest, ResetStartsAnEmptyFileAndTransactionsReportFailures) {
  auto database = open();
  ASSERT_TRUE(database);
  ASSERT_TRUE(database->performTransaction([&] {
    return database->insertDataType({{"subscription_id", "s1"}}, kSubscriptionsTable, nullptr);
  }));
  MonitorCapture capture;
  EXPECT_FALSE(database->performTransaction([&] {
    database->insertDataType({{"subscription_id", "s2"}}, kSubscriptionsTable, nullptr);
    return false;
  }));
  EXPECT_TRUE(capture.contains(12056));
  EXPECT_EQ(rawQuery(path(), "SELECT subscription_id FROM subscriptions"), (RawRows{{"s1"}}));
  os::Error error;
  ASSERT_TRUE(database->reset(&error)) << error.description;
  EXPECT_EQ(rawQuery(path(), "SELECT count(*) FROM subscriptions"), (RawRows{{"0"}}));
  EXPECT_EQ(rawQuery(path(), "SELECT last_bundle_index FROM app_metadata"), (RawRows{{"0"}}));
  EXPECT_TRUE(database->insertDataType({{"subscription_id", "s3"}}, kSubscriptionsTable, &error));
}

TEST(DatabaseQueueTest, RunsOnItsWorkerQueue) {
  testing::DatabaseSandbox sandbox;
  auto queue = os::DispatchQueue::serial("com.vedodo.vuve.worker");
  std::unique_ptr<Database> database;
  queue->sync(
      [&] { database = Database::open(kMeasurementDatabaseName, nullptr, nullptr, queue); });
  ASSERT_TRUE(database);
  bool stored = false;
  queue->sync([&] {
    stored = database->performTransaction([&] {
      return database->insertDataType({{"subscription_id", "s"}}, kSubscriptionsTable, nullptr);
    });
  });
  EXPECT_TRUE(stored);
  queue->sync([&] { database.reset(); });
}

}  // namespace
}  // namespace measurement
