// What SIGKILL leaves of the database: a child process dies inside a transaction, after it,
// in the middle of a schema rebuild or of a stream of writes, and the next opening finds a
// whole file.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "measurement/database/database.h"
#include "measurement/database/database_test_support.h"
#include "measurement/foundation/storage_paths.h"
#include "testsupport/child_process.h"
#include "testsupport/random.h"

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
    killChildAfter(arguments, {line});
  }
  // Runs the child until it has printed `lines`, then kills it with SIGKILL.
  void killChildAfter(const std::vector<std::string>& arguments,
                      const std::vector<std::string>& lines) {
    std::vector<std::string> command{DATABASE_CHILD};
    command.insert(command.end(), arguments.begin(), arguments.end());
    testsupport::Child child(command, testsupport::ChildOutput::StandardOutput);
    for (const std::string& line : lines) ASSERT_EQ(child.readLine(), line);
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

// The child goes on writing after the line the test waits for, so each kill lands somewhere in
// a transaction, between two or in a deletion; wherever it lands, the kept count of raw events
// must be the number of rows, and the next writer must keep it so.
TEST_F(DatabaseKillTest, TheCountOfRawEventsMatchesTheRowsAfterEveryKill) {
  testsupport::PseudoRandom random(31);
  for (int run = 0; run < 12; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    std::vector<std::string> lines;
    for (uint32_t n = 1 + (random.next() >> 16) % 12; n > 0; --n) {
      lines.push_back("wrote " + std::to_string(50 * (lines.size() + 1)));
    }
    killChildAfter({"stream", kMeasurementDatabaseName, "300"}, lines);
    // The count with the first and last rowid it was taken with, then the table's own.
    RawRows counts = rawQuery(
        path_,
        "SELECT (SELECT row_count || ':' || first_rowid || ':' || last_rowid FROM "
        "raw_events_count), (SELECT count(*) || ':' || min(rowid) || ':' || max(rowid) FROM "
        "raw_events)");
    ASSERT_EQ(counts.size(), 1u);
    EXPECT_EQ(counts[0][0], counts[0][1]);
    EXPECT_LE(std::stoi(counts[0][1]), 300);
    EXPECT_EQ(rawIntegrity(path_), "ok");
  }
}

}  // namespace
}  // namespace measurement
