#include "measurement/database/raw_events_count.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "measurement/database/database_events_test_support.h"
#include "measurement/database/database_test_support.h"
#include "measurement/foundation/test_support.h"
#include "os/process/clock.h"

namespace measurement {
namespace {

using testing::appEvent;
using testing::rawExecute;
using testing::rawQuery;
using testing::RawRows;

constexpr double kNow = 1765400000;
constexpr const char* kCurrentRawEvents =
    "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp REAL NOT NULL, metadata_fingerprint "
    "INTEGER NOT NULL, data BLOB NOT NULL, is_realtime INTEGER);";
constexpr const char* kSevenRawEvents =
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 7) "
    "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data) "
    "SELECT '_e', i, 1, x'01' FROM n;";

// The kept count with the rowids it was taken with, beside the table's own, as another
// connection reads them ("count:first:last").
RawRows countAndRows(const std::string& path) {
  return rawQuery(path,
                  "SELECT (SELECT group_concat(row_count || ':' || ifnull(first_rowid, '') || ':' "
                  "|| ifnull(last_rowid, '')) FROM raw_events_count), (SELECT count(*) || ':' || "
                  "ifnull(min(rowid), '') || ':' || ifnull(max(rowid), '') FROM raw_events)");
}

// The count of `rows` rows both in the kept row and in the table.
::testing::AssertionResult counts(const std::string& path, int rows) {
  RawRows found = countAndRows(path);
  if (found.size() != 1 || found[0].size() != 2 || found[0][0] != found[0][1] ||
      found[0][1].substr(0, found[0][1].find(':')) != std::to_string(rows)) {
    return ::testing::AssertionFailure()
           << "kept " << (found.empty() ? "" : found[0][0]) << ", table "
           << (found.empty() ? "" : found[0][1]) << ", expected " << rows << " rows";
  }
  return ::testing::AssertionSuccess();
}

class RawEventsCountTest : public testing::OpenDatabaseTest {
 protected:
  void write(int count, double timestamp = kNow) {
    for (int i = 0; i < count; ++i) {
      os::Error error;
      ASSERT_TRUE(database_->insertRawEvent(appEvent("_e", timestamp), 1, false, &error))
          << error.description;
    }
  }
};

TEST_F(RawEventsCountTest, EveryPathThatAddsOrDeletesEventsKeepsTheCount) {
  os::clock::ScopedFakeClock clock(kNow);
  struct Step {
    const char* what;
    std::function<void()> run;
    int rows;
  };
  os::Error error;
  const Step steps[] = {
      {"a new file", [] {}, 0},
      {"five events", [&] { write(5); }, 5},
      {"the cap at 3",
       [&] {
         ScopedEngineSettings settings({{"measurement.store.max_stored_events_per_app", "3"}});
         EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(&error), 3);
       },
       2},
      {"a transaction rolled back",
       [&] {
         EXPECT_FALSE(database_->performTransaction([&] {
           write(3);
           return false;
         }));
       },
       2},
      {"a transaction committed",
       [&] {
         EXPECT_TRUE(database_->performTransaction([&] {
           write(4);
           write(2, kNow - 40 * 86400);
           return true;
         }));
       },
       8},
      {"the stale-data deletion",
       [&] { EXPECT_TRUE(database_->deleteStaleRawEventsDataOlderThanMaxAge(86400, &error)); }, 6},
      {"bundling up to a row id",
       [&] {
         auto lowest = rawQuery(path_, "SELECT min(rowid) FROM raw_events").at(0).at(0);
         EXPECT_TRUE(database_->deleteRawEventsWithMaxRowID(std::stoll(lowest) + 1, &error));
       },
       4},
      // Another writer leaves the kept count behind; the next reading or writing counts anew.
      {"another connection inserting",
       [&] {
         rawExecute(path_, kSevenRawEvents);
         EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(&error), 0);
       },
       11},
      {"another connection emptying the table, then events",
       [&] {
         rawExecute(path_, "DELETE FROM raw_events");
         write(3);
       },
       3},
      {"the wipe", [&] { EXPECT_TRUE(database_->reset(&error)); }, 0},
      {"events after the wipe", [&] { write(2); }, 2},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.run();
    EXPECT_TRUE(counts(path_, step.rows)) << error.description;
  }
}

TEST_F(RawEventsCountTest, TheCapRecountsACountThatWentMissing) {
  write(5);
  rawExecute(path_, "DELETE FROM raw_events_count");
  ScopedEngineSettings settings({{"measurement.store.max_stored_events_per_app", "3"}});
  os::Error error;
  EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(&error), 3) << error.description;
  EXPECT_TRUE(counts(path_, 2));
  write(1);
  EXPECT_TRUE(counts(path_, 3));
}

// What an opening makes of a count it cannot trust: each file below is counted anew, and the
// count then moves with the next event.
TEST(RawEventsCountOpeningTest, CountsAnewWhatItCannotTrust) {
  struct Case {
    const char* what;
    std::function<void(const std::string& path)> make;
    int rows;
  };
  auto openAndClose = [](const std::string&) {
    ASSERT_TRUE(Database::open(kMeasurementDatabaseName, nullptr, nullptr));
  };
  const Case cases[] = {
      {"a file of a build that kept no count",
       [](const std::string& p) {
         rawExecute(p, std::string(kCurrentRawEvents) + kSevenRawEvents);
       },
       7},
      {"a timestamp column rebuilt as REAL",
       [](const std::string& p) {
         rawExecute(p,
                    "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
                    "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL);"
                    "INSERT INTO raw_events VALUES ('_e', 5, 7, x'01'), ('_s', 6, 8, x'02');");
       },
       2},
      {"rows added after the count",
       [&](const std::string& p) {
         openAndClose(p);
         rawExecute(p, kSevenRawEvents);
       },
       7},
      {"the oldest rows deleted after the count",
       [&](const std::string& p) {
         openAndClose(p);
         rawExecute(p, kSevenRawEvents);
         openAndClose(p);
         rawExecute(p, "DELETE FROM raw_events WHERE rowid <= 2");
       },
       5},
      {"no count",
       [&](const std::string& p) {
         openAndClose(p);
         rawExecute(p, "DELETE FROM raw_events_count");
       },
       0},
      {"two counts",
       [&](const std::string& p) {
         openAndClose(p);
         rawExecute(p, "INSERT INTO raw_events_count VALUES (0, NULL, NULL)");
       },
       0},
      {"a count that is no number",
       [&](const std::string& p) {
         openAndClose(p);
         rawExecute(p, std::string(kSevenRawEvents) +
                           "UPDATE raw_events_count SET row_count = 'x', first_rowid = 1, "
                           "last_rowid = 7");
       },
       7},
      {"a count larger than its rowids allow",
       [&](const std::string& p) {
         openAndClose(p);
         rawExecute(p, std::string(kSevenRawEvents) +
                           "UPDATE raw_events_count SET row_count = 8, first_rowid = 1, "
                           "last_rowid = 7");
       },
       7},
      {"a count of rows in an empty table",
       [&](const std::string& p) {
         openAndClose(p);
         rawExecute(p, "UPDATE raw_events_count SET row_count = 3");
       },
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::DatabaseSandbox sandbox;
    const std::string path = measurementDataPath(kMeasurementDatabaseName);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    c.make(path);
    os::Error error;
    auto database = Database::open(kMeasurementDatabaseName, nullptr, &error);
    ASSERT_TRUE(database) << error.description;
    EXPECT_TRUE(counts(path, c.rows));
    ASSERT_TRUE(database->insertRawEvent(appEvent("_e", kNow), 1, false, &error))
        << error.description;
    EXPECT_TRUE(counts(path, c.rows + 1));
  }
}

}  // namespace
}  // namespace measurement
