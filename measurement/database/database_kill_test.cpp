// What SIGKILL leaves of the database: a child process dies inside a transaction, after it,
// or in the middle of a schema rebuild, and the next opening finds a whole file.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "measurement/database/database.h"
#include "measurement/database/database_test_support.h"
#include "measurement/foundation/storage_paths.h"
#include "testsupport/child_process.h"

namespace measurement {
namespace {

using testing::rawExecute;
using testing::rawIntegrity;
using testing::rawQuery;
using testing::RawRows;

class DatabaseKillTest : public ::testing::Test {
 protected:
  // Runs the child until it prints `line`, then kills it with SIGKILL.
  void killChildAt(const std::vector<std::string>& arguments, const std::string& line) {
    std::vector<std::string> command{DATABASE_CHILD};
    command.insert(command.end(), arguments.begin(), arguments.end());
    testsupport::Child child(command, testsupport::ChildOutput::StandardOutput);
    ASSERT_EQ(child.readLine(), line);
    child.signal(SIGKILL);
    EXPECT_EQ(child.wait().signal(), SIGKILL);
  }

  testing::DatabaseSandbox sandbox_;
  std::string path_ = measurementDataPath(kMeasurementDatabaseName);
};

TEST_F(DatabaseKillTest, KeepsACommittedTransactionAndNothingOfAnOpenOne) {
  struct Case {
    const char* name;
    const char* mode;
    const char* line;
    const char* rows;
  };
  const Case cases[] = {
      {"inside the transaction", "uncommitted", "inserted", "0"},
      {"after the commit", "committed", "committed", "10000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(std::filesystem::path(path_).parent_path());
    killChildAt({"insert", kMeasurementDatabaseName, "10000", c.mode}, c.line);
    os::Error error;
    auto database = Database::open(kMeasurementDatabaseName, nullptr, &error);
    ASSERT_TRUE(database) << error.description;
    EXPECT_EQ(rawQuery(path_, "SELECT count(*) FROM raw_events"), (RawRows{{c.rows}}));
    database.reset();
    EXPECT_EQ(rawIntegrity(path_), "ok");
  }
}

TEST_F(DatabaseKillTest, ARebuildKilledHalfwayLeavesTheOldTableWhole) {
  std::filesystem::create_directories(std::filesystem::path(path_).parent_path());
  rawExecute(path_,
             "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
             "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL);"
             "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 5000) "
             "INSERT INTO raw_events SELECT '_e', i, 7, randomblob(200) FROM n;");
  killChildAt({"rebuild", path_}, "copying");
  // Before anyone opens it again: the old table, complete, and no half-made one beside it.
  EXPECT_EQ(rawQuery(path_,
                     "SELECT type FROM pragma_table_info('raw_events') WHERE name = "
                     "'timestamp'"),
            (RawRows{{"INTEGER"}}));
  EXPECT_EQ(rawQuery(path_, "SELECT count(*) FROM raw_events"), (RawRows{{"5000"}}));
  EXPECT_EQ(rawQuery(path_, "SELECT name FROM sqlite_master WHERE name = 'raw_events_old'"),
            RawRows{});
  os::Error error;
  auto database = Database::open(kMeasurementDatabaseName, nullptr, &error);
  ASSERT_TRUE(database) << error.description;
  EXPECT_EQ(rawQuery(path_,
                     "SELECT count(*), min(timestamp), typeof(min(timestamp)) FROM "
                     "raw_events"),
            (RawRows{{"5000", "1.0", "real"}}));
  database.reset();
  EXPECT_EQ(rawIntegrity(path_), "ok");
}

}  // namespace
}  // namespace measurement
