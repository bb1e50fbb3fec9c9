#include "measurement/database/sql_conditions.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

namespace measurement {
namespace {

// Whether SQLite's LIKE, with the database's escape character, finds `name` by `pattern`.
bool sqliteLikes(const std::string& name, const std::string& pattern) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, "SELECT ? LIKE ? || '%' ESCAPE '!'", -1, &statement, nullptr),
            SQLITE_OK);
  sqlite3_bind_text(statement, 1, name.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(statement, 2, pattern.c_str(), -1, SQLITE_TRANSIENT);
  EXPECT_EQ(sqlite3_step(statement), SQLITE_ROW);
  bool matched = sqlite3_column_int(statement, 0) == 1;
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return matched;
}

TEST(SqlConditions, LikeLiteralsMatchOnlyThemselvesAsPrefixes) {
  struct Case {
    const char* prefix;
    const char* name;
    bool matches;
  } cases[] = {
      {"level_", "level_2", true},  {"level_", "levelX2", false}, {"_ltv_", "_ltv_EUR", true},
      {"_ltv_", "xltvxEUR", false}, {"50%", "50%off", true},      {"50%", "500", false},
      {"a!b", "a!bc", true},        {"a!b", "ab", false},         {"LEVEL", "level_1", true},
      {"", "anything", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.prefix) + " / " + c.name);
    EXPECT_EQ(sqliteLikes(c.name, likeLiteral(c.prefix)), c.matches);
  }
}

TEST(SqlConditions, RowIDConditionHasOnePlaceholderPerRow) {
  EXPECT_EQ(rowIDCondition(1), "rowid IN (?)");
  EXPECT_EQ(rowIDCondition(3), "rowid IN (?,?,?)");
}

}  // namespace
}  // namespace measurement
