// The store on a disk that fails: writes and syncs refused through a test VFS.
#include <gtest/gtest.h>

#include "measurement/database/database_test_support.h"
#include "measurement/database/fault_injection_vfs.h"
#include "measurement/database/sqlite_store.h"
#include "measurement/foundation/measurement_error.h"

namespace measurement {
namespace {

using testing::FaultInjectionVfs;
using testing::rawIntegrity;
using testing::rawQuery;
using testing::RawRows;

constexpr int kRowsPerTransaction = 200;

class SqliteStoreFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    os::Error error;
    store_ = SqliteStore::open(path_, &error);
    ASSERT_TRUE(store_) << error.description;
    ASSERT_TRUE(store_->executeSQL("CREATE TABLE t (a INTEGER, b BLOB)", &error));
  }

  bool insertRows(int first, os::Error* error) {
    return store_->performTransactionWithError(error, [&] {
      for (int i = first; i < first + kRowsPerTransaction; ++i) {
        if (!store_->upsertRecord({{"a", i}, {"b", os::Data(64, 7)}}, "t", nullptr)) return false;
      }
      return true;
    });
  }

  int64_t rows() { return store_->rowCountForTableWithName("t", nullptr).value_or(-1); }

  FaultInjectionVfs vfs_;
  testing::DatabaseSandbox sandbox_;
  std::string path_ = (sandbox_.root() / "fault.sql").string();
  std::unique_ptr<SqliteStore> store_;
};

// Whatever a failing disk does to a transaction, what the store answers is what the file
// holds, and the store goes on working once the disk does.
TEST_F(SqliteStoreFaultTest, ATransactionOnAFailingDiskIsStoredExactlyWhenItSucceeds) {
  struct Case {
    const char* name;
    bool failWrites;
    bool failSyncs;
    bool mayCommit;  // a sync the journal mode does not need may fail unnoticed
  };
  const Case cases[] = {
      {"writes fail", true, false, false},
      {"syncs fail", false, true, true},
      {"writes and syncs fail", true, true, false},
  };
  int64_t expected = 0;
  int first = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vfs_.failWrites(c.failWrites);
    vfs_.failSyncs(c.failSyncs);
    os::Error error;
    bool stored = insertRows(first, &error);
    vfs_.failWrites(false);
    vfs_.failSyncs(false);
    first += kRowsPerTransaction;
    if (!c.mayCommit) {
      EXPECT_FALSE(stored);
      EXPECT_EQ(error.code, kDatabaseFailure);
      EXPECT_EQ(error.description, "Failed to end transaction");
      EXPECT_EQ(sqliteResultCode(error).value_or(0) & 0xff, SQLITE_IOERR);
    }
    if (stored) expected += kRowsPerTransaction;
    EXPECT_TRUE(sqlite3_get_autocommit(store_->sqliteHandle()));
    EXPECT_EQ(rows(), expected);
    // Usable again at once, and a new connection sees the same.
    ASSERT_TRUE(insertRows(first, &error)) << error.description;
    first += kRowsPerTransaction;
    expected += kRowsPerTransaction;
    EXPECT_EQ(rawQuery(path_, "SELECT count(*) FROM t"), (RawRows{{std::to_string(expected)}}));
  }
  EXPECT_GT(vfs_.refusedCalls(), 0);
  store_.reset();
  EXPECT_EQ(rawIntegrity(path_), "ok");
  EXPECT_EQ(rawQuery(path_, "SELECT count(*) FROM t"), (RawRows{{std::to_string(expected)}}));
}

TEST(SqliteStoreFault, AFailingDiskFailsTheOpeningAndKeepsTheFile) {
  FaultInjectionVfs vfs;
  testing::DatabaseSandbox sandbox;
  // A rollback-journal file: the opening must write to move it to the write-ahead log.
  const std::string path = (sandbox.root() / "old.sql").string();
  testing::rawExecute(path, "CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1), (2);");
  vfs.failWrites(true);
  os::Error error;
  EXPECT_EQ(SqliteStore::open(path, &error), nullptr);
  vfs.failWrites(false);
  EXPECT_EQ(sqliteResultCode(error).value_or(0) & 0xff, SQLITE_IOERR) << error.description;
  EXPECT_FALSE(isUnusableDatabaseError(error));
  EXPECT_EQ(rawQuery(path, "SELECT count(*) FROM t"), (RawRows{{"2"}}));
  EXPECT_TRUE(SqliteStore::open(path, &error)) << error.description;
}

}  // namespace
}  // namespace measurement
