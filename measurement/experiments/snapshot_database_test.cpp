// The snapshot database on real SQLite files: the activation rules, stale rows, automatic
// activation, damaged rows and files.
#include "measurement/experiments/snapshot_database.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "measurement/experiments/experiments_test_support.h"
#include "measurement/foundation/monitor_capture.h"
#include "os/process/clock.h"
#include "testsupport/child_process.h"

namespace measurement {
namespace {

using testing::experimentIDs;
using testing::ExperimentList;
using testing::makeSnapshot;
using testing::rawExecute;
using testing::rawQuery;
using testing::RawRows;

constexpr double kNow = 1'700'000'000;

class SnapshotDatabaseTest : public ::testing::Test {
 protected:
  std::string path() const { return (sandbox_.root() / "experiments.sql").string(); }
  std::unique_ptr<APMEDatabase> open() { return APMEDatabase::initWithPath(path()); }
  // The rows of `table` as (sdk_name, timestamp, manually_activated).
  RawRows rows(const std::string& table) {
    return rawQuery(
        path(), "SELECT sdk_name, timestamp, manually_activated FROM " + table + " ORDER BY rowid");
  }
  // The experiment ids stored in `table` for each SDK, in rowid order.
  std::vector<std::vector<int64_t>> storedIDs(std::optional<std::vector<APMESnapshot>> snapshots) {
    EXPECT_TRUE(snapshots);
    std::vector<std::vector<int64_t>> ids;
    for (const APMESnapshot& snapshot : snapshots.value_or(std::vector<APMESnapshot>())) {
      ids.push_back(experimentIDs(snapshot));
    }
    return ids;
  }

  testing::DatabaseSandbox sandbox_;
  os::clock::ScopedFakeClock clock_{kNow};
};

TEST_F(SnapshotDatabaseTest, ActivationStoresWhatIsInForce) {
  struct Case {
    const char* name;
    ExperimentList pending;
    double pendingTime;
    double activationTime;
    RawRows activated;  // sdk_name and timestamp after the activation
    RawRows launched;
    bool pendingStays;
  };
  const std::string now = "1700000000.0";
  const Case cases[] = {
      {"experiments and a launched one",
       {{7, {{"f", 7}}}, {3, {}}, {0, {{"g", 1}}}},
       kNow,
       kNow,
       {{"sdk", now}},
       {{"sdk", now}},
       false},
      {"only experiments, the old launched row stays",
       {{7, {}}},
       kNow,
       kNow,
       {{"sdk", now}},
       {{"sdk", "1.0"}},
       false},
      // The old activated experiments end with the activation.
      {"only the launched experiment", {{0, {{"g", 2}}}}, kNow, kNow, {}, {{"sdk", now}}, false},
      // A pending row newer than the activation is not the one activated.
      {"an activation older than the pending row",
       {{7, {}}},
       kNow,
       kNow - 1,
       {{"sdk", "1699999999.0"}},
       {{"sdk", "1.0"}},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(path());
    std::unique_ptr<APMEDatabase> database = open();
    ASSERT_TRUE(database);
    os::Error error;
    // What an earlier activation left.
    ASSERT_TRUE(database->upsertSnapshot(makeSnapshot("sdk", {{1, {}}}).proto(),
                                         kActivatedSnapshotTable, 1, std::nullopt, &error));
    ASSERT_TRUE(database->upsertSnapshot(makeSnapshot("sdk", {{0, {}}}).proto(),
                                         kLaunchedSnapshotTable, 1, std::nullopt, &error));
    APMESnapshot pending = makeSnapshot("sdk", c.pending);
    pending.setTimestamp(c.pendingTime);
    ASSERT_TRUE(database->upsertPendingExperimentSnapshots({pending}, &error));

    ASSERT_TRUE(database->activateSnapshot(pending, c.activationTime, &error)) << error.description;
    EXPECT_EQ(rawQuery(path(), "SELECT sdk_name, timestamp FROM activated_snapshot_table"),
              c.activated);
    EXPECT_EQ(rawQuery(path(), "SELECT sdk_name, timestamp FROM launched_snapshot_table"),
              c.launched);
    EXPECT_EQ(rows(kPendingSnapshotTable).size(), c.pendingStays ? 1u : 0u);
  }
}

TEST_F(SnapshotDatabaseTest, ActivatedAndLaunchedRowsHoldTheirExperiments) {
  std::unique_ptr<APMEDatabase> database = open();
  ASSERT_TRUE(database);
  os::Error error;
  APMESnapshot pending = makeSnapshot("sdk", {{7, {{"f", 7}}}, {3, {}}, {0, {{"g", 1}}}});
  ASSERT_TRUE(database->activateSnapshot(pending, kNow, &error));
  EXPECT_EQ(storedIDs(database->fetchAllActivatedSnapshots(&error)),
            (std::vector<std::vector<int64_t>>{{3, 7}}));
  EXPECT_EQ(storedIDs(database->fetchAllLaunchedSnapshots(&error)),
            (std::vector<std::vector<int64_t>>{{0}}));
  std::optional<std::vector<APMESnapshot>> activated = database->fetchAllActivatedSnapshots(&error);
  ASSERT_TRUE(activated && activated->size() == 1);
  EXPECT_EQ(activated->front().timestamp(), kNow);
  EXPECT_FALSE(activated->front().manuallyActivated());
  EXPECT_EQ(flagValueFromProto(activated->front().flagByName("f")), os::Value(7));
}

TEST_F(SnapshotDatabaseTest, ASecondPendingSnapshotReplacesTheFirst) {
  std::unique_ptr<APMEDatabase> database = open();
  ASSERT_TRUE(database);
  os::Error error;
  APMESnapshot first = makeSnapshot("sdk", {{1, {}}});
  APMESnapshot second = makeSnapshot("sdk", {{2, {}}});
  second.setManuallyActivated(true);
  ASSERT_TRUE(database->upsertPendingExperimentSnapshots({first, second}, &error));
  std::optional<std::vector<APMESnapshot>> pending = database->fetchAllPendingSnapshots(&error);
  ASSERT_TRUE(pending && pending->size() == 1);
  EXPECT_EQ(experimentIDs(pending->front()), (std::vector<int64_t>{2}));
  EXPECT_TRUE(pending->front().manuallyActivated());
}

TEST_F(SnapshotDatabaseTest, StaleActivatedRowsGoAtTheInclusiveBound) {
  std::unique_ptr<APMEDatabase> database = open();
  ASSERT_TRUE(database);
  os::Error error;
  const double ages[] = {kStaleActivatedSnapshotAge + 1, kStaleActivatedSnapshotAge,
                         kStaleActivatedSnapshotAge - 1, 0};
  int index = 0;
  for (double age : ages) {
    ASSERT_TRUE(
        database->upsertSnapshot(makeSnapshot("sdk" + std::to_string(index++), {{1, {}}}).proto(),
                                 kActivatedSnapshotTable, kNow - age, std::nullopt, &error));
  }
  ASSERT_TRUE(database->deleteStaleActivatedSnapshots(&error));
  EXPECT_EQ(rawQuery(path(), "SELECT sdk_name FROM activated_snapshot_table ORDER BY rowid"),
            (RawRows{{"sdk2"}, {"sdk3"}}));
}

TEST_F(SnapshotDatabaseTest, AutomaticActivationTakesOnlyUnmarkedRowsAndSkipsDamagedOnes) {
  std::unique_ptr<APMEDatabase> database = open();
  ASSERT_TRUE(database);
  os::Error error;
  for (auto [name, manual] : std::vector<std::pair<std::string, std::optional<bool>>>{
           {"auto1", false}, {"manual", true}, {"unset", std::nullopt}, {"auto2", false}}) {
    ASSERT_TRUE(database->upsertSnapshot(makeSnapshot(name, {{4, {}}}).proto(),
                                         kPendingSnapshotTable, kNow - 10, manual, &error));
  }
  // A row whose snapshot does not decode, between the good ones.
  rawExecute(path(),
             "INSERT INTO pending_snapshot_table VALUES ('broken', x'ffffffff0a', 1.0, 0);"
             "UPDATE pending_snapshot_table SET rowid = 100 WHERE sdk_name = 'auto2';");
  MonitorCapture capture;
  ASSERT_TRUE(database->performTransaction([&] {
    return database->activatePendingSnapshotsAutomatically(&error);
  })) << error.description;
  EXPECT_TRUE(capture.contains(810008));
  EXPECT_EQ(rawQuery(path(), "SELECT sdk_name FROM activated_snapshot_table ORDER BY rowid"),
            (RawRows{{"auto1"}, {"auto2"}}));
  EXPECT_EQ(rawQuery(path(), "SELECT sdk_name FROM pending_snapshot_table ORDER BY rowid"),
            (RawRows{{"manual"}, {"unset"}}));
}

TEST_F(SnapshotDatabaseTest, ARowOfRandomBytesDoesNotHideTheGoodRows) {
  {
    std::unique_ptr<APMEDatabase> database = open();
    ASSERT_TRUE(database);
    os::Error error;
    for (const char* name : {"a", "b", "c"}) {
      ASSERT_TRUE(database->upsertSnapshot(makeSnapshot(name, {{5, {}}}).proto(),
                                           kActivatedSnapshotTable, kNow, std::nullopt, &error));
    }
  }
  rawExecute(path(),
             "INSERT INTO activated_snapshot_table VALUES ('noise', randomblob(64) || x'ff', 1.0, "
             "NULL);"
             "UPDATE activated_snapshot_table SET rowid = 100 WHERE sdk_name = 'c';");
  std::unique_ptr<APMEDatabase> database = open();
  ASSERT_TRUE(database);
  os::Error error;
  std::optional<std::vector<APMESnapshot>> loaded = database->fetchAllActivatedSnapshots(&error);
  ASSERT_TRUE(loaded);
  std::vector<std::string> names;
  for (const APMESnapshot& snapshot : *loaded) names.push_back(snapshot.SDKName());
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(rawQuery(path(), "SELECT count(*) FROM activated_snapshot_table"), (RawRows{{"3"}}));
}

TEST_F(SnapshotDatabaseTest, AReadReturnsAtMostTheFirstRowsByRowid) {
  { ASSERT_TRUE(open()); }
  APMESnapshot snapshot = makeSnapshot("x", {{1, {}}});
  os::Data bytes = snapshot.proto().protoBuffer().value_or(os::Data());
  std::string hex;
  for (uint8_t byte : bytes) hex += fmt::format("{:02x}", byte);
  // Every row carries the same snapshot bytes under its own key.
  rawExecute(path(), "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i <= " +
                         std::to_string(kSnapshotTableLimit) +
                         ") INSERT INTO launched_snapshot_table SELECT 'sdk' || i, x'" + hex +
                         "', i, NULL FROM n;");
  std::unique_ptr<APMEDatabase> database = open();
  ASSERT_TRUE(database);
  os::Error error;
  std::optional<std::vector<SqliteRecord>> rows =
      database->allDataTypesFromTableWithName(kLaunchedSnapshotTable, kSnapshotTableLimit, &error);
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), static_cast<size_t>(kSnapshotTableLimit));
  EXPECT_EQ(*rows->back().find("sdk_name"), os::Value("sdk100000"));
}

TEST_F(SnapshotDatabaseTest, OnlyAnIncompatibleFileIsDeleted) {
  // A table whose columns cannot be reconciled: the file is given up and made anew.
  rawExecute(path(),
             "CREATE TABLE pending_snapshot_table (sdk_name TEXT, other BLOB NOT NULL);"
             "INSERT INTO pending_snapshot_table VALUES ('old', x'01');");
  EXPECT_EQ(open(), nullptr);
  EXPECT_FALSE(std::filesystem::exists(path()));
  ASSERT_TRUE(open());

  // A file held by another process fails the opening and keeps its rows.
  std::filesystem::remove(path());
  rawExecute(path(), "CREATE TABLE kept (a INTEGER); INSERT INTO kept VALUES (1);");
  {
    testsupport::Child holder({DATABASE_CHILD, "hold-exclusive", path()},
                              testsupport::ChildOutput::StandardOutput);
    ASSERT_EQ(holder.readLine(), "locked");
    EXPECT_EQ(open(), nullptr);
    holder.signal(SIGKILL);
    holder.wait();
  }
  EXPECT_EQ(rawQuery(path(), "SELECT a FROM kept"), (RawRows{{"1"}}));
  EXPECT_TRUE(open());
}

TEST_F(SnapshotDatabaseTest, OperationsAfterDeletionFailAndResetStartsEmpty) {
  std::unique_ptr<APMEDatabase> database = open();
  ASSERT_TRUE(database);
  os::Error error;
  ASSERT_TRUE(database->upsertPendingExperimentSnapshots({makeSnapshot("sdk", {{1, {}}})}, &error));
  database->reset();
  ASSERT_TRUE(database->fetchAllPendingSnapshots(&error));
  EXPECT_TRUE(database->fetchAllPendingSnapshots(&error)->empty());
  database->closeAndDelete();
  EXPECT_FALSE(std::filesystem::exists(path()));
  EXPECT_FALSE(database->fetchAllPendingSnapshots(&error));
  EXPECT_FALSE(database->deleteActivatedExperimentsOfSDKName("", &error));
  EXPECT_EQ(APMEDatabase::initWithPath(""), nullptr);
}

}  // namespace
}  // namespace measurement
