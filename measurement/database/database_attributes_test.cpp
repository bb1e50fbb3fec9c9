#include <gtest/gtest.h>

#include "measurement/database/database_test_support.h"
#include "measurement/foundation/lookup.h"

namespace measurement {
namespace {

using testing::rawExecute;
using testing::rawQuery;
using testing::RawRows;

class DatabaseAttributesTest : public testing::OpenDatabaseTest {
 protected:
  void store(const char* name, Value value, double setAt = 10, const char* origin = "app") {
    os::Error error;
    std::optional<UserAttribute> attribute =
        UserAttribute::create(origin, name, std::move(value), setAt);
    ASSERT_TRUE(attribute) << name;
    ASSERT_TRUE(database_->updateUserAttribute(*attribute, &error)) << error.description;
  }
  std::vector<std::string> names(const std::optional<std::vector<UserAttribute>>& attributes) {
    std::vector<std::string> result;
    if (attributes) {
      for (const UserAttribute& attribute : *attributes) result.push_back(attribute.name());
    }
    return result;
  }
};

TEST_F(DatabaseAttributesTest, StoresEachKindOfValueUnderItsName) {
  store("favorite_food", Value(std::string("pizza")));
  store("level", Value(int64_t{0}));
  store("score", Value(2.5), 20, "auto");
  store("level", Value(int64_t{7}), 30);
  EXPECT_EQ(rawQuery(path_,
                     "SELECT name, typeof(value), value, origin FROM user_attributes "
                     "ORDER BY name"),
            (RawRows{{"favorite_food", "text", "pizza", "app"},
                     {"level", "integer", "7", "app"},
                     {"score", "real", "2.5", "auto"}}));
  os::Error error;
  Lookup<UserAttribute> level = database_->userAttributeWithName("level", &error);
  ASSERT_TRUE(level && *level) << error.description;
  EXPECT_EQ((*level)->value(), Value(int64_t{7}));
  EXPECT_EQ((*level)->lastSetTimestamp(), 30);
  Lookup<UserAttribute> absent = database_->userAttributeWithName("absent", &error);
  EXPECT_TRUE(absent && !*absent);
  EXPECT_EQ(database_->userAttributeCountForOrigin("auto", &error), 1);
  EXPECT_EQ(database_->containsUserAttributeWithName("score", &error), true);
  ASSERT_TRUE(database_->deleteUserAttributeWithName("score", &error));
  EXPECT_EQ(database_->containsUserAttributeWithName("score", &error), false);
}

TEST_F(DatabaseAttributesTest, RefusesWhatCannotBeStored) {
  // An empty string never becomes a record, so it cannot reach the table.
  EXPECT_FALSE(UserAttribute::create("app", "name", Value(std::string()), 1));
  std::optional<UserAttribute> noOrigin = UserAttribute::create("", "name", Value(int64_t{1}), 1);
  ASSERT_TRUE(noOrigin);
  {
    os::Error error;
    EXPECT_FALSE(database_->updateUserAttribute(*noOrigin, &error));
    EXPECT_EQ(error.description,
              "Received user property with empty origin for getting dictionary representation");
  }
  os::Error error;
  EXPECT_FALSE(database_->userAttributeCountForOrigin("", &error));
  EXPECT_EQ(error.description, "Received empty user property origin for count query");
  EXPECT_FALSE(database_->containsUserAttributeWithName("", &error));
  EXPECT_EQ(error.description, "Received empty user property name for exists query");
}

TEST_F(DatabaseAttributesTest, ListsWhatCallersSetAndLifetimeValuesByPrefix) {
  store("favorite_food", Value(std::string("pizza")));
  store("_fot", Value(int64_t{1}));
  store("ga_thing", Value(int64_t{1}));
  store("user_id", Value(std::string("u1")));
  store("_ltv_EUR", Value(1.5), 100);
  store("_ltv_USD", Value(2.5), 200);
  // Would match an unescaped "_ltv_" prefix.
  store("xltvxEUR", Value(1.0), 300);

  EXPECT_EQ(database_->publicUserAttributeCount(nullptr), 4);
  EXPECT_EQ(names(database_->userAttributesIncludingInternal(false, nullptr)),
            (std::vector<std::string>{"favorite_food", "xltvxEUR"}));
  EXPECT_EQ(names(database_->userAttributesIncludingInternal(true, nullptr)).size(), 7u);
  EXPECT_EQ(names(database_->allLifetimeValueUserAttributes(nullptr)),
            (std::vector<std::string>{"_ltv_USD", "_ltv_EUR"}));

  // One lifetime value that no longer reads fails the whole list, with an error.
  rawExecute(path_, "UPDATE user_attributes SET value = x'00' WHERE name = '_ltv_EUR'");
  os::Error error;
  EXPECT_FALSE(database_->allLifetimeValueUserAttributes(&error));
  EXPECT_NE(error.code, 0);
  EXPECT_FALSE(database_->allLifetimeValueUserAttributes(nullptr));
}

}  // namespace
}  // namespace measurement
